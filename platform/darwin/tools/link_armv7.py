#!/usr/bin/python3
"""Links one deliverable's 32-bit ARM (armv7) slice, around the known faults of the only linker
that can.

    link_armv7.py --kind dylib|bundle [--install-name NAME] --exports FILE --stubs DIR
                  --work DIR --out FILE BITCODE...

No current lld links armv7 code that imports anything; only lld 13's ld64.lld.darwinold does,
reading binary stub libraries (not .tbd), and it mis-links silently in three ways. Each is
avoided here, step by step, and the result is checked afterwards by check_package.py:

 1. Pointers to external data (the compiler's non-lazy pointers, __nl_symbol_ptr) are left zero
    and unbound. The assembly is rewritten so that each becomes a plain pointer in __data, which
    the linker binds like any other, under a symbol of its own (see pointer_symbols). Code
    reaches them through literal pools (-mno-movt, the caller's job too: the movw/movt pairs of
    such references were resolved wrongly as well).
 2. References to weak definitions coalesced across objects resolve to the wrong function (or to
    the value 1). The deliverable is linked as one LLVM module with everything but its exports
    internalized, so one object with no weak definition reaches the linker (checked below).
 3. Thumb functions are exported without their Thumb bit. The sources are compiled with -marm
    (the caller's job: BITCODE must be ARM code), so there is no Thumb code (checked below).

The binary stubs are made from the .tbd files (their armv7 symbols) in WORK. The output has no
code signature: adhoc_sign.py adds its load command.
"""

import argparse
import os
import re
import subprocess
import sys

TRIPLE = "armv7-apple-ios7.0"
IOS_MIN, IOS_SDK = "7.0", "8.1"
DARWINOLD = "ld64.lld.darwinold-13"


def run(*command):
    subprocess.run(command, check=True)


def exports_of(path):
    with open(path) as f:
        return [line.strip() for line in f if line.strip() and not line.startswith("#")]


def one_module(bitcode, exports, work):
    """Links BITCODE into one module, internalizes all but EXPORTS, and returns its assembly."""
    linked = os.path.join(work, "module.bc")
    internal = os.path.join(work, "module.internal.bc")
    assembly = os.path.join(work, "module.s")
    run("llvm-link-14", *bitcode, "-o", linked)
    # In the module the names carry no Mach-O underscore.
    public = ",".join(name[1:] for name in exports)
    run("opt-14", "-passes=internalize,globaldce", "-internalize-public-api-list=" + public,
        linked, "-o", internal)
    run("clang-14", "-target", TRIPLE, "-marm", "-mno-movt", "-O2", "-S", internal, "-o", assembly)
    return assembly


NON_LAZY = re.compile(r"^(L[^:\s]+\$non_lazy_ptr):\n\s*\.indirect_symbol\s+(\S+)\n\s*\.long\s+0\n",
                      re.M)


def plain_data_pointers(text):
    """TEXT with its non-lazy pointer section made a plain __data section of pointers."""
    sections = text.split("\t.section\t__DATA,__nl_symbol_ptr,non_lazy_symbol_pointers\n")
    out = sections[0]
    for rest in sections[1:]:
        out += "\t.section\t__DATA,__data\n" + NON_LAZY.sub(r"\1:\n\t.long\t\2\n", rest)
    if re.search(r"non_lazy_ptr:\n\s*\.indirect_symbol", out):
        raise SystemExit("link_armv7.py: a non-lazy pointer was left in place")
    return out


def pointer_symbols(text):
    """TEXT with each pointer's label made a symbol: the assembler-temporary "L" becomes the
    linker-private "l". A temporary label is no symbol, so all the pointers would form one atom,
    and this linker resolves a code reference to one of them (label - pc) to the start of that
    atom, the first pointer: a silent fault of its own, found by running the slice."""
    return re.sub(r"\bL([^\s:,()+-]*\$non_lazy_ptr)", r"l\1", text)


def check_object(path):
    """The object must hold no weak definition and no Thumb function (faults 2 and 3)."""
    listing = subprocess.run(["llvm-nm-14", "-m", path], check=True, capture_output=True,
                             text=True).stdout
    # A line: address, (segment,section), its attributes, then the name.
    defined = [line for line in listing.splitlines() if "(undefined)" not in line]
    weak = [line for line in defined if "weak" in line.split(")", 1)[-1].rsplit(" ", 1)[0]]
    if weak:
        raise SystemExit("link_armv7.py: weak definitions would reach the linker:\n" +
                         "\n".join(weak[:10]))
    thumb = [line for line in listing.splitlines() if "[Thumb]" in line]
    if thumb:
        raise SystemExit("link_armv7.py: Thumb functions (compile with -marm):\n" +
                         "\n".join(thumb[:10]))


def stub_library(tbd, work, libsystem=None):
    """A binary armv7 stub of the library TBD describes: its armv7 symbols, each a `bx lr`."""
    with open(tbd) as f:
        text = f.read()
    name = re.search(r"^install-name: *'([^']*)'", text, re.M).group(1)
    current = re.search(r"^current-version: *(\S+)", text, re.M).group(1)
    compatibility = re.search(r"^compatibility-version: *(\S+)", text, re.M).group(1)
    symbols = []
    for targets, listed in re.findall(r"- targets: *\[([^\]]*)\]\s*symbols: *\[([^\]]*)\]", text):
        if "armv7-ios" in targets:
            symbols += [s.strip() for s in listed.split(",") if s.strip()]
    base = os.path.join(work, os.path.basename(tbd)[:-4])
    with open(base + ".s", "w") as f:
        f.write(".text\n.align 2\n")
        for s in symbols:
            f.write(".globl %s\n%s:\n  bx lr\n" % (s, s))
    run("clang-14", "-target", TRIPLE, "-c", base + ".s", "-o", base + ".o")
    run(DARWINOLD, "-arch", "armv7", "-ios_version_min", IOS_MIN, "-sdk_version", IOS_SDK,
        "-dylib", "-install_name", name, "-current_version", current,
        "-compatibility_version", compatibility, base + ".o",
        *([libsystem] if libsystem else []), "-o", base + ".dylib")
    return base + ".dylib"


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--kind", choices=["dylib", "bundle"], required=True)
    parser.add_argument("--install-name")
    parser.add_argument("--current-version", default="1.0")
    parser.add_argument("--exports", required=True)
    parser.add_argument("--stubs", nargs="+", required=True, help="the .tbd files to link")
    parser.add_argument("--work", required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("bitcode", nargs="+")
    args = parser.parse_args(argv)
    os.makedirs(args.work, exist_ok=True)
    exports = exports_of(args.exports)

    assembly = one_module(args.bitcode, exports, args.work)
    with open(assembly) as f:
        rewritten = pointer_symbols(plain_data_pointers(f.read()))
    fixed = os.path.join(args.work, "module.fixed.s")
    with open(fixed, "w") as f:
        f.write(rewritten)
    obj = os.path.join(args.work, "module.o")
    run("clang-14", "-target", TRIPLE, "-c", fixed, "-o", obj)
    check_object(obj)

    # libSystem first: every other stub needs its dyld_stub_binder.
    tbds = sorted(args.stubs, key=lambda p: os.path.basename(p) != "libSystem.tbd")
    libsystem = stub_library(tbds[0], args.work)
    stubs = [libsystem] + [stub_library(t, args.work, libsystem) for t in tbds[1:]]
    order = {os.path.basename(t): s for t, s in zip(tbds, stubs)}
    stubs = [order[os.path.basename(t)] for t in args.stubs]  # load commands in the given order
    if args.kind == "dylib":
        kind = ["-dylib", "-install_name", args.install_name, "-current_version",
                args.current_version, "-compatibility_version", "1.0"]
    else:
        kind = ["-bundle"]
    run(DARWINOLD, "-arch", "armv7", "-ios_version_min", IOS_MIN, "-sdk_version", IOS_SDK,
        *kind, "-exported_symbols_list", args.exports, "-dead_strip", obj, *stubs,
        "-o", args.out)


if __name__ == "__main__":
    main(sys.argv[1:])
