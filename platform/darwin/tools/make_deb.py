#!/usr/bin/python3
"""Assembles the device's package of VYR.

    make_deb.py --version VERSION --out FILE.deb VYRSignals.dylib VYR VYRSignals.plist \\
                Info.plist VYR.plist PreferenceLoader.plist

The files are laid out as the device installs them (LAYOUT below: the same resource files the
simulated device installs), owned by root, 0755 for the two Mach-O files and 0644 for the rest,
and packed by dpkg-deb with gzip members: the device's dpkg reads no xz or zstd.
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile

PACKAGE = "com.belvorin.vyr"

# Where each input goes on the device, in the order the inputs are given; True for executables.
LAYOUT = [
    ("Library/MobileSubstrate/DynamicLibraries/VYRSignals.dylib", True),
    ("Library/PreferenceBundles/VYR.bundle/VYR", True),
    ("Library/MobileSubstrate/DynamicLibraries/VYRSignals.plist", False),
    ("Library/PreferenceBundles/VYR.bundle/Info.plist", False),
    ("Library/PreferenceBundles/VYR.bundle/VYR.plist", False),
    ("Library/PreferenceLoader/Preferences/VYR.plist", False),
]

CONTROL = """\
Package: {package}
Name: VYR
Version: {version}
Architecture: iphoneos-arm
Section: Tweaks
Depends: mobilesubstrate, preferenceloader, org.thebigboss.libcolorpicker
Maintainer: VYR developers
Author: VYR developers
Description: Recolours the status bar's signal, text, battery and activity indicators
 Custom or preset colours per element, chosen in a pane of the Settings app.
"""


def build(version, out, inputs):
    if len(inputs) != len(LAYOUT):
        raise SystemExit("make_deb.py: %d inputs expected, %d given" % (len(LAYOUT), len(inputs)))
    with tempfile.TemporaryDirectory(dir=os.path.dirname(os.path.abspath(out))) as root:
        for source, (target, executable) in zip(inputs, LAYOUT):
            path = os.path.join(root, target)
            os.makedirs(os.path.dirname(path), mode=0o755, exist_ok=True)
            shutil.copyfile(source, path)
            os.chmod(path, 0o755 if executable else 0o644)
        control = os.path.join(root, "DEBIAN")
        os.mkdir(control, 0o755)
        with open(os.path.join(control, "control"), "w") as f:
            f.write(CONTROL.format(package=PACKAGE, version=version))
        os.chmod(os.path.join(control, "control"), 0o644)
        for folder, dirs, _files in os.walk(root):
            for d in dirs:
                os.chmod(os.path.join(folder, d), 0o755)
        os.chmod(root, 0o755)
        subprocess.run(["dpkg-deb", "--root-owner-group", "-Zgzip", "--build", root, out],
                       check=True, stdout=subprocess.DEVNULL)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--version", required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("inputs", nargs="+")
    args = parser.parse_args(argv)
    build(args.version, args.out, args.inputs)


if __name__ == "__main__":
    main(sys.argv[1:])
