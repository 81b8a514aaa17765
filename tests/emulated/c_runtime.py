# Stubs of the msvcrt.dll calls the decoders inside BASS.dll make: a heap, memory and string
# functions, and qsort, whose comparisons run as emulated code.
import struct

from unicorn import UC_HOOK_CODE
from unicorn.x86_const import UC_X86_REG_EAX, UC_X86_REG_ECX, UC_X86_REG_EDX

from emulator import JUNK32
from library import SCRATCH, Stub, cdecl
from pe_image import PAGE, round_up

C_HEAP_BASE, C_HEAP_SIZE = 0x40000000, 0x02000000
ERRNO = SCRATCH + 0x84            # the thread's errno, which _errno points at
FRESH, FREED = b'\xA5', b'\xDD'     # what new and freed memory hold: junk, so a wrong read shows
HEAP_GRAIN = 16
# qsort's loop, between the caller and its comparator: each time EIP reaches it, a hook either
# hands over the next two elements to compare (EAX, EDX; ECX = 0) or ends the sort (ECX = 1).
#   L: test ecx, ecx; jnz D; push edx; push eax; call [COMPARATOR]; add esp, 8; jmp L; D: ret
QSORT_LOOP = SCRATCH + 0x40
COMPARATOR = SCRATCH + 0x80       # the caller's comparator, read by the loop's indirect call
QSORT_CODE = (b'\x85\xC9' b'\x75\x0D' b'\x52' b'\x50' b'\xFF\x15' + struct.pack('<I', COMPARATOR)
              + b'\x83\xC4\x08' b'\xEB\xEF' b'\xC3')
LONGEST_STRING = 1 << 20

# dll -> name -> Stub of what the decoders call; the rest of their imports stay unanswered.
C_RUNTIME_IMPORTS = {'msvcrt.dll': {
    'malloc': cdecl(4), 'calloc': cdecl(8), 'realloc': cdecl(8), 'free': cdecl(4),
    'memcpy': cdecl(12), 'memmove': cdecl(12), 'memset': cdecl(12), 'memcmp': cdecl(12),
    'strncmp': cdecl(12), '_stricmp': cdecl(8), '_errno': cdecl(0),
    'qsort': Stub(16, 0, continue_at=QSORT_LOOP),
}}


def merge_sort(items):
    """Sorts `items` stably, yielding each pair to compare and receiving the comparator's answer
    (negative, zero, positive); returns the sorted list."""
    if len(items) < 2:
        return list(items)
    middle = len(items) // 2
    left = yield from merge_sort(items[:middle])
    right = yield from merge_sort(items[middle:])
    merged = []
    while left and right:
        order = yield left[0], right[0]
        merged.append(left.pop(0) if order <= 0 else right.pop(0))
    return merged + left + right


def signed(value):
    return value - (1 << 32) if value & 0x80000000 else value


class CRuntime:
    """Mixed into a Library whose memory maps the C heap (C_HEAP_BASE, C_HEAP_SIZE); call
    setup_c_runtime once the Library is made."""

    def setup_c_runtime(self):
        self.c_blocks, self.c_freed, self.c_next = {}, set(), C_HEAP_BASE
        self.sort = None
        self.uc.mem_write(ERRNO, struct.pack('<I', 0))
        self.uc.mem_write(QSORT_LOOP, QSORT_CODE)
        self.uc.hook_add(UC_HOOK_CODE, self._qsort_step, begin=QSORT_LOOP, end=QSORT_LOOP)

    # --- the heap: fresh addresses only, so that memory once freed is never handed out again

    def _allocate(self, size, fill):
        start = self.c_next
        end = round_up(start + max(size, 1) + HEAP_GRAIN, HEAP_GRAIN)
        if end > C_HEAP_BASE + C_HEAP_SIZE:
            self._fault(f'C heap of {C_HEAP_SIZE >> 20} MiB used up: {size} bytes asked')
            return 0
        self.c_next = end
        self.c_blocks[start] = size
        self.uc.mem_write(start, fill * size)
        return start

    def _release(self, block, what):
        if block in self.c_freed:
            self._fault(f'{what}({block:#010x}): freed a second time')
            return None
        size = self.c_blocks.pop(block, None)
        if size is None:
            self._fault(f'{what}({block:#010x}): no block the C heap gave out')
            return None
        self.c_freed.add(block)
        self.uc.mem_write(block, FREED * size)
        return size

    def do_malloc(self, size):
        return self._allocate(size, FRESH)

    def do_calloc(self, count, size):
        if count and size > 0xFFFFFFFF // count:
            return 0
        return self._allocate(count * size, b'\0')

    def do_realloc(self, block, size):
        if block == 0:
            return self._allocate(size, FRESH)
        if size == 0:
            self._release(block, 'realloc')
            return 0
        old = self.c_blocks.get(block)
        data = bytes(self.uc.mem_read(block, min(old, size))) if old is not None else b''
        if self._release(block, 'realloc') is None:
            return 0
        new = self._allocate(size, FRESH)
        if new:
            self.uc.mem_write(new, data)
        return new

    def do_free(self, block):
        if block:
            self._release(block, 'free')

    # --- memory and strings

    def do_memcpy(self, to, source, count):
        if count and source < to + count and to < source + count and to != source:
            self._fault(f'memcpy({to:#010x}, {source:#010x}, {count}): the ranges overlap')
            return to
        return self.do_memmove(to, source, count)

    def do_memmove(self, to, source, count):
        if count:
            self.uc.mem_write(to, bytes(self.uc.mem_read(source, count)))
        return to

    def do_memset(self, to, value, count):
        if count:
            self.uc.mem_write(to, bytes([value & 0xFF]) * count)
        return to

    def do_memcmp(self, a, b, count):
        if count == 0:
            return 0
        left, right = self.uc.mem_read(a, count), self.uc.mem_read(b, count)
        difference = next((x - y for x, y in zip(left, right) if x != y), 0)
        return difference & 0xFFFFFFFF

    def c_string(self, at):
        data = bytearray()
        while len(data) < LONGEST_STRING:
            here = at + len(data)
            chunk = self.uc.mem_read(here, min(64, PAGE - here % PAGE))   # never past its page
            end = chunk.find(b'\0')
            if end >= 0:
                return bytes(data + chunk[:end])
            data += chunk
        self._fault(f'string at {at:#010x} has no end within {LONGEST_STRING} bytes')
        return bytes(data)

    def _compare_strings(self, a, b, longest=LONGEST_STRING, fold=False):
        left, right = self.c_string(a)[:longest], self.c_string(b)[:longest]
        if fold:
            # The "C" locale's: ASCII letters compared as lower case.
            left, right = left.lower(), right.lower()
        ends = b'\0' if len(left) < longest and len(right) < longest else b''
        difference = next((x - y for x, y in zip(left + ends, right + ends) if x != y), 0)
        return difference & 0xFFFFFFFF

    def do_strncmp(self, a, b, count):
        return self._compare_strings(a, b, count)

    def do__stricmp(self, a, b):
        return self._compare_strings(a, b, fold=True)

    def do__errno(self):
        return ERRNO

    # --- qsort: the elements are compared by the caller's own code, then put in order at once

    def do_qsort(self, base, count, size, comparator):
        self.uc.mem_write(COMPARATOR, struct.pack('<I', comparator))
        elements = [bytes(self.uc.mem_read(base + i * size, size)) for i in range(count)]
        self.sort = {'base': base, 'size': size, 'elements': elements,
                     'steps': merge_sort(list(range(count))), 'pair': None}
        return None

    def _qsort_step(self, uc, address, size, _):
        sort = self.sort
        if sort is None:
            return self._fault('qsort loop entered with no sort under way')
        try:
            if sort['pair'] is None:
                pair = next(sort['steps'])
            else:
                order = signed(uc.reg_read(UC_X86_REG_EAX))
                self._check_tie(sort, order)
                pair = sort['steps'].send(order)
        except StopIteration as done:
            self._finish_sort(sort, done.value)
            return
        sort['pair'] = pair
        uc.reg_write(UC_X86_REG_EAX, sort['base'] + pair[0] * sort['size'])
        uc.reg_write(UC_X86_REG_EDX, sort['base'] + pair[1] * sort['size'])
        uc.reg_write(UC_X86_REG_ECX, 0)

    def _check_tie(self, sort, order):
        # Equal keys on different elements: their order would be the C library's choice, and
        # msvcrt's sort is not glibc's.
        a, b = sort['pair']
        if order == 0 and sort['elements'][a] != sort['elements'][b]:
            self._fault(f'qsort: the comparator ties different elements {a} and {b}, whose '
                        f'order then depends on the C library')

    def _finish_sort(self, sort, order):
        self.uc.mem_write(sort['base'], b''.join(sort['elements'][i] for i in order))
        self.sort = None
        self.uc.reg_write(UC_X86_REG_ECX, 1)
        self.uc.reg_write(UC_X86_REG_EAX, JUNK32)
        self.uc.reg_write(UC_X86_REG_EDX, JUNK32)
