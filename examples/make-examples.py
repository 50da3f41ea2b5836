#!/usr/bin/env python3
"""Writes the settings profiles of this folder, as the device's Settings pane leaves them.

The device writes its preferences as binary property lists; custom.plist stays XML so that a
person can read one. Run it again after changing a profile here: the files are checked in.
"""
import os
import plistlib

HERE = os.path.dirname(os.path.abspath(__file__))

PROFILES = {
    # One preset entry per element, each a different colour; the lock screen in the default style.
    "presets.plist": (plistlib.FMT_BINARY, {
        "sigs": True, "sig": 13,      # red
        "sbsigs": True, "sbsig": 10,  # orange
        "text": True, "txt": 15,      # yellow
        "batt": True, "bat": 9,       # green
        "load": True, "lod": 12,      # purple
        "recents": True, "rec": 2,    # blue
        "lssame": True,
    }),
    # Every element in a custom colour, written as the colour-picker cells write them: upper-case
    # hex with six decimals of alpha, one translucent, one in the short form.
    "custom.plist": (plistlib.FMT_XML, {
        "ENABLED1": True, "vyrColor1": "#FF2D55:1.000000",
        "ENABLED2": True, "vyrColor2": "#5AC8FA:1.000000",
        "ENABLED3": True, "vyrColor3": "#FFFFFF:0.500000",
        "ENABLED4": True, "vyrColor4": "#0f0",
        "ENABLED5": True, "vyrColor5": "#FF9500:1.000000",
        "ENABLED6": True, "vyrColor6": "#FFCC00:1.000000",
        # Ignored while the custom switches are on.
        "sigs": True, "sig": 1,
    }),
    # Every element switched off and the lock screen left to its own style: the host's colours.
    "hosts-own.plist": (plistlib.FMT_BINARY, {
        "sigs": False, "sbsigs": False, "text": False, "batt": False, "load": False,
        "recents": False, "lssame": False,
    }),
    # A bit of everything, edge cases included: a custom colour, a switched-off element, the
    # clear entry (the battery disappears), an index that names no entry (no colour in a new
    # process), and a custom switch whose colour key is missing (the fallback #a1a1a1).
    "mixed.plist": (plistlib.FMT_BINARY, {
        "ENABLED1": True, "vyrColor1": "#AF52DE:1.000000",
        "sbsigs": False,
        "text": True, "txt": 14,     # white
        "batt": True, "bat": 4,      # clear
        "load": True, "lod": 0,      # no entry
        "ENABLED6": True,            # no vyrColor6
    }),
}

for name, (fmt, settings) in PROFILES.items():
    with open(os.path.join(HERE, name), "wb") as out:
        plistlib.dump(settings, out, fmt=fmt, sort_keys=True)
    print("wrote", name)
