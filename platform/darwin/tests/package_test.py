#!/usr/bin/python3
"""The device's package passes its checks, and each check fails on the fault it is for.

Run by ctest in the device build (label device) with VYR_DEB (the package) and VYR_SOURCE_DIR.
Each fault is made in a copy of the built package: a byte patched in a slice, a stub without a
symbol, a member repacked otherwise.
"""

import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

SOURCE_DIR = os.environ.get("VYR_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "../../.."))
TOOLS = os.path.join(SOURCE_DIR, "platform/darwin/tools")
STUBS = os.path.join(SOURCE_DIR, "platform/darwin/stubs")
DEB = os.environ.get("VYR_DEB")
sys.path.insert(0, TOOLS)
import check_package  # noqa: E402
import macho  # noqa: E402

SIGNALS = "Library/MobileSubstrate/DynamicLibraries/VYRSignals.dylib"
BUNDLE = "Library/PreferenceBundles/VYR.bundle/VYR"


class PackageChecks(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp()
        self.root = os.path.join(self.work, "root")
        subprocess.run(["dpkg-deb", "-R", DEB, self.root], check=True)

    def tearDown(self):
        shutil.rmtree(self.work)

    def check(self, stubs=STUBS, compression="gzip"):
        """The checker's failure lines for the package as it now is in self.root."""
        deb = os.path.join(self.work, "mutated.deb")
        subprocess.run(["dpkg-deb", "--root-owner-group", "-Z" + compression, "--build",
                        self.root, deb], check=True, stdout=subprocess.DEVNULL)
        out = subprocess.run([sys.executable, os.path.join(TOOLS, "check_package.py"),
                              "--sources", SOURCE_DIR, "--stubs", stubs, "--workdir", self.work,
                              deb], capture_output=True, text=True)
        self.assertEqual(out.returncode, 0 if out.stdout == "package ok\n" else 1, out.stdout)
        return out.stdout

    def assertCaught(self, needle, output):
        self.assertIn(needle, output)
        self.assertNotIn("package ok", output)

    def patch_slice(self, path, patch, arch="arm64"):
        """Applies PATCH(bytearray of the slice, macho.Slice) to ARCH's slice of PATH."""
        full = os.path.join(self.root, path)
        with open(full, "rb") as f:
            data = bytearray(f.read())
        for name, offset, size in macho.fat_slices(bytes(data)):
            if name == arch:
                piece = bytearray(data[offset:offset + size])
                patch(piece, macho.Slice(bytes(piece)))
                data[offset:offset + size] = piece
        with open(full, "wb") as f:
            f.write(data)

    def test_the_built_package_passes(self):
        self.assertEqual(self.check(), "package ok\n")

    def test_archive_control_and_layout_faults(self):
        self.assertCaught("data.tar.gz (gzip)", self.check(compression="xz"))
        control = os.path.join(self.root, "DEBIAN/control")
        with open(control) as f:
            text = f.read()
        with open(control, "w") as f:
            f.write(text.replace("iphoneos-arm", "darwin-arm64")
                    .replace(", org.thebigboss.libcolorpicker", ""))
        out = self.check()
        self.assertCaught("Architecture 'darwin-arm64'", out)
        self.assertCaught("Depends ['mobilesubstrate', 'preferenceloader']", out)
        with open(control, "w") as f:
            f.write(text)
        os.chmod(os.path.join(self.root, BUNDLE), 0o644)
        with open(os.path.join(self.root, "Library/PreferenceBundles/VYR.bundle/VYR.plist"),
                  "ab") as f:
            f.write(b"\n")
        out = self.check()
        self.assertCaught(BUNDLE + " has mode 644, expected 755", out)
        self.assertCaught("VYR.bundle/VYR.plist differs from its source", out)

    def test_load_command_faults(self):
        def rename(old, new):
            def patch(data, thin):
                at = data.find(old, 0, thin.header_size + thin.sizeofcmds)
                data[at:at + len(old)] = new
            return patch
        self.patch_slice(SIGNALS, rename(b"DynamicLibraries/VYRSignals.dylib",
                                         b"DynamicLibraries/VYRSignalz.dylib"))
        self.patch_slice(BUNDLE, rename(b"/usr/lib/libc++.1.dylib", b"/usr/lib/libc++.2.dylib"))

        def ios8(data, thin):
            struct.pack_into("<I", data, thin.command(macho.LC_VERSION_MIN_IPHONEOS) + 8, 8 << 16)
        self.patch_slice(SIGNALS, ios8)
        out = self.check()
        self.assertCaught("install name '/Library/MobileSubstrate/DynamicLibraries/VYRSignalz", out)
        self.assertCaught("'/usr/lib/libc++.2.dylib'", out)
        self.assertCaught("minimum iOS (8, 0), expected (7, 0)", out)

    def test_import_faults(self):
        # A symbol the device's library lacks: the stub no longer lists it.
        stubs = os.path.join(self.work, "stubs")
        shutil.copytree(STUBS, stubs)
        path = os.path.join(stubs, "libSystem.tbd")
        with open(path) as f:
            text = f.read()
        with open(path, "w") as f:
            f.write(text.replace(" _arc4random,", ""))
        self.assertCaught("_arc4random is not in the stub of /usr/lib/libSystem.B.dylib",
                          self.check(stubs=stubs))

        # Pointers the loader is never told to fill.
        def unbind(data, thin):
            struct.pack_into("<I", data, thin.command(macho.LC_DYLD_INFO_ONLY) + 20, 0)
        self.patch_slice(SIGNALS, unbind)
        self.patch_slice(SIGNALS, unbind, arch="armv7")
        out = self.check()
        self.assertCaught("(arm64): __got has pointers nothing binds or rebases", out)
        self.assertCaught("(armv7): __ZTISt12out_of_range is imported but never bound", out)

    def test_export_faults(self):
        def rename_main(data, thin):
            export_off, export_size = struct.unpack_from(
                "<II", data, thin.command(macho.LC_DYLD_INFO_ONLY) + 40)
            at = data.find(b"main\0", export_off, export_off + export_size)
            data[at:at + 4] = b"maim"
        self.patch_slice(BUNDLE, rename_main)

        def weaken_main(data, thin):
            # The edge "main" leads to its node: terminal size, then the export flags.
            export_off, export_size = struct.unpack_from(
                "<II", data, thin.command(macho.LC_DYLD_INFO_ONLY) + 40)
            edge = data.find(b"main\0", export_off, export_off + export_size)
            node = export_off + data[edge + 5]  # a trie this small has one-byte offsets
            data[node + 1] |= 0x04  # EXPORT_SYMBOL_FLAGS_WEAK_DEFINITION
        self.patch_slice(SIGNALS, weaken_main)

        def thumb_main(data, thin):
            # The symbol table says Thumb; the exported address keeps its low bit clear.
            symoff, nsyms, stroff, _ = struct.unpack_from("<IIII", data,
                                                          thin.command(macho.LC_SYMTAB) + 8)
            for i in range(nsyms):
                strx, = struct.unpack_from("<I", data, symoff + 12 * i)
                if data[stroff + strx:stroff + strx + 6] == b"_main\0":
                    struct.pack_into("<H", data, symoff + 12 * i + 6, 0x0008)
        self.patch_slice(BUNDLE, thumb_main, arch="armv7")
        out = self.check()
        self.assertCaught("'_maim'", out)
        self.assertCaught("_main is exported weak", out)
        self.assertCaught("(armv7): _main is Thumb code exported without its Thumb bit", out)

    def test_signature_faults(self):
        flipped = []

        def flip_code(data, thin):
            text = thin.segment("__TEXT").sections[0]
            data[text[3] + 8] ^= 0xFF
            flipped.append((text[3] + 8) // 4096)
        self.patch_slice(SIGNALS, flip_code)

        def drop_signature(data, thin):
            struct.pack_into("<I", data, thin.command(macho.LC_CODE_SIGNATURE), 0x7FFF)
        self.patch_slice(BUNDLE, drop_signature)
        out = self.check()
        self.assertCaught("CodeDirectory sha1: page hashes differ at pages %s" % flipped, out)
        self.assertCaught("CodeDirectory sha256: page hashes differ at pages %s" % flipped, out)
        self.assertCaught(BUNDLE + " (arm64): no LC_CODE_SIGNATURE", out)


class Armv7Linker(unittest.TestCase):
    """The old armv7 linker's silent fault, made for real, and the rewrite that avoids it."""

    def test_unrewritten_data_pointers_are_caught(self):
        # The deliverable's module as the compiler wrote it, linked as the linker would without
        # link_armv7.py's rewrite: its pointers to external data stay zero and unbound.
        work = os.environ["VYR_ARMV7_WORK"]
        with tempfile.TemporaryDirectory() as tmp:
            obj, out = os.path.join(tmp, "module.o"), os.path.join(tmp, "VYRSignals")
            subprocess.run(["clang-14", "-target", "armv7-apple-ios7.0", "-c",
                            os.path.join(work, "module.s"), "-o", obj], check=True)
            stubs = [os.path.join(work, n + ".dylib") for n in
                     ("libobjc", "libSystem", "libc++", "Foundation", "CoreFoundation", "UIKit",
                      "libcolorpicker", "CydiaSubstrate")]
            subprocess.run(["ld64.lld.darwinold-13", "-arch", "armv7", "-ios_version_min", "7.0",
                            "-sdk_version", "8.1", "-dylib", "-install_name", "/" + SIGNALS,
                            obj] + stubs + ["-o", out], check=True, stderr=subprocess.DEVNULL)
            with open(out, "rb") as f:
                data = f.read()
            report = check_package.Report()
            check_package.check_slice(report, "old", data, SIGNALS,
                                      check_package.read_stubs(STUBS), tmp)
        self.assertTrue(any("__nl_symbol_ptr has pointers nothing binds or rebases" in line
                            for line in report.failures), report.failures)

    def test_non_lazy_pointers_become_plain_pointers_with_symbols(self):
        import link_armv7
        text = ("\t.section\t__DATA,__nl_symbol_ptr,non_lazy_symbol_pointers\n\t.p2align\t2\n"
                "L_x$non_lazy_ptr:\n\t.indirect_symbol\t_x\n\t.long\t0\n"
                "L_y$non_lazy_ptr:\n\t.indirect_symbol\t_y\n\t.long\t0\n")
        plain = link_armv7.plain_data_pointers(text)
        self.assertEqual(plain, "\t.section\t__DATA,__data\n\t.p2align\t2\n"
                         "L_x$non_lazy_ptr:\n\t.long\t_x\nL_y$non_lazy_ptr:\n\t.long\t_y\n")
        code = "\t.long\tL_y$non_lazy_ptr-(LPC0_1+8)\nLPC0_1:\n"
        self.assertEqual(link_armv7.pointer_symbols(code + plain),
                         "\t.long\tl_y$non_lazy_ptr-(LPC0_1+8)\nLPC0_1:\n"
                         "\t.section\t__DATA,__data\n\t.p2align\t2\n"
                         "l_x$non_lazy_ptr:\n\t.long\t_x\nl_y$non_lazy_ptr:\n\t.long\t_y\n")


class Signer(unittest.TestCase):
    def test_page_hashes_are_the_linkers_own(self):
        # The linker's SHA-256 signature of the same file is the reference: every page but the
        # first (whose load commands the signer patches) hashes alike.
        linked = os.environ["VYR_LINKED_SLICE"]
        with open(linked, "rb") as f:
            data = f.read()
        thin = macho.Slice(data)
        offset, size = thin.code_signature()
        blob = data[offset:offset + size]
        cd_at = struct.unpack_from(">I", blob, 16)[0]
        hash_offset, = struct.unpack_from(">I", blob, cd_at + 16)
        n_code, = struct.unpack_from(">I", blob, cd_at + 28)
        linker = [blob[cd_at + hash_offset + 32 * k:cd_at + hash_offset + 32 * (k + 1)]
                  for k in range(n_code)]
        import adhoc_sign
        signed = adhoc_sign.sign(data, "VYRSignals")
        ours = adhoc_sign.page_hashes(signed[:offset], adhoc_sign.CS_HASHTYPE_SHA256)
        self.assertEqual(len(ours), len(linker))
        self.assertEqual(ours[1:], linker[1:])
        self.assertNotEqual(ours[0], linker[0])
        report = check_package.Report()
        check_package.check_signature(report, "signed", signed)
        self.assertEqual(report.failures, [])


if __name__ == "__main__":
    unittest.main()
