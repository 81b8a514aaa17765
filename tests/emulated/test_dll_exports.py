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
from library import DATA_BASE, DLL_PROCESS_ATTACH, DOUBLE_RESULT, POPPED, Library  # noqa: E402

LIBRARY = None  # the DLL under test, from the command line

PATH = DATA_BASE                    # a file name, never to be opened by these calls
MEMORY = DATA_BASE + 0x100          # the start of a WAVE file, as if held in memory


def fresh_library(devices):
    library = Library(LIBRARY, devices)
    library.uc.mem_write(PATH, b'D:\\a.wav\0')
    library.uc.mem_write(MEMORY, b'RIFF\x24\x00\x00\x00WAVEfmt ')
    return library


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
            library = fresh_library(devices)
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
