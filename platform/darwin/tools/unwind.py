"""C++ exceptions in the emulator (tools/emulate.py): what the device's unwinder and its C++
personality do when the code throws, so that a throw reaches the catch that the device would run.

arm64 unwinds by table: __unwind_info gives each function's compact encoding (which registers its
frame saved, and where) and its LSDA (the language-specific data: call sites, landing pads, the
types each catch takes). A frame is searched, then stepped out of, until a landing pad takes the
exception: a cleanup (destructors; it ends in _Unwind_Resume, which goes on from there) or a catch
whose type matches. Registers are restored as the encoding says, x0 holds the exception and x1
the selector of the catch.

armv7 uses SjLj: each function with landing pads registers a function context (_Unwind_SjLj_
Register) holding the index of the call in flight, its LSDA and a jump buffer. The unwinder goes
down the list of contexts; the LSDA's call-site table is indexed by that call index. The landing
pad is reached by the jump buffer (r7, pc, sp) with the exception and the selector in the
context's parameters and the landing pad's index where the call index was.

The exception itself is the thrown object's address throughout (the device passes its unwind
header, which only the C++ runtime looks into: here the stand-ins are that runtime).
"""

import struct
import subprocess
import tempfile

# What a thrown standard type is also caught as.
BASES = {
    "__ZTISt12out_of_range": ["__ZTISt11logic_error", "__ZTISt9exception"],
    "__ZTISt16invalid_argument": ["__ZTISt11logic_error", "__ZTISt9exception"],
    "__ZTISt12length_error": ["__ZTISt11logic_error", "__ZTISt9exception"],
    "__ZTISt11logic_error": ["__ZTISt9exception"],
    "__ZTISt9bad_alloc": ["__ZTISt9exception"],
}

NO_HANDLER = None


class Reader:
    """Reads the emulated memory from AT on, as the LSDA's encodings say."""

    def __init__(self, m, at):
        self.m, self.at = m, at

    def byte(self):
        value = self.m.read(self.at, 1)[0]
        self.at += 1
        return value

    def leb(self, signed):
        """A LEB128 number: seven bits a byte, the low ones first; SIGNED extends the sign bit."""
        value, shift = 0, 0
        while True:
            b = self.byte()
            value |= (b & 0x7F) << shift
            shift += 7
            if not b & 0x80:
                return value - (1 << shift) if signed and b & 0x40 else value

    def uleb(self):
        return self.leb(signed=False)

    def sleb(self):
        return self.leb(signed=True)

    def encoded(self, encoding):
        """A value in DWARF pointer ENCODING (absptr, uleb128, udata4, sdata4; pcrel, indirect)."""
        start = self.at
        kind = encoding & 0x0F
        if kind == 0x01:
            value = self.uleb()
        elif kind == 0x03:
            value = struct.unpack("<I", self.m.read(self.at, 4))[0]
            self.at += 4
        elif kind == 0x0B:
            value = struct.unpack("<i", self.m.read(self.at, 4))[0]
            self.at += 4
        elif kind == 0x00:
            value = self.m.ptr(self.at)
            self.at += self.m.word
        else:
            raise ValueError("LSDA encoding 0x%x not read here" % encoding)
        if value and encoding & 0x70 == 0x10:
            value += start
        if value and encoding & 0x80:
            value = self.m.ptr(value & (2 ** (8 * self.m.word) - 1))
        return value


def encoding_size(m, encoding):
    return {0x00: m.word, 0x03: 4, 0x0B: 4}[encoding & 0x0F]


class Lsda:
    """One function's LSDA: its header, and the call-site records from CALL_SITES on."""

    def __init__(self, m, address):
        self.m = m
        r = Reader(m, address)
        lp_start = r.byte()
        if lp_start != 0xFF:
            r.encoded(lp_start)
        self.ttype = r.byte()
        self.class_info = None
        if self.ttype != 0xFF:
            offset = r.uleb()
            self.class_info = r.at + offset
        self.call_site_encoding = r.byte()
        length = r.uleb()
        self.call_sites = r.at
        self.actions = r.at + length

    def records(self, sjlj):
        """(start, length, landing pad, action) of each call site; SjLj: (index, 1, pad, action)."""
        r, index = Reader(self.m, self.call_sites), 0
        while r.at < self.actions:
            index += 1
            if sjlj:
                yield index, 1, r.uleb(), r.uleb()
            else:
                e = self.call_site_encoding
                yield r.encoded(e), r.encoded(e), r.encoded(e), r.uleb()

    def selector(self, action, thrown_type):
        """The selector of the first catch in the action chain at ACTION that takes THROWN_TYPE;
        0 when only cleanups run; NO_HANDLER when the frame does neither."""
        if action == 0:
            return 0
        r, cleanup = Reader(self.m, self.actions + action - 1), False
        while True:
            index = r.sleb()
            at = r.at
            following = r.sleb()
            if index > 0:
                entry = Reader(self.m, self.class_info - index * encoding_size(self.m, self.ttype))
                caught = entry.encoded(self.ttype)
                if caught == 0 or self.m.is_kind_of_type(thrown_type, caught):
                    return index
            elif index == 0:
                cleanup = True
            if following == 0:
                return 0 if cleanup else NO_HANDLER
            r.at = at + following


class UnwindInfo:
    """The arm64 slice's __unwind_info, read with llvm-objdump: per function start (slice
    offset), its compact encoding and its LSDA's offset."""

    def __init__(self, data):
        with tempfile.NamedTemporaryFile() as f:
            f.write(data)
            f.flush()
            text = subprocess.run(["llvm-objdump-14", "--macho", "--unwind-info", f.name],
                                  check=True, capture_output=True, text=True).stdout
        self.functions, self.lsda = [], {}
        section = None
        for line in text.splitlines():
            if "LSDA descriptors:" in line:
                section = "lsda"
            elif "Second level index" in line:
                section = "second"
            fields = line.replace(",", " ").split()
            if len(fields) >= 3 and fields[1] == "function" and fields[2].startswith("offset="):
                function = int(fields[2].split("=")[1], 16)
                value = int(fields[-1].split("=")[-1], 16)
                if section == "lsda":
                    self.lsda[function] = value
                elif section == "second":
                    self.functions.append((function, value))
        self.functions.sort()

    def find(self, offset):
        """(function start, encoding) of the function holding slice offset OFFSET."""
        found = None
        for start, encoding in self.functions:
            if start > offset:
                break
            found = (start, encoding)
        return found


def raise_exception(m, exception, thrown_type):
    """Unwinds from the import that was just called (the throw, or a cleanup's resume): sets the
    registers so that emulation goes on at the landing pad that takes the exception. Raises
    Thrown when the exception would leave the call the test made."""
    if m.arch == "arm64":
        return _raise_arm64(m, exception, thrown_type)
    return _raise_sjlj(m, exception, thrown_type)


def _raise_sjlj(m, exception, thrown_type):
    import emulate
    context = m.sjlj_top
    while context:
        call_site = m.ptr(context + 4)
        lsda = m.ptr(context + 28)
        if call_site == 0:
            raise emulate.EmulationError("a throw from a call the device would terminate on")
        if call_site != 0xFFFFFFFF and lsda:
            table = Lsda(m, lsda)
            for index, _one, pad, action in table.records(sjlj=True):
                if index != call_site:
                    continue
                selector = table.selector(action, thrown_type)
                if selector is NO_HANDLER:
                    break
                # Frames above are gone without unregistering: this context is the top again.
                m.sjlj_top = context
                m.put_ptr(context + 4, pad)
                m.put_ptr(context + 8, exception)
                m.put_ptr(context + 12, selector)
                m.jump(pc=m.ptr(context + 36), sp=m.ptr(context + 40),
                       registers={7: m.ptr(context + 32)})
                return
        context = m.ptr(context)
    m.sjlj_top = 0
    raise emulate.Thrown(m.symbol_at(thrown_type))


# arm64 compact encodings: the mode, and the register pairs a frame saved, in the order they lie
# below the frame pointer (or the top of a frameless function's stack).
MODE_MASK, MODE_FRAMELESS, MODE_FRAME = 0x0F000000, 0x02000000, 0x04000000
PAIRS = [(0x1, "x19", "x20"), (0x2, "x21", "x22"), (0x4, "x23", "x24"), (0x8, "x25", "x26"),
         (0x10, "x27", "x28"), (0x100, "d8", "d9"), (0x200, "d10", "d11"),
         (0x400, "d12", "d13"), (0x800, "d14", "d15")]


def _raise_arm64(m, exception, thrown_type):
    import emulate
    info = m.unwind_info()
    state = m.callee_saved()  # x19..x29 and d8..d15 as bits, with sp and pc (the return address)
    while state["pc"] != emulate.RETURN_ADDRESS:
        offset = state["pc"] - 1 - emulate.BASE
        found = info.find(offset)
        if found is None:
            raise emulate.EmulationError("no unwind information at 0x%x" % state["pc"])
        start, encoding = found
        if start in info.lsda:
            table = Lsda(m, emulate.BASE + info.lsda[start])
            for first, length, pad, action in table.records(sjlj=False):
                if not first <= offset - start < first + length:
                    continue
                selector = table.selector(action, thrown_type) if pad else NO_HANDLER
                if selector is not NO_HANDLER:
                    state["x0"], state["x1"] = exception, selector
                    pc = emulate.BASE + start + pad
                    m.jump(pc=pc, sp=state.pop("sp"),
                           registers={k: v for k, v in state.items() if k != "pc"})
                    return
                break
        mode = encoding & MODE_MASK
        if mode == MODE_FRAME:
            fp = state["x29"]
            saved = fp - 8
        elif mode == MODE_FRAMELESS:
            raise emulate.EmulationError("a frameless function called a function that threw")
        else:
            raise emulate.EmulationError("no compact unwind encoding at 0x%x" % state["pc"])
        for bit, first, second in PAIRS:
            if encoding & bit:
                state[first], state[second] = m.u64(saved), m.u64(saved - 8)
                saved -= 16
        state["x29"], state["pc"], state["sp"] = m.u64(fp), m.u64(fp + 8), fp + 16
    raise emulate.Thrown(m.symbol_at(thrown_type))
