# Whole runs of the real playonce.exe under emulation: the scenario table and the image's imports.
#
# Usage: /usr/bin/python3 test_runs.py PATH/TO/playonce.exe [unittest options]
import math
import os
import re
import sys
import unittest
from dataclasses import dataclass

import pefile

sys.dont_write_bytecode = True  # run from the source tree by ctest: leave no cache beside it
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from emulator import DIRECTORY, KNOWN_IMPORTS, File, World, image_imports, run_image  # noqa: E402

IMAGE = None  # the executable under test, from the command line

STREAM = 0x80000001                 # a handle with its top bit set, so a sign slip shows
ALL_ONES = 0xFFFFFFFFFFFFFFFF       # the library's error value for a length
LONGEST_WAIT_MS = 2147483647
BYTES_PER_SECOND = 176400           # 44.1 kHz, 16-bit stereo
ONE_POINT_ZERO_BITS = 0x3F800000    # 1.0f, full volume


# --- the expected calls, built from the parts every run is made of -----------------------------

def start():
    # The audio output is opened before the command line is read.
    return [('BASS_Init', 1, 44100, 0x800, 0, 0), ('GetCommandLineA',)]


def copy(parameter):
    # The parameter gets a string of its own: its bytes and a terminator.
    return [('HeapAlloc', 0, len(parameter.encode('latin-1')) + 1)]


def found(name):
    return [('FindFirstFileA', name), ('FindClose', 'find1')]


def missing(name):
    return [('FindFirstFileA', name)]


def play(path, ms, stream=STREAM, length=None):
    # Nothing the library answers is examined: every call follows whatever came before.
    return [('BASS_StreamCreateFile', 0, path, 0, 0, 0x60000),
            ('BASS_ChannelGetLength', stream, 0),
            ('BASS_ChannelBytes2Seconds', stream, length),
            ('BASS_ChannelSetAttribute', stream, 2, ONE_POINT_ZERO_BITS),
            ('BASS_ChannelPlay', stream, 0),
            ('timeBeginPeriod', 1), ('Sleep', ms), ('timeEndPeriod', 1),
            ('BASS_ChannelStop', stream)]


def end():
    return [('HeapFree', 0, 'block1'), ('ExitProcess', 0)]


@dataclass
class Scenario:
    name: str
    world: World
    expected: list


def played_file(name, path, size, ms, seconds, length=3 * BYTES_PER_SECOND, stream=STREAM,
                command_line=None, lookup=None):
    """A run that finds `path` as a file of `size` bytes and plays it."""
    lookup = path if lookup is None else lookup
    world = World(command_line=command_line or b'prog.exe ' + path.encode('latin-1'),
                  entries={lookup: File(size)}, stream=stream, length_bytes=length,
                  seconds=seconds)
    return Scenario(name, world, start() + copy(path) + found(lookup)
                    + play(path, ms, stream, length) + end())


def wait(name, seconds, ms):
    """A plain file whose length in seconds is `seconds`: the sleep must be `ms`."""
    return played_file(name, 'D:\\a.mp3', 1000, ms, seconds)


LONG_PATH = 'D:\\Music\\' + 'x' * 287 + '.mp3'   # 300 bytes: longer than a lookup takes
assert len(LONG_PATH) == 300

SCENARIOS = [
    # Played files: the whole call sequence, with the 64-bit and floating-point values whole.
    played_file('plain file', 'D:\\a.mp3', 1000, 3200, 3.2, length=564480),
    played_file('quoted program and quoted path with spaces', 'D:\\My Music\\a b.mp3', 1, 1500, 1.5,
                command_line=b'"C:\\Tools\\prog.exe" "D:\\My Music\\a b.mp3"'),
    Scenario('second parameter ignored',
             World(command_line=b'prog.exe a.mp3 b.mp3',
                   entries={'a.mp3': File(10), 'b.mp3': File(10)}, length_bytes=4, seconds=2.0),
             start() + copy('a.mp3') + found('a.mp3') + play('a.mp3', 2000, length=4) + end()),
    played_file('several spaces before the parameter', 'a.mp3', 10, 2000, 2.0,
                command_line=b'prog.exe    a.mp3'),
    played_file('length of 2^31 bytes arrives whole', 'D:\\a.wav', 1 << 31, 12174150, 12174.15,
                length=0x80000000),
    played_file('length above 2^32 bytes arrives whole', 'D:\\a.wav', 5 << 30, 27702480, 27702.48,
                length=0x123456789),
    played_file('stream handle 0 and the error length still get every call', 'D:\\bad.mp3', 1000,
                1000, -1.0, stream=0, length=ALL_ONES),
    played_file('file of 4 GiB, size only in the high word', 'D:\\big.wav', 1 << 32, 3000, 3.0),
    played_file('long path: the lookup takes 260 bytes, the library the whole path', LONG_PATH,
                1000, 3000, 3.0, lookup=LONG_PATH[:260]),
    Scenario('wildcard matching a file is played as given',
             World(command_line=b'prog.exe D:\\Music\\*.mp3',
                   entries={'D:\\Music\\a.mp3': File(1000)},
                   patterns={'D:\\Music\\*.mp3': 'D:\\Music\\a.mp3'},
                   stream=0, length_bytes=ALL_ONES, seconds=-1.0),
             start() + copy('D:\\Music\\*.mp3') + found('D:\\Music\\*.mp3')
             + play('D:\\Music\\*.mp3', 1000, stream=0, length=ALL_ONES) + end()),

    # The sleep: |seconds| x 1000 in doubles, rounded half to even, held to 0..2147483647.
    wait('zero seconds', 0.0, 0),
    wait('negative zero seconds', -0.0, 0),
    wait('1.5 ms rounds up to even', 0.0015, 2),
    wait('2.5 ms rounds down to even', 0.0025, 2),
    wait('3.5 ms rounds up to even', 0.0035, 4),
    wait('0.5 ms rounds down to even 0', 0.0005, 0),
    wait('negative seconds wait their magnitude', -1.0, 1000),
    wait('NaN waits 0', math.nan, 0),
    wait('negative NaN waits 0', -math.nan, 0),
    wait('infinity waits 0', math.inf, 0),
    wait('negative infinity waits 0', -math.inf, 0),
    wait('largest whole wait', 2147483.647, LONGEST_WAIT_MS),
    wait('half past the largest wait is held to it', 2147483.6475, LONGEST_WAIT_MS),
    wait('3e6 seconds is held to the largest wait', 3e6, LONGEST_WAIT_MS),
    wait('minus 3e6 seconds is held to the largest wait', -3e6, LONGEST_WAIT_MS),
    wait('1e300 seconds is held to the largest wait', 1e300, LONGEST_WAIT_MS),

    # Not played: the parameter string is still made and freed, and the exit code is 0.
    Scenario('no parameter', World(command_line=b'prog.exe'), start() + copy('') + end()),
    Scenario('empty command line', World(command_line=b''), start() + copy('') + end()),
    Scenario('only spaces after the program name', World(command_line=b'prog.exe   '),
             start() + copy('') + end()),
    Scenario('empty quoted parameter', World(command_line=b'prog.exe ""'),
             start() + copy('') + end()),
    Scenario('tab is no separator', World(command_line=b'prog.exe\ta.mp3', entries={'a.mp3': File(9)}),
             start() + copy('') + end()),
    Scenario('missing file', World(command_line=b'prog.exe D:\\missing.mp3'),
             start() + copy('D:\\missing.mp3') + missing('D:\\missing.mp3') + end()),
    Scenario('directory', World(command_line=b'prog.exe D:\\Music', entries={'D:\\Music': DIRECTORY}),
             start() + copy('D:\\Music') + found('D:\\Music') + end()),
    Scenario('directory with a trailing backslash is looked up without it',
             World(command_line=b'prog.exe D:\\Music\\', entries={'D:\\Music': DIRECTORY}),
             start() + copy('D:\\Music\\') + found('D:\\Music') + end()),
    Scenario('drive', World(command_line=b'prog.exe C:', drives=('C:\\',)),
             start() + copy('C:') + [('GetDriveTypeA', 'C:\\')] + end()),
    Scenario('network share, known only by its attributes',
             World(command_line=b'prog.exe \\\\server\\music',
                   attributes={'\\\\server\\music': 0x10}),
             start() + copy('\\\\server\\music') + missing('\\\\server\\music')
             + [('GetFileAttributesA', '\\\\server\\music')] + end()),
    Scenario('empty file', World(command_line=b'prog.exe D:\\empty.mp3',
                                 entries={'D:\\empty.mp3': File(0)}),
             start() + copy('D:\\empty.mp3') + found('D:\\empty.mp3') + end()),
    Scenario('no memory for the parameter',
             World(command_line=b'prog.exe D:\\a.mp3', entries={'D:\\a.mp3': File(1000)},
                   allocation_fails=True),
             start() + copy('D:\\a.mp3') + [('ExitProcess', 0)]),
]


# --- checks every run must pass -----------------------------------------------------------------

def timer_bracket_problem(calls):
    """The 1 ms timer is held exactly around each Sleep, and for nothing else."""
    names = [c[0] for c in calls]
    for i, name in enumerate(names):
        if name == 'Sleep':
            if calls[i - 1:i] != [('timeBeginPeriod', 1)] or calls[i + 1:i + 2] != [('timeEndPeriod', 1)]:
                return f'Sleep at call {i} is not inside timeBeginPeriod(1) .. timeEndPeriod(1)'
        elif name == 'timeBeginPeriod' and names[i + 1:i + 2] != ['Sleep']:
            return f'timeBeginPeriod at call {i} is not followed by Sleep'
        elif name == 'timeEndPeriod' and names[i - 1:i] != ['Sleep']:
            return f'timeEndPeriod at call {i} does not follow Sleep'
    return None


def run_problems(run):
    """What is wrong with a run whatever the scenario."""
    problems = list(run.faults)
    exits = [c for c in run.calls if c[0] == 'ExitProcess']
    if len(exits) != 1:
        problems.append(f'ExitProcess called {len(exits)} times')
    elif run.calls[-1][0] != 'ExitProcess':
        problems.append('ExitProcess is not the last call')
    if run.exit_code != 0:
        problems.append(f'exit code {run.exit_code}, not 0')
    if run.live_blocks_at_exit:
        problems.append(f'heap blocks never freed: {run.live_blocks_at_exit}')
    if run.open_finds_at_exit:
        problems.append(f'find handles never closed: {run.open_finds_at_exit}')
    bracket = timer_bracket_problem(run.calls)
    if bracket:
        problems.append(bracket)
    return problems


def observable(calls):
    # GetProcessHeap only fetches a handle, which HeapAlloc and HeapFree check themselves.
    return [c for c in calls if c[0] != 'GetProcessHeap']


DECIMAL_CALLS = {'Sleep', 'HeapAlloc'}   # counts read better in decimal; handles, bits in hex


def show(call):
    def one(value):
        if isinstance(value, int) and value > 9 and call[0] not in DECIMAL_CALLS:
            return hex(value)
        return repr(value)
    return call[0] + '(' + ', '.join(one(a) for a in call[1:]) + ')'


def listing(calls, first_difference):
    return '\n'.join(f'  {">>" if i == first_difference else "  "}{i:2} {show(c)}'
                     for i, c in enumerate(calls))


class Runs(unittest.TestCase):
    maxDiff = None

    def check(self, scenario):
        run = run_image(IMAGE, scenario.world)
        problems = run_problems(run)
        recorded = observable(run.calls)
        first = None
        if recorded != scenario.expected:
            first = next((i for i, (a, b) in enumerate(zip(recorded, scenario.expected)) if a != b),
                         min(len(recorded), len(scenario.expected)))
            problems.append(f'calls differ from call {first} on')
        if problems:
            self.fail(f'scenario {scenario.name!r}: ' + '; '.join(problems)
                      + f'\n  command line: {scenario.world.command_line!r}'
                      + '\n  expected calls:\n' + listing(scenario.expected, first)
                      + '\n  recorded calls (GetProcessHeap left out):\n' + listing(recorded, first))


def _test_for(scenario):
    def test(self):
        self.check(scenario)
    test.__doc__ = scenario.name
    return test


for _scenario in SCENARIOS:
    _method = 'test_' + re.sub(r'\W+', '_', _scenario.name).strip('_')
    assert not hasattr(Runs, _method), f'two scenarios named like {_scenario.name!r}'
    setattr(Runs, _method, _test_for(_scenario))


class Image(unittest.TestCase):
    """The image imports nothing the scenarios do not know (the import list itself, format and
    resources are checked on the file by tests/artifact)."""

    def setUp(self):
        self.pe = pefile.PE(IMAGE)
        self.imports = image_imports(self.pe)

    def test_every_import_is_known_by_name(self):
        unknown = [(dll, name or f'#{ordinal}') for dll, name, _, ordinal in self.imports
                   if name not in KNOWN_IMPORTS.get(dll.casefold(), {})]
        self.assertEqual(unknown, [], 'imports the harness has no stub for')


if __name__ == '__main__':
    if len(sys.argv) < 2 or not os.path.isfile(sys.argv[1]):
        sys.exit('usage: test_runs.py PATH/TO/playonce.exe [unittest options]')
    IMAGE = sys.argv.pop(1)
    unittest.main()
