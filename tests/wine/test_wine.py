# Whole runs of the x86-64 playonce.exe under Wine, over a real file tree and a recording BASS.dll.
#
# Usage: /usr/bin/python3 test_wine.py --program PATH/playonce.exe
#            --launcher PATH/exact_launcher.exe --device FOLDER --work SCRATCH_DIR
#            [unittest options]
#
# One fresh prefix and one wineserver serve every run; both are gone when the suite ends. What the
# program asks the system about a path (FindFirstFileA, GetFileAttributesA, GetDriveTypeA) and
# what it is answered come from Wine's relay trace of the calls made by playonce.exe itself.
# The --device folder holds playonce.exe beside our real BASS.dll and the recording winmm.dll:
# there the file names beyond any ANSI code page are played, and the bytes handed over checked.
import argparse
import os
import re
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time
import unittest
import wave
from dataclasses import dataclass

sys.dont_write_bytecode = True  # run from the source tree by ctest: leave no cache beside it

from wine_prefix import (QUIET_OVERRIDES, WINE64, WinePrefix, tools_present,  # noqa: E402
                         windows_path)

RUN_TIMEOUT_S = 60

STREAM = 0x80000001              # what the stand-in's BASS_StreamCreateFile answers
LENGTH = 0x123456789             # the length it answers: above 2^32, so a cut to 32 bits shows
ONE_POINT_ZERO_BITS = 0x3F800000
INVALID_HANDLE = 0xFFFFFFFFFFFFFFFF
INVALID_ATTRIBUTES = 0xFFFFFFFF
FILE_ATTRIBUTE_DIRECTORY = 0x10
DRIVE_NO_ROOT_DIR, DRIVE_FIXED = 1, 3
ABSENT_DRIVE = 'Q:'              # a fresh prefix has C: and Z: only
# Names no single-byte code page spells; the manifest's UTF-8 code page carries them whole.
CYRILLIC, JAPANESE = 'звук', '音声ファイル'
UNIX_LOCALE = 'C.UTF-8'          # how Wine reads the Unix arguments and environment
EARLIEST_MS, LATEST_MS = -1.0, 250.0   # how far a measured wait may stray, generously

ARGS = None       # the command line of the suite
SESSION = None    # the Wine session every test runs in
WAIT_FIGURES = []  # (wait in ms, measured ms), reported at the end


# --- the file tree ------------------------------------------------------------------------------

def write_file(path, size):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, 'wb') as f:
        f.write(b'\x55' * size)


def sparse_file(path, size):
    # Holes take no disk space: a 4 GiB size costs nothing.
    with open(path, 'wb') as f:
        f.truncate(size)


def path_of_length(base, total, last_at_least):
    """Components under `base` (a Windows path) making a path of exactly `total` bytes, whose
    last component is at least `last_at_least` bytes long; at most 200 bytes a component."""
    parts = []
    length = len(base)
    while total - length - 1 > 200:
        step = min(100, total - length - 2 - last_at_least)
        parts.append('d' * step)
        length += 1 + step
    parts.append('f' * (total - length - 1))
    return parts


def make_long_file(tree, folder, total, last_at_least):
    base = windows_path(os.path.join(tree, folder))
    parts = path_of_length(base, total, last_at_least)
    write_file(os.path.join(tree, folder, *parts), 1000)
    path = base + '\\' + '\\'.join(parts)
    assert len(path) == total
    return path


def build_tree(tree, prefix):
    """The files the scenarios name, and the template fields that name them."""
    for name, size in [('a.mp3', 1000), ('b.mp3', 1000), ('empty.mp3', 0),
                       ('My Music/a b.mp3', 1000), ('Music/song.mp3', 1000),
                       ('wild/x.mp3', 1000), ('sub/keep', 1), (CYRILLIC + '.mp3', 1000),
                       (JAPANESE + '.mp3', 1000), ('café.mp3', 1000)]:
        write_file(os.path.join(tree, name), size)
    os.makedirs(os.path.join(tree, 'wdir', 'subdir'))
    sparse_file(os.path.join(tree, 'big.wav'), 1 << 32)
    write_file(os.path.join(prefix, 'drive_c', 'sound.mp3'), 1000)
    # Wine serves \\server\share from dosdevices/unc/server/share.
    os.makedirs(os.path.join(prefix, 'dosdevices', 'unc', 'server'))
    os.symlink(tree, os.path.join(prefix, 'dosdevices', 'unc', 'server', 'music'))
    long260 = make_long_file(tree, 'long260', 260, 10)
    # A real file whose first 260 bytes end inside its last component: they name nothing.
    long300 = make_long_file(tree, 'long300', 300, 60)
    depth = len(os.path.abspath(os.path.join(tree, 'sub')).strip('/').split('/'))
    return {'tree': windows_path(tree), 'exe': windows_path(ARGS.program),
            'long260': long260, 'long300': long300,
            'up_to_root': '\\'.join(['..'] * (depth + 2))}


# --- the session: prefix, server, runs ----------------------------------------------------------

@dataclass
class Outcome:
    status: int          # the Unix exit status of the wine64 process
    records: list        # the log lines of the stand-in (and the launcher), decoded
    probes: list         # the path lookups of playonce.exe and their answers, from the relay trace
    timer: list          # its timer and sleep calls, from the same trace
    stderr: str


class WineSession:
    def __init__(self, work):
        self.work = os.path.abspath(work)
        # The scenarios write the tree's path into command lines as one types a path without
        # spaces: a build folder whose path holds one gets its tree in the temporary folder.
        self.tree_parent = (tempfile.mkdtemp(prefix='playonce-wine-') if ' ' in self.work
                            else self.work)
        self.tree = os.path.join(self.tree_parent, 'tree')
        self.logs = os.path.join(self.work, 'logs')
        self.wine = WinePrefix(os.path.join(self.work, 'prefix'), self.logs)
        self.prefix = self.wine.path
        self.fields = {}
        self.survivors = []
        self.timings = {}

    def environment(self, **extra):
        return self.wine.environment(**extra)

    def __enter__(self):
        started = time.monotonic()
        self.wine.stop_server()
        shutil.rmtree(self.work, ignore_errors=True)
        try:
            self.wine.create(registry_files=[self.relay_settings()])
            self.check_absent_drive()
            self.fields = build_tree(self.tree, self.prefix)
        except BaseException:
            self.close()
            raise
        self.timings['prefix and server'] = time.monotonic() - started
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def check_absent_drive(self):
        if os.path.lexists(os.path.join(self.prefix, 'dosdevices', ABSENT_DRIVE.lower())):
            raise RuntimeError(f'the prefix has a drive {ABSENT_DRIVE}, which the tests take '
                               'as absent')

    def relay_settings(self):
        # Trace only the calls made from playonce.exe. The prefix's default exclusion list would
        # override an inclusion list, so it goes.
        os.makedirs(self.work, exist_ok=True)
        path = os.path.join(self.work, 'relay.reg')
        with open(path, 'w', newline='\r\n') as f:
            f.write('Windows Registry Editor Version 5.00\n\n'
                    '[HKEY_CURRENT_USER\\Software\\Wine\\Debug]\n'
                    '"RelayFromExclude"=-\n'
                    '"RelayFromInclude"="playonce.exe"\n')
        return path

    def close(self):
        started = time.monotonic()
        self.wine.remove()
        if self.tree_parent != self.work:
            shutil.rmtree(self.tree_parent, ignore_errors=True)
        self.survivors = self.wine.survivors
        self.timings['shutdown'] = time.monotonic() - started

    def run(self, name, *, line=None, argv=(), cwd='', seconds=0.0, trace=True):
        """Runs playonce.exe once, through the launcher when `line` is given (the exact command
        line), else under wine64 with `argv`, in `cwd` inside the tree."""
        log = os.path.join(self.logs, slug(name) + '.log')
        stderr_path = os.path.join(self.logs, slug(name) + '.stderr')
        for path in (log, stderr_path):
            if os.path.exists(path):
                os.remove(path)
        env = self.environment(PLAYONCE_TEST_LOG=windows_path(log),
                               PLAYONCE_TEST_LENGTH=f'{LENGTH:x}',
                               PLAYONCE_TEST_SECONDS_BITS=double_bits(seconds),
                               WINEDEBUG='+relay' if trace else '-all', LC_ALL=UNIX_LOCALE)
        if line is not None:
            env.update(PLAYONCE_TEST_PROGRAM=windows_path(ARGS.program),
                       PLAYONCE_TEST_COMMAND_LINE=line)
            command = [WINE64, ARGS.launcher]
        else:
            command = [WINE64, ARGS.program, *argv]
        # Output goes to a file, not a pipe: a Wine process started along the way could hold a
        # pipe open long after the run.
        with open(stderr_path, 'wb') as err:
            done = subprocess.run(command, cwd=os.path.join(self.tree, cwd), env=env,
                                  stdin=subprocess.DEVNULL, stdout=err, stderr=err,
                                  timeout=RUN_TIMEOUT_S)
        with open(stderr_path, encoding='latin-1') as err:
            stderr = err.read()
        probes, timer = traced_calls(stderr)
        return Outcome(done.returncode, read_log(log), probes, timer, stderr)


    def play_on_device(self, path):
        """Runs the --device folder's playonce.exe on `path` (given as wine64's argument);
        its exit status, the device's format line and the bytes it was handed."""
        record = os.path.join(self.work, 'device.raw')
        for old in (record, record + '.format'):
            if os.path.exists(old):
                os.remove(old)
        env = self.environment(PLAYONCE_DEVICE_RECORD=windows_path(record), LC_ALL=UNIX_LOCALE,
                               WINEDLLOVERRIDES=QUIET_OVERRIDES + ';winmm=n')
        done = subprocess.run([WINE64, os.path.join(ARGS.device, 'playonce.exe'),
                               windows_path(path)], env=env, stdin=subprocess.DEVNULL,
                              capture_output=True, timeout=RUN_TIMEOUT_S)
        if not os.path.exists(record + '.format'):
            return done.returncode, None, b''
        with open(record + '.format') as line, open(record, 'rb') as handed:
            return done.returncode, line.read().strip(), handed.read()


def slug(name):
    return re.sub(r'\W+', '_', name).strip('_')


def double_bits(value):
    return struct.pack('>d', value).hex()


# --- reading what a run did ---------------------------------------------------------------------

TEXT_FIELDS = {'file', 'command_line'}


def read_log(path):
    """[(name, {key: value})] from the stand-in's log: numbers as ints, strings decoded."""
    if not os.path.exists(path):
        return []
    records = []
    with open(path, encoding='ascii') as f:
        for line in f:
            name, *fields = line.split()
            values = {}
            for item in fields:
                key, value = item.split('=', 1)
                if key in TEXT_FIELDS and value == 'null':
                    values[key] = None
                elif key in TEXT_FIELDS:
                    values[key] = bytes.fromhex(value).decode('utf-8', 'backslashreplace')
                else:
                    values[key] = int(value, 16)
            records.append((name, values))
    return records


PROBE_FUNCTIONS = ('FindFirstFileA', 'GetFileAttributesA', 'GetDriveTypeA')
TIMER_FUNCTIONS = ('timeBeginPeriod', 'Sleep', 'timeEndPeriod')
RELAY_CALL = re.compile(r'Call \w+\.(\w+)\((.*)\) ret=[0-9a-f]+$')
RELAY_RETURN = re.compile(r'Ret  \w+\.(\w+)\(\) retval=([0-9a-f]+) ret=')
RELAY_STRING = re.compile(r'"((?:[^"\\]|\\.)*)"(\.\.\.)?')
RELAY_ESCAPES = {'\\': '\\', '"': '"', 'n': '\n', 'r': '\r', 't': '\t'}


def relay_string(arguments):
    """The first string argument of a relay line, unescaped; a cut one ends in '...'."""
    match = RELAY_STRING.search(arguments)
    if match is None:
        return None
    text = re.sub(r'\\x([0-9a-f]{2})|\\(.)',
                  lambda m: chr(int(m.group(1), 16)) if m.group(1)
                  else RELAY_ESCAPES.get(m.group(2), m.group(2)), match.group(1))
    # Wine escapes each byte of an 8-bit string; the program's code page is UTF-8.
    text = text.encode('latin-1', 'backslashreplace').decode('utf-8', 'backslashreplace')
    return text + ('...' if match.group(2) else '')


def answer(function, retval):
    if function == 'FindFirstFileA':
        return retval != INVALID_HANDLE
    retval &= 0xFFFFFFFF
    if function == 'GetFileAttributesA':
        if retval == INVALID_ATTRIBUTES:
            return 'none'
        return 'directory' if retval & FILE_ATTRIBUTE_DIRECTORY else 'file'
    return retval


def traced_calls(stderr):
    """From the relay trace of playonce.exe: [(function, path, answer)] for each path lookup,
    and [(function, argument)] for each timer or sleep call, in order."""
    probes, timer, pending = [], [], None
    for line in stderr.splitlines():
        call = RELAY_CALL.search(line)
        if call and call.group(1) in PROBE_FUNCTIONS:
            pending = (call.group(1), relay_string(call.group(2)))
        elif call and call.group(1) in TIMER_FUNCTIONS:
            timer.append((call.group(1), int(call.group(2), 16)))
        done = RELAY_RETURN.search(line)
        if done and pending and done.group(1) == pending[0]:
            probes.append((*pending, answer(pending[0], int(done.group(2), 16))))
            pending = None
    return probes, timer


# --- expectations -------------------------------------------------------------------------------

def library_calls(path=None):
    """The stand-in's calls of a run: BASS_Init alone, or all seven in order when `path` plays."""
    calls = [('BASS_Init', dict(device=1, freq=44100, flags=0x800, win=0, clsid=0))]
    if path is None:
        return calls
    return calls + [
        ('BASS_StreamCreateFile', dict(mem=0, file=path, offset=0, length=0, flags=0x60000)),
        ('BASS_ChannelGetLength', dict(handle=STREAM, mode=0)),
        ('BASS_ChannelBytes2Seconds', dict(handle=STREAM, pos=LENGTH)),
        ('BASS_ChannelSetAttribute', dict(handle=STREAM, attrib=2, value=ONE_POINT_ZERO_BITS)),
        ('BASS_ChannelPlay', dict(handle=STREAM, restart=0)),
        ('BASS_ChannelStop', dict(handle=STREAM)),
    ]


ANSWERED = {'BASS_StreamCreateFile': STREAM, 'BASS_ChannelGetLength': LENGTH}


def recorded_library_calls(records):
    """The calls as logged, without the stamps; a call the stand-in answered other than as
    planned shows its result."""
    calls = []
    for name, values in records:
        if not name.startswith('BASS_'):
            continue
        arguments = {k: v for k, v in values.items() if k not in ('enter', 'leave', 'result')}
        if name in ANSWERED and values.get('result') != ANSWERED[name]:
            arguments['result'] = values.get('result')
        calls.append((name, arguments))
    return calls


def timer_calls(played, sleep_ms):
    # The 1 ms timer resolution is held for the sleep alone.
    if not played:
        return []
    return [('timeBeginPeriod', 1), ('Sleep', sleep_ms), ('timeEndPeriod', 1)]


def found(name):
    return ('FindFirstFileA', name, True)


def missing(name):
    return ('FindFirstFileA', name, False)


def attributes(name, kind):
    return ('GetFileAttributesA', name, kind)


def drive(root, drive_type):
    return ('GetDriveTypeA', root, drive_type)


@dataclass
class Scenario:
    name: str
    line: str = None        # the exact command line, passed through the launcher
    argv: tuple = ()        # else wine64's own arguments ...
    made_line: str = None   # ... and the command line wine64 makes of them
    cwd: str = ''           # inside the tree
    plays: str = None       # the path handed to the library; None: not played
    probes: list = None     # the lookups and their answers, in order; None: not compared
    seconds: float = 0.0    # the length the library answers ...
    sleep_ms: int = 0       # ... and the sleep it must make


PROGRAM = 'prog.exe '  # what a command line starts with, when its program name does not matter


def named_file(title, name):
    """The file `name` of the tree, given as wine64's one argument: played as named."""
    path = '{tree}\\' + name
    return Scenario(title, argv=(path,), made_line='"{exe}" ' + path, plays=path,
                    probes=[found(path)])


SCENARIOS = [
    # How the command line arrives.
    Scenario('plain file', line=PROGRAM + '{tree}\\a.mp3', plays='{tree}\\a.mp3',
             probes=[found('{tree}\\a.mp3')]),
    Scenario('quoted program and quoted path with spaces',
             line='"{exe}" "{tree}\\My Music\\a b.mp3"', plays='{tree}\\My Music\\a b.mp3',
             probes=[found('{tree}\\My Music\\a b.mp3')]),
    Scenario('second parameter ignored', line=PROGRAM + '{tree}\\a.mp3 {tree}\\b.mp3',
             plays='{tree}\\a.mp3', probes=[found('{tree}\\a.mp3')]),
    Scenario('several spaces around the parameter', line='prog.exe    {tree}\\a.mp3   ',
             plays='{tree}\\a.mp3', probes=[found('{tree}\\a.mp3')]),
    Scenario('quote left open runs to the end of the line',
             line=PROGRAM + '"{tree}\\My Music\\a b.mp3', plays='{tree}\\My Music\\a b.mp3',
             probes=[found('{tree}\\My Music\\a b.mp3')]),
    Scenario('no parameter', line='prog.exe', probes=[]),
    Scenario('only spaces after the program name', line='prog.exe   ', probes=[]),
    Scenario('empty quoted parameter', line=PROGRAM + '""', probes=[]),
    Scenario('empty parameter before a file is still the first one',
             line=PROGRAM + '"" {tree}\\a.mp3', probes=[]),
    Scenario('tab is no separator', line='prog.exe\t{tree}\\a.mp3', probes=[]),
    Scenario('wine64 quotes an argument with spaces', argv=('{tree}\\My Music\\a b.mp3', 'x y'),
             made_line='"{exe}" "{tree}\\My Music\\a b.mp3" "x y"',
             plays='{tree}\\My Music\\a b.mp3', probes=[found('{tree}\\My Music\\a b.mp3')]),
    Scenario('wine64 passes an empty argument as ""', argv=('', '{tree}\\a.mp3'),
             made_line='"{exe}" "" {tree}\\a.mp3', probes=[]),

    # What the probe makes of real files, directories and drives.
    Scenario('0-byte file', line=PROGRAM + '{tree}\\empty.mp3',
             probes=[found('{tree}\\empty.mp3')]),
    Scenario('missing file', line=PROGRAM + '{tree}\\missing.mp3',
             probes=[missing('{tree}\\missing.mp3')]),
    Scenario('directory', line=PROGRAM + '{tree}\\Music', probes=[found('{tree}\\Music')]),
    Scenario('directory with trailing backslashes is looked up without them',
             line=PROGRAM + '{tree}\\Music\\\\\\', probes=[found('{tree}\\Music')]),
    Scenario('drive C:', line=PROGRAM + 'C:', probes=[drive('C:\\', DRIVE_FIXED)]),
    Scenario('drive Z:', line=PROGRAM + 'Z:', probes=[drive('Z:\\', DRIVE_FIXED)]),
    Scenario('drive root C:\\', line=PROGRAM + 'C:\\', probes=[drive('C:\\', DRIVE_FIXED)]),
    Scenario('drive root with two backslashes is no drive form', line=PROGRAM + 'C:\\\\',
             probes=[missing('C:')]),
    Scenario('drive letter with no drive', line=PROGRAM + ABSENT_DRIVE,
             probes=[drive(ABSENT_DRIVE + '\\', DRIVE_NO_ROOT_DIR)]),
    Scenario('file on drive C:', line=PROGRAM + 'C:\\sound.mp3', plays='C:\\sound.mp3',
             probes=[found('C:\\sound.mp3')]),
    Scenario('wildcard whose first match is a file is played as given',
             line=PROGRAM + '{tree}\\wild\\*.mp3', plays='{tree}\\wild\\*.mp3',
             probes=[found('{tree}\\wild\\*.mp3')]),
    Scenario('wildcard whose first match is a directory', line=PROGRAM + '{tree}\\wdir\\sub*',
             probes=[found('{tree}\\wdir\\sub*')]),
    Scenario('star in a directory of files first matches "."', line=PROGRAM + '{tree}\\wild\\*',
             probes=[found('{tree}\\wild\\*')]),
    Scenario('parent path to a file', line=PROGRAM + '..\\a.mp3', cwd='sub', plays='..\\a.mp3',
             probes=[found('..\\a.mp3')]),
    Scenario('parent path to a directory', line=PROGRAM + '..\\Music\\', cwd='sub',
             probes=[found('..\\Music')]),
    Scenario('parent path itself is found by the search', line=PROGRAM + '..\\', cwd='sub',
             probes=[found('..')]),
    Scenario('parent path up to the drive root: the search fails, the attributes tell',
             line=PROGRAM + '{up_to_root}', cwd='sub',
             probes=[missing('{up_to_root}'), attributes('{up_to_root}', 'directory')]),
    Scenario('file on a share', line=PROGRAM + '\\\\server\\music\\a.mp3',
             plays='\\\\server\\music\\a.mp3', probes=[found('\\\\server\\music\\a.mp3')]),
    # Windows fails FindFirstFileA on a share itself, Wine (whose shares are folders of the
    # prefix) finds it: only the outcome is Windows' here.
    Scenario('share root', line=PROGRAM + '\\\\server\\music\\'),
    Scenario('device name is an entry of 0 bytes', line=PROGRAM + 'nul', probes=[found('nul')]),
    Scenario('file of 4 GiB, size only in the high word', line=PROGRAM + '{tree}\\big.wav',
             plays='{tree}\\big.wav', probes=[found('{tree}\\big.wav')]),
    Scenario('long path: the lookup takes 260 bytes, the library the whole path',
             line=PROGRAM + '{long260}' + 'x' * 40, plays='{long260}' + 'x' * 40,
             probes=[found('{long260}')]),
    Scenario('real file at 300 bytes: its first 260 name nothing', line=PROGRAM + '{long300}',
             probes=[missing('{long300:.260}')]),

    # Names beyond the ANSI code page: wine64 hands the Unix arguments over as Unicode, and the
    # program reads them, probes and hands them on in UTF-8, its own code page.
    named_file('Cyrillic name', CYRILLIC + '.mp3'),
    named_file('Japanese name', JAPANESE + '.mp3'),
    # The launcher has no manifest: its Windows-1252 line reaches the program as UTF-8.
    Scenario('name from a parent in another code page', line=PROGRAM + '{tree}\\café.mp3',
             plays='{tree}\\café.mp3', probes=[found('{tree}\\café.mp3')]),

    # The sleep asked for (the time it takes is measured by Waits below).
    Scenario('0.1234 s sleeps 123 ms', line=PROGRAM + '{tree}\\a.mp3', plays='{tree}\\a.mp3',
             seconds=0.1234, sleep_ms=123),
    Scenario('2.5 ms sleeps 2 ms: half rounds to even', line=PROGRAM + '{tree}\\a.mp3',
             plays='{tree}\\a.mp3', seconds=0.0025, sleep_ms=2),
]

WAITS = [('a quarter second', 0.25), ('a second and a half', 1.5)]


# --- the checks ---------------------------------------------------------------------------------

def exit_problems(outcome, through_launcher):
    # The Unix exit status keeps the low 8 bits of the exit code; the launcher logs all 32.
    problems = []
    if outcome.status != 0:
        problems.append(f'exit status {outcome.status}, not 0')
    if through_launcher:
        codes = [values.get('code') for name, values in outcome.records if name == 'exit']
        if codes != [0]:
            problems.append(f'exit codes logged by the launcher: {codes}, not [0]')
    return problems


def command_line_seen(outcome):
    lines = [values['command_line'] for name, values in outcome.records if name == 'process']
    return lines[0] if len(lines) == 1 else lines


def show(item):
    # Handles, flags and bits read better in hex; a library call is (name, {argument: value}).
    def one(value):
        return hex(value) if isinstance(value, int) and not isinstance(value, bool) and value > 9 \
            else repr(value)
    if len(item) == 2 and isinstance(item[1], dict):
        return item[0] + '(' + ', '.join(f'{k}={one(v)}' for k, v in item[1].items()) + ')'
    return item[0] + '(' + ', '.join(one(v) for v in item[1:]) + ')'


def listing(items):
    return '\n'.join(f'    {show(item)}' for item in items) or '    (none)'


def fill(template):
    # Scenarios name the tree, the program and the long paths by template fields.
    return template.format(**SESSION.fields) if template is not None else None


def same_lookups(expected, recorded):
    # The relay trace cuts strings near 290 characters, marking the cut with '...'.
    def matches(meant, seen):
        if isinstance(seen[1], str) and seen[1].endswith('...'):
            return meant[0] == seen[0] and meant[1].startswith(seen[1][:-3]) and meant[2] == seen[2]
        return meant == seen
    return len(expected) == len(recorded) and all(map(matches, expected, recorded))


class Runs(unittest.TestCase):
    maxDiff = None

    def check(self, scenario):
        line = fill(scenario.line)
        argv = tuple(fill(a) for a in scenario.argv)
        outcome = SESSION.run(scenario.name, line=line, argv=argv, cwd=scenario.cwd,
                              seconds=scenario.seconds)
        expected_line = line if line is not None else fill(scenario.made_line)
        expected_calls = library_calls(fill(scenario.plays))
        expected_probes = [(f, fill(p), a) for f, p, a in scenario.probes or []]
        expected_timer = timer_calls(scenario.plays is not None, scenario.sleep_ms)
        recorded_calls = recorded_library_calls(outcome.records)
        problems = exit_problems(outcome, line is not None)
        if command_line_seen(outcome) != expected_line:
            problems.append('the program got another command line')
        if recorded_calls != expected_calls:
            problems.append('library calls differ')
        if scenario.probes is not None and not same_lookups(expected_probes, outcome.probes):
            problems.append('path lookups differ')
        if outcome.timer != expected_timer:
            problems.append(f'timer calls {outcome.timer}, not {expected_timer}')
        if problems:
            self.fail(f'scenario {scenario.name!r}: ' + '; '.join(problems)
                      + f'\n  run in: {scenario.cwd or "."} of the tree {SESSION.fields["tree"]}'
                      + f'\n  command line meant: {expected_line!r}'
                      + f'\n  command line seen:  {command_line_seen(outcome)!r}'
                      + '\n  expected library calls:\n' + listing(expected_calls)
                      + '\n  recorded library calls:\n' + listing(recorded_calls)
                      + ('\n  expected lookups:\n' + listing(expected_probes)
                         if scenario.probes is not None else '')
                      + '\n  recorded lookups:\n' + listing(outcome.probes)
                      + f'\n  Wine messages:\n{messages(outcome.stderr)}')


class Waits(unittest.TestCase):
    """The time from BASS_ChannelPlay's return to BASS_ChannelStop's call is the length the
    library answered. Run without the relay trace, so that nothing but the wait is measured."""

    def check(self, name, seconds):
        line = PROGRAM + SESSION.fields['tree'] + '\\a.mp3'
        outcome = SESSION.run('wait ' + name, line=line, seconds=seconds, trace=False)
        problems = exit_problems(outcome, True)
        recorded_calls = recorded_library_calls(outcome.records)
        expected_calls = library_calls(SESSION.fields['tree'] + '\\a.mp3')
        if recorded_calls != expected_calls:
            problems.append('library calls differ\n' + listing(recorded_calls))
        stamps = {call: values for call, values in outcome.records}
        frequency = stamps.get('process', {}).get('frequency')
        if problems or not frequency:
            self.fail(f'wait of {seconds} s: ' + '; '.join(problems or ['no tick frequency']))
        wait_ms = seconds * 1000
        ticks = stamps['BASS_ChannelStop']['enter'] - stamps['BASS_ChannelPlay']['leave']
        measured_ms = ticks * 1000 / frequency
        WAIT_FIGURES.append((wait_ms, measured_ms))
        print(f'\n  wait {wait_ms:.0f} ms: measured {measured_ms:.3f} ms '
              f'({measured_ms - wait_ms:+.3f} ms)', file=sys.stderr)
        self.assertTrue(wait_ms + EARLIEST_MS <= measured_ms <= wait_ms + LATEST_MS,
                        f'wait of {seconds} s answered: {measured_ms:.3f} ms from '
                        f'BASS_ChannelPlay to BASS_ChannelStop, outside '
                        f'[{wait_ms + EARLIEST_MS:.0f}, {wait_ms + LATEST_MS:.0f}] ms')


class NamesOnTheDevice(unittest.TestCase):
    """Our BASS.dll opens a file whose name no ANSI code page spells, in the program's UTF-8
    code page: the recording winmm.dll beside it is handed the file's samples, byte for byte,
    then nothing but silence."""

    def test_names_beyond_the_ansi_code_page_play(self):
        for name in (CYRILLIC + '.wav', JAPANESE + '.wav'):
            with self.subTest(name):
                path = os.path.join(SESSION.tree, name)
                samples = write_noise_wav(path)
                status, format_line, handed = SESSION.play_on_device(path)
                self.assertEqual(status, 0, f'{name}: exit status')
                self.assertEqual(format_line, '44100 2 16', f'{name}: device format')
                self.assertEqual(handed[:len(samples)], samples,
                                 f'{name}: {len(handed)} bytes handed over, not the file\'s '
                                 f'{len(samples)} first')
                self.assertEqual(handed[len(samples):].strip(b'\0'), b'',
                                 f'{name}: sound after the file\'s end')


def write_noise_wav(path, frames=4410):
    """A tenth of a second of 16-bit 44.1 kHz stereo noise; its sample bytes."""
    samples = os.urandom(frames * 4)
    with wave.open(path, 'wb') as out:
        out.setnchannels(2)
        out.setsampwidth(2)
        out.setframerate(44100)
        out.writeframes(samples)
    return samples


def messages(stderr, lines=15):
    # Wine's own complaints, without the relay trace around them.
    kept = [line for line in stderr.splitlines()
            if not re.search(r':(Call|Ret) |trace:relay|Starting thread', line)]
    return '\n'.join('    ' + line for line in kept[-lines:]) or '    (none)'


def add_tests(cls, cases, make):
    for case in cases:
        name = case.name if isinstance(case, Scenario) else case[0]
        method = 'test_' + slug(name)
        assert not hasattr(cls, method), f'two cases named like {name!r}'
        test = make(case)
        test.__doc__ = name
        setattr(cls, method, test)


add_tests(Runs, SCENARIOS, lambda s: lambda self: self.check(s))
add_tests(Waits, WAITS, lambda w: lambda self: self.check(*w))


# --- the whole suite ----------------------------------------------------------------------------

def interrupted(signum, frame):
    # Turned into KeyboardInterrupt, which unittest lets through, so the session still closes.
    raise KeyboardInterrupt(f'signal {signum}')


def parse_arguments():
    parser = argparse.ArgumentParser()
    parser.add_argument('--program', required=True, help='playonce.exe, with BASS.dll beside it')
    parser.add_argument('--launcher', required=True, help='exact_launcher.exe')
    parser.add_argument('--device', required=True,
                        help='playonce.exe beside our BASS.dll and the recording winmm.dll')
    parser.add_argument('--work', required=True, help='scratch folder, emptied first')
    arguments, rest = parser.parse_known_args()
    if not tools_present():
        parser.error('the Wine runs need package wine64')
    for path in (arguments.program, arguments.launcher,
                 os.path.join(os.path.dirname(arguments.program), 'BASS.dll'),
                 os.path.join(arguments.device, 'winmm.dll')):
        if not os.path.isfile(path):
            parser.error(f'{path} is missing (the Wine runs need package wine64 and the win64 '
                         'build)')
    arguments.program = os.path.abspath(arguments.program)
    arguments.launcher = os.path.abspath(arguments.launcher)
    arguments.device = os.path.abspath(arguments.device)
    return arguments, rest


def report(session, result, runs_s, total_s):
    for wait_ms, measured_ms in WAIT_FIGURES:
        print(f'wait {wait_ms:.0f} ms: measured {measured_ms:.3f} ms, '
              f'error {measured_ms - wait_ms:+.3f} ms')
    phases = ', '.join(f'{k} {v:.1f} s' for k, v in session.timings.items())
    print(f'wall time {total_s:.1f} s: {phases}, runs {runs_s:.1f} s')
    for pid, command in session.survivors:
        print(f'FAIL: process {pid} of the prefix outlived the suite: {command}')
    return result.wasSuccessful() and not session.survivors


def main():
    global ARGS, SESSION
    ARGS, rest = parse_arguments()
    signal.signal(signal.SIGTERM, interrupted)
    started = time.monotonic()
    with WineSession(ARGS.work) as session:
        SESSION = session
        runs_started = time.monotonic()
        program = unittest.main(argv=[sys.argv[0], *rest], exit=False)
        runs_s = time.monotonic() - runs_started
    ok = report(session, program.result, runs_s, time.monotonic() - started)
    sys.exit(0 if ok else 1)


if __name__ == '__main__':
    main()
