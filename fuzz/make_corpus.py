#!/usr/bin/env python3
"""Writes the seed corpus of each fuzz target under corpus/<target>/.

The seeds are the cases the tests already know: the example profiles, the test data of the colour
helpers and of `vyr show`, the colour strings of the colour helpers' edge cases, the pane's own
specifier list, and small property lists of the shapes the parser must refuse (loops, shared
references, deep nesting). Binary property lists come from plistlib or, for shapes no writer
makes, are assembled here object by object. Run it again after changing a seed: the files are
checked in.
"""
import os
import plistlib
import shutil
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
CORPUS = os.path.join(HERE, "corpus")


def bplist(objects, root=0, ref_size=1):
    """A binary property list of OBJECTS (already encoded, references as indices of REF_SIZE
    bytes), with ROOT as its top object."""
    out = bytearray(b"bplist00")
    offsets = []
    for obj in objects:
        offsets.append(len(out))
        out += obj
    table = len(out)
    for offset in offsets:
        out += struct.pack(">Q", offset)
    out += bytes(6) + bytes([8, ref_size])
    out += struct.pack(">QQQ", len(objects), root, table)
    return bytes(out)


def ascii_string(text):
    data = text.encode("latin-1")
    assert len(data) < 15
    return bytes([0x50 | len(data)]) + data


def refs(marker, indices, ref_size=1):
    assert len(indices) < 15
    out = bytes([marker | len(indices)])
    for index in indices:
        out += index.to_bytes(ref_size, "big")
    return out


def array(*indices):
    return refs(0xA0, indices)


def dictionary(keys, values):
    return refs(0xD0, list(keys) + list(values))


def doubling(levels):
    """Each array references the next one twice, LEVELS deep: 2^LEVELS values once expanded."""
    objects = [array(k + 1, k + 1) for k in range(levels)] + [bytes([0x09])]
    root = len(objects)
    objects.append(dictionary([root + 1], [0]))
    objects.append(ascii_string("sig"))
    return bplist(objects, root=root)


def xml(settings):
    return plistlib.dumps(settings, fmt=plistlib.FMT_XML, sort_keys=True)


def binary(settings):
    return plistlib.dumps(settings, fmt=plistlib.FMT_BINARY, sort_keys=True)


def write(target, name, data):
    folder = os.path.join(CORPUS, target)
    os.makedirs(folder, exist_ok=True)
    if isinstance(data, str):
        data = data.encode("utf-8")
    with open(os.path.join(folder, name), "wb") as out:
        out.write(data)


def copy(target, name, source):
    os.makedirs(os.path.join(CORPUS, target), exist_ok=True)
    shutil.copyfile(os.path.join(ROOT, source), os.path.join(CORPUS, target, name))


COLOUR_STRINGS = {
    "hex-alpha": "#a1a1a1:1.0",
    "no-hash": "a1a1a1",
    "upper": "#A1A1A1",
    "white": "#ffffff",
    "short": "#abc",
    "two-digits": "#ab",
    "four-digits": "#abcd",
    "eight-digits": "#12345678",
    "two-hashes": "##abcdef",
    "invalid-digits": "#zzzzzz",
    "empty": "",
    "lone-hash": "#",
    "one-digit": "#a",
    "picker": "#FF2D55:1.000000",
    "short-alpha": "#0f0:0.5",
    "empty-hex-part": ":0.5",
    "empty-alpha": "#a1a1a1:",
    "word-alpha": "#a1a1a1:abc",
    "two-colons": "#a1a1a1:1:2",
    "huge-alpha": "#a1a1a1:1e999",
    "negative-alpha": "#a1a1a1:-0.5",
}

KEYS = (["ENABLED%d" % n for n in range(1, 7)] +
        ["sigs", "sbsigs", "text", "batt", "load", "recents"] +
        ["sig", "sbsig", "txt", "bat", "lod", "rec"] +
        ["vyrColor%d" % n for n in range(1, 7)] + ["lssame"])


def colour_strings():
    for name, text in COLOUR_STRINGS.items():
        write("colour_string", name, text)
    write("colour_string", "utf8", "#\u00e9\u00e9\u00e9")
    write("colour_string", "invalid-utf8", b"#\xff\xfe\xfd\xfc\xfb\xfa")
    write("colour_string", "nul", b"#a1\x00a1a1:1.0")


def prefs_files():
    for name in ("presets.plist", "custom.plist", "hosts-own.plist", "mixed.plist"):
        copy("prefs_file", "example-" + name, os.path.join("examples", name))
    for name in ("prefs-binary.plist", "prefs-xml.plist"):
        copy("prefs_file", "colour-" + name, os.path.join("colour", "tests", "data", name))
    for name, hostile in (("array-root.plist", "array-root-binary.plist"),
                          ("truncated-binary.plist", "truncated-binary-in-values.plist"),
                          ("truncated-xml.plist", "truncated-xml.plist")):
        copy("prefs_file", "colour-" + name, os.path.join("tests", "hostile", hostile))
    copy("prefs_file", "not-a-plist.txt", os.path.join("tests", "hostile", "not-a-plist.txt"))
    write("prefs_file", "empty", b"")
    # Every key with a value of each kind, as text and as binary.
    kinds = [True, 0, -1, 2 ** 32 + 13, 2 ** 63 - 1, 1.5, "YES", "#a1a1a1:1.0", b"\x01", [1],
             {"a": 1}]
    for n, kind in enumerate(kinds):
        settings = {key: kind for key in KEYS}
        write("prefs_file", "kind-%02d.%s" % (n, "xml" if n % 2 else "bin"),
              xml(settings) if n % 2 else binary(settings))
    # The custom switches on with every colour key, and the limits of the preset indices.
    write("prefs_file", "custom-all.bin", binary(
        dict([("ENABLED%d" % n, True) for n in range(1, 7)] +
             [("vyrColor%d" % n, "#%02x%02x%02x:0.%d" % (n, 2 * n, 3 * n, n))
              for n in range(1, 7)])))
    write("prefs_file", "index-limits.bin", binary({
        "sig": 2 ** 31 - 1, "sbsig": -2 ** 31, "txt": 2 ** 32 + 4, "bat": -2 ** 63,
        "lod": 2 ** 64 - 1, "rec": 15}))
    # XML as libplist reads it: a byte-order mark, comments, CDATA, entities, an empty root.
    write("prefs_file", "xml-quirks.xml",
          '\ufeff<?xml version="1.0"?><!-- c --><!DOCTYPE plist [ <!ENTITY x "y"> ]>'
          '<plist><dict><key>vyr&#67;olor1</key><string><![CDATA[#ff0000]]>:0.5</string>'
          '<key>sig</key><integer>12abc</integer><key>lssame</key><false/></dict></plist>')
    write("prefs_file", "xml-empty-root.xml", '<plist><dict/><dict><key>a</key></dict></plist>')
    write("prefs_file", "xml-nested.xml",
          "<plist><dict><key>sig</key>" + "<array>" * 40 + "</array>" * 40 +
          "</dict></plist>")
    # Binary shapes no writer makes: a loop, a shared value, references that double.
    write("prefs_file", "loop.bin", bplist(
        [dictionary([1], [2]), ascii_string("sig"), array(0)]))
    write("prefs_file", "shared.bin", bplist(
        [dictionary([1, 2], [3, 3]), ascii_string("sig"), ascii_string("txt"), bytes([0x10, 13])]))
    write("prefs_file", "doubling.bin", doubling(12))


def specifier_lists():
    copy("pane", "VYR.xml", os.path.join("prefs", "Resources", "VYR.plist"))
    with open(os.path.join(ROOT, "prefs", "Resources", "VYR.plist"), "rb") as source:
        write("pane", "VYR.bin", binary(plistlib.load(source)))

    def cell(kind, key, **extra):
        item = {"cell": kind, "key": key, "defaults": "com.belvorin.VYR", "label": key,
                "PostNotification": "com.belvorin.VYR/settingschanged"}
        item.update(extra)
        return item

    lists = {
        "switch": [cell("PSSwitchCell", "ENABLED1", default=False)],
        "list": [cell("PSLinkListCell", "sig", validValues=list(range(1, 16)),
                      validTitles=["c%d" % n for n in range(1, 16)])],
        "colour": [cell("PSLinkCell", "vyrColor1", cellClass="PFSimpleLiteColorCell",
                        default="#a1a1a1:1.0")],
        "text": [cell("PSEditTextCell", "vyrColor2"), cell("PSSegmentCell", "txt",
                                                            validValues=[1, "2", 3.5],
                                                            validTitles=["a"])],
        "buttons": [{"cell": "PSButtonCell", "label": "Respring", "action": "respring"},
                    {"cell": "PSButtonCell", "label": "Nothing", "action": ""}],
        "odd-cells": [cell("PSLinkCell", "a", cellClass="NSObject"),
                      cell("PSLinkCell", "b", cellClass="PSTableCell"),
                      cell("NoSuchCell", "c", cellClass=7),
                      cell("PSGroupCell", "d")],
        "odd-domains": [cell("PSSwitchCell", "e", defaults="../../escape"),
                        cell("PSSwitchCell", "f", defaults=""),
                        cell("PSSwitchCell", "g", defaults=["com.belvorin.VYR"]),
                        cell("PSSwitchCell", 5), cell("PSSwitchCell", "h",
                                                        PostNotification="a/b\u00e9 c")],
        "odd-items": ["not a dictionary", 1, [], {}],
    }
    for name, items in lists.items():
        write("pane", name + ".xml", xml({"title": name, "items": items}))
    write("pane", "no-items.bin", binary({"title": "VYR"}))
    write("pane", "items-not-array.xml", xml({"items": {"cell": "PSSwitchCell"}}))


if __name__ == "__main__":
    shutil.rmtree(CORPUS, ignore_errors=True)
    colour_strings()
    prefs_files()
    specifier_lists()
    for target in sorted(os.listdir(CORPUS)):
        print(target, len(os.listdir(os.path.join(CORPUS, target))), "seeds")
