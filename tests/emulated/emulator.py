# Runs the real x86 playonce.exe under unicorn, over recording stubs of everything it imports.
import struct
from dataclasses import dataclass, field

import pefile
from unicorn import (UC_ARCH_X86, UC_HOOK_CODE, UC_HOOK_MEM_READ, UC_HOOK_MEM_WRITE, UC_MEM_WRITE,
                     UC_MODE_32, UC_PROT_EXEC, UC_PROT_READ, UC_PROT_WRITE, Uc, UcError)
from unicorn.x86_const import (UC_X86_REG_ECX, UC_X86_REG_EAX, UC_X86_REG_EDX, UC_X86_REG_EFLAGS,
                               UC_X86_REG_EIP, UC_X86_REG_ESP, UC_X86_REG_FPTAG, UC_X86_REG_XMM0,
                               UC_X86_REG_XMM1, UC_X86_REG_XMM2, UC_X86_REG_XMM3, UC_X86_REG_XMM4,
                               UC_X86_REG_XMM5, UC_X86_REG_XMM6, UC_X86_REG_XMM7)

# image_imports is also the scenarios' view of the image's imports.
from pe_image import (PAGE, apply_protections, image_imports, map_image,  # noqa: F401
                      reset_floating_point, ret_code, round_up, u32)

STACK_BASE, STACK_SIZE = 0x00100000, 0x00100000
HEAP_BASE, HEAP_SIZE = 0x10000000, 0x00100000
COMMAND_LINE_BASE, COMMAND_LINE_SIZE = 0x20000000, 0x00100000
STUB_BASE = 0x70000000
START_CODE = 0x70000FF0         # fninit, run before the entry point as the system's start-up
CELL_BASE = 0x70001000          # where a double result waits for the stub's fld
SENTINEL = 0x7FFE0000           # the entry point's return address: reaching it is a fault
PROCESS_HEAP = 0x00150000       # what GetProcessHeap answers; any other heap handle is a fault
FIRST_FIND_HANDLE = 0x00A00010
INVALID_HANDLE_VALUE = 0xFFFFFFFF
INVALID_FILE_ATTRIBUTES = 0xFFFFFFFF
FILE_ATTRIBUTE_DIRECTORY = 0x10
FILE_ATTRIBUTE_ARCHIVE = 0x20
DRIVE_NO_ROOT_DIR, DRIVE_FIXED = 1, 3
FIND_DATA_SIZE = 320
LONGEST_STRING = 0x10000
RED_ZONE = 16                   # unowned bytes between heap blocks, so an overrun touches no block
INSTRUCTION_LIMIT = 2_000_000
TIMEOUT_US = 20_000_000

# What the system leaves in registers a call may change: junk, so that relying on it shows.
JUNK32 = 0xBAADF00D
JUNK128 = 0x7FF4DEAD7FF4DEAD7FF4DEAD7FF4DEAD
VOLATILE_XMM = (UC_X86_REG_XMM0, UC_X86_REG_XMM1, UC_X86_REG_XMM2, UC_X86_REG_XMM3,
                UC_X86_REG_XMM4, UC_X86_REG_XMM5, UC_X86_REG_XMM6, UC_X86_REG_XMM7)
DIRECTION_FLAG = 0x400

# The argument kinds a stub decodes from the stack, with their sizes in bytes.
ARG_SIZES = {'u32': 4, 'i32': 4, 'str': 4, 'f32bits': 4, 'u64': 8}

# Every import the harness knows: dll -> name -> argument kinds. Anything else is a fault.
KNOWN_IMPORTS = {
    'kernel32.dll': {
        'GetCommandLineA': (),
        'FindFirstFileA': ('str', 'u32'),
        'FindClose': ('u32',),
        'GetFileAttributesA': ('str',),
        'GetDriveTypeA': ('str',),
        'GetProcessHeap': (),
        'HeapAlloc': ('u32', 'u32', 'u32'),
        'HeapFree': ('u32', 'u32', 'u32'),
        'Sleep': ('u32',),
        'ExitProcess': ('u32',),
    },
    'winmm.dll': {
        'timeBeginPeriod': ('u32',),
        'timeEndPeriod': ('u32',),
    },
    'bass.dll': {
        'BASS_Init': ('i32', 'u32', 'u32', 'u32', 'u32'),
        'BASS_StreamCreateFile': ('u32', 'str', 'u64', 'u64', 'u32'),
        'BASS_ChannelGetLength': ('u32', 'u32'),
        'BASS_ChannelBytes2Seconds': ('u32', 'u64'),
        'BASS_ChannelSetAttribute': ('u32', 'u32', 'f32bits'),
        'BASS_ChannelPlay': ('u32', 'u32'),
        'BASS_ChannelStop': ('u32',),
    },
}
DOUBLE_RESULTS = {'BASS_ChannelBytes2Seconds'}   # answered in ST0
QWORD_RESULTS = {'BASS_ChannelGetLength'}        # answered in EDX:EAX


@dataclass(frozen=True)
class Entry:
    """A directory entry as FindFirstFileA reports it."""
    size: int = 0
    directory: bool = False

    @property
    def attributes(self):
        return FILE_ATTRIBUTE_DIRECTORY if self.directory else FILE_ATTRIBUTE_ARCHIVE


def File(size):
    return Entry(size=size)


DIRECTORY = Entry(directory=True)


@dataclass
class World:
    """What the stubs answer for one run."""
    command_line: bytes = b'playonce.exe'
    entries: dict = field(default_factory=dict)     # exact names FindFirstFileA matches
    patterns: dict = field(default_factory=dict)    # wildcard pattern -> name of the first match
    attributes: dict = field(default_factory=dict)  # what GetFileAttributesA reads, beyond entries
    drives: tuple = ('C:\\',)                       # roots that exist
    allocation_fails: bool = False
    stream: int = 0x80000001
    length_bytes: int = 0
    seconds: float = 0.0


@dataclass
class Run:
    """What one run did."""
    calls: list = field(default_factory=list)   # (name, *decoded arguments), in order
    faults: list = field(default_factory=list)  # why the run is wrong, beyond its calls
    exit_code: object = None
    live_blocks_at_exit: list = field(default_factory=list)
    open_finds_at_exit: list = field(default_factory=list)
    instructions: int = 0


def _fold(name):
    # Windows matches names without regard to case.
    return name.casefold()



class _Stop(Exception):
    pass


class Emulation:
    def __init__(self, image_path, world):
        self.world = world
        self.run = Run()
        self.pe = pefile.PE(image_path)
        self.uc = Uc(UC_ARCH_X86, UC_MODE_32)
        self.stubs = {}          # stub address -> (dll, name, argument kinds, result cell)
        self.blocks = {}         # address -> (size, label) of live heap blocks
        self.freed = {}          # address -> (size, label) of freed heap blocks
        self.next_block = HEAP_BASE + RED_ZONE
        self.block_count = 0
        self.finds = {}          # live find handle -> label
        self.find_count = 0
        self.exited = False
        self.image_base = self.pe.OPTIONAL_HEADER.ImageBase
        self.text_ranges = []
        self._map_image()
        self._map_regions()
        self._bind_imports()

    # --- set-up -----------------------------------------------------------------------------

    def _map_image(self):
        self.text_ranges, self._protections = map_image(self.uc, self.pe)

    def _map_regions(self):
        uc = self.uc
        uc.mem_map(STACK_BASE, STACK_SIZE, UC_PROT_READ | UC_PROT_WRITE)
        uc.mem_map(HEAP_BASE, HEAP_SIZE, UC_PROT_READ | UC_PROT_WRITE)
        uc.hook_add(UC_HOOK_MEM_READ | UC_HOOK_MEM_WRITE, self._heap_access,
                    begin=HEAP_BASE, end=HEAP_BASE + HEAP_SIZE - 1)
        # The command line ends at the end of its mapping, so reading past its NUL faults.
        line = self.world.command_line + b'\0'
        if len(line) > COMMAND_LINE_SIZE:
            raise ValueError('command line too long for the harness')
        uc.mem_map(COMMAND_LINE_BASE, COMMAND_LINE_SIZE, UC_PROT_READ)
        self.command_line_address = COMMAND_LINE_BASE + COMMAND_LINE_SIZE - len(line)
        uc.mem_write(self.command_line_address, line)
        uc.mem_map(STUB_BASE, 2 * PAGE, UC_PROT_READ | UC_PROT_EXEC)
        uc.mem_map(SENTINEL, PAGE, UC_PROT_READ | UC_PROT_EXEC)
        uc.mem_write(SENTINEL, b'\xF4')  # hlt, never executed: the hook below stops first
        uc.hook_add(UC_HOOK_CODE, self._sentinel, begin=SENTINEL, end=SENTINEL)

    def _bind_imports(self):
        uc = self.uc
        address = STUB_BASE
        for index, (dll, name, slot, ordinal) in enumerate(image_imports(self.pe)):
            kinds = KNOWN_IMPORTS.get(_fold(dll), {}).get(name)
            argument_bytes = sum(ARG_SIZES[k] for k in kinds) if kinds is not None else 0
            if name in DOUBLE_RESULTS:
                # fld qword [cell]; ret N: the double result travels in ST0.
                cell = CELL_BASE + 8 * index
                code = b'\xDD\x05' + struct.pack('<I', cell) + ret_code(argument_bytes)
            else:
                code = ret_code(argument_bytes)
            uc.mem_write(address, code)
            self.stubs[address] = (dll, name if name else f'#{ordinal}', kinds,
                                   CELL_BASE + 8 * index)
            uc.mem_write(slot, struct.pack('<I', address))
            uc.hook_add(UC_HOOK_CODE, self._stub_called, begin=address, end=address)
            address += 16
        apply_protections(uc, self._protections)

    # --- running ----------------------------------------------------------------------------

    def go(self):
        uc = self.uc
        esp = STACK_BASE + STACK_SIZE - 0x1004  # 16-aligned before the call that pushed SENTINEL
        uc.mem_write(esp, struct.pack('<I', SENTINEL))
        uc.reg_write(UC_X86_REG_ESP, esp)
        self.empty_fp_tags = reset_floating_point(uc, START_CODE)
        self.counter = 0
        uc.hook_add(UC_HOOK_CODE, self._count)
        entry = self.image_base + self.pe.OPTIONAL_HEADER.AddressOfEntryPoint
        try:
            uc.emu_start(entry, 0, timeout=TIMEOUT_US, count=INSTRUCTION_LIMIT)
        except UcError as error:
            eip = uc.reg_read(UC_X86_REG_EIP)
            self.run.faults.append(f'CPU fault at EIP {eip:#010x}: {error}')
        self.run.instructions = self.counter
        if not self.exited and not self.run.faults:
            self.run.faults.append(f'no ExitProcess within {INSTRUCTION_LIMIT} instructions or '
                                   f'{TIMEOUT_US // 1000000} s (EIP {uc.reg_read(UC_X86_REG_EIP):#010x})')
        return self.run

    def _count(self, uc, address, size, _):
        self.counter += 1

    def _fault(self, message):
        self.run.faults.append(message)
        self.uc.emu_stop()

    def _sentinel(self, uc, address, size, _):
        self._fault('the entry point returned')

    def _heap_access(self, uc, access, address, size, value, _):
        # Every access to the heap region must lie inside one live block.
        for start, (length, label) in self.blocks.items():
            if start <= address and address + size <= start + length:
                return
        kind = 'write' if access == UC_MEM_WRITE else 'read'
        owner = next((label for start, (length, label) in self.freed.items()
                      if start <= address < start + length), None)
        where = f' (freed {owner})' if owner else ''
        self._fault(f'heap {kind} of {size} bytes at {address:#010x} outside any live block{where}, '
                    f'EIP {uc.reg_read(UC_X86_REG_EIP):#010x}')

    def _stub_called(self, uc, address, size, _):
        dll, name, kinds, cell = self.stubs[address]
        esp = uc.reg_read(UC_X86_REG_ESP)
        caller = u32(uc, esp)
        if self.exited:
            self._fault(f'{name} called after ExitProcess')
            return
        if kinds is None:
            self._fault(f'call to {dll}!{name}, an import the harness does not know')
            return
        if not any(start <= caller - 5 < end or start <= caller - 6 < end
                   for start, end in self.text_ranges):
            self._fault(f'{name} called from {caller:#010x}, outside the image code')
            return
        # The calling convention: x87 stack empty and direction flag clear at every call.
        if uc.reg_read(UC_X86_REG_FPTAG) != self.empty_fp_tags:
            self._fault(f'{name} called with values left on the x87 stack')
            return
        if uc.reg_read(UC_X86_REG_EFLAGS) & DIRECTION_FLAG:
            self._fault(f'{name} called with the direction flag set')
            return
        try:
            args = self._decode(esp + 4, kinds)
            result = getattr(self, 'do_' + name)(*args)
        except _Stop:
            return
        except UcError as error:
            self._fault(f'{name}: bad argument memory ({error})')
            return
        for reg in VOLATILE_XMM:
            uc.reg_write(reg, JUNK128)
        uc.reg_write(UC_X86_REG_ECX, JUNK32)
        if name in DOUBLE_RESULTS:
            uc.mem_write(cell, struct.pack('<d', result))
            uc.reg_write(UC_X86_REG_EAX, JUNK32)
            uc.reg_write(UC_X86_REG_EDX, JUNK32)
        else:
            result = 0 if result is None else result
            uc.reg_write(UC_X86_REG_EAX, result & 0xFFFFFFFF)
            uc.reg_write(UC_X86_REG_EDX, result >> 32 if name in QWORD_RESULTS else JUNK32)

    def _decode(self, at, kinds):
        args = []
        for kind in kinds:
            if kind == 'u64':
                args.append(struct.unpack('<Q', self.uc.mem_read(at, 8))[0])
            elif kind == 'i32':
                args.append(struct.unpack('<i', self.uc.mem_read(at, 4))[0])
            else:
                args.append(u32(self.uc, at))
            at += ARG_SIZES[kind]
        return args

    def _record(self, *call):
        self.run.calls.append(call)

    def _string(self, pointer, what):
        if pointer == 0:
            self._fault(f'{what}: null string pointer')
            raise _Stop
        data = bytearray()
        while len(data) < LONGEST_STRING:
            try:
                chunk = self.uc.mem_read(pointer + len(data), 1)
            except UcError:
                self._fault(f'{what}: string at {pointer:#010x} runs into unmapped memory')
                raise _Stop
            if chunk == b'\0':
                return data.decode('latin-1')
            data += chunk
        self._fault(f'{what}: string at {pointer:#010x} has no end')
        raise _Stop

    def _check_heap(self, heap, what):
        if heap != PROCESS_HEAP:
            self._fault(f'{what} on heap handle {heap:#x}, not the process heap {PROCESS_HEAP:#x}')
            raise _Stop

    # --- kernel32 ---------------------------------------------------------------------------

    def do_GetCommandLineA(self):
        self._record('GetCommandLineA')
        return self.command_line_address

    def do_GetProcessHeap(self):
        self._record('GetProcessHeap')
        return PROCESS_HEAP

    def do_HeapAlloc(self, heap, flags, size):
        self._record('HeapAlloc', flags, size)
        self._check_heap(heap, 'HeapAlloc')
        if self.world.allocation_fails:
            return 0
        start = self.next_block
        if start + size + RED_ZONE > HEAP_BASE + HEAP_SIZE:
            return 0
        self.block_count += 1
        label = f'block{self.block_count}'
        self.blocks[start] = (size, label)
        # Fresh memory holds junk, not zeros: a missing terminator shows.
        self.uc.mem_write(start, b'\xA5' * size)
        self.next_block = start + round_up(size + RED_ZONE, 16)
        return start

    def do_HeapFree(self, heap, flags, block):
        label = (self.blocks.get(block) or self.freed.get(block) or (0, None))[1]
        self._record('HeapFree', flags, label or f'{block:#010x}')
        self._check_heap(heap, 'HeapFree')
        if block in self.freed:
            self._fault(f'HeapFree of {label} a second time')
            raise _Stop
        if block not in self.blocks:
            self._fault(f'HeapFree of {block:#010x}, which HeapAlloc never returned')
            raise _Stop
        self.freed[block] = self.blocks.pop(block)
        return 1

    def do_FindFirstFileA(self, name_pointer, data_pointer):
        name = self._string(name_pointer, 'FindFirstFileA')
        self._record('FindFirstFileA', name)
        entries = {_fold(k): (k, v) for k, v in self.world.entries.items()}
        found = None
        if any(c in name for c in '*?'):
            first = self.world.patterns.get(name)
            if first is not None:
                found = (first, entries[_fold(first)][1])
        elif _fold(name) in entries:
            found = entries[_fold(name)]
        if found is None:
            # The system promises nothing in the buffer on failure: make a wrong read look like
            # a file worth playing.
            self.uc.mem_write(data_pointer, b'\x21' * FIND_DATA_SIZE)
            return INVALID_HANDLE_VALUE
        full_name, entry = found
        base_name = full_name.rstrip('\\').rsplit('\\', 1)[-1].encode('latin-1')[:259]
        data = bytearray(FIND_DATA_SIZE)
        struct.pack_into('<I', data, 0, entry.attributes)
        struct.pack_into('<II', data, 28, entry.size >> 32, entry.size & 0xFFFFFFFF)
        data[44:44 + len(base_name)] = base_name
        self.uc.mem_write(data_pointer, bytes(data))
        self.find_count += 1
        handle = FIRST_FIND_HANDLE + 8 * self.find_count
        self.finds[handle] = f'find{self.find_count}'
        return handle

    def do_FindClose(self, handle):
        label = self.finds.pop(handle, None)
        self._record('FindClose', label or f'{handle:#010x}')
        if label is None:
            self._fault(f'FindClose of {handle:#010x}, not an open find handle')
            raise _Stop
        return 1

    def do_GetFileAttributesA(self, name_pointer):
        name = self._string(name_pointer, 'GetFileAttributesA')
        self._record('GetFileAttributesA', name)
        for known, value in self.world.attributes.items():
            if _fold(known) == _fold(name):
                return value
        for known, entry in self.world.entries.items():
            if _fold(known) == _fold(name):
                return entry.attributes
        return INVALID_FILE_ATTRIBUTES

    def do_GetDriveTypeA(self, root_pointer):
        root = self._string(root_pointer, 'GetDriveTypeA')
        self._record('GetDriveTypeA', root)
        return DRIVE_FIXED if _fold(root) in {_fold(d) for d in self.world.drives} else DRIVE_NO_ROOT_DIR

    def do_Sleep(self, ms):
        self._record('Sleep', ms)

    def do_ExitProcess(self, code):
        self._record('ExitProcess', code)
        self.exited = True
        self.run.exit_code = code
        self.run.live_blocks_at_exit = sorted(label for _, label in self.blocks.values())
        self.run.open_finds_at_exit = sorted(self.finds.values())
        self.uc.emu_stop()
        raise _Stop

    # --- winmm ------------------------------------------------------------------------------

    def do_timeBeginPeriod(self, period):
        self._record('timeBeginPeriod', period)
        return 0

    def do_timeEndPeriod(self, period):
        self._record('timeEndPeriod', period)
        return 0

    # --- the audio library ------------------------------------------------------------------

    def do_BASS_Init(self, device, freq, flags, win, clsid):
        self._record('BASS_Init', device, freq, flags, win, clsid)
        return 1

    def do_BASS_StreamCreateFile(self, mem, file_pointer, offset, length, flags):
        name = self._string(file_pointer, 'BASS_StreamCreateFile')
        self._record('BASS_StreamCreateFile', mem, name, offset, length, flags)
        return self.world.stream

    def do_BASS_ChannelGetLength(self, handle, mode):
        self._record('BASS_ChannelGetLength', handle, mode)
        return self.world.length_bytes & 0xFFFFFFFFFFFFFFFF

    def do_BASS_ChannelBytes2Seconds(self, handle, position):
        self._record('BASS_ChannelBytes2Seconds', handle, position)
        return self.world.seconds

    def do_BASS_ChannelSetAttribute(self, handle, attribute, value_bits):
        self._record('BASS_ChannelSetAttribute', handle, attribute, value_bits)
        return 1

    def do_BASS_ChannelPlay(self, handle, restart):
        self._record('BASS_ChannelPlay', handle, restart)
        return 1

    def do_BASS_ChannelStop(self, handle):
        self._record('BASS_ChannelStop', handle)
        return 1


def run_image(image_path, world):
    """Runs the image from its entry point over `world` and returns what it did."""
    return Emulation(image_path, world).go()

