#!/usr/bin/python3
"""Checks the device's package of VYR without a device.

    check_package.py --sources SOURCE_DIR --stubs STUB_DIR [--archs arm64,...] FILE.deb

Prints one line per failed check ("FAIL what: why") and exits 1 if any failed, else prints
"package ok" and exits 0. What is checked, each by a function below:

  members     the archive's members, gzip-compressed, as the device's dpkg reads them
  control     the control fields that make the device install it, and its dependencies
  layout      every file at its place on the device, root-owned, 0755 executables, 0644 data,
              and the resource files byte for byte those of the sources
  binaries    each Mach-O file: fat, with the expected slices; per slice the file type, the
              install name, the libraries it loads (only the device's, by their real install
              names), the minimum iOS, classic dyld information (no chained fixups)
  imports     every bound symbol bound to one of those libraries (never by flat lookup, never
              weakly), and listed in that library's stub; every imported symbol bound; every
              pointer of __got, __la_symbol_ptr and __nl_symbol_ptr bound or rebased
  exports     exactly the exported names, none weak, Thumb functions with their Thumb bit
  signature   the ad-hoc signature: its blobs in their slots, both CodeDirectories' page hashes
              recomputed, the requirements' hash, __LINKEDIT covering it
"""

import argparse
import hashlib
import io
import os
import re
import struct
import subprocess
import sys
import tarfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import macho  # noqa: E402

DEPENDS = ["mobilesubstrate", "preferenceloader", "org.thebigboss.libcolorpicker"]
EXPORTS = ["_colorFromHex", "_colorFromDefaultsWithKey",
           "__Z14convertFromHexNSt3__112basic_stringIcNS_11char_traitsIcEENS_9allocatorIcEEEE",
           "__Z8hextodecNSt3__112basic_stringIcNS_11char_traitsIcEENS_9allocatorIcEEEERNS_6vectorIhN"
           "S3_IhEEEE", "_main"]
COMMON_LIBRARIES = ["/usr/lib/libobjc.A.dylib", "/usr/lib/libSystem.B.dylib",
                    "/usr/lib/libc++.1.dylib",
                    "/System/Library/Frameworks/Foundation.framework/Foundation",
                    "/System/Library/Frameworks/CoreFoundation.framework/CoreFoundation",
                    "/System/Library/Frameworks/UIKit.framework/UIKit",
                    "/usr/lib/libcolorpicker.dylib"]
SIGNALS = "Library/MobileSubstrate/DynamicLibraries/VYRSignals.dylib"
BUNDLE = "Library/PreferenceBundles/VYR.bundle/VYR"
# Each deliverable: its Mach-O file type, install name, and the libraries it must load.
BINARIES = {
    SIGNALS: (macho.MH_DYLIB, "/" + SIGNALS, COMMON_LIBRARIES +
              ["/Library/Frameworks/CydiaSubstrate.framework/CydiaSubstrate"]),
    BUNDLE: (macho.MH_BUNDLE, None, COMMON_LIBRARIES +
             ["/System/Library/PrivateFrameworks/Preferences.framework/Preferences"]),
}
# The package's files and the sources they are copied from (None: built).
FILES = {
    SIGNALS: None,
    BUNDLE: None,
    "Library/MobileSubstrate/DynamicLibraries/VYRSignals.plist": "tweak/VYRSignals.plist",
    "Library/PreferenceBundles/VYR.bundle/Info.plist": "prefs/Resources/Info.plist",
    "Library/PreferenceBundles/VYR.bundle/VYR.plist": "prefs/Resources/VYR.plist",
    "Library/PreferenceLoader/Preferences/VYR.plist": "prefs/Resources/PreferenceLoader.plist",
}
MINIMUM_IOS = {"armv7": (7, 0), "arm64": (7, 0)}
N_ARM_THUMB_DEF = 0x0008


class Report:
    def __init__(self):
        self.failures = []

    def check(self, ok, what, why):
        if not ok:
            self.failures.append("FAIL %s: %s" % (what, why))
        return ok


# --- the archive -------------------------------------------------------------------------------

def ar_members(data):
    """[(name, bytes)] of a Unix ar archive (what a .deb is)."""
    if not data.startswith(b"!<arch>\n"):
        raise ValueError("not an ar archive")
    members, pos = [], 8
    while pos + 60 <= len(data):
        header = data[pos:pos + 60]
        name = header[:16].decode().strip().rstrip("/")
        size = int(header[48:58].decode().strip())
        members.append((name, data[pos + 60:pos + 60 + size]))
        pos += 60 + size + (size & 1)
    return members


def check_members(report, members):
    names = [n for n, _ in members]
    report.check(names == ["debian-binary", "control.tar.gz", "data.tar.gz"], "members",
                 "expected debian-binary, control.tar.gz, data.tar.gz (gzip), found %s" % names)
    report.check(dict(members).get("debian-binary") == b"2.0\n", "members",
                 "debian-binary is not 2.0")
    for name, body in members:
        if name.endswith(".gz"):
            report.check(body[:2] == b"\x1f\x8b", "members", "%s is not gzip data" % name)


def read_tar(members, name):
    body = dict(members).get(name)
    if body is None:
        return None
    return tarfile.open(fileobj=io.BytesIO(body), mode="r:gz")


def check_control(report, members):
    tar = read_tar(members, "control.tar.gz")
    if tar is None:
        report.check(False, "control", "no control.tar.gz")
        return
    text = tar.extractfile("./control").read().decode()
    fields = dict(re.findall(r"^([A-Za-z-]+): *(.*)$", text, re.M))
    report.check(fields.get("Package") == "com.belvorin.vyr", "control", "Package is not "
                 "com.belvorin.vyr")
    report.check(fields.get("Architecture") == "iphoneos-arm", "control",
                 "Architecture %r is not iphoneos-arm" % fields.get("Architecture"))
    depends = [d.strip() for d in fields.get("Depends", "").split(",") if d.strip()]
    report.check(sorted(depends) == sorted(DEPENDS), "control",
                 "Depends %s, expected %s" % (depends, DEPENDS))
    report.check(bool(fields.get("Version")), "control", "no Version")


def check_layout(report, members, sources):
    """The package's files as {path: bytes}, after checking their places, owners and modes."""
    tar = read_tar(members, "data.tar.gz")
    files = {}
    if tar is None:
        report.check(False, "layout", "no data.tar.gz")
        return files
    for info in tar.getmembers():
        path = info.name[2:] if info.name.startswith("./") else info.name
        report.check(info.uid == 0 and info.gid == 0, "layout", "%s is not owned by root" % path)
        if info.isdir():
            report.check(info.mode == 0o755, "layout", "folder %s has mode %o" % (path, info.mode))
            continue
        report.check(info.isfile(), "layout", "%s is not a plain file" % path)
        mode = 0o755 if FILES.get(path, "") is None else 0o644
        report.check(info.mode == mode, "layout",
                     "%s has mode %o, expected %o" % (path, info.mode, mode))
        files[path] = tar.extractfile(info).read()
    report.check(sorted(files) == sorted(FILES), "layout",
                 "files %s, expected %s" % (sorted(files), sorted(FILES)))
    for path, source in FILES.items():
        if source is not None and path in files:
            with open(os.path.join(sources, source), "rb") as f:
                report.check(files[path] == f.read(), "layout",
                             "%s differs from its source %s" % (path, source))
    return files


# --- the binaries ------------------------------------------------------------------------------

def read_stubs(folder):
    """{(install name, arch): set of symbols} of the .tbd stubs in FOLDER."""
    stubs = {}
    for name in sorted(os.listdir(folder)):
        if not name.endswith(".tbd"):
            continue
        with open(os.path.join(folder, name)) as f:
            text = f.read()
        install_name = re.search(r"^install-name: *'([^']*)'", text, re.M).group(1)
        for arch in MINIMUM_IOS:
            stubs[(install_name, arch)] = set()
        for targets, listed in re.findall(r"- targets: *\[([^\]]*)\]\s*symbols: *\[([^\]]*)\]",
                                          text):
            for arch in MINIMUM_IOS:
                if arch + "-ios" in targets:
                    stubs[(install_name, arch)].update(s.strip() for s in listed.split(",")
                                                       if s.strip())
    return stubs


def short_name(install_name):
    """The name llvm-objdump shows for a library: a framework's name, or the file's up to '.'."""
    base = install_name.rsplit("/", 1)[-1]
    return base if ".framework/" in install_name else base.split(".", 1)[0]


def objdump(path, *options):
    return subprocess.run(["llvm-objdump-14", "--macho"] + list(options) + [path], check=True,
                          capture_output=True, text=True).stdout


def fixups(path):
    """[(kind, address, library short name, symbol)] of the rebase, bind, lazy-bind and weak-bind
    tables ("rebase", "bind", "lazy", "weak"; a rebase has no library or symbol, a weak bind no
    library: it binds by name across all images)."""
    found = []
    kind = None
    for line in objdump(path, "--rebase", "--bind", "--lazy-bind", "--weak-bind").splitlines():
        if line.endswith("table:"):
            kind = line.split()[0].lower()
            continue
        fields = line.split()
        if not (kind and len(fields) >= 4 and fields[0].startswith("__")):
            continue
        address = int(fields[2], 16)
        if kind == "rebase":
            found.append((kind, address, None, None))
        elif kind == "weak":
            found.append((kind, address, None, fields[-1]))
        else:
            found.append((kind, address, fields[-2], fields[-1]))
    return found


def exports(path):
    """[(name, address, flags)] of the exports trie; flags such as [weak_def] follow the name."""
    found = []
    for line in objdump(path, "--exports-trie").splitlines():
        m = re.match(r"^0x([0-9A-Fa-f]+)\s+(\S+)\s*(.*)$", line)
        if m:
            found.append((m.group(2), int(m.group(1), 16), m.group(3)))
    return found


def stub_helper_cache_word(thin):
    """The word armv7's lazy-binding helper hands dyld to cache this image in (dyld fills it
    itself: it is rightly neither bound nor rebased), or None. The helper starts
    `str ip,[sp,#-4]!; ldr ip,L; add ip,pc,ip`, so the word is at (helper + 16) + L, L being the
    helper's literal at +28."""
    if thin.arch != "armv7":
        return None
    for segment in thin.segments:
        for name, address, size, offset in segment.sections:
            if name == "__stub_helper" and size >= 32:
                (literal,) = struct.unpack_from("<I", thin.data, offset + 28)
                return (address + 16 + literal) & 0xFFFFFFFF
    return None


def check_slice(report, where, data, path_on_device, stubs, workdir):
    thin = macho.Slice(data)
    filetype, install_name, libraries = BINARIES[path_on_device]
    report.check(thin.filetype == filetype, where, "file type %d, expected %d" %
                 (thin.filetype, filetype))
    report.check(thin.install_name() == install_name, where, "install name %r, expected %r" %
                 (thin.install_name(), install_name))
    loaded = thin.dylibs()
    report.check(sorted(loaded) == sorted(libraries), where,
                 "loads %s, expected %s" % (loaded, libraries))
    report.check(thin.command(macho.LC_DYLD_INFO_ONLY) is not None and
                 thin.command(macho.LC_DYLD_CHAINED_FIXUPS) is None, where,
                 "needs classic dyld information (iOS 7 has no chained fixups)")
    minimum = MINIMUM_IOS.get(thin.arch)
    report.check(thin.minimum_ios() == minimum, where,
                 "minimum iOS %s, expected %s" % (thin.minimum_ios(), minimum))
    path = os.path.join(workdir, where.replace("/", "_"))
    with open(path, "wb") as f:
        f.write(data)
    by_short = {short_name(n): n for n in loaded}
    table = fixups(path)
    # Every pointer the loader fills must be rebased or bound: a slot left as the linker wrote it
    # (zero) is a call or load through null on the device.
    fixed = {address for _, address, _, _ in table}
    fixed.add(stub_helper_cache_word(thin))
    for segment in thin.segments:
        for section, address, size, _offset in segment.sections:
            if section in ("__got", "__la_symbol_ptr", "__nl_symbol_ptr"):
                unfixed = [a for a in range(address, address + size, thin.ptr) if a not in fixed]
                report.check(not unfixed, where, "%s has pointers nothing binds or rebases, at %s"
                             % (section, ", ".join("0x%x" % a for a in unfixed[:4])))
    # Every symbol the slice imports must be bound somewhere: a reference the linker dropped
    # leaves its pointer as the linker wrote it, whatever section it is in.
    bound = {symbol for kind, _, _, symbol in table if kind != "rebase"}
    imported = [name for name, (n_type, _desc) in thin.symbols().items()
                if n_type & 0x0E == 0 and n_type & 0x01]  # N_UNDF, N_EXT
    for name in imported:
        report.check(name in bound, where, "%s is imported but never bound" % name)
    for kind, _address, library, symbol in table:
        if kind == "rebase":
            continue
        if not report.check(kind != "weak", where, "%s is bound weakly" % symbol):
            continue
        name = by_short.get(library)
        if not report.check(name is not None, where,
                            "%s %s bound to %r, not to a loaded library" % (kind, symbol, library)):
            continue
        report.check(symbol in stubs.get((name, thin.arch), ()), where,
                     "%s %s is not in the stub of %s" % (kind, symbol, name))
    exported = exports(path)
    names = [n for n, _, _ in exported]
    report.check(sorted(names) == sorted(EXPORTS), where,
                 "exports %s, expected exactly %s" % (sorted(names), sorted(EXPORTS)))
    symbols = thin.symbols()
    for name, address, flags in exported:
        report.check("weak" not in flags, where, "%s is exported weak" % name)
        # A Thumb function is entered with the low bit of its address set: an export without it
        # would be called in ARM state.
        thumb = symbols.get(name, (0, 0))[1] & N_ARM_THUMB_DEF
        report.check(not thumb or address & 1, where,
                     "%s is Thumb code exported without its Thumb bit" % name)
    check_signature(report, where, data)


def check_binaries(report, files, stubs, archs, workdir):
    for path in BINARIES:
        data = files.get(path)
        if data is None:
            continue
        try:
            slices = macho.fat_slices(data)
        except macho.MachOError as e:
            report.check(False, path, str(e))
            continue
        report.check(struct.unpack_from(">I", data)[0] == macho.FAT_MAGIC, path, "not a fat file")
        report.check(sorted(a for a, _, _ in slices) == sorted(archs), path,
                     "slices %s, expected %s" % ([a for a, _, _ in slices], archs))
        for arch, offset, size in slices:
            try:
                check_slice(report, "%s (%s)" % (path, arch), data[offset:offset + size], path,
                            stubs, workdir)
            except (macho.MachOError, struct.error, ValueError) as e:
                report.check(False, "%s (%s)" % (path, arch), "unreadable: %s" % e)


# --- the signature -----------------------------------------------------------------------------

def check_signature(report, where, data):
    thin = macho.Slice(data)
    sig = thin.code_signature()
    if not report.check(sig is not None, where, "no LC_CODE_SIGNATURE"):
        return
    offset, size = sig
    linkedit = thin.segment("__LINKEDIT")
    report.check(offset + size <= len(data), where, "the signature reaches past the file")
    report.check(linkedit is not None and linkedit.fileoff + linkedit.filesize >= offset + size
                 and linkedit.vmsize >= linkedit.filesize, where,
                 "__LINKEDIT does not cover the signature")
    blob = data[offset:offset + size]
    magic, length, count = struct.unpack_from(">III", blob)
    if not report.check(magic == 0xFADE0CC0 and length <= size, where, "no SuperBlob"):
        return
    slots = {}
    for i in range(count):
        slot, at = struct.unpack_from(">II", blob, 12 + 8 * i)
        _magic, blob_length = struct.unpack_from(">II", blob, at)
        slots[slot] = blob[at:at + blob_length]
    report.check(sorted(slots) == [0, 2, 0x1000, 0x10000], where,
                 "slots %s, expected 0, 2, 0x1000, 0x10000" % [hex(s) for s in sorted(slots)])
    requirements = slots.get(2, b"")
    report.check(requirements == struct.pack(">III", 0xFADE0C01, 12, 0), where,
                 "slot 2 is not an empty requirement set")
    report.check(slots.get(0x10000) == struct.pack(">II", 0xFADE0B01, 8), where,
                 "slot 0x10000 is not an empty CMS wrapper")
    for slot, hash_type, algorithm in ((0, 1, hashlib.sha1), (0x1000, 2, hashlib.sha256)):
        cd = slots.get(slot)
        if cd is None:
            continue
        (magic, _length, version, flags, hash_offset, _ident, n_special, n_code, code_limit,
         hash_size, cd_hash_type, _platform, page_log2) = struct.unpack_from(">IIIIIIIIIBBBB", cd)
        what = "%s CodeDirectory %s" % (where, algorithm().name)
        report.check(magic == 0xFADE0C02 and version == 0x20100 and flags & 2, what,
                     "not an ad-hoc CodeDirectory of version 0x20100")
        report.check(cd_hash_type == hash_type and hash_size == algorithm().digest_size, what,
                     "hash type %d" % cd_hash_type)
        report.check(code_limit == offset, what, "codeLimit %d, the signature is at %d" %
                     (code_limit, offset))
        page = 1 << page_log2
        expected = [algorithm(data[i:min(i + page, code_limit)]).digest()
                    for i in range(0, code_limit, page)]
        stored = [cd[hash_offset + k * hash_size:hash_offset + (k + 1) * hash_size]
                  for k in range(n_code)]
        bad = [k for k in range(max(len(expected), len(stored)))
               if k >= len(expected) or k >= len(stored) or expected[k] != stored[k]]
        report.check(not bad, what, "page hashes differ at pages %s" % bad[:8])
        if n_special >= 2:
            report.check(cd[hash_offset - 2 * hash_size:hash_offset - hash_size] ==
                         algorithm(requirements).digest(), what,
                         "special slot 2 is not the requirements' hash")
        else:
            report.check(False, what, "no special slot for the requirements")


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sources", required=True)
    parser.add_argument("--stubs", required=True)
    parser.add_argument("--archs", default="armv7,arm64")
    parser.add_argument("--workdir", default=None)
    parser.add_argument("deb")
    args = parser.parse_args(argv)
    report = Report()
    with open(args.deb, "rb") as f:
        members = ar_members(f.read())
    check_members(report, members)
    check_control(report, members)
    files = check_layout(report, members, args.sources)
    workdir = args.workdir or os.path.dirname(os.path.abspath(args.deb))
    check_binaries(report, files, read_stubs(args.stubs), args.archs.split(","), workdir)
    for line in report.failures:
        print(line)
    if report.failures:
        return 1
    print("package ok")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
