"""Runs the device's code here: one slice (arm64 or armv7) of a deliverable in Unicorn's CPU
emulator.

A small Mach-O loader and Python stand-ins for what the slice imports. Read this when a device
reports a fault: it shows what each call of the deliverable hands the device's libraries under the
device's calling convention, and what it makes of their answers.

    m = Machine(slice_bytes)          # maps the segments, applies rebases and binds
    m.run_initialisers()              # the library's start-up, as dyld runs it
    x0, d0 = m.call("_colorFromHex", m.ns_string("#a1a1a1"))

The loader maps each segment at BASE + its address, adds BASE to every rebased pointer and points
every bound pointer at the stand-in for its symbol (the bind tables are read with llvm-objdump).
A function stand-in is a return instruction in the imports region with a Python handler hooked
on it: the handler reads the arguments as the device's convention places them and writes the
result where the caller looks for it. arm64: integers and pointers in x0-x7, floating point in
d0-d7, a variadic function's variable arguments in 8-byte stack slots. armv7: every argument in
r0-r3 and then 4-byte stack words, floats included (iOS passes them in core registers), variable
arguments as the named ones; results in r0. A call of an import that has no stand-in stops
the run with EmulationError naming it.

The Objective-C runtime is played in Python: classes, metaclasses, selectors and objects are
addresses in regions of their own; class_getMethodImplementation answers the address of a Python
method (or, for a selector the class does not implement, one that fails the run naming it).
Foundation and UIKit are only as large as the helpers and hooks need: NSString, NSDictionary,
NSNumber, UIColor and the hooked classes, whose methods record what reaches them.

A C++ throw (__cxa_throw, or operator new while failing_new is set) unwinds as the device's
unwinder would (tools/unwind.py): emulation goes on at the landing pad that takes the exception,
and Thrown is raised only when it would leave the call the test made.

The device's files are a FileSystem in Python (folders, files holding a dictionary, links; /var a
link to private/var as on the device): NSDictionary reads it, open/readlink/close act on it, and
kqueue/kevent play EVFILT_VNODE over it, so a test that changes a file (written in place,
replaced by rename, a link re-pointed) sees what the library's file watch makes of it.
"""

import struct
import subprocess
import tempfile

import macho
import unwind
from unicorn import UC_ARCH_ARM, UC_ARCH_ARM64, UC_HOOK_CODE, UC_MODE_ARM, Uc, UcError
from unicorn import arm64_const as A
from unicorn import arm_const as A32

BASE = 0x10000000          # where the slice's address 0 is mapped
IMPORTS = 0x20000000       # one 4-byte `ret` per import stand-in and per Python method
DATA = 0x21000000          # data symbols the slice imports (8 bytes of value, then zeros)
OBJECTS = 0x22000000       # classes, selectors, objects, C strings made by the stand-ins
HEAP = 0x30000000          # malloc and operator new
STACK_TOP = 0x40000000
STACK_SIZE = 0x100000
RETURN_ADDRESS = 0x50000000  # a call from Python returns here and the run stops
RET = {"arm64": struct.pack("<I", 0xD65F03C0), "armv7": struct.pack("<I", 0xE12FFF1E)}  # bx lr

X = [getattr(A, "UC_ARM64_REG_X%d" % i) for i in range(31)]
D = [getattr(A, "UC_ARM64_REG_D%d" % i) for i in range(8)]
R = [getattr(A32, "UC_ARM_REG_R%d" % i) for i in range(13)]


class EmulationError(Exception):
    pass


class Thrown(Exception):
    """The emulated code threw a C++ exception (its type info's symbol)."""


def f64(bits):
    return struct.unpack("<d", struct.pack("<Q", bits))[0]


def bits64(value):
    return struct.unpack("<Q", struct.pack("<d", value))[0]


def float32(value):
    """VALUE rounded to single precision, as a Python float."""
    return struct.unpack("<f", struct.pack("<f", value))[0]


def f32(bits):
    return struct.unpack("<f", struct.pack("<I", bits & 0xFFFFFFFF))[0]


def bits32(value):
    return struct.unpack("<I", struct.pack("<f", value))[0]


class Obj:
    """An object the stand-ins made: its class name and its Python value."""

    def __init__(self, cls, value=None):
        self.cls = cls
        self.value = value


class Machine:
    def __init__(self, data, preferences=None, classes=None):
        """Loads the thin arm64 or armv7 Mach-O DATA. PREFERENCES maps a preferences file's device path to
        the dictionary it holds (missing: no file), written into the machine's file system (fs);
        CLASSES names the classes the process has (default: the SpringBoard's, every hooked
        class)."""
        self.thin = macho.Slice(data)
        self.arch = self.thin.arch
        if self.arch == "arm64":
            self.uc = Uc(UC_ARCH_ARM64, UC_MODE_ARM)
            self.uc.reg_write(A.UC_ARM64_REG_CPACR_EL1, 3 << 20)  # floating point on
            self.word = 8
            self.sp, self.lr, self.pc = (A.UC_ARM64_REG_SP, A.UC_ARM64_REG_LR,
                                         A.UC_ARM64_REG_PC)
        elif self.arch == "armv7":
            self.uc = Uc(UC_ARCH_ARM, UC_MODE_ARM)
            self.uc.reg_write(A32.UC_ARM_REG_C1_C0_2, 0xF << 20)  # VFP and NEON on
            self.uc.reg_write(A32.UC_ARM_REG_FPEXC, 0x40000000)
            self.word = 4
            self.sp, self.lr, self.pc = A32.UC_ARM_REG_SP, A32.UC_ARM_REG_LR, A32.UC_ARM_REG_PC
        else:
            raise EmulationError("no emulation of %s slices" % self.arch)
        self.fs = FileSystem()
        for path, contents in (preferences or {}).items():
            self.fs.write(path, contents)
        self.errno = None      # the address __error() answers, made on first use
        self.failing_new = False  # operator new throws std::bad_alloc, as when memory ran out
        self.exceptions = {}   # thrown object -> its type info's address
        self.sjlj_top = 0      # armv7: the innermost registered function context
        self._unwind_info = None
        self.host_types = dict(HOST_TYPES)
        self.log = []          # NSLog lines, formatted
        self.calls = []        # (stand-in, arguments) in order
        self.hooks = []        # MSHookMessageEx: (class, selector, replacement, slot)
        self.observers = []    # CFNotificationCenterAddObserver: (name, callback)
        self.original_calls = []  # what reached a saved implementation: (class, selector, args)
        self.made_classes = {}  # objc_allocateClassPair: name -> superclass, methods, registered
        self._handlers = {}    # stand-in address -> handler
        self._data_names = {}  # data stand-in address -> symbol
        self._next_import = IMPORTS
        self._next_data = DATA
        self._next_object = OBJECTS
        self._heap = HEAP
        self._objects = {}     # address -> Obj
        self._strings = {}     # C string or selector name -> address
        self._classes = {}     # class name -> address (metaclass at address + 8)
        self._class_names = {}  # address -> (name, is metaclass)
        self._methods = {}     # (class name, is metaclass, selector) -> address
        for name in classes if classes is not None else DEFAULT_CLASSES:
            self._class(name)
        self._map()
        self._load(data)
        self.uc.hook_add(UC_HOOK_CODE, self._on_import, begin=IMPORTS, end=DATA - 1)

    # --- memory -----------------------------------------------------------------------------

    def _map(self):
        top = max(s.vmaddr + s.vmsize for s in self.thin.segments)
        self.uc.mem_map(BASE, (top + 0xFFFF) & ~0xFFFF)
        for start, size in ((IMPORTS, 0x100000), (DATA, 0x100000), (OBJECTS, 0x1000000),
                            (HEAP, 0x1000000), (STACK_TOP - STACK_SIZE, STACK_SIZE),
                            (RETURN_ADDRESS, 0x1000)):
            self.uc.mem_map(start, size)

    def read(self, address, size):
        return bytes(self.uc.mem_read(address, size))

    def write(self, address, data):
        self.uc.mem_write(address, bytes(data))

    def u64(self, address):
        return struct.unpack("<Q", self.read(address, 8))[0]

    def put64(self, address, value):
        self.write(address, struct.pack("<Q", value & (2**64 - 1)))

    def ptr(self, address):
        """The pointer (or word) at ADDRESS, of the slice's word size."""
        return int.from_bytes(self.read(address, self.word), "little")

    def put_ptr(self, address, value):
        self.write(address, (value & (2 ** (8 * self.word) - 1)).to_bytes(self.word, "little"))

    def cstring(self, address):
        out = b""
        while True:
            chunk = self.read(address + len(out), 64)
            if b"\0" in chunk:
                return out + chunk.split(b"\0", 1)[0]
            out += chunk

    def malloc(self, size):
        address = self._heap
        self._heap += (max(size, 1) + 15) & ~15
        return address

    def new_cstring(self, text):
        raw = text if isinstance(text, bytes) else text.encode()
        address = self._alloc_object(len(raw) + 1)
        self.write(address, raw + b"\0")
        return address

    def _alloc_object(self, size):
        address = self._next_object
        self._next_object += (size + 15) & ~15
        return address

    # --- loading ------------------------------------------------------------------------------

    def _load(self, data):
        for s in self.thin.segments:
            self.write(BASE + s.vmaddr, data[s.fileoff:s.fileoff + s.filesize])
        with tempfile.NamedTemporaryFile() as f:
            f.write(data)
            f.flush()
            table = subprocess.run(["llvm-objdump-14", "--macho", "--rebase", "--bind",
                                    "--lazy-bind", "--weak-bind", f.name], check=True,
                                   capture_output=True, text=True).stdout
        kind = None
        for line in table.splitlines():
            if line.endswith("table:"):
                kind = line.split()[0].lower()
                continue
            fields = line.split()
            if not (kind and len(fields) >= 4 and fields[0].startswith("__")):
                continue
            address = BASE + int(fields[2], 16)
            if kind == "rebase":
                self.put_ptr(address, self.ptr(address) + BASE)
            else:
                self.put_ptr(address, self._symbol(fields[-1]))

    def _symbol(self, name):
        """The address a bound pointer to NAME receives: its data, or its stand-in's code."""
        if name in DATA_SYMBOLS or name.startswith(("__ZTI", "__ZTV")):
            address = self._next_data
            self._next_data += 64
            self.write(address, struct.pack("<Q", DATA_SYMBOLS.get(name, 0)))
            self._data_names[address] = name
            return address
        handler = STANDINS.get(name)
        if handler is None:
            def missing(m, name=name):
                raise EmulationError("%s was called: it has no stand-in" % name)
            handler = missing
        return self._stub(lambda m, h=handler: h(m))

    def symbol_at(self, address):
        return self._data_names.get(address, "0x%x" % address)

    def _stub(self, handler):
        address = self._next_import
        self._next_import += 4
        self.write(address, RET[self.arch])
        self._handlers[address] = handler
        return address

    def _on_import(self, uc, address, size, user):
        handler = self._handlers.get(address)
        if handler is None:
            return
        try:
            handler(self)
        except Thrown as e:
            self._error = e
            uc.emu_stop()
        except Exception as e:  # noqa: BLE001 - reported by call()
            self._error = e
            uc.emu_stop()

    # --- calling ------------------------------------------------------------------------------

    def x(self, i):
        """The i-th integer or pointer argument (armv7: the i-th argument word)."""
        if self.arch == "arm64":
            return self.uc.reg_read(X[i])
        if i < 4:
            return self.uc.reg_read(R[i])
        return self.ptr(self.uc.reg_read(self.sp) + 4 * (i - 4))

    def d(self, i):
        """The i-th floating-point argument register (arm64 only)."""
        return f64(self.uc.reg_read(D[i]))

    def cgfloats(self, position, count):
        """COUNT CGFloat arguments: arm64's from d0 on (doubles); armv7's from argument word
        POSITION on (floats in core registers, then on the stack)."""
        if self.arch == "arm64":
            return [self.d(i) for i in range(count)]
        return [f32(self.x(position + i)) for i in range(count)]

    def variadic(self, named, i):
        """The i-th variable argument of a call with NAMED named arguments (integers and
        pointers): arm64 puts each in an 8-byte stack slot, armv7 goes on after the named."""
        if self.arch == "arm64":
            return self.u64(self.uc.reg_read(self.sp) + 8 * i)
        return self.x(named + i)

    def ret(self, value=0, double=None):
        if self.arch == "arm64":
            self.uc.reg_write(X[0], value & (2**64 - 1))
            if double is not None:
                self.uc.reg_write(D[0], bits64(double))
        else:
            self.uc.reg_write(R[0], value & 0xFFFFFFFF)

    def ret_float(self, value):
        """Returns the float VALUE: in s0 on arm64, in r0 on armv7."""
        if self.arch == "arm64":
            self.uc.reg_write(D[0], bits32(value))
        else:
            self.uc.reg_write(R[0], bits32(value))

    def jump(self, pc, sp, registers):
        """Goes on at PC with SP and REGISTERS (arm64: "x19", "d8", ...; armv7: numbers), in
        place of returning from the import being run."""
        self.uc.reg_write(self.sp, sp)
        for name, value in registers.items():
            if self.arch == "armv7":
                self.uc.reg_write(R[name], value & 0xFFFFFFFF)
            elif name.startswith("d"):
                self.uc.reg_write(getattr(A, "UC_ARM64_REG_D%s" % name[1:]), value)
            else:
                self.uc.reg_write(X[int(name[1:])], value & (2**64 - 1))
        self.uc.reg_write(self.pc, pc)

    def callee_saved(self):
        """arm64: x19-x29 and d8-d15 (as bits) now, with sp, and the return address as pc."""
        state = {"x%d" % i: self.uc.reg_read(X[i]) for i in range(19, 30)}
        for i in range(8, 16):
            state["d%d" % i] = self.uc.reg_read(getattr(A, "UC_ARM64_REG_D%d" % i))
        state["sp"], state["pc"] = self.uc.reg_read(self.sp), self.uc.reg_read(self.lr)
        return state

    def unwind_info(self):
        if self._unwind_info is None:
            self._unwind_info = unwind.UnwindInfo(self.thin.data)
        return self._unwind_info

    def is_kind_of_type(self, thrown, caught):
        """Whether a catch of type info CAUGHT takes an exception of type info THROWN."""
        name = self.symbol_at(thrown)
        return thrown == caught or self.symbol_at(caught) in unwind.BASES.get(name, [])

    def address_of(self, name):
        """The address of the exported NAME, read from the exports trie."""
        for export, offset in self.exports().items():
            if export == name:
                return BASE + offset
        raise EmulationError("%s is not exported" % name)

    def exports(self):
        with tempfile.NamedTemporaryFile() as f:
            f.write(self.thin.data)
            f.flush()
            out = subprocess.run(["llvm-objdump-14", "--macho", "--exports-trie", f.name],
                                 check=True, capture_output=True, text=True).stdout
        found = {}
        for line in out.splitlines():
            fields = line.split()
            if len(fields) >= 2 and fields[0].startswith("0x"):
                found[fields[1]] = int(fields[0], 16)
        return found

    def call(self, function, *ints, doubles=(), stack=()):
        """Calls FUNCTION (an exported name or an address) with INTS as the integer arguments
        (arm64: x0..; armv7: r0-r3, then stack words), DOUBLES in d0.. (arm64) and STACK in
        8-byte stack slots (arm64); returns (x0 or r0, d0 as a double or None). Raises Thrown
        when the code threw, EmulationError when it did what no device would let it."""
        address = self.address_of(function) if isinstance(function, str) else function
        sp = STACK_TOP - 0x1000
        if self.arch == "armv7":
            if doubles or stack:
                raise EmulationError("armv7 calls take their arguments as words")
            stack, ints = ints[4:], ints[:4]
        for i, value in enumerate(stack):
            self.put_ptr(sp + self.word * i, value)
        self.uc.reg_write(self.sp, sp)
        for i, value in enumerate(ints):
            self.uc.reg_write(X[i] if self.arch == "arm64" else R[i],
                              value & (2 ** (8 * self.word) - 1))
        for i, value in enumerate(doubles):
            self.uc.reg_write(D[i], bits64(value))
        self.uc.reg_write(self.lr, RETURN_ADDRESS)
        self._error = None
        try:
            self.uc.emu_start(address, RETURN_ADDRESS, count=10_000_000)
        except UcError as e:
            pc = self.uc.reg_read(self.pc)
            raise EmulationError("%s at pc 0x%x (slice offset 0x%x)" % (e, pc, pc - BASE))
        if self._error is not None:
            raise self._error
        if self.uc.reg_read(self.pc) != RETURN_ADDRESS:
            raise EmulationError("the call did not return")
        if self.arch == "armv7":
            return self.uc.reg_read(R[0]), None
        return self.x(0), self.d(0)

    def run_initialisers(self):
        """Runs the library's initialisers (__mod_init_func) in order, as dyld does at load."""
        for segment in self.thin.segments:
            for name, address, size, _offset in segment.sections:
                if name == "__mod_init_func":
                    for at in range(address, address + size, self.word):
                        self.call(self.ptr(BASE + at))

    # --- the Objective-C runtime -----------------------------------------------------------

    def _class(self, name):
        """The address of class NAME (its metaclass at address + 8), made on first use."""
        if name not in self._classes:
            address = self._alloc_object(16)
            self._classes[name] = address
            self._class_names[address] = (name, False)
            self._class_names[address + 8] = (name, True)
        return self._classes[name]

    def selector(self, name):
        if name not in self._strings:
            self._strings[name] = self.new_cstring(name)
        return self._strings[name]

    def selector_name(self, address):
        return self.cstring(address).decode()

    def new_object(self, cls, value=None):
        address = self._alloc_object(16)
        self.put_ptr(address, self._class(cls))
        self._objects[address] = Obj(cls, value)
        return address

    def obj(self, address):
        return self._objects.get(address)

    def ns_string(self, text):
        return self.new_object("NSString", text)

    def class_of(self, address):
        """The class address of an object or class at ADDRESS (a class's is its metaclass)."""
        if address in self._class_names:
            name, meta = self._class_names[address]
            return self._classes[name] + 8 if not meta else address
        o = self._objects.get(address)
        if o is None:
            raise EmulationError("object_getClass of 0x%x, which is no object" % address)
        return self._classes[o.cls]

    def method(self, cls_address, selector):
        name, meta = self._class_names[cls_address]
        key = (name, meta, selector)
        if key not in self._methods:
            # A class the code made answers its own methods (the slice's code), then inherits.
            impl, cls = None, name
            while impl is None and cls is not None:
                made = self.made_classes.get(cls, {})
                for kind, sel, imp, _types in made.get("methods", []):
                    if sel == selector and kind == ("+" if meta else "-"):
                        return imp
                impl = find_method(cls, meta, selector)
                cls = made.get("superclass")
            if impl is None:
                def unrecognised(m, name=name, selector=selector, meta=meta):
                    raise EmulationError("unrecognised selector %s[%s %s]" %
                                         ("+" if meta else "-", name, selector))
                impl = unrecognised
            self._methods[key] = self._stub(impl)
        return self._methods[key]

    def implementation_name(self, imp):
        for (name, meta, selector), address in self._methods.items():
            if address == imp:
                return (name, selector)
        return None


# --- the stand-ins -----------------------------------------------------------------------------

def standin(*names):
    def register(fn):
        for name in names:
            STANDINS[name] = fn
        return fn
    return register


STANDINS = {}
DATA_SYMBOLS = {
    "___stack_chk_guard": 0x5A5A5A5A5A5A5A5A,
    "___stderrp": 0,
    "_kCFCoreFoundationVersionNumber": bits64(1141.14),  # iOS 8.1
    "__ZSt7nothrow": 0,
}


def printf(m, fmt, args):
    """FMT with its %d, %s and %@ conversions filled from the 8-byte values ARGS."""
    out, i, values = "", 0, list(args)
    while i < len(fmt):
        c = fmt[i]
        if c != "%":
            out += c
            i += 1
            continue
        conv = fmt[i + 1]
        i += 2
        if conv == "%":
            out += "%"
        elif conv == "d":
            v = values.pop(0) & 0xFFFFFFFF
            out += str(v - (1 << 32) if v & 0x80000000 else v)
        elif conv == "@":
            out += str(m.obj(values.pop(0)).value)
        elif conv == "s":
            out += m.cstring(values.pop(0)).decode()
        else:
            raise EmulationError("format %%%s not played" % conv)
    return out


@standin("_NSLog")
def ns_log(m):
    # NSLog(NSString *format, ...): the format is named (x0), the rest on the stack.
    fmt = m.obj(m.x(0)).value
    m.log.append(printf(m, fmt, [m.variadic(1, i) for i in range(fmt.count("%"))]))


@standin("_malloc", "__ZnwmRKSt9nothrow_t")
def new_nothrow(m):
    m.ret(0 if m.failing_new else m.malloc(m.x(0)))


@standin("__Znwm")
def new(m):
    if m.failing_new:
        throw(m, m.malloc(16), m._symbol("__ZTISt9bad_alloc"))
        return
    m.ret(m.malloc(m.x(0)))


# One thread runs here: locks have nothing to wait for.
@standin("__ZdlPv", "_free", "__ZNSt9bad_allocC1Ev", "_objc_autoreleasePoolPop", "___cxa_atexit", "___cxa_end_catch",
         "___cxa_guard_abort", "___cxa_free_exception", "__ZNSt3__15mutex4lockEv",
         "__ZNSt3__15mutex6unlockEv", "__ZNSt3__15mutexD1Ev")
def nothing(m):
    m.ret(0)


@standin("_memcpy", "_memmove")
def memmove(m):
    m.write(m.x(0), m.read(m.x(1), m.x(2)))
    m.ret(m.x(0))


@standin("_memset")
def memset(m):
    m.write(m.x(0), bytes([m.x(1) & 0xFF]) * m.x(2))
    m.ret(m.x(0))


@standin("_bzero")
def bzero(m):
    m.write(m.x(0), bytes(m.x(1)))


@standin("_memcmp")
def memcmp(m):
    a, b = m.read(m.x(0), m.x(2)), m.read(m.x(1), m.x(2))
    m.ret(0 if a == b else (-1 if a < b else 1))


@standin("_memchr")
def memchr(m):
    data = m.read(m.x(0), m.x(2))
    at = data.find(bytes([m.x(1) & 0xFF]))
    m.ret(0 if at < 0 else m.x(0) + at)


@standin("_strlen")
def strlen(m):
    m.ret(len(m.cstring(m.x(0))))


@standin("_strcmp")
def strcmp(m):
    a, b = m.cstring(m.x(0)), m.cstring(m.x(1))
    m.ret(0 if a == b else (-1 if a < b else 1))


@standin("_arc4random")
def arc4random(m):
    m.ret(0x12345678)


@standin("___cxa_guard_acquire")
def guard_acquire(m):
    # 1: the caller initialises the static now; 0: it was initialised before.
    m.ret(0 if m.read(m.x(0), 1) != b"\0" else 1)


@standin("___cxa_guard_release")
def guard_release(m):
    m.write(m.x(0), b"\1")


@standin("___cxa_allocate_exception")
def allocate_exception(m):
    m.ret(m.malloc(m.x(0) + 128) + 128)


@standin("__ZNSt11logic_errorC2EPKc")
def logic_error(m):
    m.put_ptr(m.x(0) + m.word, m.x(1))  # the message, kept beside the vtable pointer


def throw(m, exception, thrown_type):
    m.exceptions[exception] = thrown_type
    unwind.raise_exception(m, exception, thrown_type)


@standin("___cxa_throw")
def cxa_throw(m):
    throw(m, m.x(0), m.x(1))


# A cleanup's landing pad is done: the same exception goes on from its frame.
@standin("__Unwind_Resume", "__Unwind_SjLj_Resume")
def unwind_resume(m):
    unwind.raise_exception(m, m.x(0), m.exceptions[m.x(0)])


@standin("___cxa_begin_catch")
def begin_catch(m):
    m.ret(m.x(0))


@standin("__Unwind_SjLj_Register")
def sjlj_register(m):
    m.put_ptr(m.x(0), m.sjlj_top)
    m.sjlj_top = m.x(0)


@standin("__Unwind_SjLj_Unregister")
def sjlj_unregister(m):
    m.sjlj_top = m.ptr(m.x(0))


@standin("___stack_chk_fail", "_abort", "__ZSt9terminatev")
def fatal(m):
    raise EmulationError("the code ended the process (stack check, abort or terminate)")


@standin("_objc_autoreleasePoolPush")
def pool_push(m):
    m.ret(m.malloc(16))


@standin("_objc_getClass", "_objc_lookUpClass")
def objc_get_class(m):
    name = m.cstring(m.x(0)).decode()
    m.ret(m._classes.get(name, 0))


@standin("_sel_registerName")
def sel_register_name(m):
    m.ret(m.selector(m.cstring(m.x(0)).decode()))


@standin("_object_getClass")
def object_get_class(m):
    m.ret(m.class_of(m.x(0)) if m.x(0) else 0)


@standin("_class_getMethodImplementation")
def class_get_method_implementation(m):
    m.ret(m.method(m.x(0), m.selector_name(m.x(1))))


@standin("_class_getInstanceMethod")
def class_get_instance_method(m):
    # A hooked class answers its hooked selector with the types of m.host_types; a Method here is
    # the address of its type encoding, which method_getTypeEncoding hands back.
    name = m._class_names.get(m.x(0), (None,))[0]
    selector = m.selector_name(m.x(1))
    if name is None or selector not in m.host_types:
        m.ret(0)
        return
    m.ret(m.new_cstring(type_encoding(m.arch, selector, m.host_types[selector])))


@standin("_method_getTypeEncoding")
def method_get_type_encoding(m):
    m.ret(m.x(0))


def type_encoding(arch, selector, argument_types):
    """The type encoding the device's runtime reports for a hooked method, frame offsets and all
    ("@40@0:8d16d24B32" on arm64), from HOST_TYPES' letters: on armv7 a CGFloat is "f", an
    NSInteger "i", an NSUInteger "I" and a BOOL "c"."""
    word = 8 if arch == "arm64" else 4
    if arch == "armv7":
        local = {"d": "f", "q": "i", "Q": "I", "B": "c"}
    else:
        local = {}
    sizes = {"@": word, "d": 8, "f": 4, "q": 8, "Q": 8, "i": 4, "I": 4, "B": 1, "c": 1}
    result = "q" if selector == "statusBarStyle" else (
        "v" if selector.startswith("set") else "@")
    result = local.get(result, result)
    parts, offset = ["@0", ":%d" % word], 2 * word
    for t in argument_types:
        t = local.get(t, t)
        parts.append("%s%d" % (t, offset))
        offset += max(sizes[t], 4)
    return "%s%d%s" % (result, offset, "".join(parts))


@standin("_objc_allocateClassPair")
def allocate_class_pair(m):
    superclass = m._class_names[m.x(0)][0] if m.x(0) else None
    name = m.cstring(m.x(1)).decode()
    address = m._class(name)
    m.made_classes[name] = {"superclass": superclass, "methods": [], "registered": False}
    m.ret(address)


@standin("_class_addMethod")
def class_add_method(m):
    name, meta = m._class_names[m.x(0)]
    m.made_classes[name]["methods"].append(
        ("+" if meta else "-", m.selector_name(m.x(1)), m.x(2), m.cstring(m.x(3)).decode()))
    m.ret(1)


@standin("_objc_registerClassPair")
def register_class_pair(m):
    m.made_classes[m._class_names[m.x(0)][0]]["registered"] = True


@standin("_CFNotificationCenterGetDarwinNotifyCenter")
def darwin_center(m):
    m.ret(0xC0FFEE)


@standin("_CFNotificationCenterAddObserver")
def add_observer(m):
    m.observers.append((m.obj(m.x(3)).value, m.x(2)))


@standin("_MSHookMessageEx")
def ms_hook_message_ex(m):
    # MSHookMessageEx(Class, SEL, IMP replacement, IMP *original): the original becomes a Python
    # method that records what reaches it and answers a colour of its own.
    cls, sel, replacement, slot = m.x(0), m.x(1), m.x(2), m.x(3)
    name = m._class_names[cls][0] if cls else None
    selector = m.selector_name(sel)
    m.hooks.append((name, selector, replacement, slot))
    if cls and slot:
        m.put_ptr(slot, m._stub(lambda mm, n=name, s=selector: host_original(mm, n, s)))


@standin("_class_getSuperclass")
def class_get_superclass(m):
    name, meta = m._class_names[m.x(0)]
    superclass = m.made_classes.get(name, {}).get("superclass")
    m.ret(0 if superclass is None else m._class(superclass) + (8 if meta else 0))


# The one instance variable the pane reaches, PSListController's _specifiers: a word after isa.
@standin("_class_getInstanceVariable")
def class_get_instance_variable(m):
    found = (m._class_names[m.x(0)][0], m.cstring(m.x(1)).decode()) == ("PSListController",
                                                                      "_specifiers")
    m.ret(0x1BAD if found else 0)


@standin("_ivar_getOffset")
def ivar_get_offset(m):
    m.ret(8)


# The pane's respring: what would act on the device's files and processes is recorded, in order.
@standin("_unlink")
def unlink(m):
    m.calls.append(("unlink", m.cstring(m.x(0)).decode()))
    m.ret(0)


@standin("_system")
def system(m):
    m.calls.append(("system", m.cstring(m.x(0)).decode()))
    m.ret(0)


def host_original(m, cls, selector):
    """A hooked method's own implementation: records the arguments as its declared types place
    them, and answers what the host would (a colour of its own, or the style 1)."""
    types = m.host_types[selector]
    ints, floats, args = 2, 0, []
    for t in types:
        if t == "d" and m.arch == "arm64":
            args.append(m.d(floats))
            floats += 1
        elif t == "d":
            args.append(f32(m.x(ints)))
            ints += 1
        else:
            value = m.x(ints)
            ints += 1
            args.append({"B": value & 0xFF, "i": value & 0xFFFFFFFF}.get(t, value))
    m.original_calls.append((cls, selector, args))
    m.ret(1 if selector == "statusBarStyle" else m.new_object("UIColor", ("host", selector)))


# The hooked methods' argument types on arm64 iOS 7-8 (after self and _cmd): "@" an object,
# "q" NSInteger, "Q" NSUInteger, "i" int, "d" CGFloat, "B" BOOL. Machine.host_types starts as
# this table; a test may declare a host of another version.
HOST_TYPES = {
    "initWithRequest:backgroundColor:foregroundColor:": "@@@",
    "setForegroundColor:": "@",
    "textColorForStyle:": "q",
    "_batteryColorForCapacity:lowCapacity:charging:": "ddB",
    "_batteryColorForCapacity:lowCapacity:style:": "ddQ",
    "setColor:": "@",
    "setTintColor:": "@",
    "setPrimaryColor:": "@",
    "statusBarStyle": "",
}

DEFAULT_CLASSES = ["NSObject", "NSString", "NSDictionary", "NSMutableDictionary", "NSNumber",
                   "NSArray", "NSURL", "UIColor", "UIApplication", "UIBarButtonItem",
                   "UINavigationItem", "UIStatusBarNewUIStyleAttributes", "UIStatusBar",
                   "UIStatusBarNewUIForegroundStyleAttributes",
                   "UIStatusBarForegroundStyleAttributes", "UIActivityIndicatorView",
                   "_UIRefreshControlModernContentView", "_UILegibilitySettings",
                   "SBLockScreenViewController", "PSListController"]




# --- the file system and its kqueue ------------------------------------------------------------

# Darwin's numbers (sys/errno.h, fcntl.h, sys/event.h).
ENOENT, EBADF, ENOTDIR, EINVAL, ELOOP = 2, 9, 20, 22, 62
O_NOFOLLOW, O_DIRECTORY = 0x100, 0x100000
EVFILT_VNODE, EV_ADD, EV_DELETE, EV_ERROR = -4, 0x1, 0x2, 0x4000
NOTE_DELETE, NOTE_WRITE, NOTE_EXTEND, NOTE_ATTRIB, NOTE_LINK, NOTE_RENAME = 1, 2, 4, 8, 0x10, 0x20


class Node:
    """A vnode: a folder (ENTRIES), a file (CONTENTS) or a symbolic link (TARGET)."""

    def __init__(self, kind, contents=None, target=None):
        self.kind = kind
        self.contents = contents
        self.target = target
        self.entries = {} if kind == "folder" else None


class FileSystem:
    """The device's file system as far as the deliverables look at it: the folders, files and
    links, as the device lays them out (/var is a link to private/var), open/readlink/close on
    descriptors, and kqueue's EVFILT_VNODE notes raised by the changes a test makes."""

    def __init__(self):
        self.root = Node("folder")
        self.descriptors = {}  # fd -> ("vnode", Node) or ("kqueue", Kqueue)
        self.folder("/private/var/mobile/Library/Preferences")
        self.link("/var", "private/var")

    def resolve(self, path, follow_last=True, depth=0):
        """(folder, name, node or None) that PATH leads to, as the kernel looks it up (links
        followed, the last one only with FOLLOW_LAST; ".." from where the lookup stands); raises
        OSError(errno)."""
        parts = [p for p in path.split("/") if p not in ("", ".")]
        stack, names = [self.root], []
        for i, name in enumerate(parts):
            last = i == len(parts) - 1
            if name == "..":
                if len(stack) > 1:
                    stack.pop()
                    names.pop()
                continue
            node = stack[-1].entries.get(name)
            if node is not None and node.kind == "link" and (follow_last or not last):
                if depth >= 32:
                    raise OSError(ELOOP)
                base = "" if node.target.startswith("/") else "/" + "/".join(names)
                rest = "".join("/" + p for p in parts[i + 1:])
                return self.resolve(base + "/" + node.target + rest, follow_last, depth + 1)
            if last:
                return stack[-1], name, node
            if node is None:
                raise OSError(ENOENT)
            if node.kind != "folder":
                raise OSError(ENOTDIR)
            stack.append(node)
            names.append(name)
        return None, "", stack[-1]

    def notify(self, node, notes):
        for kind, kq in list(self.descriptors.values()):
            if kind == "kqueue":
                kq.raised(node, notes)

    # What a test does to the device's files.

    def folder(self, path):
        node, parts = self.root, [p for p in path.split("/") if p]
        for name in parts:
            node = node.entries.setdefault(name, Node("folder"))
        return node

    def link(self, path, target):
        folder, name, _ = self.resolve(path, follow_last=False)
        folder.entries[name] = Node("link", target=target)
        self.notify(folder, NOTE_WRITE)

    def write(self, path, contents):
        """Writes CONTENTS into the file at PATH in place (created when missing)."""
        folder, name, node = self.resolve(path)
        if node is None:
            folder.entries[name] = Node("file", contents)
            self.notify(folder, NOTE_WRITE)
        else:
            node.contents = contents
            self.notify(node, NOTE_WRITE | NOTE_EXTEND)

    def replace(self, path, contents):
        """Writes CONTENTS to a new file beside PATH and renames it onto PATH, as writers that
        never leave a half-written file do."""
        folder, name, old = self.resolve(path)
        folder.entries[name] = Node("file", contents)
        self.notify(folder, NOTE_WRITE)
        if old is not None:
            self.notify(old, NOTE_DELETE)

    def read(self, path):
        try:
            _folder, _name, node = self.resolve(path)
        except OSError:
            return None
        return node.contents if node is not None and node.kind == "file" else None

    # The calls, for the stand-ins: each returns a result or raises OSError(errno).

    def _fd(self, entry):
        fd = 3
        while fd in self.descriptors:
            fd += 1
        self.descriptors[fd] = entry
        return fd

    def open(self, path, flags):
        _folder, _name, node = self.resolve(path, follow_last=not flags & O_NOFOLLOW)
        if node is None:
            raise OSError(ENOENT)
        if node.kind == "link":
            raise OSError(ELOOP)
        if flags & O_DIRECTORY and node.kind != "folder":
            raise OSError(ENOTDIR)
        return self._fd(("vnode", node))

    def readlink(self, path):
        _folder, _name, node = self.resolve(path, follow_last=False)
        if node is None:
            raise OSError(ENOENT)
        if node.kind != "link":
            raise OSError(EINVAL)
        return node.target.encode()

    def close(self, fd):
        """Closes FD; a vnode's registrations go with it, and their pending notes."""
        if self.descriptors.pop(fd, None) is None:
            raise OSError(EBADF)
        for kind, kq in self.descriptors.values():
            if kind == "kqueue":
                kq.registered.pop(fd, None)
                kq.pending.pop(fd, None)

    def watched(self):
        """How many vnode registrations the kqueues hold."""
        return sum(len(kq.registered) for kind, kq in self.descriptors.values()
                   if kind == "kqueue")


class Kqueue:
    """One kqueue: its vnode registrations and the notes raised since they were last read
    (EV_CLEAR: each registration's notes are or-ed together until kevent() hands them out)."""

    def __init__(self, fs):
        self.fs = fs
        self.registered = {}  # fd -> [node, notes wanted, udata]
        self.pending = {}     # fd -> notes raised

    def raised(self, node, notes):
        for fd, (watched, wanted, _udata) in self.registered.items():
            if watched is node and notes & wanted:
                self.pending[fd] = self.pending.get(fd, 0) | (notes & wanted)

    def change(self, fd, filter_, flags, fflags, udata):
        entry = self.fs.descriptors.get(fd)
        if entry is None or entry[0] != "vnode" or filter_ != EVFILT_VNODE:
            raise OSError(EBADF if entry is None else EINVAL)
        if flags & EV_DELETE:
            self.registered.pop(fd, None)
        elif flags & EV_ADD:
            self.registered[fd] = [entry[1], fflags, udata]

    def take(self, count):
        out = []
        for fd in list(self.pending)[:count]:
            out.append((fd, self.pending.pop(fd), self.registered[fd][2]))
        return out


def kevent_format(m):
    return "<QhHIqQ" if m.arch == "arm64" else "<IhHIiI"


def set_errno(m, error):
    if m.errno is None:
        m.errno = m.malloc(16)
    m.write(m.errno, struct.pack("<i", error))


def syscall(fn):
    """A C call that answers -1 with errno set when FN raises OSError."""
    def call(m):
        try:
            m.ret(fn(m))
        except OSError as e:
            set_errno(m, e.args[0])
            m.ret(-1)
    return call


@standin("___error")
def errno_address(m):
    if m.errno is None:
        set_errno(m, 0)
    m.ret(m.errno)


@standin("_getpid")
def getpid(m):
    m.ret(100)


@standin("_open")
@syscall
def open_(m):
    return m.fs.open(m.cstring(m.x(0)).decode(), m.x(1))


@standin("_close")
@syscall
def close(m):
    m.fs.close(m.x(0))
    return 0


@standin("_readlink")
@syscall
def readlink(m):
    target = m.fs.readlink(m.cstring(m.x(0)).decode())[:m.x(2)]
    m.write(m.x(1), target)
    return len(target)


@standin("_kqueue")
@syscall
def kqueue(m):
    return m.fs._fd(("kqueue", Kqueue(m.fs)))


@standin("_kevent")
@syscall
def kevent(m):
    # kevent(kq, changes, nchanges, events, nevents, timeout): the six arguments as integers
    # (armv7: the last two on the stack). Never blocks: nothing else runs while it would wait.
    entry = m.fs.descriptors.get(m.x(0))
    if entry is None or entry[0] != "kqueue":
        raise OSError(EBADF)
    kq, layout = entry[1], kevent_format(m)
    size = struct.calcsize(layout)
    for i in range(m.x(2) if m.x(1) else 0):
        ident, filter_, flags, fflags, _data, udata = struct.unpack(
            layout, m.read(m.x(1) + i * size, size))
        kq.change(ident, filter_, flags, fflags, udata)
    events = kq.take(m.x(4)) if m.x(3) else []
    for i, (fd, notes, udata) in enumerate(events):
        m.write(m.x(3) + i * size, struct.pack(layout, fd, EVFILT_VNODE, 0, notes, 0, udata))
    return len(events)


# --- Foundation and UIKit, as far as the deliverables message them ----------------------------

def find_method(cls, meta, selector):
    table = CLASS_METHODS if meta else INSTANCE_METHODS
    return table.get((cls, selector)) or table.get(("*", selector))


INSTANCE_METHODS = {}
CLASS_METHODS = {}


def method(cls, selector, meta=False):
    def register(fn):
        (CLASS_METHODS if meta else INSTANCE_METHODS)[(cls, selector)] = fn
        return fn
    return register


@method("*", "retain")
@method("*", "autorelease")
def retain(m):
    m.ret(m.x(0))


@method("*", "release")
def release(m):
    pass


@method("*", "copy")
def copy(m):
    m.ret(m.x(0))


@method("*", "respondsToSelector:")
def responds(m):
    o = m.obj(m.x(0))
    name = m.selector_name(m.x(2))
    m.ret(1 if find_method(o.cls, False, name) else 0)


@method("*", "isKindOfClass:")
def is_kind_of(m):
    o = m.obj(m.x(0))
    wanted = m._class_names[m.x(2)][0]
    kinds = {"NSString": ["NSString"], "NSNumber": ["NSNumber"],
             "NSMutableDictionary": ["NSMutableDictionary", "NSDictionary"]}
    m.ret(1 if wanted in kinds.get(o.cls, [o.cls]) else 0)


@method("NSString", "stringWithUTF8String:", meta=True)
def string_with_utf8(m):
    m.ret(m.ns_string(m.cstring(m.x(2)).decode("utf-8", "surrogateescape")))


@method("NSString", "stringWithFormat:", meta=True)
def string_with_format(m):
    # A variadic method: the format is named (x2), the arguments on the stack.
    fmt = m.obj(m.x(2))
    if fmt is None or fmt.cls != "NSString":
        raise EmulationError("stringWithFormat: got no format string as its named argument")
    m.ret(m.ns_string(printf(m, fmt.value, [m.variadic(3, i) for i in range(8)])))


@method("NSString", "length")
def string_length(m):
    m.ret(len(m.obj(m.x(0)).value.encode("utf-16-le")) // 2)


@method("NSString", "UTF8String")
def utf8_string(m):
    m.ret(m.new_cstring(m.obj(m.x(0)).value.encode("utf-8", "surrogateescape")))


@method("NSString", "isEqualToString:")
def is_equal_to_string(m):
    other = m.obj(m.x(2))
    m.ret(1 if other is not None and other.value == m.obj(m.x(0)).value else 0)


@method("NSString", "floatValue")
def string_float_value(m):
    text = m.obj(m.x(0)).value
    try:
        value = float(text)
    except ValueError:
        value = 0.0
    m.ret_float(value)


@method("NSString", "boolValue")
@method("NSNumber", "boolValue")
def bool_value(m):
    v = m.obj(m.x(0)).value
    m.ret(1 if (v in ("YES", "yes", "true", "1") if isinstance(v, str) else bool(v)) else 0)


@method("NSString", "intValue")
@method("NSNumber", "intValue")
def int_value(m):
    v = m.obj(m.x(0)).value
    try:
        m.ret(int(v) & 0xFFFFFFFF)
    except ValueError:
        m.ret(0)


@method("NSDictionary", "alloc", meta=True)
@method("NSMutableDictionary", "alloc", meta=True)
def dictionary_alloc(m):
    m.ret(m.new_object(m._class_names[m.x(0)][0], None))


@method("NSDictionary", "initWithContentsOfFile:")
@method("NSMutableDictionary", "initWithContentsOfFile:")
def dictionary_init_with_contents(m):
    path = m.obj(m.x(2)).value
    m.calls.append(("initWithContentsOfFile:", path))
    contents = m.fs.read(path)
    if not isinstance(contents, dict):
        m.ret(0)
        return
    values = {}
    for key, value in contents.items():
        if isinstance(value, bool):
            values[key] = m.new_object("NSNumber", value)
        elif isinstance(value, int):
            values[key] = m.new_object("NSNumber", value)
        else:
            values[key] = m.ns_string(value)
    m.obj(m.x(0)).value = values
    m.ret(m.x(0))


@method("NSDictionary", "objectForKey:")
@method("NSMutableDictionary", "objectForKey:")
def object_for_key(m):
    key = m.obj(m.x(2)).value
    m.ret(m.obj(m.x(0)).value.get(key, 0))


@method("UIColor", "colorWithRed:green:blue:alpha:", meta=True)
def color_with_rgba(m):
    m.ret(m.new_object("UIColor", ("rgba",) + tuple(m.cgfloats(2, 4))))


@method("UIColor", "colorWithHue:saturation:brightness:alpha:", meta=True)
def color_with_hsba(m):
    m.ret(m.new_object("UIColor", ("hsba",) + tuple(m.cgfloats(2, 4))))


@method("UIColor", "colorWithAlphaComponent:")
def color_with_alpha(m):
    value = m.obj(m.x(0)).value
    alpha = m.cgfloats(2, 1)[0]
    m.ret(m.new_object("UIColor", value[:4] + (alpha,) if value[0] in ("rgba", "hsba")
                       else (value, alpha)))


for _colour in ("black", "darkGray", "lightGray", "white", "gray", "red", "green", "blue",
                "cyan", "clear", "yellow", "magenta", "orange", "purple", "brown"):
    method("UIColor", _colour + "Color", meta=True)(
        lambda m, c=_colour: m.ret(m.new_object("UIColor", ("named", c))))


# The pane's controller: what PSListController does for it, and the navigation bar's button.
@method("PSListController", "viewDidLoad")
@method("PSListController", "viewWillAppear:")
def list_controller_super(m):
    m.calls.append(("super", m.selector_name(m.x(1)), m.x(0)))


@method("PSListController", "clearCache")
@method("PSListController", "reload")
def list_controller_record(m):
    m.calls.append((m.selector_name(m.x(1)), m.x(0)))


@method("PSListController", "loadSpecifiersFromPlistName:target:")
def load_specifiers(m):
    m.calls.append(("loadSpecifiersFromPlistName:target:", m.obj(m.x(2)).value, m.x(3)))
    m.ret(m.new_object("NSArray", "specifiers"))


@method("*", "navigationItem")
def navigation_item(m):
    m.ret(m.new_object("UINavigationItem", m.x(0)))


@method("UINavigationItem", "setRightBarButtonItem:")
def set_right_bar_button_item(m):
    m.calls.append(("setRightBarButtonItem:", m.obj(m.x(0)).value, m.obj(m.x(2)).value))


@method("UIBarButtonItem", "alloc", meta=True)
def bar_button_item_alloc(m):
    m.ret(m.new_object("UIBarButtonItem"))


@method("UIBarButtonItem", "initWithTitle:style:target:action:")
def bar_button_item_init(m):
    # Four arguments after self and _cmd: armv7 has the target and the action on the stack.
    m.obj(m.x(0)).value = (m.obj(m.x(2)).value, m.x(3), m.x(4), m.selector_name(m.x(5)))
    m.ret(m.x(0))


@method("NSURL", "URLWithString:", meta=True)
def url_with_string(m):
    m.ret(m.new_object("NSURL", m.obj(m.x(2)).value))


@method("UIApplication", "sharedApplication", meta=True)
def shared_application(m):
    m.ret(m.new_object("UIApplication"))


@method("UIApplication", "openURL:")
def open_url(m):
    m.calls.append(("openURL:", m.obj(m.x(2)).value))
    m.ret(1)
