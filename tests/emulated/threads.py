# The library's threads on one unicorn machine, run in turn against a simulated clock.
import heapq
import itertools
import struct
import time
from dataclasses import dataclass

from unicorn import UC_HOOK_CODE, UC_PROT_READ, UC_PROT_WRITE, UcError
from unicorn.x86_const import (UC_X86_REG_EAX, UC_X86_REG_EBP, UC_X86_REG_EBX, UC_X86_REG_ECX,
                               UC_X86_REG_EDI, UC_X86_REG_EDX, UC_X86_REG_EFLAGS, UC_X86_REG_EIP,
                               UC_X86_REG_ESI, UC_X86_REG_ESP, UC_X86_REG_FP0, UC_X86_REG_FPCW,
                               UC_X86_REG_FPSW, UC_X86_REG_FPTAG, UC_X86_REG_MXCSR)

from emulator import JUNK32, JUNK128, SENTINEL, VOLATILE_XMM
from pe_image import u32

WAIT_OBJECT_0, WAIT_TIMEOUT, WAIT_FAILED, INFINITE = 0, 0x102, 0xFFFFFFFF, 0xFFFFFFFF
FROM_ADDRESS, UNCHANGED_REFCOUNT = 4, 2     # GetModuleHandleExW's flags
# Each thread's stack has a slot of its own; the unmapped gap after each catches an overflow.
THREAD_STACKS, THREAD_STACK_SIZE, THREAD_SLOTS = 0x00400000, 0x00100000, 4
THREAD_RETURN = SENTINEL + 16   # where a thread's routine returns to, ending it
EFLAGS_AT_START = 0x202
# The tick count starts near its wrap, so that a run crosses it and a sum that ignores it shows.
TICK_START = (1 << 32) - 700
LONGEST_RUN_MS = 600_000        # no run of the library waits this long: a wait without end
SAVED = ([UC_X86_REG_EAX, UC_X86_REG_EBX, UC_X86_REG_ECX, UC_X86_REG_EDX, UC_X86_REG_ESI,
          UC_X86_REG_EDI, UC_X86_REG_EBP, UC_X86_REG_ESP, UC_X86_REG_EIP, UC_X86_REG_EFLAGS,
          UC_X86_REG_FPCW, UC_X86_REG_FPSW, UC_X86_REG_FPTAG, UC_X86_REG_MXCSR]
         + [UC_X86_REG_FP0 + i for i in range(8)] + list(VOLATILE_XMM))


@dataclass(frozen=True)
class Hang:
    """A call into the system that does not come back: the `nth` call of `name` holds its thread
    for ever, or for `ms` of simulated time, after which it is made."""
    name: str
    nth: int = 1
    ms: float = None


class Event:
    def __init__(self, handle, manual, signalled):
        self.handle, self.manual, self.signalled = handle, manual, signalled

    def ready(self, context):
        return self.signalled

    def take(self, context):
        if not self.manual:
            self.signalled = False      # an auto-reset event lets one wait through

    def __str__(self):
        return f'event {self.handle:#x}'


class Lock:
    def __init__(self, address):
        self.address, self.owner = address, None

    def ready(self, context):
        return self.owner is None

    def take(self, context):
        self.owner = context

    def __str__(self):
        return f'lock {self.address:#x}'


class Context:
    """A thread of the machine, the caller's or one the library started, and where it stands."""

    def __init__(self, name, routine=None, parameter=None, slot=None):
        self.name, self.routine, self.parameter, self.slot = name, routine, parameter, slot
        self.registers = None   # where it resumes; None for a thread not yet run
        self.result = None      # EAX as its call returns, if it resumes from one
        self.waits_on = None    # an Event, Lock or Context
        self.deadline = None    # when its wait ends regardless; None: never
        self.blocked = False
        self.stuck_in = None    # the call into the system it is held in
        self.ended = False

    # A thread's handle is signalled once the thread has ended.
    def ready(self, context):
        return self.ended

    def take(self, context):
        pass

    def __str__(self):
        return self.name

    def state(self):
        if self.ended:
            return 'ended'
        if self.stuck_in:
            return f'stuck in {self.stuck_in}'
        if not self.blocked:
            return 'ready to run'
        until = 'for ever' if self.deadline is None else f'until {self.deadline:g} ms'
        return f'waits for {self.waits_on or "time to pass"} {until}'


class Switched(Exception):
    """Raised by a call's handler once it has switched away from the calling thread."""


class Threads:
    """Mixed into the Library: CreateThread, events, waits, slim locks, the module's references,
    GetTickCount, GetThreadTimes, and the stand-in for a call that hangs (`hang`, a Hang or None). Call
    setup_threads once the machine is mapped.

    A thread gives way only where it waits, so every run is the same; the clock moves only when
    every thread waits, to the first timer or timeout due, so the library's bounds are met to the
    millisecond however slow the emulation."""

    def setup_threads(self, hang):
        for slot in range(THREAD_SLOTS):
            self.uc.mem_map(self._slot_base(slot), THREAD_STACK_SIZE, UC_PROT_READ | UC_PROT_WRITE)
        self.uc.hook_add(UC_HOOK_CODE, self._thread_returned, begin=THREAD_RETURN,
                         end=THREAD_RETURN)
        self.hang, self.hang_calls = hang, 0
        self.caller = self.current = Context('the caller')
        self.contexts, self.free_slots = [self.caller], list(range(THREAD_SLOTS))
        self.clock, self.timers, self.timer_order = 0.0, [], itertools.count()
        self.handles, self.next_handle = {}, 0x104
        self.locks, self.module_references = {}, 0
        self.calls, self.switch_to, self.sleeping = [], None, False
        self.held = None    # (index in calls, thread) where a call hung

    @staticmethod
    def _slot_base(slot):
        return THREAD_STACKS + 2 * THREAD_STACK_SIZE * slot

    # --- handles

    def _new_handle(self, kind, what):
        handle, self.next_handle = self.next_handle, self.next_handle + 4
        self.handles[handle] = (kind, what)
        return handle

    def _handle(self, handle, kind, call):
        """The object of an open handle of `kind`, or None and a fault."""
        held = self.handles.get(handle)
        if held is None or held[0] != kind:
            self._fault(f'{call}({handle:#x}): not an open {kind} handle')
            return None
        return held[1]

    def do_CloseHandle(self, handle):
        if self.handles.pop(handle, None) is None:
            self._fault(f'CloseHandle({handle:#x}): no open handle')
            return 0
        return 1

    def do_GetThreadTimes(self, handle, created, exited, kernel, user):
        """No thread of the emulation is seen to use the processor: a call that hangs shows no
        work, and a bound on it runs its full length."""
        if self._handle(handle, 'thread', 'GetThreadTimes') is None:
            return 0
        for time in (created, exited, kernel, user):
            self.uc.mem_write(time, bytes(8))
        return 1

    # --- the clock, and what happens at a time of it

    def at(self, due_ms, action):
        """Runs `action()` once the clock reaches `due_ms`, before a wait due then times out."""
        heapq.heappush(self.timers, (due_ms, next(self.timer_order), action))

    def do_GetTickCount(self):
        return (TICK_START + int(self.clock)) & 0xFFFFFFFF

    # --- threads

    def do_CreateThread(self, security, stack, routine, parameter, flags, thread_id):
        if flags or not self.in_image_code(routine) or not self.free_slots:
            self._fault(f'CreateThread(routine {routine:#x}, flags {flags:#x}): suspended, '
                        f'outside the image code, or more than {THREAD_SLOTS} threads at once')
            return 0
        context = Context(f'thread {len(self.contexts)}', routine, parameter,
                          self.free_slots.pop(0))
        self.contexts.append(context)
        if thread_id:
            self.uc.mem_write(thread_id, struct.pack('<I', len(self.contexts)))
        return self._new_handle('thread', context)

    def _start(self, context):
        """The registers a new thread starts with: its routine called as stdcall."""
        self.reset_floating_point()
        esp = self._slot_base(context.slot) + THREAD_STACK_SIZE - 0x1000 + 8
        self.uc.mem_write(esp, struct.pack('<II', THREAD_RETURN, context.parameter))
        registers = {reg: self.uc.reg_read(reg) for reg in SAVED}
        registers.update({UC_X86_REG_ESP: esp, UC_X86_REG_EIP: context.routine,
                          UC_X86_REG_EFLAGS: EFLAGS_AT_START})
        for reg in (UC_X86_REG_EAX, UC_X86_REG_EBX, UC_X86_REG_ECX, UC_X86_REG_EDX,
                    UC_X86_REG_ESI, UC_X86_REG_EDI, UC_X86_REG_EBP):
            registers[reg] = JUNK32
        return registers

    def _end_thread(self):
        context = self.current
        if context is self.caller:
            return self._fault("the caller's own thread was ended by the library")
        held = [str(lock) for lock in self.locks.values() if lock.owner is context]
        if held:
            return self._fault(f'{context} ended holding {", ".join(held)}')
        context.ended = True
        self.free_slots.append(context.slot)
        self._switch_away()

    def _thread_returned(self, uc, address, size, _):
        try:
            self._end_thread()
        except Switched:
            pass

    def do_GetModuleHandleExW(self, flags, address, module):
        if flags & ~UNCHANGED_REFCOUNT != FROM_ADDRESS or not self.in_image_code(address):
            self._fault(f'GetModuleHandleExW({flags:#x}, {address:#x}): not the image by address')
            return 0
        if not flags & UNCHANGED_REFCOUNT:
            self.module_references += 1
        self.uc.mem_write(module, struct.pack('<I', self.base))
        return 1

    def do_FreeLibrary(self, module):
        if module != self.base or self.module_references == 0:
            self._fault(f'FreeLibrary({module:#x}): no reference to the image was taken')
            return 0
        self.module_references -= 1
        return 1

    def do_FreeLibraryAndExitThread(self, module, code):
        if self.do_FreeLibrary(module):
            self._end_thread()

    # --- events, waits and locks

    def do_CreateEventW(self, security, manual_reset, initial_state, name):
        if name:
            self._fault('CreateEventW with a name: shared with other processes')
            return 0
        handle = self.next_handle
        return self._new_handle('event', Event(handle, manual_reset != 0, initial_state != 0))

    def do_SetEvent(self, handle):
        event = self._handle(handle, 'event', 'SetEvent')
        if event is None:
            return 0
        self.signal(event)
        return 1

    def signal(self, event):
        event.signalled = True

    def do_WaitForSingleObject(self, handle, milliseconds):
        kind, waitable = self.handles.get(handle, (None, None))
        if kind not in ('event', 'thread'):
            self._fault(f'WaitForSingleObject({handle:#x}): no event or thread handle')
            return WAIT_FAILED
        if waitable.ready(self.current):
            waitable.take(self.current)
            return WAIT_OBJECT_0
        if milliseconds == 0:
            return WAIT_TIMEOUT
        self._switch_away(waitable, None if milliseconds == INFINITE else self.clock + milliseconds)

    def do_InitializeSRWLock(self, address):
        if address in self.locks and self.locks[address].owner is not None:
            self._fault(f'InitializeSRWLock({address:#x}) while {self.locks[address].owner} '
                        f'holds it')
        self.locks.pop(address, None)

    def do_AcquireSRWLockExclusive(self, address):
        lock = self.locks.setdefault(address, Lock(address))
        if lock.owner is self.current:
            self._fault(f'AcquireSRWLockExclusive({address:#x}) by {self.current}, which holds '
                        f'it: a deadlock')
        elif lock.ready(self.current):
            lock.take(self.current)
        else:
            self._switch_away(lock)

    def do_ReleaseSRWLockExclusive(self, address):
        lock = self.locks.get(address)
        if lock is None or lock.owner is not self.current:
            owner = lock and lock.owner
            self._fault(f'ReleaseSRWLockExclusive({address:#x}) by {self.current}, held by '
                        f'{owner or "nobody"}')
            return
        lock.owner = None

    def caller_locks(self):
        return sorted(hex(a) for a, lock in self.locks.items() if lock.owner is self.caller)

    # --- a call that hangs

    def stuck(self, name):
        """Whether the current thread is to be held in this call of `name`, which it then is."""
        context = self.current
        if context.stuck_in == name:
            context.stuck_in = None     # held for a time, and now the call is made
            return False
        if self.hang is None or self.hang.name != name:
            return False
        self.hang_calls += 1
        if self.hang_calls != self.hang.nth:
            return False
        context.stuck_in = name
        self.held = (len(self.calls), context.name)
        deadline = None if self.hang.ms is None else self.clock + self.hang.ms
        self._switch_away(deadline=deadline, at_call=True)

    # --- switching

    def _save(self, context, at_call):
        """Where `context` resumes: back from the call it is in, or at that call once more."""
        registers = {reg: self.uc.reg_read(reg) for reg in SAVED}
        if not at_call:
            esp = registers[UC_X86_REG_ESP]
            registers[UC_X86_REG_EIP] = u32(self.uc, esp)
            registers[UC_X86_REG_ESP] = esp + 4 + self.stub_popped
            registers.update({reg: JUNK128 for reg in VOLATILE_XMM})
            registers.update({UC_X86_REG_ECX: JUNK32, UC_X86_REG_EDX: JUNK32})
        context.registers = registers

    def _switch_away(self, waits_on=None, deadline=None, at_call=False):
        """Leaves the current thread, waiting as told, for the next that can run."""
        context = self.current
        if not context.ended and not (context is self.caller and self.sleeping):
            self._save(context, at_call)
        context.waits_on, context.deadline, context.blocked = waits_on, deadline, True
        self.switch_to = self._next()
        self.uc.emu_stop()
        raise Switched

    def _wakes(self, context):
        """Whether `context` can run now, taking what its wait was for."""
        if context.ended or context.stuck_in and context.deadline is None:
            return False
        if not context.blocked:
            return True
        if context.waits_on is None or not context.waits_on.ready(context):
            return False
        context.waits_on.take(context)
        context.blocked, context.waits_on, context.deadline = False, None, None
        context.result = WAIT_OBJECT_0
        return True

    def _next(self):
        """The next thread to run, in turn after the current one; once every thread waits, the
        clock moves to the first timer or timeout. None, and a fault, on a deadlock."""
        while True:
            at = self.contexts.index(self.current) + 1
            for context in self.contexts[at:] + self.contexts[:at]:
                if self._wakes(context):
                    return context
            timed = [c for c in self.contexts
                     if c.blocked and not c.ended and c.deadline is not None]
            waiter = min(timed, key=lambda c: c.deadline, default=None)
            if self.timers and (waiter is None or self.timers[0][0] <= waiter.deadline):
                due, _, action = heapq.heappop(self.timers)
                self.clock = max(self.clock, due)
                action()
                if self.faults:
                    return None
                continue
            if waiter is None or waiter.deadline > LONGEST_RUN_MS:
                what = 'deadlock' if waiter is None else f'no end within {LONGEST_RUN_MS} ms'
                self._fault(f'{what} at {self.clock:g} ms: ' + '; '.join(
                    f'{c} {c.state()}' for c in self.contexts if not c.ended))
                return None
            self.clock = waiter.deadline
            # A wait on an object times out; a sleep, or a call held for a time, just goes on.
            waiter.result = WAIT_TIMEOUT if waiter.waits_on is not None else None
            waiter.blocked, waiter.waits_on, waiter.deadline = False, None, None
            return waiter

    def _resume(self, context):
        """Puts `context`'s registers in the machine; returns where it goes on."""
        self.current = context
        if context.registers is None:
            context.registers = self._start(context)
        for reg, value in context.registers.items():
            self.uc.reg_write(reg, value)
        if context.result is not None:
            self.uc.reg_write(UC_X86_REG_EAX, context.result)
            context.result = None
        return context.registers[UC_X86_REG_EIP]

    def drive(self, context, timeout_us):
        """Runs `context`, then each thread it gives way to, until the caller returns to
        SENTINEL or is due back from its sleep. The faults, or why it stopped elsewhere."""
        give_up = time.monotonic() + timeout_us / 1e6 if timeout_us else None
        while not self.faults and context is not None:
            if context is self.caller and self.sleeping:
                return []
            eip = self._resume(context)
            self.switch_to = None
            left = max(1, int((give_up - time.monotonic()) * 1e6)) if give_up else 0
            try:
                self.uc.emu_start(eip, SENTINEL, timeout=left)
            except UcError as error:
                eip = self.uc.reg_read(UC_X86_REG_EIP)
                self.faults.append(f'CPU fault in {self.current} at EIP {eip:#010x}: {error}')
            if self.faults or self.switch_to is None:
                break
            context = self.switch_to
        eip = self.uc.reg_read(UC_X86_REG_EIP)
        if self.faults or (eip == SENTINEL and self.current is self.caller):
            return self.faults
        if timeout_us:
            return [f'not done within {timeout_us / 1e6:g} s ({self.current} at {eip:#010x})']
        return [f'{self.current} stopped at {eip:#010x}']

    def sleep(self, milliseconds):
        """The caller sleeps for `milliseconds` of simulated time while the library's threads
        run; returns the faults."""
        self.faults, self.sleeping = [], True
        try:
            self._switch_away(deadline=self.clock + milliseconds)
        except Switched:
            pass
        stopped = self.drive(self.switch_to, self.timeout_us)
        self.sleeping, self.current = False, self.caller
        return stopped

    def thread_problems(self):
        """What the library's threads leave once they have had their time: each thread is to have
        ended or be held in a call into the system, which keeps a reference to the library."""
        threads = self.contexts[1:]
        problems = [f'{c} {c.state()}' for c in threads if not c.ended and not c.stuck_in]
        stuck = sum(1 for c in threads if c.stuck_in and not c.ended)
        if self.module_references != stuck:
            problems.append(f'{self.module_references} references to the library held, expected '
                            f'{stuck}: one for each thread held in a call')
        return problems
