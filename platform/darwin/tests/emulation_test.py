#!/usr/bin/python3
"""The deliverables' code, both slices, run in the emulator (tools/emulate.py) under the device's
calling conventions: the exported helpers, the library's start-up, and each replacement as UIKit
calls it.

Run by ctest in the device build (label device) with VYR_SLICES, the folder of signed slices.
"""

import os
import struct
import subprocess
import sys
import tempfile
import unittest

SOURCE_DIR = os.environ.get("VYR_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "../../.."))
sys.path.insert(0, os.path.join(SOURCE_DIR, "platform/darwin/tools"))
import emulate  # noqa: E402
from emulate import bits32, float32  # noqa: E402

SLICES = os.environ.get("VYR_SLICES", "")
PREFERENCES = "/var/mobile/Library/Preferences/com.belvorin.VYR.plist"
CONVERT = "__Z14convertFromHexNSt3__112basic_stringIcNS_11char_traitsIcEENS_9allocatorIcEEEE"
HEXTODEC = ("__Z8hextodecNSt3__112basic_stringIcNS_11char_traitsIcEENS_9allocatorIcEEEERNS_6vector"
            "IhNS3_IhEEEE")


ARCHS = ("armv7", "arm64")


def load(name, arch, **options):
    with open(os.path.join(SLICES, arch, name), "rb") as f:
        return emulate.Machine(f.read(), **options)


def std_string(m, raw):
    """A std::string holding RAW, laid out as the device's libc++ lays it out. arm64 (the
    alternate layout): up to 22 bytes inline with the size in the last byte, longer ones as
    {data, size, capacity | 1 << 63}. armv7: up to 10 bytes inline after a first byte of size << 1,
    longer ones as {capacity | 1, size, data}."""
    address = m.malloc(24)
    data = m.malloc(len(raw) + 1)
    m.write(data, raw + b"\0")
    if m.arch == "arm64" and len(raw) <= 22:
        m.write(address, raw + bytes(23 - len(raw)) + bytes([len(raw)]))
    elif m.arch == "arm64":
        m.write(address, struct.pack("<QQQ", data, len(raw), (len(raw) + 1) | (1 << 63)))
    elif len(raw) <= 10:
        m.write(address, bytes([len(raw) << 1]) + raw + bytes(11 - len(raw)))
    else:
        m.write(address, struct.pack("<III", (len(raw) + 2) | 1, len(raw), data))
    return address


def vector(m, begin, size):
    """A std::vector<unsigned char> of SIZE bytes at BEGIN: {begin, end, end of capacity}."""
    address = m.malloc(3 * m.word)
    for i, value in enumerate((begin, begin + size, begin + size)):
        m.put_ptr(address + i * m.word, value)
    return address


def rgba(*components):
    return ("rgba",) + tuple(components)


class ExportedHelpers(unittest.TestCase):
    """Both deliverables' helpers: results, log lines and colours bit for bit."""

    def test_hex_parsing_and_its_log_line(self):
        for name, arch in [(n, a) for n in ("VYRSignals", "VYR") for a in ARCHS]:
            m = load(name, arch)
            self.assertEqual(m.call(CONVERT, std_string(m, b"a1"))[0] & 0xFFFFFFFF, 0xA1)
            self.assertEqual(m.call(CONVERT, std_string(m, b"ffffffff"))[0] & 0xFFFFFFFF,
                             0xFFFFFFFF)
            # NSLog's count is a variable argument: on the device's arm64 it is read from the
            # stack (on armv7 from r1), so a count passed elsewhere would log garbage here.
            self.assertEqual(m.call(CONVERT, std_string(m, b"g1\xc3"))[0] & 0xFFFFFFFF, 0x10)
            # Read from the last character to the first.
            self.assertEqual(m.log, ["Error, invalid char '-61' in hex number",
                                     "Error, invalid char '103' in hex number"])
            rgb = m.malloc(8)
            three = vector(m, rgb, 3)
            m.call(HEXTODEC, std_string(m, b"0a1b2c3d4e5f6a7b8c9d0e1f"), three)
            self.assertEqual(m.read(rgb, 3), b"\x0a\x1b\x2c")
            with self.assertRaisesRegex(emulate.Thrown, "__ZTISt12out_of_range"):
                m.call(HEXTODEC, std_string(m, b"abc"), three)
            with self.assertRaisesRegex(emulate.Thrown, "__ZTISt16invalid_argument"):
                m.call(HEXTODEC, std_string(m, b"abcdef"), vector(m, rgb, 2))

    def test_colours_are_single_precision_quotients_widened(self):
        # On armv7 CGFloat is the float itself; on arm64 it is widened to a double.
        for name, arch in [(n, a) for n in ("VYRSignals", "VYR") for a in ARCHS]:
            m = load(name, arch)
            for text, expected in (("#a1a1a1", (161, 161, 161)), ("#abc", (0xAA, 0xBB, 0xCC)),
                                   ("#", (0, 0, 0)), ("4cd964", (0x4C, 0xD9, 0x64))):
                colour = m.obj(m.call("_colorFromHex", m.ns_string(text))[0]).value
                want = rgba(*(float32(n / 255) for n in expected), 1.0)
                self.assertEqual([emulate.bits64(v) for v in colour[1:]],
                                 [emulate.bits64(v) for v in want[1:]], text)
            self.assertEqual(m.obj(m.call("_colorFromHex", m.ns_string(""))[0]).value[0], "hsba")

    def test_armv7_data_pointers_need_symbols_of_their_own(self):
        # The same module linked with its pointers under temporary labels: the old linker points
        # the code at the first pointer, and out_of_range is thrown with a wrong type.
        import link_armv7
        work = os.environ["VYR_ARMV7_WORK"]
        with open(os.path.join(work, "module.s")) as f:
            text = link_armv7.plain_data_pointers(f.read())
        with tempfile.TemporaryDirectory() as tmp:
            source, obj, out = (os.path.join(tmp, n) for n in ("m.s", "m.o", "VYRSignals"))
            with open(source, "w") as f:
                f.write(text)
            subprocess.run(["clang-14", "-target", "armv7-apple-ios7.0", "-c", source, "-o", obj],
                           check=True)
            stubs = [os.path.join(work, n + ".dylib") for n in
                     ("libobjc", "libSystem", "libc++", "Foundation", "CoreFoundation", "UIKit",
                      "libcolorpicker", "CydiaSubstrate")]
            subprocess.run(["ld64.lld.darwinold-13", "-arch", "armv7", "-ios_version_min", "7.0",
                            "-sdk_version", "8.1", "-dylib", obj] + stubs + ["-o", out],
                           check=True, stderr=subprocess.DEVNULL)
            with open(out, "rb") as f:
                m = emulate.Machine(f.read())
        rgb = m.malloc(8)
        with self.assertRaises(emulate.Thrown) as thrown:
            m.call(HEXTODEC, std_string(m, b"abc"), vector(m, rgb, 3))
        self.assertNotEqual(str(thrown.exception), "__ZTISt12out_of_range")

    def colour_from_preferences(self, arch):
        m = load("VYRSignals", arch, preferences={PREFERENCES: {"vyrColor4": "#00ff00:0.5"}})
        colour = m.obj(m.call("_colorFromDefaultsWithKey", m.ns_string("com.belvorin.VYR"),
                              m.ns_string("vyrColor4"), m.ns_string("#ffffff"))[0]).value
        self.assertEqual(colour, rgba(0.0, 1.0, 0.0, float32(0.5)))

    def test_colour_from_preferences_armv7(self):
        # armv7 passes variable arguments where the named ones go: the format reaches r2 either way.
        self.colour_from_preferences("armv7")

    def test_colour_from_preferences_arm64(self):
        # The path of the domain's file is built with stringWithFormat:, whose format the device
        # reads from x2: it must travel as the named argument it is, not among the variable ones,
        # which arm64 puts on the stack.
        self.colour_from_preferences("arm64")


HOOKS = [
    ("UIStatusBarNewUIStyleAttributes", "initWithRequest:backgroundColor:foregroundColor:"),
    ("UIStatusBar", "setForegroundColor:"),
    ("UIStatusBarNewUIForegroundStyleAttributes", "textColorForStyle:"),
    ("UIStatusBarNewUIForegroundStyleAttributes", "_batteryColorForCapacity:lowCapacity:charging:"),
    ("UIStatusBarForegroundStyleAttributes", "textColorForStyle:"),
    ("UIStatusBarForegroundStyleAttributes", "_batteryColorForCapacity:lowCapacity:charging:"),
    ("UIStatusBarForegroundStyleAttributes", "_batteryColorForCapacity:lowCapacity:style:"),
    ("UIActivityIndicatorView", "setColor:"),
    ("_UIRefreshControlModernContentView", "setTintColor:"),
    ("_UILegibilitySettings", "setPrimaryColor:"),
    ("SBLockScreenViewController", "statusBarStyle"),
]

ALL_OFF = {"sigs": False, "sbsigs": False, "text": False, "batt": False, "load": False,
           "recents": False, "lssame": False}


def started(arch, preferences, classes=None):
    m = load("VYRSignals", arch, preferences={PREFERENCES: preferences}, classes=classes)
    m.run_initialisers()
    return m


class StartUp(unittest.TestCase):
    def test_settings_then_eleven_hooks_in_table_order(self):
        for arch in ARCHS:
            m = started(arch, {"ENABLED4": True})
            self.assertEqual([name for name, _ in m.observers],
                             ["com.belvorin.VYR/settingschanged"])
            self.assertEqual(m.calls[0], ("initWithContentsOfFile:", PREFERENCES))
            self.assertEqual([(c, s) for c, s, _, _ in m.hooks], HOOKS)
            self.assertTrue(all(emulate.BASE <= r < emulate.IMPORTS and s >= emulate.BASE
                                for _, _, r, s in m.hooks))

    def test_the_bundle_registers_its_controller(self):
        for arch in ARCHS:
            m = load("VYR", arch)
            m.run_initialisers()
            made = m.made_classes["VYRListController"]
            self.assertEqual((made["superclass"], made["registered"]), ("PSListController", True))
            bool_type = "c" if arch == "armv7" else "B"
            self.assertEqual([(kind, sel, types) for kind, sel, _imp, types in made["methods"]],
                             [("-", "specifiers", "@@:"), ("-", "viewDidLoad", "v@:"),
                              ("-", "rightButtonPressed", "v@:"), ("-", "respring", "v@:"),
                              ("-", "lib", "v@:"), ("-", "viewWillAppear:", "v@:" + bool_type)])
            self.assertTrue(all(emulate.BASE <= imp < emulate.IMPORTS
                                for _, _, imp, _ in made["methods"]))

    def test_the_panes_button_and_actions(self):
        # The Settings app calls the controller's methods: the list is loaded once into the
        # framework's own _specifiers, the navigation bar gets its button (four arguments, armv7's
        # last two on the stack), the pane reloads before it appears, and both respring actions
        # purge the caches and end the interface's process (backboardd since iOS 7).
        for arch in ARCHS:
            m = load("VYR", arch)
            m.run_initialisers()
            imps = {sel: imp for _k, sel, imp, _t in m.made_classes["VYRListController"]["methods"]}
            pane = m.new_object("VYRListController")
            specifiers = [m.call(imps["specifiers"], pane, m.selector("specifiers"))[0]
                          for _ in range(2)]
            self.assertEqual([m.ptr(pane + 8)] * 2, specifiers)
            self.assertEqual([c for c in m.calls if c[0].startswith("load")],
                             [("loadSpecifiersFromPlistName:target:", "VYR", pane)])
            m.call(imps["viewWillAppear:"], pane, m.selector("viewWillAppear:"), 1)
            self.assertEqual(m.calls[-3:], [("clearCache", pane), ("reload", pane),
                                            ("super", "viewWillAppear:", pane)])
            m.call(imps["viewDidLoad"], pane, m.selector("viewDidLoad"))
            self.assertEqual(m.calls[-2:], [
                ("super", "viewDidLoad", pane),
                ("setRightBarButtonItem:", pane, ("Respring", 0, pane, "rightButtonPressed"))])
            for action in ("rightButtonPressed", "respring"):
                before = len(m.calls)
                m.call(imps[action], pane, m.selector(action))
                done = m.calls[before:]
                self.assertEqual([c for c, _ in done], ["unlink"] * 10 + ["system"] * 14, arch)
                self.assertEqual(done[0][1],
                                 "/User/Library/Caches/com.apple.springboard-imagecache-icons")
                self.assertEqual(done[-3:], [
                    ("system", "rm -rf /User/Library/Caches/BarVM_selected"),
                    ("system", "killall -9 lsd"), ("system", "killall backboardd")])
            m.call(imps["lib"], pane, m.selector("lib"))
            self.assertEqual(m.calls[-1],
                             ("openURL:", "cydia://package/org.thebigboss.libcolorpicker"))

    def test_a_missing_class_is_handed_over_as_nil(self):
        classes = [c for c in emulate.DEFAULT_CLASSES if c != "SBLockScreenViewController"]
        for arch in ARCHS:
            m = started(arch, {}, classes=classes)
            self.assertEqual(len(m.hooks), 11)
            self.assertEqual(m.hooks[10][0], None)


class Replacements(unittest.TestCase):
    """Each replacement called as UIKit calls it: what reaches the saved implementation, and
    what the caller gets back."""

    def call_hook(self, m, index, *ints, cgfloats=()):
        """Calls replacement INDEX as UIKit would: CGFLOATS before INTS (the battery methods' two
        capacities come first), in d0.. on arm64 and as float words ahead of INTS on armv7."""
        _cls, selector, replacement, _slot = m.hooks[index]
        receiver = m.new_object(HOOKS[index][0])
        if m.arch == "arm64":
            return m.call(replacement, receiver, m.selector(selector), *ints, doubles=cgfloats)
        words = [bits32(v) for v in cgfloats] + list(ints)
        return m.call(replacement, receiver, m.selector(selector), *words)

    def test_switched_off_elements_hand_every_argument_on_unchanged(self):
        for arch in ARCHS:
            m = started(arch, ALL_OFF)
            minus_two = 2 ** (8 * m.word) - 2  # NSInteger -2, as the register holds it
            request, background, colour = (m.new_object("NSObject") for _ in range(3))
            calls = [
                (0, (request, background, colour), (), [request, background, colour]),
                (1, (colour,), (), [colour]),
                (2, (minus_two,), (), [minus_two]),
                (3, (1,), (0.25, 0.2), [0.25, float32(0.2), 1]),
                (4, (7,), (), [7]),
                (5, (0,), (0.75, 0.2), [0.75, float32(0.2), 0]),
                (6, (minus_two + 1,), (0.5, 0.1), [0.5, float32(0.1), minus_two + 1]),
                (7, (colour,), (), [colour]),
                (8, (colour,), (), [colour]),
                (9, (colour,), (), [colour]),
                (10, (), (), []),
            ]
            for index, ints, cgfloats, reached in calls:
                if arch == "arm64":  # doubles reach the host as doubles
                    cgfloats = tuple(float(v) for v in cgfloats)
                    reached = [0.2 if v == float32(0.2) else 0.1 if v == float32(0.1) else v
                               for v in reached]
                before = len(m.original_calls)
                result = self.call_hook(m, index, *ints, cgfloats=cgfloats)[0]
                self.assertEqual(m.original_calls[before:], [HOOKS[index] + (reached,)],
                                 (arch, index))
                if index == 10:
                    self.assertEqual(result, 1)
                elif HOOKS[index][1].startswith(("initWith", "textColor", "_battery")):
                    self.assertEqual(m.obj(result).value, ("host", HOOKS[index][1]), index)

    def test_a_host_declaring_other_types_is_seen(self):
        # 64-bit iOS 10 declares the battery style method with int capacities: the replacement,
        # declared with CGFloats, reads d0 and d1 where UIKit put x2 and x3, and hands garbage on.
        m = started("arm64", ALL_OFF)
        m.host_types["_batteryColorForCapacity:lowCapacity:style:"] = "iiQ"
        self.call_hook(m, 6, 40, 20, 1)
        self.assertNotEqual(m.original_calls[-1][2], [40, 20, 1])

    def test_a_host_declaring_other_types_is_left_alone(self):
        # The same iOS 10 host at start-up: the library compares the runtime's type encoding with
        # its replacement's and installs nothing for that row, so UIKit's own method stays.
        for arch in ARCHS:
            m = load("VYRSignals", arch, preferences={PREFERENCES: ALL_OFF})
            m.host_types["_batteryColorForCapacity:lowCapacity:style:"] = "iiQ"
            m.run_initialisers()
            self.assertEqual([(c, s) for c, s, _, _ in m.hooks], HOOKS[:6] + HOOKS[7:], arch)

    def test_no_exception_leaves_a_replacement(self):
        # Memory runs out once the settings file was replaced: the device's operator new throws
        # std::bad_alloc inside the hooks (the watch and the cache both allocate then). The
        # emulator unwinds as the device does (arm64 by __unwind_info, armv7 by SjLj contexts):
        # each replacement catches, keeps the settings it read last and hands the host's
        # arguments on.
        for arch in ARCHS:
            m = started(arch, ALL_OFF)
            colour = m.new_object("NSObject")
            for failing in (False, True):
                m.failing_new = failing
                if failing:
                    m.fs.replace(PREFERENCES, dict(ALL_OFF, lssame=True))
                for index in range(10):
                    ints = {0: (colour,) * 3, 1: (colour,), 7: (colour,), 8: (colour,),
                            9: (colour,)}.get(index, (1,))
                    cgfloats = (0.5, 0.25) if index in (3, 5, 6) else ()
                    self.call_hook(m, index, *ints, cgfloats=cgfloats)
                    self.assertEqual(m.original_calls[-1][:2], HOOKS[index], (arch, index))
                self.assertEqual(self.call_hook(m, 10)[0], 1, arch)
            self.assertGreaterEqual(len(m.exceptions), 11, arch)

    def test_the_settings_file_is_read_again_only_after_it_changed(self):
        # The hooks consult the settings at every call; the device's kqueue watch (the emulator's
        # file system, where /var is a link to private/var as on the device) says when to read
        # the file again. The lock screen's style tells which file was read: 1 is the host's
        # (lssame off), 0 the library's (on).
        for arch in ARCHS:
            m = started(arch, ALL_OFF)

            def reads():
                return m.calls.count(("initWithContentsOfFile:", PREFERENCES))

            self.assertEqual(self.call_hook(m, 10)[0], 1)
            before = reads()
            self.assertEqual(self.call_hook(m, 10)[0], 1)
            self.assertEqual(reads(), before, arch)
            # Writers replace the file by rename: the folder's watch sees it, the new file is
            # read once and then watched.
            m.fs.replace(PREFERENCES, dict(ALL_OFF, lssame=True))
            self.assertEqual(self.call_hook(m, 10)[0], 0, arch)
            self.assertEqual(self.call_hook(m, 10)[0], 0, arch)
            self.assertEqual(reads(), before + 1, arch)
            m.fs.write(PREFERENCES, ALL_OFF)
            self.assertEqual(self.call_hook(m, 10)[0], 1, arch)
            # A link on the way re-pointed: the file it leads to now is read.
            m.fs.folder("/private/var2/mobile/Library/Preferences")
            m.fs.write("/private/var2/mobile/Library/Preferences/com.belvorin.VYR.plist",
                       dict(ALL_OFF, lssame=True))
            m.fs.link("/var", "/private/var2")
            self.assertEqual(self.call_hook(m, 10)[0], 0, arch)
            self.assertEqual(reads(), before + 3, arch)

    def test_switched_on_elements_answer_or_pass_the_preset_colour(self):
        for arch in ARCHS:
            m = started(arch, dict(ALL_OFF, batt=True, bat=9, load=True, lod=1, lssame=True))
            # A getter answers the preset (green: each component n/255 in the slice's CGFloat)
            # without asking the host.
            cg = float32 if arch == "armv7" else float
            for index, cgfloats in ((3, (0.25, 0.2)), (5, (0.25, 0.2)), (6, (0.5, 0.1))):
                result = self.call_hook(m, index, 1, cgfloats=cgfloats)[0]
                self.assertEqual(m.obj(result).value,
                                 rgba(cg(76 / 255), cg(217 / 255), cg(100 / 255), 1.0), arch)
            # A setter hands the preset (black) on in place of the host's colour.
            self.call_hook(m, 7, m.new_object("NSObject"))
            (_cls, _sel, (passed,)), = [c for c in m.original_calls if c[1] == "setColor:"]
            self.assertEqual(m.obj(passed).value, ("named", "black"))
            self.assertEqual(self.call_hook(m, 10)[0], 0)
            self.assertEqual([c[1] for c in m.original_calls], ["setColor:"])


if __name__ == "__main__":
    unittest.main()
