# The real x86 BASS.dll under unicorn: mapped at its base, its exports called as stdcall, its
# imports answered by stubs; shared by the export and the decoding tests.
import struct
from dataclasses import dataclass

import pefile
from unicorn import (UC_ARCH_X86, UC_HOOK_BLOCK, UC_HOOK_CODE, UC_MODE_32, UC_PROT_EXEC,
                     UC_PROT_READ, UC_PROT_WRITE, Uc, UcError)
from unicorn.x86_const import (UC_X86_REG_EAX, UC_X86_REG_EBP, UC_X86_REG_EBX, UC_X86_REG_ECX,
                               UC_X86_REG_EDI, UC_X86_REG_EDX, UC_X86_REG_EFLAGS, UC_X86_REG_EIP,
                               UC_X86_REG_ESI, UC_X86_REG_ESP, UC_X86_REG_FPCW, UC_X86_REG_FPTAG,
                               UC_X86_REG_MXCSR)

from emulator import (DIRECTION_FLAG, HEAP_BASE, HEAP_SIZE, JUNK32, JUNK128, PAGE,
                      PROCESS_HEAP, SENTINEL, STACK_BASE, STACK_SIZE, STUB_BASE, VOLATILE_XMM)
from pe_image import (apply_protections, image_imports, map_image, reset_floating_point,
                      ret_code, round_up, u32)
from threads import (SAVED, THREAD_SLOTS, THREAD_STACK_SIZE, THREAD_STACKS, Hang,  # noqa: F401
                     Switched, Threads)

SCRATCH = STUB_BASE + PAGE          # the harness's own code: fninit, and fstp to read ST0
ST0_CELL = STUB_BASE + 2 * PAGE     # where fstp puts the double result
DATA_BASE = 0x30000000              # the strings and bytes the calls point at
FSTP_ST0_CELL = b'\xDD\x1D' + struct.pack('<I', ST0_CELL)
DLL_PROCESS_ATTACH = 1
DEVICE_ANSWER_MS = 1500             # how long winmm may go without answering (patience.h)
HEAP_ZERO_MEMORY = 8
EFLAGS_AT_CALL = 0x202            # interrupts on, direction flag clear
# None of the export test's calls loops for long; unicorn's own instruction count makes every
# start slow.
BLOCK_LIMIT = 100_000
# Values no call has reason to produce, so that a register not restored shows.
CALLEE_SAVED = {'EBX': (UC_X86_REG_EBX, 0xB0B0B0B1), 'ESI': (UC_X86_REG_ESI, 0x51515152),
                'EDI': (UC_X86_REG_EDI, 0xD1D1D1D3), 'EBP': (UC_X86_REG_EBP, 0xBEBEBEB4)}

# How the caller pushes each call's arguments (struct letters), and what the callee must pop.
ARGUMENTS = {'DllEntry': 'III', 'BASS_Init': 'iIIII', 'BASS_StreamCreateFile': 'IIQQI',
             'BASS_ChannelGetLength': 'II', 'BASS_ChannelBytes2Seconds': 'IQ',
             'BASS_ChannelSetAttribute': 'IIf', 'BASS_ChannelPlay': 'II', 'BASS_ChannelStop': 'I'}
POPPED = {'DllEntry': 12, 'BASS_Init': 20, 'BASS_StreamCreateFile': 28, 'BASS_ChannelGetLength': 8,
          'BASS_ChannelBytes2Seconds': 12, 'BASS_ChannelSetAttribute': 12, 'BASS_ChannelPlay': 8,
          'BASS_ChannelStop': 4}
QWORD_RESULT = {'BASS_ChannelGetLength'}        # in EDX:EAX
DOUBLE_RESULT = {'BASS_ChannelBytes2Seconds'}   # in ST0, the only value left on the x87 stack


@dataclass(frozen=True)
class Stub:
    """How one import is called: the argument bytes its handler reads, and those its `ret` pops
    (all of them for stdcall, none for the C library's cdecl). A stub with `continue_at` jumps
    there once its handler has run, to code of the harness's own that returns in its place."""
    argument_bytes: int
    popped: int
    continue_at: int = None


def stdcall(argument_bytes):
    return Stub(argument_bytes, argument_bytes)


def cdecl(argument_bytes):
    return Stub(argument_bytes, 0)


# The imports every run of the library may call: dll -> name -> Stub. Anything else is a fault.
BASE_IMPORTS = {
    'kernel32.dll': {'DisableThreadLibraryCalls': stdcall(4), 'AcquireSRWLockExclusive': stdcall(4),
                     'ReleaseSRWLockExclusive': stdcall(4), 'InitializeSRWLock': stdcall(4),
                     'GetProcessHeap': stdcall(0), 'HeapAlloc': stdcall(12),
                     'HeapFree': stdcall(12), 'CloseHandle': stdcall(4),
                     'CreateEventW': stdcall(16), 'SetEvent': stdcall(4),
                     'WaitForSingleObject': stdcall(8), 'CreateThread': stdcall(24),
                     'GetModuleHandleExW': stdcall(12), 'FreeLibrary': stdcall(4),
                     'FreeLibraryAndExitThread': stdcall(8), 'GetTickCount': stdcall(0),
                     'GetThreadTimes': stdcall(20)},
    'winmm.dll': {'waveOutGetNumDevs': stdcall(0)},
}


@dataclass(frozen=True)
class Winmm:
    """The system's audio as a run finds it: the output devices it counts, a call that hangs
    (a Hang, or None), and how many blocks its device finishes before it finishes no more."""
    devices: int = 1
    hang: Hang = None
    finishes: int = None


@dataclass
class Outcome:
    problems: list
    result: object = None
    popped: int = None      # None: the call never came back
    x87_depth: int = None
    ms: float = 0           # the simulated time it took


def x87_depth(uc):
    tags = uc.reg_read(UC_X86_REG_FPTAG)
    return sum((tags >> (2 * i)) & 3 != 3 for i in range(8))


class Library(Threads):
    """BASS.dll mapped at its preferred base, where it runs without applying its relocations,
    over the system's audio `winmm` (a Winmm).

    `imports` (dll -> name -> Stub) are the calls answered, each by the method do_NAME; `regions`
    are (address, size) mapped besides the harness's own; with `timeout_us` each call is bounded
    by that time alone, not by the hook that counts basic blocks, which would slow long runs.
    Each call and thread starts with fninit's x87 control word unless `x87_control` names
    another."""

    x87_control = None

    def __init__(self, path, winmm=Winmm(), imports=BASE_IMPORTS, regions=(), timeout_us=None):
        self.pe = pefile.PE(path)
        self.base = self.pe.OPTIONAL_HEADER.ImageBase
        end = self.base + round_up(self.pe.OPTIONAL_HEADER.SizeOfImage)
        mapped = [(STACK_BASE, STACK_SIZE), (HEAP_BASE, HEAP_SIZE), (DATA_BASE, PAGE),
                  (STUB_BASE, 3 * PAGE), (SENTINEL, PAGE)] + list(regions)
        harness = mapped + [(THREAD_STACKS, 2 * THREAD_STACK_SIZE * THREAD_SLOTS)]
        clash = [hex(at) for at, size in harness if at < end and self.base < at + size]
        if self.base % 0x10000 or clash:
            raise ValueError(f'image base {self.base:#x} unusable: not 64 KiB aligned or over the '
                             f'harness regions at {clash}')
        self.winmm = winmm
        self.timeout_us = timeout_us
        self.uc = uc = Uc(UC_ARCH_X86, UC_MODE_32)
        self.text_ranges, protections = map_image(uc, self.pe)
        for at, size in mapped:
            uc.mem_map(at, size, UC_PROT_READ | UC_PROT_WRITE | UC_PROT_EXEC)
        uc.mem_write(SCRATCH + 16, FSTP_ST0_CELL)
        self.stubs = {}
        imported = image_imports(self.pe)
        for index, (dll, name, slot, ordinal) in enumerate(imported):
            address = STUB_BASE + 16 * index
            stub = imports.get(dll.casefold(), {}).get(name)
            code = ret_code(stub.popped if stub else 0)
            if stub and stub.continue_at is not None:
                code = b'\xE9' + struct.pack('<i', stub.continue_at - (address + 5))   # jmp rel32
            uc.mem_write(address, code)
            uc.mem_write(slot, struct.pack('<I', address))
            self.stubs[address] = (f'{dll}!{name or f"#{ordinal}"}', name, stub)
        uc.hook_add(UC_HOOK_CODE, self._stub_called, begin=STUB_BASE,
                    end=STUB_BASE + 16 * len(imported) - 1)
        apply_protections(uc, protections)
        if timeout_us is None:
            uc.hook_add(UC_HOOK_BLOCK, self._block)
        self.exports = {s.name.decode(): self.base + s.address
                        for s in self.pe.DIRECTORY_ENTRY_EXPORT.symbols if s.name}
        self.exports['DllEntry'] = self.base + self.pe.OPTIONAL_HEADER.AddressOfEntryPoint
        self.heap_blocks, self.next_block = {}, HEAP_BASE
        self.faults, self.blocks_run = [], 0
        self.setup_threads(winmm.hang)

    def in_image_code(self, address):
        return any(start <= address < end for start, end in self.text_ranges)

    def _stub_called(self, uc, address, size, _):
        if address not in self.stubs:
            return      # inside a stub, past its first instruction
        label, name, stub = self.stubs[address]
        esp = uc.reg_read(UC_X86_REG_ESP)
        caller = u32(uc, esp)
        if stub is None:
            return self._fault(f'call to {label}, an import the harness does not know')
        if not self.in_image_code(caller):
            return self._fault(f'{label} called from {caller:#010x}, outside the image code')
        if uc.reg_read(UC_X86_REG_FPTAG) != self.empty_tags:
            return self._fault(f'{label} called with values left on the x87 stack')
        args = [u32(uc, esp + 4 + 4 * i) for i in range(stub.argument_bytes // 4)]
        self.stub_popped = stub.popped
        try:
            if self.stuck(name):
                return
            self.calls.append((name, self.clock, self.current.name))
            result = getattr(self, 'do_' + name)(*args)
        except Switched:
            return
        except UcError as error:
            return self._fault(f'{label}: bad argument memory ({error})')
        for reg in VOLATILE_XMM:
            uc.reg_write(reg, JUNK128)
        uc.reg_write(UC_X86_REG_ECX, JUNK32)
        uc.reg_write(UC_X86_REG_EDX, JUNK32)
        uc.reg_write(UC_X86_REG_EAX, JUNK32 if result is None else result & 0xFFFFFFFF)

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
        return self.winmm.devices

    def reset_floating_point(self):
        self.empty_tags = reset_floating_point(self.uc, SCRATCH)
        if self.x87_control is not None:
            self.uc.reg_write(UC_X86_REG_FPCW, self.x87_control)

    def run(self, start, esp):
        """Runs the caller from `start` with the stack at `esp`, and the threads it waits for,
        until it returns to SENTINEL, a fault or the bound; returns the faults, or why it stopped
        elsewhere."""
        self.faults, self.blocks_run = [], 0
        self.uc.reg_write(UC_X86_REG_ESP, esp)
        self.uc.reg_write(UC_X86_REG_EIP, start)
        self.caller.registers = {reg: self.uc.reg_read(reg) for reg in SAVED}
        return self.drive(self.caller, self.timeout_us)

    def call(self, name, args):
        """Calls one export as a stdcall caller would and reports what it left behind."""
        uc = self.uc
        self.reset_floating_point()
        control = (uc.reg_read(UC_X86_REG_FPCW), uc.reg_read(UC_X86_REG_MXCSR))
        # Only the 4-byte alignment Windows promises: ESP + 4 is not a multiple of 16.
        esp = STACK_BASE + STACK_SIZE - 0x1000 + 8
        uc.mem_write(esp, struct.pack('<I', SENTINEL) + struct.pack('<' + ARGUMENTS[name], *args))
        uc.reg_write(UC_X86_REG_EFLAGS, EFLAGS_AT_CALL)
        for reg, value in CALLEE_SAVED.values():
            uc.reg_write(reg, value)
        for reg in (UC_X86_REG_EAX, UC_X86_REG_ECX, UC_X86_REG_EDX):
            uc.reg_write(reg, JUNK32)
        began = self.clock
        stopped = self.run(self.exports[name], esp)
        if stopped:
            return Outcome(stopped, ms=self.clock - began)
        problems = []
        for register, (reg, value) in CALLEE_SAVED.items():
            if uc.reg_read(reg) != value:
                problems.append(f'{register} {uc.reg_read(reg):#010x}, not restored {value:#010x}')
        if uc.reg_read(UC_X86_REG_EFLAGS) & DIRECTION_FLAG:
            problems.append('returned with the direction flag set')
        if (uc.reg_read(UC_X86_REG_FPCW), uc.reg_read(UC_X86_REG_MXCSR)) != control:
            problems.append('x87 control word or MXCSR changed')
        if self.caller_locks():
            problems.append(f'returned holding locks {self.caller_locks()}')
        depth = x87_depth(uc)
        eax, edx = uc.reg_read(UC_X86_REG_EAX), uc.reg_read(UC_X86_REG_EDX)
        if name in DOUBLE_RESULT:
            result = None
            if depth:
                uc.emu_start(SCRATCH + 16, SCRATCH + 16 + len(FSTP_ST0_CELL))
                result = struct.unpack('<d', uc.mem_read(ST0_CELL, 8))[0]
        else:
            result = edx << 32 | eax if name in QWORD_RESULT else eax
        return Outcome(problems, result, uc.reg_read(UC_X86_REG_ESP) - esp - 4, depth,
                       self.clock - began)
