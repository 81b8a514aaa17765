# The x87 instructions that unicorn (QEMU 5's helpers) computes through doubles, answered instead
# by this machine's own x87, which runs them natively in 64-bit mode at full precision.
import ctypes
import mmap
import struct

from unicorn import UC_HOOK_CODE
from unicorn.x86_const import UC_X86_REG_FP0, UC_X86_REG_FPCW, UC_X86_REG_FPSW

C0, C1, C2, C3 = 0x100, 0x200, 0x400, 0x4000   # the status word's condition codes
# The second byte after D9 of each: its name, how many results it leaves on top of the stack,
# and the condition codes it defines (the rest it leaves undefined: they stay as emulated).
INSTRUCTIONS = {0xF0: ('f2xm1', 1, C1), 0xF1: ('fyl2x', 1, C1), 0xF2: ('fptan', 2, C1 | C2),
                0xF3: ('fpatan', 1, C1), 0xF5: ('fprem1', 1, C0 | C1 | C2 | C3),
                0xF8: ('fprem', 1, C0 | C1 | C2 | C3), 0xF9: ('fyl2xp1', 1, C1),
                0xFB: ('fsincos', 2, C1 | C2), 0xFE: ('fsin', 1, C1 | C2),
                0xFF: ('fcos', 1, C1 | C2)}
# Where C2 says an operand was out of range and left alone: the emulation must agree, for the
# stack it left (one value or two) follows from it.
RANGE_CHECKED = {'fptan', 'fsincos', 'fsin', 'fcos'}


def _native(opcode):
    """x86-64 code, f(in, out): loads the control word and ST1, ST0 from `in`, runs the one
    instruction, stores its status word, ST0 and ST1 in `out`, and leaves the x87 as it was."""
    code = (b'\xD9\x7C\x24\xF8'         # fnstcw [rsp-8]: the interpreter's own
            b'\xD9\x6F\x20'             # fldcw [rdi+32]
            b'\xDB\x6F\x10'             # fld tbyte [rdi+16]: ST1
            b'\xDB\x2F'                 # fld tbyte [rdi]: ST0
            + bytes([0xD9, opcode])
            + b'\xDD\x7E\x20'           # fnstsw [rsi+32]
            b'\xDB\x3E'                 # fstp tbyte [rsi]
            b'\xDB\x7E\x10'             # fstp tbyte [rsi+16]
            b'\xDB\xE3'                 # fninit: whatever else was pushed is dropped
            b'\xD9\x6C\x24\xF8'         # fldcw [rsp-8]
            b'\xC3')                    # ret
    return code


class NativeX87:
    """Hooks every D9 xx of INSTRUCTIONS in the code ranges: before one runs, its operands are
    noted; once it has, its results are replaced with the native ones. Byte pairs inside other
    instructions never start one, so their hooks never fire."""

    def __init__(self, uc, code_ranges, fault):
        self.uc, self.fault = uc, fault
        self.memory = mmap.mmap(-1, mmap.PAGESIZE * 2,
                                prot=mmap.PROT_READ | mmap.PROT_WRITE | mmap.PROT_EXEC)
        self.functions, at = {}, 0
        base = ctypes.addressof(ctypes.c_char.from_buffer(self.memory))
        prototype = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_void_p)
        for opcode in INSTRUCTIONS:
            code = _native(opcode)
            self.memory[at:at + len(code)] = code
            self.functions[opcode] = prototype(base + at)
            at += 64
        self.operands = ctypes.create_string_buffer(48)
        self.results = ctypes.create_string_buffer(48)
        self.pending = None
        for start, end in code_ranges:
            code = uc.mem_read(start, end - start)
            at = code.find(b'\xD9')
            while at >= 0:
                if at + 1 < len(code) and code[at + 1] in INSTRUCTIONS:
                    self._hook(start + at, code[at + 1])
                at = code.find(b'\xD9', at + 1)

    def _hook(self, address, opcode):
        self.uc.hook_add(UC_HOOK_CODE, self._before, (address, opcode), address, address)
        self.uc.hook_add(UC_HOOK_CODE, self._after, (address, opcode), address + 2, address + 2)

    def _register(self, i):
        top = (self.uc.reg_read(UC_X86_REG_FPSW) >> 11) & 7
        return UC_X86_REG_FP0 + ((top + i) & 7)

    def _read(self, i):
        return struct.pack('<QH', *self.uc.reg_read(self._register(i)))

    def _before(self, uc, address, size, where):
        self.pending = where
        self.operands[0:48] = (self._read(0) + bytes(6) + self._read(1) + bytes(6)
                               + struct.pack('<H', uc.reg_read(UC_X86_REG_FPCW)) + bytes(14))

    def _after(self, uc, address, size, where):
        if self.pending != where:
            return      # reached from elsewhere, not by running the instruction before it
        self.pending = None
        opcode = where[1]
        name, results, defined = INSTRUCTIONS[opcode]
        self.functions[opcode](ctypes.addressof(self.operands), ctypes.addressof(self.results))
        status = struct.unpack('<H', self.results[32:34])[0]
        emulated = uc.reg_read(UC_X86_REG_FPSW)
        if name in RANGE_CHECKED and (status ^ emulated) & C2:
            self.fault(f'x87 {name} at {where[0]:#010x}: C2 {bool(emulated & C2)} emulated, '
                       f'{bool(status & C2)} on this machine')
            return
        for i in range(results):
            uc.reg_write(self._register(i), struct.unpack('<QH', self.results[16 * i:16 * i + 10]))
        uc.reg_write(UC_X86_REG_FPSW, (emulated & ~defined) | (status & defined))
