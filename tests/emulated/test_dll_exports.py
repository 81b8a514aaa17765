# The real x86 BASS.dll under emulation: each export called as playonce calls it, for the answers
# that need no file and no sound, with the stdcall convention checked on every return.
#
# Usage: /usr/bin/python3 test_dll_exports.py PATH/TO/BASS.dll [unittest options]
import os
import struct
import sys
import unittest

sys.dont_write_bytecode = True  # run from the source tree by ctest: leave no cache beside it
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from library import (DATA_BASE, DEVICE_ANSWER_MS, DLL_PROCESS_ATTACH, DOUBLE_RESULT,  # noqa: E402
                     POPPED, Hang, Library, Winmm)

LIBRARY = None  # the DLL under test, from the command line

PATH = DATA_BASE                    # a file name, never to be opened by these calls
MEMORY = DATA_BASE + 0x100          # the start of a WAVE file, as if held in memory


def fresh_library(audio):
    library = Library(LIBRARY, audio)
    library.uc.mem_write(PATH, b'D:\\a.wav\0')
    library.uc.mem_write(MEMORY, b'RIFF\x24\x00\x00\x00WAVEfmt ')
    return library


TRUE, FALSE, ALL_ONES = 1, 0, 0xFFFFFFFFFFFFFFFF
NOT_STREAMS = (0, 1, 12345, 0xFFFFFFFF)   # 1 would be the first stream's, had one been made

# What winmm does: counts no output device or one, at once, late, or never.
NONE, ONE = Winmm(devices=0), Winmm(devices=1)
LATE = Winmm(devices=1, hang=Hang('waveOutGetNumDevs', ms=1200))
TOO_LATE = Winmm(devices=1, hang=Hang('waveOutGetNumDevs', ms=DEVICE_ANSWER_MS + 100))
NEVER = Winmm(devices=1, hang=Hang('waveOutGetNumDevs'))


# Each call: (export, arguments, expected answer, simulated milliseconds it takes).
def init(device, expected, flags=0, ms=0):
    return ('BASS_Init', (device, 44100, flags, 0, 0), expected, ms)


def no_stream(mem, file, offset=0, length=0):
    return ('BASS_StreamCreateFile', (mem, file, offset, length, 0x60000), 0, 0)


def not_a_stream(handle):
    return [('BASS_ChannelGetLength', (handle, 0), ALL_ONES, 0),
            ('BASS_ChannelBytes2Seconds', (handle, 0x123456789), 0.0, 0),
            ('BASS_ChannelSetAttribute', (handle, 2, 1.0), FALSE, 0),
            ('BASS_ChannelPlay', (handle, 0), FALSE, 0),
            ('BASS_ChannelStop', (handle,), FALSE, 0)]


# (name, what winmm does, calls made in order on one freshly loaded library)
CASES = [
    ('no-sound device opens once', NONE, [init(0, TRUE), init(0, FALSE), init(1, FALSE)]),
    ('first device with one output device', ONE, [init(1, TRUE, 0x800), init(1, FALSE)]),
    ('default device with one output device', ONE, [init(-1, TRUE)]),
    ('first device with no output device', NONE, [init(1, FALSE)]),
    ('unknown device refused, the library left closed', ONE, [init(2, FALSE), init(0, TRUE)]),
    ('no stream before BASS_Init', NONE, [no_stream(0, PATH)]),
    ('no stream from memory, a null file, an offset or a length', NONE,
     [init(0, TRUE), no_stream(1, MEMORY), no_stream(0, 0), no_stream(0, PATH, 1 << 32),
      no_stream(0, PATH, 0, 1 << 32)]),
    ('handles before BASS_Init are no streams', NONE, not_a_stream(1)),
    ('winmm counts late, within the bound', LATE, [init(1, TRUE, ms=1200), init(1, FALSE)]),
    ('winmm counts after the bound', TOO_LATE,
     [init(1, FALSE, ms=DEVICE_ANSWER_MS), init(1, FALSE)] + not_a_stream(1)),
    ('winmm never counts', NEVER, [init(-1, FALSE, ms=DEVICE_ANSWER_MS), init(0, FALSE)]),
] + [(f'handle {handle:#x} is no stream', NONE, [init(0, TRUE)] + not_a_stream(handle))
     for handle in NOT_STREAMS]
SETTLE_MS = 2000    # after the calls, the library's threads may run this long


def value(v):
    return hex(v) if isinstance(v, int) and v > 9 else repr(v)


def show(name, args):
    return name + '(' + ', '.join(value(a) for a in args) + ')'


def same(got, expected):
    # A double by its bits, so that -0.0 is no 0.0.
    if isinstance(expected, float):
        return isinstance(got, float) and struct.pack('<d', got) == struct.pack('<d', expected)
    return got == expected


def left_behind(library):
    """What the library holds once its threads have had their time, beyond what a thread held
    in winmm keeps: none of these calls makes anything that lasts."""
    problems = library.sleep(SETTLE_MS) or library.thread_problems()
    if not any(thread.stuck_in for thread in library.contexts) and (library.heap_blocks or
                                                                     library.handles):
        problems.append(f'{len(library.heap_blocks)} heap blocks and handles '
                        f'{sorted(kind for kind, _ in library.handles.values())} left')
    return problems


class Exports(unittest.TestCase):
    def test_calls(self):
        for case, audio, calls in CASES:
            library = fresh_library(audio)
            # As the loader does before anything else.
            attach = ('DllEntry', (library.base, DLL_PROCESS_ATTACH, 0), TRUE, 0)
            for index, (name, args, expected, ms) in enumerate([attach] + calls):
                with self.subTest(case=case, call=index):
                    got = library.call(name, args)
                    where = (f'{case}: call {index} {show(name, args)}: expected {value(expected)} '
                             f'in {ms} ms')
                    if got.popped is None:
                        self.fail(f'{where}, never came back: ' + '; '.join(got.problems))
                    problems = got.problems
                    if not same(got.result, expected):
                        problems.append('wrong answer')
                    if got.ms != ms:
                        problems.append(f'took {got.ms:g} ms of simulated time')
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
            else:
                with self.subTest(case=case, after='the calls'):
                    problems = left_behind(library)
                    if problems:
                        self.fail(f'{case}: after the calls and {SETTLE_MS} ms: '
                                  + '; '.join(problems))


if __name__ == '__main__':
    if len(sys.argv) < 2 or not os.path.isfile(sys.argv[1]):
        sys.exit('usage: test_dll_exports.py PATH/TO/BASS.dll [unittest options]')
    LIBRARY = sys.argv.pop(1)
    unittest.main()
