"""Reading the device's Mach-O files: fat archives, headers, load commands, segments.

Shared by the signer (adhoc_sign.py), the package checks and the emulator's loader. Only what
those need is read; anything malformed raises MachOError with what was wrong, never a bare
struct or index error.
"""

import struct

MH_MAGIC = 0xFEEDFACE
MH_MAGIC_64 = 0xFEEDFACF
FAT_MAGIC = 0xCAFEBABE

CPU_TYPE_ARM = 12
CPU_TYPE_ARM64 = 0x0100000C
CPU_SUBTYPE_ARM_V7 = 9
ARCH_NAMES = {(CPU_TYPE_ARM, CPU_SUBTYPE_ARM_V7): "armv7", (CPU_TYPE_ARM64, 0): "arm64"}

MH_DYLIB = 6
MH_BUNDLE = 8

LC_SEGMENT = 0x1
LC_SYMTAB = 0x2
LC_LOAD_DYLIB = 0xC
LC_ID_DYLIB = 0xD
LC_SEGMENT_64 = 0x19
LC_UUID = 0x1B
LC_CODE_SIGNATURE = 0x1D
LC_LOAD_WEAK_DYLIB = 0x80000018
LC_REEXPORT_DYLIB = 0x8000001F
LC_DYLD_INFO_ONLY = 0x80000022
LC_VERSION_MIN_IPHONEOS = 0x25
LC_MAIN = 0x80000028
LC_DYLD_CHAINED_FIXUPS = 0x80000034
LC_DYLD_EXPORTS_TRIE = 0x80000033

LOAD_COMMAND_NAMES = {
    LC_SEGMENT: "LC_SEGMENT", LC_SYMTAB: "LC_SYMTAB", LC_LOAD_DYLIB: "LC_LOAD_DYLIB",
    LC_ID_DYLIB: "LC_ID_DYLIB", LC_SEGMENT_64: "LC_SEGMENT_64", LC_UUID: "LC_UUID",
    LC_CODE_SIGNATURE: "LC_CODE_SIGNATURE", LC_LOAD_WEAK_DYLIB: "LC_LOAD_WEAK_DYLIB",
    LC_REEXPORT_DYLIB: "LC_REEXPORT_DYLIB", LC_DYLD_INFO_ONLY: "LC_DYLD_INFO_ONLY",
    LC_VERSION_MIN_IPHONEOS: "LC_VERSION_MIN_IPHONEOS", LC_MAIN: "LC_MAIN",
    LC_DYLD_CHAINED_FIXUPS: "LC_DYLD_CHAINED_FIXUPS", LC_DYLD_EXPORTS_TRIE: "LC_DYLD_EXPORTS_TRIE",
}


class MachOError(Exception):
    pass


def fat_slices(data):
    """The (arch name, offset, size) of each slice of a fat file, or of the one thin file."""
    if len(data) < 8:
        raise MachOError("file too short for a Mach-O header")
    if struct.unpack_from(">I", data)[0] != FAT_MAGIC:
        return [(Slice(data).arch, 0, len(data))]
    (count,) = struct.unpack_from(">I", data, 4)
    slices = []
    for i in range(count):
        cputype, subtype, offset, size, _align = struct.unpack_from(">iiIII", data, 8 + 20 * i)
        arch = ARCH_NAMES.get((cputype, subtype & 0xFFFFFF), "cpu %d/%d" % (cputype, subtype))
        if offset + size > len(data):
            raise MachOError("slice %s reaches past the end of the file" % arch)
        slices.append((arch, offset, size))
    return slices


class Segment:
    def __init__(self, name, vmaddr, vmsize, fileoff, filesize, command_offset, sections):
        self.name = name
        self.vmaddr = vmaddr
        self.vmsize = vmsize
        self.fileoff = fileoff
        self.filesize = filesize
        self.command_offset = command_offset  # where its load command starts in the slice
        self.sections = sections  # [(sectname, addr, size, offset)]


class Slice:
    """One thin Mach-O file (a slice of a fat file, or a file of its own), as bytes."""

    def __init__(self, data):
        self.data = data
        if len(data) < 28:
            raise MachOError("file too short for a Mach-O header")
        (magic,) = struct.unpack_from("<I", data)
        if magic not in (MH_MAGIC, MH_MAGIC_64):
            raise MachOError("not a thin Mach-O file (magic 0x%08x)" % magic)
        self.is64 = magic == MH_MAGIC_64
        self.ptr = 8 if self.is64 else 4
        (self.cputype, self.cpusubtype, self.filetype, self.ncmds, self.sizeofcmds,
         self.flags) = struct.unpack_from("<iiIIII", data, 4)
        self.arch = ARCH_NAMES.get((self.cputype, self.cpusubtype & 0xFFFFFF),
                                   "cpu %d/%d" % (self.cputype, self.cpusubtype))
        self.header_size = 32 if self.is64 else 28
        self.commands = []  # [(cmd, offset of the command, cmdsize)]
        offset = self.header_size
        for _ in range(self.ncmds):
            if offset + 8 > len(data):
                raise MachOError("load commands reach past the end of the file")
            cmd, size = struct.unpack_from("<II", data, offset)
            if size < 8 or offset + size > self.header_size + self.sizeofcmds:
                raise MachOError("load command 0x%x has a bad size %d" % (cmd, size))
            self.commands.append((cmd, offset, size))
            offset += size
        self.segments = [self._segment(cmd, off) for cmd, off, _ in self.commands
                         if cmd in (LC_SEGMENT, LC_SEGMENT_64)]

    def _segment(self, cmd, off):
        if cmd == LC_SEGMENT_64:
            name, vmaddr, vmsize, fileoff, filesize, _max, _init, nsects, _flags = \
                struct.unpack_from("<16sQQQQiiII", self.data, off + 8)
            sect_fmt, sect_size, first = "<16s16sQQI", 80, off + 72
        else:
            name, vmaddr, vmsize, fileoff, filesize, _max, _init, nsects, _flags = \
                struct.unpack_from("<16sIIIIiiII", self.data, off + 8)
            sect_fmt, sect_size, first = "<16s16sIII", 68, off + 56
        sections = []
        for i in range(nsects):
            sect, _seg, addr, size, offset = struct.unpack_from(sect_fmt, self.data,
                                                                first + i * sect_size)
            sections.append((cstr(sect), addr, size, offset))
        return Segment(cstr(name), vmaddr, vmsize, fileoff, filesize, off, sections)

    def command(self, cmd):
        """The offset of the one load command CMD, or None."""
        found = [off for c, off, _ in self.commands if c == cmd]
        if len(found) > 1:
            raise MachOError("more than one %s" % LOAD_COMMAND_NAMES.get(cmd, hex(cmd)))
        return found[0] if found else None

    def segment(self, name):
        for s in self.segments:
            if s.name == name:
                return s
        return None

    def dylibs(self):
        """The install names of the libraries it loads, in ordinal order (ordinal 1 first)."""
        names = []
        for cmd, off, size in self.commands:
            if cmd in (LC_LOAD_DYLIB, LC_LOAD_WEAK_DYLIB, LC_REEXPORT_DYLIB):
                (name_off,) = struct.unpack_from("<I", self.data, off + 8)
                names.append(cstr(self.data[off + name_off:off + size]))
        return names

    def install_name(self):
        off = self.command(LC_ID_DYLIB)
        if off is None:
            return None
        name_off, = struct.unpack_from("<I", self.data, off + 8)
        (size,) = struct.unpack_from("<I", self.data, off + 4)
        return cstr(self.data[off + name_off:off + size])

    def code_signature(self):
        """(dataoff, datasize) of LC_CODE_SIGNATURE, or None."""
        off = self.command(LC_CODE_SIGNATURE)
        if off is None:
            return None
        return struct.unpack_from("<II", self.data, off + 8)

    def symbols(self):
        """{name: (n_type, n_desc)} of the symbol table."""
        off = self.command(LC_SYMTAB)
        if off is None:
            return {}
        symoff, nsyms, stroff, _strsize = struct.unpack_from("<IIII", self.data, off + 8)
        size = 16 if self.is64 else 12
        found = {}
        for i in range(nsyms):
            strx, n_type, _sect, desc = struct.unpack_from("<IBBH", self.data, symoff + i * size)
            found[cstr(self.data[stroff + strx:stroff + strx + 512])] = (n_type, desc)
        return found

    def minimum_ios(self):
        """The minimum iOS version of LC_VERSION_MIN_IPHONEOS as (major, minor), or None."""
        off = self.command(LC_VERSION_MIN_IPHONEOS)
        if off is None:
            return None
        (version,) = struct.unpack_from("<I", self.data, off + 8)
        return (version >> 16, (version >> 8) & 0xFF)


def cstr(raw):
    return bytes(raw).split(b"\0", 1)[0].decode("utf-8", "replace")
