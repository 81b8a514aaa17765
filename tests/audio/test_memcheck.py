#!/usr/bin/python3
# Whole runs of plain-build playonce under valgrind's memcheck: no error, no definite leak.
"""Usage: /usr/bin/python3 tests/audio/test_memcheck.py --playonce PATH [unittest options]

PATH must be a build without sanitizers (valgrind and AddressSanitizer exclude each other).
Each run plays into the private null sink, so the playback thread and the server's callbacks
run too. memcheck.supp holds the suppressions: third-party leaks only.
"""

import os
import sys
from dataclasses import dataclass

sys.dont_write_bytecode = True  # nothing left in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import compare  # noqa: E402
import harness  # noqa: E402
import pulse  # noqa: E402
import signals  # noqa: E402
import suite  # noqa: E402
from test_real_audio import RunChecks  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
SECONDS = 0.3
MEMCHECK_FAILED = 97  # valgrind's exit code on an error or a definite leak: not one of ours


def setUpModule():
    suite.require_plain_build("valgrind")
    suite.start()


def tearDownModule():
    suite.stop()


def memcheck_wrapper(log_path):
    return ["valgrind", "--tool=memcheck", "--leak-check=full", "--errors-for-leak-kinds=definite",
            f"--error-exitcode={MEMCHECK_FAILED}", "--track-fds=no", "--num-callers=30",
            f"--suppressions={os.path.join(HERE, 'memcheck.supp')}", f"--log-file={log_path}"]


def sound(name, file_format, subtype, rate=pulse.RATE):
    def make(folder):
        path = os.path.join(folder, name)
        frames = signals.chirp_channels(SECONDS, rate, 2)
        signals.write_sound(path, frames, rate, file_format, subtype)
        return [path]
    return make


def damaged_ogg(folder):
    """An Ogg Vorbis file cut inside its headers: libsndfile's own leak (see memcheck.supp)."""
    path = sound("cut.ogg", "OGG", "VORBIS")(folder)[0]
    with open(path, "r+b") as cut:
        cut.truncate(200)
    return [path]


def text_file(folder):
    path = os.path.join(folder, "notes.wav")
    with open(path, "wb") as out:
        out.write(b"not a sound\n" * 30)
    return [path]


@dataclass
class MemcheckCase:
    name: str
    make: object  # folder -> arguments
    must_sound: bool


CASES = [
    MemcheckCase("16-bit WAV played", sound("pcm16.wav", "WAV", "PCM_16"), True),
    MemcheckCase("float WAV played", sound("float.wav", "WAV", "FLOAT"), True),
    MemcheckCase("FLAC played", sound("sound.flac", "FLAC", "PCM_24", 48000), True),
    MemcheckCase("MP3 played", sound("sound.mp3", "MP3", "MPEG_LAYER_III"), True),
    MemcheckCase("Opus played", sound("sound.opus", "OGG", "OPUS", 48000), True),
    MemcheckCase("Ogg cut inside its headers", damaged_ogg, False),
    MemcheckCase("text file", text_file, False),
    MemcheckCase("missing path", lambda folder: [os.path.join(folder, "missing.wav")], False),
    MemcheckCase("no parameter", lambda folder: [], False),
]


class MemcheckTest(RunChecks):
    def test_runs_have_no_memory_error_and_no_definite_leak(self):
        for case in CASES:
            with self.subTest(case.name):
                folder = suite.folder(case.name)
                arguments = case.make(folder)
                log_path = os.path.join(suite.SCRATCH, f"memcheck-{os.path.basename(folder)}.log")
                options = harness.RunOptions(wrapper=memcheck_wrapper(log_path))
                run = suite.player().run(arguments, watched=[folder], expected_s=SECONDS,
                                         options=options)
                label = f"{case.name} {arguments!r}"
                report = read_report(log_path)
                self.assertNotEqual(run.returncode, MEMCHECK_FAILED,
                                    f"{label}: memcheck found errors:\n{report}")
                self.assert_quiet_and_clean(run, label)
                self.assertIn("ERROR SUMMARY: 0 errors", report,
                              f"{label}: memcheck did not finish cleanly:\n{report}")
                if case.must_sound:
                    self.assertGreater(compare.count_nonzero_frames(run.capture), 0,
                                       f"{label}: nothing reached the sink: {run.describe()}")


def read_report(log_path):
    try:
        with open(log_path, errors="replace") as log:
            return log.read()
    except OSError:
        return "(valgrind wrote no log)"


if __name__ == "__main__":
    suite.main(__doc__.splitlines()[0])
