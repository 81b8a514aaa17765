# The real x86 BASS.dll under emulation: each export called as playonce calls it, for the answers
# that need no file and no sound, with the stdcall convention checked on every return.
#
# Usage: /usr/bin/python3 test_dll_exports.py PATH/TO/BASS.dll [unittest options]
import os
import struct
import sys
import unittest
from dataclasses import dataclass

import pefile
from unicorn import (UC_ARCH_X86, UC_HOOK_BLOCK, UC_HOOK_CODE, UC_MODE_32, UC_PROT_EXEC,
                     UC_PROT_READ, UC_PROT_WRITE, Uc, UcError)
from unicorn.x86_const import (UC_X86_REG_EAX, UC_X86_REG_EBP, UC_X86_REG_EBX, UC_X86_REG_ECX,
                               UC_X86_REG_EDI, UC_X86_REG_EDX, UC_X86_REG_EFLAGS, UC_X86_REG_EIP,
                               UC_X86_REG_ESI, UC_X86_REG_ESP, UC_X86_REG_FPCW, UC_X86_REG_FPTAG,
                               UC_X86_REG_MXCSR)

sys.dont_write_bytecode = True  # run from the source tree by ctest: leave no cache beside it
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from emulator import (DIRECTION_FLAG, HEAP_BASE, HEAP_SIZE, JUNK32, JUNK128, PAGE,  # noqa: E402
                      PROCESS_HEAP, SENTINEL, STACK_BASE, STACK_SIZE, STUB_BASE, VOLATILE_XMM)
from pe_image import (apply_protections, image_imports, map_image,  # noqa: E402
                      reset_floating_point, ret_code, round_up, u32)

LIBRARY = None  # the DLL under test, from the command line

SCRATCH = STUB_BASE + PAGE          # the harness's own code: fninit, and fstp to read ST0
ST0_CELL = STUB_BASE + 2 * PAGE     # where fstp puts the double result
DATA_BASE = 0x30000000              # the strings and bytes the calls point at
PATH = DATA_BASE                    # a file name, never to be opened by these calls
MEMORY = DATA_BASE + 0x100          # the start of a WAVE file, as if held in memory
FSTP_ST0_CELL = b'\xDD\x1D' + struct.pack('<I', ST0_CELL)
DLL_PROCESS_ATTACH = 1
HEAP_ZERO_MEMORY = 8
EFLAGS_AT_CALL = 0x202            # interrupts on, direction flag clear
# None of these calls loops for long; unicorn's own instruction count makes every start slow.
BLOCK_LIMIT = 100_000
# Values no call has reason to produce, so that a register not restored shows.
CALLEE_SAVED = {'EBX': (UC_X86_REG_EBX, 0xB0B0B0B1), 'ESI': (UC_X86_REG_ESI, 0x51515152),
                'EDI': (UC_X86_REG_EDI, 0xD1D1D1D3), 'EBP': (UC_X86_REG_EBP, 0xBEBEBEB4)}

# Every import the harness answers: dll -> name -> stdcall argument bytes. Anything else is a
# fault, and none of these calls should need anything else.
KNOWN_IMPORTS = {
    'kernel32.dll': {'DisableThreadLibraryCalls': 4, 'AcquireSRWLockExclusive': 4,
                     'ReleaseSRWLockExclusive': 4, 'GetProcessHeap': 0, 'HeapAlloc': 12,
                     'HeapFree': 12},
    'winmm.dll': {'waveOutGetNumDevs': 0},
}

# How the caller pushes each call's arguments (struct letters), and what the callee must pop.
ARGUMENTS = {'DllEntry': 'III', 'BASS_Init': 'iIIII', 'BASS_StreamCreateFile': 'IIQQI',
             'BASS_ChannelGetLength': 'II', 'BASS_ChannelBytes2Seconds': 'IQ',
             'BASS_ChannelSetAttribute': 'IIf', 'BASS_ChannelPlay': 'II', 'BASS_ChannelStop': 'I'}
POPPED = {'DllEntry': 12, 'BASS_Init': 20, 'BASS_StreamCreateFile': 28, 'BASS_ChannelGetLength': 8,
          'BASS_ChannelBytes2Seconds': 12, 'BASS_ChannelSetAttribute': 12, 'BASS_ChannelPlay': 8,
          'BASS_ChannelStop': 4}
QWORD_RESULT = {'BASS_ChannelGetLength'}        # in EDX:EAX
DOUBLE_RESULT = {'BASS_ChannelBytes2Seconds'}   # in ST0, the only value left on the x87 stack


@dataclass
class Outcome:
    problems: list
    result: object = None
    popped: int = None      # None: the call never came back
    x87_depth: int = None


class Library:
    """BASS.dll mapped at its preferred base, where it runs without applying its relocations."""

    def __init__(self, path, output_devices):
        self.pe = pefile.PE(path)
        self.base = self.pe.OPTIONAL_HEADER.ImageBase
        end = self.base + round_up(self.pe.OPTIONAL_HEADER.SizeOfImage)
        harness = [(STACK_BASE, STACK_SIZE), (HEAP_BASE, HEAP_SIZE), (DATA_BASE, PAGE),
                   (STUB_BASE, 3 * PAGE), (SENTINEL, PAGE)]
        clash = [hex(at) for at, size in harness if at < end and self.base < at + size]
        if self.base % 0x10000 or clash:
            raise ValueError(f'image base {self.base:#x} unusable: not 64 KiB aligned or over the '
                             f'harness regions at {clash}')
        self.output_devices = output_devices
        self.uc = uc = Uc(UC_ARCH_X86, UC_MODE_32)
        self.text_ranges, protections = map_image(uc, self.pe)
        for at, size in harness:
            uc.mem_map(at, size, UC_PROT_READ | UC_PROT_WRITE | UC_PROT_EXEC)
        uc.mem_write(PATH, b'D:\\a.wav\0')
        uc.mem_write(MEMORY, b'RIFF\x24\x00\x00\x00WAVEfmt ')
        uc.mem_write(SCRATCH + 16, FSTP_ST0_CELL)
        self.stubs = {}
        for index, (dll, name, slot, ordinal) in enumerate(image_imports(self.pe)):
            address = STUB_BASE + 16 * index
            argument_bytes = KNOWN_IMPORTS.get(dll.casefold(), {}).get(name)
            uc.mem_write(address, ret_code(argument_bytes or 0))
            uc.mem_write(slot, struct.pack('<I', address))
            self.stubs[address] = (f'{dll}!{name or f"#{ordinal}"}', name, argument_bytes)
            uc.hook_add(UC_HOOK_CODE, self._stub_called, begin=address, end=address)
        apply_protections(uc, protections)
        uc.hook_add(UC_HOOK_BLOCK, self._block)
        self.exports = {s.name.decode(): self.base + s.address
                        for s in self.pe.DIRECTORY_ENTRY_EXPORT.symbols if s.name}
        self.exports['DllEntry'] = self.base + self.pe.OPTIONAL_HEADER.AddressOfEntryPoint
        self.held_locks, self.heap_blocks, self.next_block = set(), {}, HEAP_BASE

    def _stub_called(self, uc, address, size, _):
        label, name, argument_bytes = self.stubs[address]
        caller = u32(uc, uc.reg_read(UC_X86_REG_ESP))
        if argument_bytes is None:
            return self._fault(f'call to {label}, an import the harness does not know')
        if not any(start <= caller < end for start, end in self.text_ranges):
            return self._fault(f'{label} called from {caller:#010x}, outside the image code')
        if uc.reg_read(UC_X86_REG_FPTAG) != self.empty_tags:
            return self._fault(f'{label} called with values left on the x87 stack')
        esp = uc.reg_read(UC_X86_REG_ESP)
        args = [u32(uc, esp + 4 + 4 * i) for i in range(argument_bytes // 4)]
        result = getattr(self, 'do_' + name)(*args)
        for reg in VOLATILE_XMM:
            uc.reg_write(reg, JUNK128)
        uc.reg_write(UC_X86_REG_ECX, JUNK32)
        uc.reg_write(UC_X86_REG_EDX, JUNK32)
        uc.reg_write(UC_X86_REG_EAX, JUNK32 if result is None else result)

    def _block(self, uc, address, size, _):
        self.blocks_run += 1
        if self.blocks_run > BLOCK_LIMIT:
            self._fault(f'no return within {BLOCK_LIMIT} basic blocks (at {address:#010x})')

    def _fault(self, message):
        self.faults.append(message)
        self.uc.emu_stop()

    def do_DisableThreadLibraryCalls(self, module):
        if module != self.base:
            self._fault(f'DisableThreadLibraryCalls({module:#x}), not the image {self.base:#x}')
        return 1

    def do_AcquireSRWLockExclusive(self, lock):
        if lock in self.held_locks:
            self._fault(f'AcquireSRWLockExclusive({lock:#x}) while holding it: a deadlock')
        self.held_locks.add(lock)

    def do_ReleaseSRWLockExclusive(self, lock):
        if lock not in self.held_locks:
            self._fault(f'ReleaseSRWLockExclusive({lock:#x}) of a lock not held')
        self.held_locks.discard(lock)

    def do_GetProcessHeap(self):
        return PROCESS_HEAP

    def do_HeapAlloc(self, heap, flags, size):
        if heap != PROCESS_HEAP or self.next_block + size > HEAP_BASE + HEAP_SIZE:
            self._fault(f'HeapAlloc({heap:#x}, {flags:#x}, {size}): not the process heap, or big')
            return 0
        start, self.next_block = self.next_block, round_up(self.next_block + size + 16, 16)
        self.uc.mem_write(start, (b'\0' if flags & HEAP_ZERO_MEMORY else b'\xA5') * size)
        self.heap_blocks[start] = size
        return start

    def do_HeapFree(self, heap, flags, block):
        if heap != PROCESS_HEAP or self.heap_blocks.pop(block, None) is None:
            self._fault(f'HeapFree({heap:#x}, {flags:#x}, {block:#x}) of no live block')
        return 1

    def do_waveOutGetNumDevs(self):
        return self.output_devices

    def call(self, name, args):
        """Calls one export as a stdcall caller would and reports what it left behind."""
        uc = self.uc
        self.faults, self.blocks_run = [], 0
        self.empty_tags = reset_floating_point(uc, SCRATCH)
        control = (uc.reg_read(UC_X86_REG_FPCW), uc.reg_read(UC_X86_REG_MXCSR))
        # Only the 4-byte alignment Windows promises: ESP + 4 is not a multiple of 16.
        esp = STACK_BASE + STACK_SIZE - 0x1000 + 8
        uc.mem_write(esp, struct.pack('<I', SENTINEL) + struct.pack('<' + ARGUMENTS[name], *args))
        uc.reg_write(UC_X86_REG_ESP, esp)
        uc.reg_write(UC_X86_REG_EFLAGS, EFLAGS_AT_CALL)
        for reg, value in CALLEE_SAVED.values():
            uc.reg_write(reg, value)
        for reg in (UC_X86_REG_EAX, UC_X86_REG_ECX, UC_X86_REG_EDX):
            uc.reg_write(reg, JUNK32)
        try:
            uc.emu_start(self.exports[name], SENTINEL)
        except UcError as error:
            self.faults.append(f'CPU fault at EIP {uc.reg_read(UC_X86_REG_EIP):#010x}: {error}')
        if self.faults or uc.reg_read(UC_X86_REG_EIP) != SENTINEL:
            return Outcome(self.faults or [f'stopped at {uc.reg_read(UC_X86_REG_EIP):#010x}'])
        problems = []
        for register, (reg, value) in CALLEE_SAVED.items():
            if uc.reg_read(reg) != value:
                problems.append(f'{register} {uc.reg_read(reg):#010x}, not restored {value:#010x}')
        if uc.reg_read(UC_X86_REG_EFLAGS) & DIRECTION_FLAG:
            problems.append('returned with the direction flag set')
        if (uc.reg_read(UC_X86_REG_FPCW), uc.reg_read(UC_X86_REG_MXCSR)) != control:
            problems.append('x87 control word or MXCSR changed')
        if self.held_locks:
            problems.append(f'returned holding locks {sorted(map(hex, self.held_locks))}')
        tags = uc.reg_read(UC_X86_REG_FPTAG)
        depth = sum((tags >> (2 * i)) & 3 != 3 for i in range(8))
        eax, edx = uc.reg_read(UC_X86_REG_EAX), uc.reg_read(UC_X86_REG_EDX)
        if name in DOUBLE_RESULT:
            result = None
            if depth:
                uc.emu_start(SCRATCH + 16, SCRATCH + 16 + len(FSTP_ST0_CELL))
                result = struct.unpack('<d', uc.mem_read(ST0_CELL, 8))[0]
        else:
            result = edx << 32 | eax if name in QWORD_RESULT else eax
        return Outcome(problems, result, uc.reg_read(UC_X86_REG_ESP) - esp - 4, depth)


TRUE, FALSE, ALL_ONES = 1, 0, 0xFFFFFFFFFFFFFFFF
NOT_STREAMS = (0, 1, 12345, 0xFFFFFFFF)   # 1 would be the first stream's, had one been made


def init(device, expected, flags=0):
    return ('BASS_Init', (device, 44100, flags, 0, 0), expected)


def no_stream(mem, file, offset=0, length=0):
    return ('BASS_StreamCreateFile', (mem, file, offset, length, 0x60000), 0)


def not_a_stream(handle):
    return [('BASS_ChannelGetLength', (handle, 0), ALL_ONES),
            ('BASS_ChannelBytes2Seconds', (handle, 0x123456789), 0.0),
            ('BASS_ChannelSetAttribute', (handle, 2, 1.0), FALSE),
            ('BASS_ChannelPlay', (handle, 0), FALSE),
            ('BASS_ChannelStop', (handle,), FALSE)]


# (name, output devices winmm reports, calls made in order on one freshly loaded library)
CASES = [
    ('no-sound device opens once', 0, [init(0, TRUE), init(0, FALSE), init(1, FALSE)]),
    ('first device with one output device', 1, [init(1, TRUE, 0x800), init(1, FALSE)]),
    ('default device with one output device', 1, [init(-1, TRUE)]),
    ('first device with no output device', 0, [init(1, FALSE)]),
    ('unknown device refused, the library left closed', 1, [init(2, FALSE), init(0, TRUE)]),
    ('no stream before BASS_Init', 0, [no_stream(0, PATH)]),
    ('no stream from memory, a null file, an offset or a length', 0,
     [init(0, TRUE), no_stream(1, MEMORY), no_stream(0, 0), no_stream(0, PATH, 1 << 32),
      no_stream(0, PATH, 0, 1 << 32)]),
    ('handles before BASS_Init are no streams', 0, not_a_stream(1)),
] + [(f'handle {handle:#x} is no stream', 0, [init(0, TRUE)] + not_a_stream(handle))
     for handle in NOT_STREAMS]


def value(v):
    return hex(v) if isinstance(v, int) and v > 9 else repr(v)


def show(name, args):
    return name + '(' + ', '.join(value(a) for a in args) + ')'


def same(got, expected):
    # A double by its bits, so that -0.0 is no 0.0.
    if isinstance(expected, float):
        return isinstance(got, float) and struct.pack('<d', got) == struct.pack('<d', expected)
    return got == expected


class Exports(unittest.TestCase):
    def test_calls(self):
        for case, devices, calls in CASES:
            library = Library(LIBRARY, devices)
            # As the loader does before anything else.
            attach = ('DllEntry', (library.base, DLL_PROCESS_ATTACH, 0), TRUE)
            for index, (name, args, expected) in enumerate([attach] + calls):
                with self.subTest(case=case, call=index):
                    got = library.call(name, args)
                    where = f'{case}: call {index} {show(name, args)}: expected {value(expected)}'
                    if got.popped is None:
                        self.fail(f'{where}, never came back: ' + '; '.join(got.problems))
                    problems = got.problems
                    if not same(got.result, expected):
                        problems.append('wrong answer')
                    if got.popped != POPPED[name]:
                        problems.append(f'popped {got.popped} argument bytes, not {POPPED[name]}')
                    want_depth = 1 if name in DOUBLE_RESULT else 0
                    if got.x87_depth != want_depth:
                        problems.append(f'{got.x87_depth} values left on the x87 stack, '
                                        f'not {want_depth}')
                    if problems:
                        self.fail(f'{where}, got {value(got.result)}; ' + '; '.join(problems))
                if got.popped is None:
                    break   # the library's state is unknown from here


if __name__ == '__main__':
    if len(sys.argv) < 2 or not os.path.isfile(sys.argv[1]):
        sys.exit('usage: test_dll_exports.py PATH/TO/BASS.dll [unittest options]')
    LIBRARY = sys.argv.pop(1)
    unittest.main()
