#!/usr/bin/env bash
# Installs every package VYR needs to build, test, fuzz and benchmark, from Debian's archive.
# Safe to run again: it does nothing when everything is already there.
#
# --demo installs only what scripts/demo needs: the g++ build and what `vyr` runs on (no clang,
# no debugger, no browser for the studio's tests).
# --arm also installs what the builds for the device's two processors need (scripts/test-arm):
# Debian's cross compilers, the target libraries through multiarch, and qemu-user from
# bookworm-backports, whose qemu (unlike bookworm's 7.2) implements openat2, the call the
# device's file door is built on.
#
# --device installs what the device's own build needs (`cmake --preset device`, scripts/package):
# clang 14, ld64.lld 14 and LLVM 14's Mach-O tools, lld 13 (its old Mach-O linker is the only one
# that links armv7 code with imports), Python's unicorn CPU emulator for the checks,
# and libc++ 14's headers, unpacked into $VYR_SYSROOTS/darwin (not installed: the machine's own
# C++ library stays as it is). Nothing of Apple's is fetched.
set -euo pipefail

arm=0
device=0
demo=0
for arg in "$@"; do
  case $arg in
    --arm) arm=1 ;;
    --device) device=1 ;;
    --demo) demo=1 ;;
    *) echo "usage: $0 [--arm] [--device] [--demo]" >&2; exit 2 ;;
  esac
done

packages=(
  # toolchain and build
  g++ cmake ninja-build pkg-config
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
  # the tests, which the g++ build configures and builds
  libgtest-dev libgmock-dev
  # used by the end-to-end tests and scripts
  python3
)
# What the rest of the checks need beyond the demo: scripts/test, the clang builds, sanitizers,
# fuzzing and the benchmarks.
test_packages=(
  # the second compiler and the format check
  clang clang-format
  # sanitizers and libFuzzer for clang
  libclang-rt-14-dev
  libbenchmark-dev
  # a command of the device run under a debugger (its loaded images must be named by real files)
  gdb
  # the device's processes run sealed: bubblewrap's namespaces and a seccomp filter written by
  # libseccomp
  bubblewrap libseccomp-dev
  # the studio's browser tests: headless Chromium driven by Selenium (run with /usr/bin/python3)
  chromium chromium-driver python3-selenium
  # the lint of the studio's page script (a ctest test)
  eslint
)
if [ $demo -eq 0 ]; then packages+=("${test_packages[@]}"); fi

# The cross compilers with their Objective-C runtimes; qemu-user comes from bookworm-backports and
# is checked by version below.
arm_packages=(g++-arm-linux-gnueabihf libobjc-12-dev-armhf-cross
              g++-aarch64-linux-gnu libobjc-12-dev-arm64-cross)
arm_arches=(armhf arm64)
# What the native build links, built for each processor, unpacked into a sysroot of its own
# rather than installed through multiarch: a multiarch package must have the same version for
# every architecture, and a foreign index that a mirror serves mid-sync (or a native package newer
# than the foreign ones) leaves nothing installable. A sysroot takes each architecture's packages
# as one consistent set, whatever the host has installed.
sysroot_packages=(libc6-dev libstdc++-12-dev libobjc4 libplist-dev libplist++-dev libffi-dev
                  libcairo2-dev libmicrohttpd-dev nlohmann-json3-dev libgtest-dev libgmock-dev
                  libseccomp-dev)
sysroots=${VYR_SYSROOTS:-/opt/vyr/sysroot}
# The device's build: its toolchain and checker, and the C++ headers it compiles against.
device_packages=(clang-14 lld-14 llvm-14 lld-13 python3-unicorn dpkg)
darwin_packages=(libc++-14-dev libc++abi-14-dev)
backports=/etc/apt/sources.list.d/vyr-bookworm-backports.sources
sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
arm_missing=()
qemu_missing=0
if [ $arm -eq 1 ]; then
  for p in "${arm_packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
      arm_missing+=("$p")
  done
  for a in "${arm_arches[@]}"; do
    [ "$(cat "$sysroots/$a/.packages" 2>/dev/null)" = "${sysroot_packages[*]}" ] ||
      arm_missing+=("sysroot:$a")
  done
  # qemu-user 7.2 lacks openat2; 8.0 and later have it.
  qemu_version=$(dpkg-query -W -f='${Version}' qemu-user-static 2>/dev/null || true)
  if [ -z "$qemu_version" ] || dpkg --compare-versions "$qemu_version" lt 1:8.0; then
    qemu_missing=1
  fi
fi
darwin_missing=0
if [ $device -eq 1 ]; then
  for p in "${device_packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
      missing+=("$p")
  done
  [ "$(cat "$sysroots/darwin/.packages" 2>/dev/null)" = "${darwin_packages[*]}" ] || darwin_missing=1
fi
if [ ${#missing[@]} -eq 0 ] && [ ${#arm_missing[@]} -eq 0 ] && [ $qemu_missing -eq 0 ] &&
  [ $darwin_missing -eq 0 ]; then
  exit 0
fi

if [ $arm -eq 1 ]; then
  for a in "${arm_arches[@]}"; do
    dpkg --print-foreign-architectures | grep -qx "$a" || $sudo dpkg --add-architecture "$a"
  done
  if [ ! -e "$backports" ]; then
    printf '%s\n' "Types: deb" "URIs: http://deb.debian.org/debian" "Suites: bookworm-backports" \
      "Components: main" "Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg" |
      $sudo tee "$backports" >/dev/null
  fi
fi

# With foreign architectures a mirror sometimes serves one index mid-sync; try again rather than
# stop on it.
for attempt in 1 2 3; do
  if $sudo apt-get update -qq; then break; fi
  if [ $attempt -eq 3 ]; then
    echo "apt-get update kept failing; installing from the lists as they are" >&2
  else
    sleep $((attempt * 10))
  fi
done

apt_install() { DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "$@" >/dev/null; }
if [ ${#missing[@]} -ne 0 ]; then
  echo "installing: ${missing[*]}"
  apt_install "${missing[@]}"
fi
host_missing=()
for p in "${arm_missing[@]}"; do
  case $p in sysroot:*) ;; *) host_missing+=("$p") ;; esac
done
if [ ${#host_missing[@]} -ne 0 ]; then
  echo "installing for ARM: ${host_missing[*]}"
  apt_install "${host_missing[@]}"
fi
if [ $qemu_missing -eq 1 ]; then
  echo "installing qemu-user from bookworm-backports"
  apt_install -t bookworm-backports qemu-user qemu-user-static
fi

# One architecture's sysroot: apt resolves the packages against an empty package database (so for
# that architecture alone), downloads them, and they are unpacked with the usr-merged layout of
# the device's Debian; absolute links are made to point inside the sysroot.
make_sysroot() {
  local arch=$1 root="$sysroots/$1" work
  work=$(mktemp -d)
  mkdir -p "$work/archives/partial"
  : >"$work/status"
  echo "unpacking the $arch sysroot into $root"
  apt-get -qq -y --no-install-recommends -o Debug::NoLocking=1 -o APT::Sandbox::User=root -o Dir::State::status="$work/status" \
    -o Dir::Cache::archives="$work/archives" -o APT::Architecture="$arch" \
    -o APT::Architectures::="$arch" install --download-only "${sysroot_packages[@]}" >/dev/null
  $sudo rm -rf "$root.new"
  $sudo mkdir -p "$root.new/usr"
  for deb in "$work"/archives/*.deb; do $sudo dpkg-deb -x "$deb" "$root.new"; done
  for d in bin sbin lib; do
    if [ -d "$root.new/$d" ] && [ ! -L "$root.new/$d" ]; then
      $sudo mkdir -p "$root.new/usr/$d"
      $sudo cp -a "$root.new/$d/." "$root.new/usr/$d/"
      $sudo rm -rf "${root:?}.new/$d"
    fi
    $sudo ln -sfn "usr/$d" "$root.new/$d"
  done
  find "$root.new" -type l -lname '/*' | while read -r link; do
    $sudo ln -sfn "$root$(readlink "$link")" "$link"
  done
  echo "${sysroot_packages[*]}" | $sudo tee "$root.new/.packages" >/dev/null
  $sudo rm -rf "$root"
  $sudo mv "$root.new" "$root"
  rm -rf "$work"
}
for p in "${arm_missing[@]}"; do
  case $p in sysroot:*) make_sysroot "${p#sysroot:}" ;; esac
done

# The device build's C++ headers: the packages' files unpacked as they are, never installed.
if [ $darwin_missing -eq 1 ]; then
  root="$sysroots/darwin"
  work=$(mktemp -d)
  echo "unpacking ${darwin_packages[*]} into $root"
  (cd "$work" && apt-get download -qq "${darwin_packages[@]}" 2>/dev/null)
  $sudo rm -rf "$root.new"
  $sudo mkdir -p "$root.new"
  for deb in "$work"/*.deb; do $sudo dpkg-deb -x "$deb" "$root.new"; done
  echo "${darwin_packages[*]}" | $sudo tee "$root.new/.packages" >/dev/null
  $sudo rm -rf "$root"
  $sudo mv "$root.new" "$root"
  rm -rf "$work"
fi
