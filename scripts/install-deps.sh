#!/usr/bin/env bash
# Installs every package VYR needs to build, test, fuzz and benchmark, from Debian's archive.
# Safe to run again: it does nothing when everything is already there.
set -euo pipefail

packages=(
  # toolchains and build
  g++ clang cmake ninja-build pkg-config clang-format
  # sanitizers and libFuzzer for clang
  libclang-rt-14-dev
  # GCC's Objective-C runtime, the base of the stand-in frameworks
  libobjc-12-dev
  # property lists (XML and binary), as the device writes them
  libplist-dev libplist++-dev
  # typed calls of arbitrary methods for `vyr host`, and its answers in JSON
  libffi-dev nlohmann-json3-dev
  # drawing the device's screens for `vyr show`, with a real font
  libcairo2-dev fonts-dejavu-core
  # `vyr studio`: its HTTP server (event-driven: no thread per connection) and JSON
  libmicrohttpd-dev nlohmann-json3-dev
  # tests and benchmarks
  libgtest-dev libgmock-dev libbenchmark-dev
  # used by the end-to-end tests and scripts
  python3
  # a command of the device run under a debugger (its loaded images must be named by real files)
  gdb
  # the studio's browser tests: headless Chromium driven by Selenium (run with /usr/bin/python3)
  chromium chromium-driver python3-selenium
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
echo "installing: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
