#!/usr/bin/python3
# Runs of playonce change nothing: a tree, HOME and TMPDIR stay as they were; strace sees no write.
"""Usage: /usr/bin/python3 tests/audio/test_no_writes.py --playonce PATH [unittest options]

The tree holds a sound of each format, damaged files, folders, FIFOs and symbolic links; the
player is run on every entry from the tree as its working folder, and the tree, HOME (holding
libpulse's cookie, as a desktop user's does) and TMPDIR are compared in every detail but access
times. The strace runs need the build without sanitizers and skip a sanitizer build.
"""

import os
import sys
import tempfile
import unittest
from dataclasses import dataclass

import numpy as np

sys.dont_write_bytecode = True  # nothing left in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import compare  # noqa: E402
import harness  # noqa: E402
import pulse  # noqa: E402
import signals  # noqa: E402
import suite  # noqa: E402
import syscalls  # noqa: E402
import tree_state  # noqa: E402
from test_real_audio import RunChecks  # noqa: E402

SECONDS = 0.25


def setUpModule():
    suite.start()


def tearDownModule():
    suite.stop()


def write_sound(path, file_format, subtype, rate=pulse.RATE):
    frames = signals.chirp_channels(SECONDS, rate, 2)
    signals.write_sound(path, frames, rate, file_format, subtype)


def sound_maker(file_format, subtype, rate=pulse.RATE):
    return lambda path: write_sound(path, file_format, subtype, rate)


def write_bytes(path, data):
    with open(path, "wb") as out:
        out.write(data)


def cut_sound(file_format, subtype, keep):
    """A sound file cut to `keep(length)` bytes."""
    def make(path):
        write_sound(path, file_format, subtype)
        with open(path, "rb") as whole:
            data = whole.read()
        write_bytes(path, data[:keep(len(data))])
    return make


def random_bytes(seed, size):
    return lambda path: write_bytes(path, np.random.default_rng(seed).bytes(size))


def text(path):
    write_bytes(path, b"Remember to buy milk.\n" * 50)


def folder_with_a_sound(path):
    os.mkdir(path)
    write_sound(os.path.join(path, "inside.wav"), "WAV", "PCM_16")


def symlink_to(target):
    return lambda path: os.symlink(target, path)


@dataclass
class Entry:
    name: str  # path in the tree, which is also the argument: the tree is the working folder
    make: object  # path -> None
    must_sound: bool = False  # whether a run on it must reach the sink


ENTRIES = [
    Entry("pcm16.wav", sound_maker("WAV", "PCM_16"), True),
    Entry("pcm24.wav", sound_maker("WAV", "PCM_24"), True),
    Entry("float.wav", sound_maker("WAV", "FLOAT"), True),
    Entry("sound.aiff", sound_maker("AIFF", "PCM_16"), True),
    Entry("sound.flac", sound_maker("FLAC", "PCM_16"), True),
    Entry("vorbis.ogg", sound_maker("OGG", "VORBIS"), True),
    Entry("opus.opus", sound_maker("OGG", "OPUS", 48000), True),
    Entry("sound.mp3", sound_maker("MP3", "MPEG_LAYER_III"), True),
    Entry("notes.wav", text),
    Entry("header cut.wav", cut_sound("WAV", "PCM_16", lambda size: 30)),
    Entry("header cut.ogg", cut_sound("OGG", "VORBIS", lambda size: 200)),
    Entry("random.wav", random_bytes(1, 4096)),
    Entry("random.mp3", random_bytes(2, 20000)),
    Entry("data cut.wav", cut_sound("WAV", "PCM_16", lambda size: size // 2), True),
    Entry("data cut.flac", cut_sound("FLAC", "PCM_16", lambda size: size // 2)),
    Entry("empty.wav", lambda path: write_bytes(path, b"")),
    Entry("a folder", os.mkdir),
    Entry("folder.wav", folder_with_a_sound),
    Entry("folder.wav/inside.wav", lambda path: None, True),
    Entry("pipe.wav", os.mkfifo),
    Entry("link to sound.wav", symlink_to("pcm16.wav"), True),
    Entry("link to folder", symlink_to("a folder")),
    Entry("dangling link.wav", symlink_to("nowhere.wav")),
    Entry("looping link.wav", symlink_to("looping link.wav")),
]
# Runs on no entry: argument lists, with what they stand for.
OTHER_RUNS = [("no parameter", []), ("empty parameter", [""]), ("missing path", ["missing.wav"])]


def build_tree(root):
    for entry in ENTRIES:
        entry.make(os.path.join(root, entry.name))


class TreeUnchangedTest(RunChecks):
    """Every entry of the tree played or refused in turn; then the tree, HOME and TMPDIR
    are as they were, and each run printed nothing and ended with 0."""

    def test_runs_over_every_entry_leave_everything_as_it_was(self):
        root = suite.folder("tree")
        build_tree(root)
        home = harness.make_home(suite.SCRATCH)
        temporary = suite.folder("tmpdir")
        watched = [root, home, temporary]
        before = {folder: tree_state.picture(folder) for folder in watched}
        options = harness.RunOptions(cwd=root, home=home, environment={"TMPDIR": temporary})
        runs = [(entry.name, [entry.name], entry.must_sound) for entry in ENTRIES]
        runs += [(name, arguments, False) for name, arguments in OTHER_RUNS]
        for name, arguments, must_sound in runs:
            with self.subTest(name):
                run = suite.player().run(arguments, watched=watched, expected_s=SECONDS,
                                         options=options)
                self.assert_quiet_and_clean(run, f"{name} {arguments!r}")
                if must_sound:
                    self.assert_heard(run, f"{name} {arguments!r}")
        for folder in watched:
            changes = tree_state.differences(before[folder], tree_state.picture(folder))
            self.assertFalse(changes, f"{folder} changed after the runs:\n" + "\n".join(changes))

    def assert_heard(self, run, case):
        """Proof that the run went through decoding and playback, not just past them."""
        self.assertGreater(compare.count_nonzero_frames(run.capture), 0,
                           f"{case}: nothing reached the sink: {run.describe()}")


def noise_file(folder, name, file_format):
    frames = signals.noise_frames(int(SECONDS * pulse.RATE), seed=len(name))
    path = os.path.join(folder, name)
    signals.write_sound(path, frames, pulse.RATE, file_format, "PCM_16")
    return path


def play_maker(name, file_format):
    return lambda folder: ([noise_file(folder, name, file_format)], True)


@dataclass
class TracedCase:
    name: str
    make: object  # folder -> (arguments, whether it must sound)


TRACED_CASES = [
    TracedCase("16-bit WAV played", play_maker("noise.wav", "WAV")),
    TracedCase("FLAC played", play_maker("noise.flac", "FLAC")),
    TracedCase("MP3 played (counted by decoding)",
               lambda folder: ([sound_file(folder, "sound.mp3", "MP3", "MPEG_LAYER_III")], True)),
    TracedCase("float WAV played",
               lambda folder: ([sound_file(folder, "float.wav", "WAV", "FLOAT")], True)),
    TracedCase("text file refused", lambda folder: ([write_text(folder)], False)),
    TracedCase("missing path", lambda folder: ([os.path.join(folder, "missing.wav")], False)),
    TracedCase("directory", lambda folder: ([folder], False)),
    TracedCase("no parameter", lambda folder: ([], False)),
]


def sound_file(folder, name, file_format, subtype):
    path = os.path.join(folder, name)
    write_sound(path, file_format, subtype)
    return path


def write_text(folder):
    path = os.path.join(folder, "notes.wav")
    text(path)
    return path


class StraceTest(RunChecks):
    """Under strace, a run opens nothing for writing and creates, removes, renames, links,
    truncates or re-modes nothing (the connect to the sound server's socket is not a change)."""

    @classmethod
    def setUpClass(cls):
        suite.require_plain_build("strace")

    def test_no_call_changes_the_file_system(self):
        for case in TRACED_CASES:
            with self.subTest(case.name):
                folder = suite.folder(case.name)
                arguments, must_sound = case.make(folder)
                log_path = os.path.join(suite.SCRATCH, f"strace-{os.path.basename(folder)}.log")
                options = harness.RunOptions(wrapper=syscalls.strace_command(log_path))
                run = suite.player().run(arguments, watched=[folder], expected_s=SECONDS,
                                         options=options)
                label = f"{case.name} {arguments!r}"
                self.assert_quiet_and_clean(run, label)
                calls = syscalls.read_calls(log_path)
                self.assertGreater(len(calls), 0, f"{label}: strace logged no call at all")
                changes = syscalls.file_system_changes(calls)
                self.assertFalse(changes, f"{label}: calls that change files:\n" +
                                 "\n".join(changes[:10]))
                twice = syscalls.closes_of_closed_descriptors(calls)
                self.assertFalse(twice, f"{label}: descriptors closed twice:\n" +
                                 "\n".join(twice[:10]))
                if must_sound:
                    self.assertGreater(compare.count_nonzero_frames(run.capture), 0,
                                       f"{label}: nothing reached the sink: {run.describe()}")


# (name, strace -f -y lines, whether they hold a change to the file system)
LOG_CASES = [
    ("read-only open", ['100 openat(AT_FDCWD</w>, "a.wav", O_RDONLY) = 3</w/a.wav>'], False),
    ("open for writing, failed", ['100 openat(AT_FDCWD</w>, "a.wav", O_WRONLY|O_CREAT, 0644)'
                                  ' = -1 EACCES (Permission denied)'], True),
    ("open for reading and writing", ['100 openat(AT_FDCWD</w>, "a.wav", O_RDWR) = 3</w/a.wav>'],
     True),
    ("split open with a bracket in the folder name",
     ['100 openat(AT_FDCWD</w/(x>, "b(.wav", O_RDONLY|O_TRUNC <unfinished ...>',
      '101 write(4<pipe:[7]>, "W", 1) = 1',
      '100 <... openat resumed>) = 3</w/(x/b(.wav>'], True),
    ("write into a pipe and a socket", ['100 write(4<pipe:[7]>, "W", 1) = 1',
                                        '100 sendto(6<socket:[8]>, "x", 1, MSG_NOSIGNAL, NULL, 0)'
                                        ' = 1'], False),
    ("write into a file under a bracketed folder",
     ['100 write(5</w/a (1)/x.wav>, "RIFF", 4) = 4'], True),
    ("write into a removed file", ['100 write(5</w/x.wav>(deleted), "R", 1) = 1'], True),
    ("memfd shared with the server",
     ['100 ftruncate(5</memfd:pulseaudio>(deleted), 67108864) = 0',
      '100 mmap(NULL, 67108864, PROT_READ|PROT_WRITE, MAP_SHARED|MAP_NORESERVE, '
      '5</memfd:pulseaudio>(deleted), 0) = 0x7f00'], False),
    ("file mapped shared and writable",
     ['100 mmap(NULL, 4096, PROT_READ|PROT_WRITE, MAP_SHARED, 5</w/a.wav>, 0) = 0x7f00'], True),
    ("connect to the server's socket",
     ['100 connect(6<socket:[8]>, {sa_family=AF_UNIX, sun_path="/r/native"}, 110) = 0'], False),
    ("bind to a path", ['100 bind(6<socket:[8]>, {sa_family=AF_UNIX, sun_path="/w/s"}, 110) = 0'],
     True),
    ("unlink, even of a missing name", ['100 unlink("/w/x") = -1 ENOENT (No such file)'], True),
    ("times set", ['100 utimensat(AT_FDCWD</w>, "a.wav", NULL, 0) = 0'], True),
    ("another program started", ['100 execve("/p/playonce", ["playonce"], 0x7ff /* 3 vars */) = 0',
                                 '101 execve("/usr/bin/pulseaudio", ["pulseaudio"], 0x7ff) = 0'],
     True),
]


class StraceLogReadingTest(unittest.TestCase):
    """The log reading the strace tests rely on: a call it misses would pass unseen."""

    def test_changes_are_told_from_reads_and_channels(self):
        for name, lines, changes in LOG_CASES:
            with self.subTest(name):
                found = syscalls.file_system_changes(read_log(lines))
                self.assertEqual(bool(found), changes, f"{name}: {lines} gave {found}")

    def test_a_replaced_own_pipe_is_told_from_a_swapped_inherited_one(self):
        own = ['100 pipe2([2<pipe:[9]>, 3<pipe:[9]>], O_CLOEXEC) = 0',
               '100 dup2(5</dev/null>, 2<pipe:[9]>) = 2</dev/null>']
        inherited = ['100 dup2(5</dev/null>, 2<pipe:[4]>) = 2</dev/null>',
                     '100 dup2(6<pipe:[4]>, 2</dev/null>) = 2<pipe:[4]>']
        for name, lines, clobbered in [("own pipe", own, True), ("inherited", inherited, False)]:
            with self.subTest(name):
                found = syscalls.clobbered_channels(read_log(lines))
                self.assertEqual(bool(found), clobbered, f"{name}: {lines} gave {found}")


    def test_a_second_close_is_told_from_a_first(self):
        cases = [("closed once", ['100 close(5</w/a.wav>) = 0'], False),
                 ("closed again", ['100 close(5</w/a.wav>) = 0',
                                   '100 close(5) = -1 EBADF (Bad file descriptor)'], True)]
        for name, lines, twice in cases:
            with self.subTest(name):
                found = syscalls.closes_of_closed_descriptors(read_log(lines))
                self.assertEqual(bool(found), twice, f"{name}: {lines} gave {found}")


def read_log(lines):
    with tempfile.NamedTemporaryFile("w", suffix=".log", delete=False) as log:
        log.write("\n".join(lines) + "\n")
    try:
        return syscalls.read_calls(log.name)
    finally:
        os.unlink(log.name)


if __name__ == "__main__":
    suite.main(__doc__.splitlines()[0])
