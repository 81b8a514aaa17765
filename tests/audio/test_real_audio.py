#!/usr/bin/python3
# The real-audio suite: runs playonce on a private PulseAudio null sink and checks what reached it.
"""Usage: /usr/bin/python3 tests/audio/test_real_audio.py --playonce PATH [--wine] [unittest options]

PATH is the player under test (build/host/playonce, a sanitizer build, or paplay while the
harness itself is worked on); with --wine it is a Windows build's playonce.exe, with our
BASS.dll beside it, run under wine64 in a prefix made for the suite. Every signal is made at
run time in a temporary folder. Each run of the player is bounded, and the private server (and
the prefix) are stopped at the end, also on failure.
"""

import os
import shutil
import subprocess
import sys
import threading
import time
import unittest
from dataclasses import dataclass

import numpy as np

sys.dont_write_bytecode = True  # nothing left in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import compare  # noqa: E402
import harness  # noqa: E402
import pulse  # noqa: E402
import signals  # noqa: E402
import starve  # noqa: E402
import suite  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
WAIT_SLACK_S = 0.005  # the wait is the length rounded to a millisecond
SOON_AFTER_S = 2.0  # a generous bound against a player that lingers, not a timing goal
EDGE_S = 0.010  # around a resampled file, the resampler's ringing may be heard
# A starved run's whole sound comes late (a 1 s file's run took about 6 s here): how late is the
# benchmark's to report (bench_playback.py --busy); this only bounds a run that hangs.
STARVED_ALLOWANCE_S = 90.0


def setUpModule():
    suite.start()


def tearDownModule():
    suite.stop()


LOSSLESS_CONTAINERS = {".flac": "FLAC", ".aiff": "AIFF"}


def noise_wav(folder, name, seconds, seed):
    """16-bit 44.1 kHz stereo noise in a WAVE file, or a FLAC or AIFF one when `name` ends so."""
    frames = signals.noise_frames(int(round(seconds * pulse.RATE)), seed=seed)
    path = os.path.join(folder, name)
    container = LOSSLESS_CONTAINERS.get(os.path.splitext(name)[1])
    if container is not None:
        signals.write_sound(path, frames, pulse.RATE, container, "PCM_16")
    else:
        signals.write_pcm16_wav(path, frames)
    return path, frames


def lossy_noise(folder, name, seconds, options):
    """44.1 kHz stereo noise encoded by FFmpeg with `options`, and its frames as the Linux build
    decodes them: what the player must deliver, to the sample."""
    path = os.path.join(folder, name)
    encode(path, seconds, options)
    return path, linux_decoding(path)


def linux_decoding(path):
    """The frames of `path` as the Linux build's library decodes them (decode_dump)."""
    if suite.LINUX_DECODER is None:
        raise unittest.SkipTest("no --linux-decoder: the Linux build's samples are unknown")
    raw = path + ".linux.raw"
    result = subprocess.run([suite.LINUX_DECODER, path, raw], capture_output=True, text=True,
                            timeout=60)
    if result.returncode != 0:
        raise AssertionError(f"the Linux build does not decode {path}: {result.stderr}")
    fields = dict(item.split("=") for item in result.stdout.split())
    frames = np.fromfile(raw, dtype="<i2").reshape(-1, int(fields["channels"]))
    os.unlink(raw)
    return frames


def allowance_s():
    """What starting the player may add to a run (Wine's start, for the Windows build; all a
    starved player's lateness)."""
    return suite.PROGRAM.start_allowance_s + (STARVED_ALLOWANCE_S if suite.STARVED_LOOPS else 0)


def play_maybe_starved(path, folder, seconds):
    """One run of the player, starved with --starved: the busy loops run from before its start
    to its end, it at nice 19."""
    if not suite.STARVED_LOOPS:
        return suite.player().run([path], watched=[folder], expected_s=seconds)
    with starve.BusyLoops(suite.STARVED_LOOPS):
        return suite.player().run([path], watched=[folder],
                                  expected_s=seconds + STARVED_ALLOWANCE_S,
                                  options=harness.RunOptions(wrapper=starve.PLAYER_NICE))


def first_wrong(run, source, match):
    """The first frame that differs, as heard and as in the file, and where the rest went: a gap
    (the rest came late), a cut (it never came) or corruption tell different faults apart."""
    heard_at = match.offset + match.matched
    heard = run.capture[heard_at].tolist() if heard_at < len(run.capture) else "the capture's end"
    rest = compare.find_exact(run.capture[heard_at:], source[match.matched:])
    if rest.offset < 0:
        went = "the rest never arrived"
    else:
        went = (f"{rest.matched} of the {len(source) - match.matched} frames left arrived "
                f"{rest.offset} frames late")
    return f"heard {heard} instead of {source[match.matched].tolist()}; {went}"


class RunChecks(unittest.TestCase):
    """Checks shared by every case: what a run of the player must never do."""

    def play_checked(self, attempt, case):
        """Runs `attempt` (a play and its checks). Under Wine alone, one whose checks fail is
        played once more and the first failure reported: Wine's sound driver feeds the server
        from a timer of its own only a few ms ahead, and on a busy machine it may run dry for
        a moment, the sink then playing a gap (twice in some 250 Wine plays here; once, too, a
        healthy run's process faulted as Wine tore it down, and once Wine 10's died of SIGSEGV
        0.4 s into a 0.2 s file, then passed 4 of 4 alone). What our
        library hands winmm is checked sample for sample apart, with no second try, by
        SameSamplesAsLinuxTest."""
        try:
            attempt()
        except AssertionError as first:
            if suite.PROGRAM.system != "wine":
                raise
            print(f"\n  {case}: played again, Wine's sound path having failed once: {first}",
                  file=sys.stderr)
            attempt()

    def assert_quiet_and_clean(self, run, case):
        self.assertFalse(run.timed_out, f"{case}: did not end: {run.describe()}")
        self.assertEqual(run.returncode, 0, f"{case}: {run.describe()}")
        self.assertEqual(run.stdout, b"", f"{case}: printed on stdout: {run.describe()}")
        self.assertEqual(run.stderr, b"", f"{case}: printed on stderr: {run.describe()}")
        self.assertEqual(run.new_files, [], f"{case}: left files: {run.describe()}")

    def assert_waited(self, run, seconds, case):
        self.assertGreaterEqual(run.wall_s, seconds - WAIT_SLACK_S,
                                f"{case}: ended before the file's {seconds:.3f} s: {run.describe()}")
        self.assertLessEqual(run.wall_s, seconds + SOON_AFTER_S + allowance_s(),
                             f"{case}: lingered after the file's {seconds:.3f} s: {run.describe()}")

    def assert_ended_at_once(self, run, case):
        self.assertLessEqual(run.wall_s, SOON_AFTER_S + allowance_s(),
                             f"{case}: a run that plays nothing waited: {run.describe()}")

    def assert_silent(self, run, case):
        loud = compare.count_nonzero_frames(run.capture)
        self.assertEqual(loud, 0, f"{case}: {loud} nonzero frames of {len(run.capture)} reached "
                                  f"the sink: {run.describe()}")

    def assert_bit_exact(self, run, source, case):
        """Every frame of the file, in order, once, and nothing else at the sink."""
        match = compare.find_exact(run.capture, source)
        self.assertGreaterEqual(match.offset, 0,
                                f"{case}: the file's first frame {source[0].tolist()} never "
                                f"reached the sink ({len(run.capture)} frames captured, "
                                f"{compare.count_nonzero_frames(run.capture)} nonzero): "
                                f"{run.describe()}")
        if match.matched != len(source):
            self.fail(f"{case}: only {match.matched} of {len(source)} frames arrived exactly "
                      f"(from capture frame {match.offset}); {first_wrong(run, source, match)}: "
                      f"{run.describe()}")
        before = compare.count_nonzero_frames(run.capture[:match.offset])
        after = compare.count_nonzero_frames(run.capture[match.offset + len(source):])
        self.assertEqual((before, after), (0, 0),
                         f"{case}: nonzero frames before/after the file: {before}/{after}")


def lossless(file_name, seconds, seed):
    return lambda folder: noise_wav(folder, file_name, seconds, seed)


def lossy(file_name, seconds, options):
    return lambda folder: lossy_noise(folder, file_name, seconds, options)


class ExactPlaybackTest(RunChecks):
    """16-bit 44.1 kHz stereo at unity gain into a norewinds sink arrives bit for bit: from a
    WAVE file and lossless FLAC and AIFF ones, the samples written; from lossy ones, the samples
    the Linux build decodes, on every system."""

    # What runs with --starved: a short file, one queued ahead whole, one refilled all along, and
    # one decoded while it plays.
    STARVED = {"50 ms WAV", "1 s WAV", "10 s WAV", "1 s MP3, LAME tag"}
    CASES = [("50 ms WAV", 0.05, lossless("noise.wav", 0.05, 11)),
             ("1 s WAV", 1.0, lossless("noise.wav", 1.0, 12)),
             ("10 s WAV", 10.0, lossless("noise.wav", 10.0, 13)),
             ("1 s FLAC", 1.0, lossless("noise.flac", 1.0, 14)),
             ("1 s AIFF", 1.0, lossless("noise.aiff", 1.0, 15)),
             ("1 s Ogg Vorbis", 1.0, lossy("noise.ogg", 1.0, ["-c:a", "libvorbis", "-q:a", "5"])),
             ("1 s MP3, LAME tag", 1.0, lossy("noise.mp3", 1.0, ["-c:a", "libmp3lame"]))]

    def test_pcm16_stereo_arrives_whole_and_exact(self):
        for name, seconds, make in self.CASES:
            if suite.STARVED_LOOPS and name not in self.STARVED:
                continue
            with self.subTest(name):
                folder = suite.folder(name)
                path, frames = make(folder)
                seconds = len(frames) / pulse.RATE
                case = f"{name} {path}"

                def play():
                    run = play_maybe_starved(path, folder, seconds)
                    self.assert_quiet_and_clean(run, case)
                    self.assert_bit_exact(run, frames, case)
                    self.assert_waited(run, seconds, case)
                self.play_checked(play, case)

    # Stalled a second after the first block reached the server: a file that fits in the first
    # request, and one that does not.
    STALLED = {"1 s WAV", "10 s WAV"}
    STALL_MS = 1000

    def test_heard_whole_when_stalled_after_the_first_block(self):
        """The sender of a starved player's sound, made to sleep once by a shim right after the
        first block went: the server must not start on that block and run dry."""
        suite.require_linux("the stall shim is an LD_PRELOAD library")
        if suite.STARVED_LOOPS:
            self.skipTest("a stall of its own: the starved runs need no second one")
        options = harness.RunOptions(preload=built_shim("stall_after_block"),
                                     environment={"PLAYONCE_STALL_MS": str(self.STALL_MS)})
        for name, seconds, make in self.CASES:
            if name not in self.STALLED:
                continue
            with self.subTest(name):
                folder = suite.folder(f"stalled {name}")
                path, frames = make(folder)
                case = f"{name} {path}, stalled {self.STALL_MS} ms"
                run = suite.player().run([path], watched=[folder],
                                         expected_s=len(frames) / pulse.RATE + self.STALL_MS / 1000,
                                         options=options)
                self.assert_quiet_and_clean(run, case)
                self.assert_bit_exact(run, frames, case)


@dataclass
class SoundFormat:
    name: str
    file_format: str  # libsndfile's container and coding; or FFmpeg's options (ffmpeg=)
    subtype: str
    rate: int
    channels: int
    suffix: str
    seconds: float = 1.0
    ffmpeg: list = None  # FFmpeg's encoder options, for what libsndfile does not write
    # Who decodes it: the library's own decoders ("shared", on every system), or only the
    # system's, where it has them ("media-foundation": the Windows build with it).
    decoded_by: str = "shared"


class ConvertedPlaybackTest(RunChecks):
    """Other formats, rates and channel counts: compared with what libsndfile (or FFmpeg)
    decodes, once the server has resampled and remixed it to the sink's 44.1 kHz stereo. What
    only a system's own decoder takes plays where it does, and elsewhere ends at once."""

    CASES = [
        SoundFormat("FLAC 16-bit 44.1 kHz stereo", "FLAC", "PCM_16", 44100, 2, ".flac"),
        SoundFormat("FLAC 24-bit 48 kHz stereo", "FLAC", "PCM_24", 48000, 2, ".flac"),
        SoundFormat("Ogg Vorbis 44.1 kHz stereo", "OGG", "VORBIS", 44100, 2, ".ogg"),
        SoundFormat("Ogg Vorbis 22.05 kHz mono", "OGG", "VORBIS", 22050, 1, ".ogg"),
        SoundFormat("Ogg Opus 48 kHz stereo", "OGG", "OPUS", 48000, 2, ".opus"),
        SoundFormat("Ogg Opus 48 kHz mono", "OGG", "OPUS", 48000, 1, ".opus"),
        SoundFormat("MP3 44.1 kHz stereo", "MP3", "MPEG_LAYER_III", 44100, 2, ".mp3"),
        SoundFormat("MP3 22.05 kHz mono, MPEG-2", "MP3", "MPEG_LAYER_III", 22050, 1, ".mp3"),
        SoundFormat("MP2 48 kHz stereo", None, None, 48000, 2, ".mp2",
                    ffmpeg=["-c:a", "mp2", "-b:a", "192k"]),
        SoundFormat("AIFF 16-bit 44.1 kHz stereo", "AIFF", "PCM_16", 44100, 2, ".aiff"),
        SoundFormat("AIFF-C float 48 kHz stereo", "AIFF", "FLOAT", 48000, 2, ".aifc"),
        SoundFormat("AAC in MP4 44.1 kHz stereo", None, None, 44100, 2, ".m4a",
                    ffmpeg=["-c:a", "aac", "-b:a", "160k"], decoded_by="media-foundation"),
        SoundFormat("WMA 44.1 kHz stereo", None, None, 44100, 2, ".wma",
                    ffmpeg=["-c:a", "wmav2", "-b:a", "160k"], decoded_by="media-foundation"),
        SoundFormat("WAV 16-bit 44.1 kHz mono", "WAV", "PCM_16", 44100, 1, ".wav"),
        SoundFormat("WAV 16-bit 48 kHz stereo", "WAV", "PCM_16", 48000, 2, ".wav"),
        SoundFormat("WAV 16-bit 22.05 kHz stereo", "WAV", "PCM_16", 22050, 2, ".wav"),
        SoundFormat("WAV 8-bit 22.05 kHz mono", "WAV", "PCM_U8", 22050, 1, ".wav"),
        SoundFormat("WAV 24-bit 44.1 kHz stereo", "WAV", "PCM_24", 44100, 2, ".wav"),
        SoundFormat("WAV float 44.1 kHz stereo", "WAV", "FLOAT", 44100, 2, ".wav"),
        SoundFormat("WAV double 48 kHz mono", "WAV", "DOUBLE", 48000, 1, ".wav"),
    ]
    MIN_CORRELATION = 0.9
    LEVEL_RANGE = (0.9, 1.1)  # unity gain, give or take the codec and the resampler
    DURATION_TOLERANCE_S = 0.010
    SYSTEM_DURATION_TOLERANCE_S = 0.060
    MAX_PEAK_OUTSIDE = 0.01

    def test_formats_match_the_decoded_source(self):
        for sound in self.CASES:
            with self.subTest(sound.name):
                self.check_format(sound)

    def check_format(self, sound):
        folder = suite.folder(sound.name)
        path = os.path.join(folder, "chirp" + sound.suffix)
        chirp = signals.chirp_channels(sound.seconds, sound.rate, sound.channels)
        if sound.ffmpeg is not None:
            decoded, rate = signals.encode_with_ffmpeg(path, chirp, sound.rate, sound.ffmpeg)
        else:
            signals.write_sound(path, chirp, sound.rate, sound.file_format, sound.subtype)
            decoded, rate = signals.decode(path)
        case = f"{sound.name} {path}"
        if sound.decoded_by != "shared" and not suite.system_decodes(sound.decoded_by):
            run = suite.player().run([path], watched=[folder])
            self.assert_quiet_and_clean(run, case)
            self.assert_silent(run, case)
            self.assert_ended_at_once(run, case)
            return
        reference = compare.reference_at_sink(decoded, rate, pulse.RATE, pulse.CHANNELS)

        def play():
            run = suite.player().run([path], watched=[folder], expected_s=len(decoded) / rate)
            self.assert_quiet_and_clean(run, case)
            likeness = compare.compare_by_correlation(run.capture, reference,
                                                      int(EDGE_S * pulse.RATE))
            self.assert_like_reference(likeness, case, sound.decoded_by == "shared")
            self.assert_waited(run, len(decoded) / rate, case)
        self.play_checked(play, case)

    def assert_like_reference(self, likeness, case, ours):
        """`ours`: the library's own decoders, which hold the span to the file's; a system's
        decoder may keep an encoder's delay that FFmpeg trims (Media Foundation under Wine keeps
        WMA's 2,048 frames), so there the span is held to a codec frame or so, and sound just
        outside it is that delay."""
        self.assertTrue(all(c >= self.MIN_CORRELATION for c in likeness.channel_correlations),
                        f"{case}: correlation per channel {likeness}")
        low, high = self.LEVEL_RANGE
        self.assertTrue(low <= likeness.level_ratio <= high, f"{case}: level {likeness}")
        tolerance_s = self.DURATION_TOLERANCE_S if ours else self.SYSTEM_DURATION_TOLERANCE_S
        self.assertLessEqual(abs(likeness.heard_frames - likeness.reference_heard_frames),
                             tolerance_s * pulse.RATE, f"{case}: heard span {likeness}")
        if ours:
            self.assertLess(likeness.peak_outside, self.MAX_PEAK_OUTSIDE,
                            f"{case}: sound away from the file {likeness}")


class ArgumentTest(RunChecks):
    """Paths that must reach the library as they were given."""

    @staticmethod
    def path_with_spaces(folder):
        os.mkdir(os.path.join(folder, "my sounds"))
        return ["my sounds/a b.wav"], "my sounds/a b.wav", None

    @staticmethod
    def path_with_quote(folder):
        suite.require_linux("a Windows file name cannot hold a double quote")
        return ['say"hi.wav'], 'say"hi.wav', None

    @staticmethod
    def second_argument(folder):
        other, _ = noise_wav(folder, "other.wav", 0.2, 99)
        return ["first.wav", other], "first.wav", None

    @staticmethod
    def utf8_name(folder):
        # Windows too: the manifest makes UTF-8 the process's ANSI code page, which spells it.
        return ["ñandú ♪.wav"], "ñandú ♪.wav", None

    @staticmethod
    def code_page_name(folder):
        # On Windows the name reaches the decoder through the process's ANSI code page (UTF-8,
        # by the manifest), which the library must open the file in, not in another.
        return ["café ñandú.flac"], "café ñandú.flac", None

    @staticmethod
    def relative_path(folder):
        os.mkdir(os.path.join(folder, "sub"))
        return ["sub/x.wav"], "sub/x.wav", folder

    @staticmethod
    def symlink(folder):
        os.symlink("target.wav", os.path.join(folder, "link.wav"))
        return ["link.wav"], "target.wav", None

    # name, maker(folder) -> (arguments relative to folder unless cwd is given, file to write, cwd)
    CASES = [
        ("path with spaces", path_with_spaces),
        ("path holding a double quote and no space", path_with_quote),
        ("second argument ignored", second_argument),
        ("UTF-8 name with a space", utf8_name),
        ("name in the ANSI code page, decoded by the system", code_page_name),
        ("relative path from the working folder", relative_path),
        ("symbolic link to a file", symlink),
    ]

    def test_arguments_that_play_the_file(self):
        for index, (name, maker) in enumerate(self.CASES):
            with self.subTest(name):
                folder = suite.folder(name)
                arguments, file_name, cwd = unwrap(maker)(folder)
                _, frames = noise_wav(folder, file_name, 0.2, 40 + index)
                if cwd is None:
                    arguments = [os.path.join(folder, arguments[0])] + arguments[1:]
                case = f"{name} {arguments!r}"

                def play():
                    run = suite.player().run(arguments, watched=[folder], expected_s=0.2,
                                             options=harness.RunOptions(cwd=cwd))
                    self.assert_quiet_and_clean(run, case)
                    self.assert_bit_exact(run, frames, case)
                self.play_checked(play, case)


@dataclass
class SilentCase:
    name: str
    make: object  # folder -> (arguments, RunOptions or None); may skip
    after: object = None  # (test, folder, run) -> None: extra checks


def write_bytes(path, data):
    with open(path, "wb") as out:
        out.write(data)
    return path


def valid_wav_bytes(folder):
    path, _ = noise_wav(folder, "whole.wav", 0.1, 5)
    with open(path, "rb") as wav:
        data = wav.read()
    os.unlink(path)
    return data


class SilentCaseTest(RunChecks):
    """Paths that must play nothing, end, print nothing and write nothing."""

    @staticmethod
    def make_missing(folder):
        return [os.path.join(folder, "missing.wav")], None

    @staticmethod
    def make_directory(folder):
        os.mkdir(os.path.join(folder, "a folder.wav"))
        return [os.path.join(folder, "a folder.wav")], None

    @staticmethod
    def make_empty_file(folder):
        return [write_bytes(os.path.join(folder, "empty.wav"), b"")], None

    @staticmethod
    def make_one_byte(folder):
        return [write_bytes(os.path.join(folder, "one.wav"), b"R")], None

    @staticmethod
    def make_text(folder):
        text = b"This is a note, not a sound.\n" * 40
        return [write_bytes(os.path.join(folder, "notes.wav"), text)], None

    @staticmethod
    def make_truncated_header(folder):
        header = valid_wav_bytes(folder)[:30]  # inside the fmt chunk
        return [write_bytes(os.path.join(folder, "cut.wav"), header)], None

    @staticmethod
    def make_no_frames(folder):
        path = os.path.join(folder, "nothing.wav")
        signals.write_pcm16_wav(path, signals.noise_frames(1)[:0])
        return [path], None

    @staticmethod
    def make_fifo(folder):
        suite.require_linux("the FIFO watch sees Linux opens")
        path = os.path.join(folder, "pipe.wav")
        os.mkfifo(path)
        FIFO_WATCHERS[folder] = FifoReaderWatch(path)
        return [path], None

    @staticmethod
    def check_fifo_never_opened(test, folder, run):
        opened = FIFO_WATCHERS.pop(folder).stop()
        test.assertFalse(opened, f"the player opened the FIFO for reading: {run.describe()}")

    @staticmethod
    def make_unreadable(folder):
        suite.require_linux("the prefix is root's: no other user can run the Windows build")
        path = write_bytes(os.path.join(folder, "locked.wav"), valid_wav_bytes(folder))
        os.chmod(path, 0)
        if os.geteuid() != 0:
            if os.access(path, os.R_OK):
                raise unittest.SkipTest(f"{path} is readable despite mode 000")
            return [path], None
        user = unprivileged_user_that_can_play(folder)
        return [path], harness.RunOptions(as_user=user)

    @staticmethod
    def make_removed_before_open(folder):
        suite.require_linux("the stat shim is an LD_PRELOAD library")
        path = write_bytes(os.path.join(folder, "fleeting.wav"), valid_wav_bytes(folder))
        shim = race_shim()
        options = harness.RunOptions(preload=shim,
                                     environment={"PLAYONCE_REMOVE_AFTER_STAT": path})
        return [path], options

    @staticmethod
    def check_removed(test, folder, run):
        test.assertFalse(os.path.exists(os.path.join(folder, "fleeting.wav")),
                         "the shim never saw a stat of the path, so nothing was raced")

    CASES = [
        SilentCase("no parameter", lambda folder: ([], None)),
        SilentCase("empty parameter", lambda folder: ([""], None)),
        SilentCase("missing path", make_missing),
        SilentCase("directory", make_directory),
        SilentCase("0-byte file", make_empty_file),
        SilentCase("1-byte file", make_one_byte),
        SilentCase("text file", make_text),
        SilentCase("file cut inside its header", make_truncated_header),
        SilentCase("WAV holding no frames", make_no_frames),
        SilentCase("FIFO", make_fifo, check_fifo_never_opened),
        SilentCase("unreadable file (mode 000)", make_unreadable),
        SilentCase("file removed between the probe and the open", make_removed_before_open,
                   check_removed),
    ]

    def test_paths_that_play_nothing(self):
        for case in self.CASES:
            with self.subTest(case.name):
                folder = suite.folder(case.name)
                arguments, options = unwrap(case.make)(folder)
                run = suite.player().run(arguments, watched=[folder], options=options)
                label = f"{case.name} {arguments!r}"
                self.assert_quiet_and_clean(run, label)
                self.assert_silent(run, label)
                self.assert_ended_at_once(run, label)
                if case.after is not None:
                    unwrap(case.after)(self, folder, run)


FIFO_WATCHERS = {}


class FifoReaderWatch:
    """Tries, every millisecond, to open a FIFO for writing without blocking: that succeeds only
    while some process has it open for reading, so success means the player opened it."""

    def __init__(self, path):
        self.path = path
        self.opened = False
        self.stopping = threading.Event()
        self.thread = threading.Thread(target=self._watch, daemon=True)
        self.thread.start()

    def _watch(self):
        while not self.stopping.is_set():
            try:
                os.close(os.open(self.path, os.O_WRONLY | os.O_NONBLOCK))
                self.opened = True
            except OSError:
                pass
            time.sleep(0.001)

    def stop(self):
        self.stopping.set()
        self.thread.join()
        return self.opened


def unwrap(function):
    return getattr(function, "__func__", function)


def unprivileged_user_that_can_play(folder):
    """The user for the mode-000 case, once a readable file is shown to play as that user:
    otherwise silence would prove nothing."""
    user = harness.UNPRIVILEGED_USER
    if shutil.which("setpriv") is None:
        raise unittest.SkipTest("running as root and setpriv is missing: mode 000 stays readable")
    probe = os.path.join(folder, "locked.wav")
    if run_as(user, ["test", "-r", probe]) == 0:
        raise unittest.SkipTest(f"{user} can still read a mode-000 file")
    if run_as(user, ["test", "-x", suite.PLAYER_PATH]) != 0:
        raise unittest.SkipTest(f"{user} cannot run {suite.PLAYER_PATH}")
    control, frames = noise_wav(folder, "control.wav", 0.1, 7)
    run = suite.player().run([control], expected_s=0.1, options=harness.RunOptions(as_user=user))
    os.unlink(control)
    if compare.find_exact(run.capture, frames).matched != len(frames):
        raise AssertionError(f"a readable file did not play as {user}: {run.describe()}")
    return user


def run_as(user, command):
    return subprocess.run(harness.as_user_prefix(user) + command, stdin=subprocess.DEVNULL,
                          capture_output=True, timeout=10).returncode


def race_shim():
    return built_shim("remove_after_stat")


def built_shim(name):
    """Builds the LD_PRELOAD shim `name`.c once into the scratch folder."""
    shim = os.path.join(suite.SCRATCH, f"{name}.so")
    if os.path.exists(shim):
        return shim
    compiler = shutil.which("cc") or shutil.which("gcc") or shutil.which("clang")
    if compiler is None:
        raise unittest.SkipTest(f"no C compiler to build the shim {name}")
    source = os.path.join(HERE, f"{name}.c")
    subprocess.run([compiler, "-shared", "-fPIC", "-O2", "-o", shim, source, "-ldl"],
                   check=True, timeout=60)
    return shim


class NoServerTest(RunChecks):
    """With no server to reach, a file is still waited for, in silence."""

    def test_play_run_waits_the_length_without_a_server(self):
        folder = suite.folder("no server")
        path, _ = noise_wav(folder, "noise.wav", 1.0, 21)
        absent = os.path.join(folder, "no-such-socket")
        # No server is not yet no device: ALSA is tried next (Wine's drivers go for the Windows
        # build), in a home that routes it nowhere.
        options = harness.RunOptions(server_address=f"unix:{absent}",
                                     environment=suite.PROGRAM.without_output_device(),
                                     home=harness.make_home(folder))
        run = suite.player().run([path], watched=[folder], expected_s=1.0, options=options)
        case = f"no server at {absent}, {path}"
        self.assert_quiet_and_clean(run, case)
        self.assert_waited(run, 1.0, case)
        self.assert_silent(run, case)  # it must not have found our server some other way


# An MP3 without a tag plays the encoder's delay and padding: up to a frame and the decoder's
# delay at the start, and less than a frame and that delay again at the end.
MP3_FRAME = 1152
UNTAGGED_MP3_EDGES = 2 * MP3_FRAME + 2 * 529


def encode(path, seconds, options):
    """Stereo noise at the sink's rate, encoded by FFmpeg with `options`."""
    if shutil.which("ffmpeg") is None:
        raise unittest.SkipTest("ffmpeg makes the lossy files")
    subprocess.run(["ffmpeg", "-loglevel", "error", "-nostdin", "-y", "-f", "lavfi", "-i",
                    f"anoisesrc=d={seconds}:r={pulse.RATE}:a=0.5:seed=17", "-ac", "2",
                    *options, path], check=True, timeout=60)


def encode_mp3(path, seconds, options):
    encode(path, seconds, ["-b:a", "192k", *options])


def library_frames(path):
    """The length the library reports for the file, in frames, through bass_driver on the
    no-sound device."""
    result = subprocess.run([suite.LIBRARY_DRIVER, "-d", "0", "-s", "0", path],
                            capture_output=True, text=True, timeout=30, check=True)
    fields = dict(item.split("=") for item in result.stdout.split())
    return int(fields["length"]) // pulse.BYTES_PER_FRAME


def heard_span(capture):
    loud = np.nonzero(np.any(capture != 0, axis=1))[0]
    return int(loud[-1] - loud[0] + 1) if len(loud) else 0


class Mp3LengthTest(RunChecks):
    """The samples of an MP3 that reach the sink are the samples the library counted from the
    file's structure, to the last: with a LAME tag exactly (its delay and padding neither played
    nor counted), without one within the encoder's edges, which are played and counted."""

    CASES = [("tagged", [], 0), ("untagged", ["-write_xing", "0"], UNTAGGED_MP3_EDGES)]

    def test_played_samples_are_the_counted_ones(self):
        suite.require_linux("the library's count is read through bass_driver")
        if suite.LIBRARY_DRIVER is None:
            self.skipTest("no --library-driver")
        for name, options, edges in self.CASES:
            with self.subTest(name):
                folder = suite.folder(f"{name} mp3")
                path = os.path.join(folder, "noise.mp3")
                encode_mp3(path, 1.5, options)
                counted = library_frames(path)
                run = suite.player().run([path], watched=[folder],
                                         expected_s=counted / pulse.RATE)
                case = f"{name} MP3, {counted} frames counted"
                self.assert_quiet_and_clean(run, case)
                self.assert_waited(run, counted / pulse.RATE, case)
                heard = heard_span(run.capture)
                print(f"\n  {case}: {heard} from the first sound to the last", file=sys.stderr)
                self.assertTrue(0 <= counted - heard <= edges,
                                f"{case}: {heard} frames heard from the first sound to the last")

@dataclass
class NativeFile:
    name: str
    make: object  # path -> None: writes the file


def libsndfile_file(file_format, subtype, rate, channels, seconds=1.0):
    def make(path):
        signals.write_sound(path, signals.chirp_channels(seconds, rate, channels), rate,
                            file_format, subtype)
    return make


def ffmpeg_file(options, rate=pulse.RATE, channels=2, seconds=1.0):
    def make(path):
        signals.encode_with_ffmpeg(path, signals.chirp_channels(seconds, rate, channels), rate,
                                   options)
    return make


def system_sound(name):
    """A sound of Debian's freedesktop theme: an Ogg Vorbis file no one here wrote."""
    def make(path):
        source = os.path.join("/usr/share/sounds/freedesktop/stereo", name)
        if not os.path.isfile(source):
            raise unittest.SkipTest(f"no {source}: sound-theme-freedesktop is not installed")
        shutil.copyfile(source, path)
    return make


class SameSamplesAsLinuxTest(RunChecks):
    """What the Windows build hands its output device, for every format its own decoders take, is
    what the Linux build's library decodes from the same file, sample for sample: recorded by a
    stand-in winmm.dll, so no resampling or mixing lies between."""

    CASES = [
        NativeFile("WAV 16-bit 44.1 kHz stereo.wav", libsndfile_file("WAV", "PCM_16", 44100, 2)),
        NativeFile("WAV 24-bit 96 kHz mono.wav", libsndfile_file("WAV", "PCM_24", 96000, 1)),
        NativeFile("WAV float 48 kHz stereo.wav", libsndfile_file("WAV", "FLOAT", 48000, 2)),
        NativeFile("AIFF 16-bit 44.1 kHz stereo.aiff", libsndfile_file("AIFF", "PCM_16", 44100, 2)),
        NativeFile("AIFF 8-bit 22.05 kHz mono.aiff", libsndfile_file("AIFF", "PCM_S8", 22050, 1)),
        NativeFile("AIFF-C float 44.1 kHz stereo.aifc", libsndfile_file("AIFF", "FLOAT", 44100, 2)),
        NativeFile("FLAC 16-bit 44.1 kHz stereo.flac", libsndfile_file("FLAC", "PCM_16", 44100, 2)),
        NativeFile("FLAC 24-bit 48 kHz 6 channels.flac",
                   libsndfile_file("FLAC", "PCM_24", 48000, 6)),
        NativeFile("Ogg Vorbis 44.1 kHz stereo.ogg", ffmpeg_file(["-c:a", "libvorbis"])),
        NativeFile("Ogg Vorbis 22.05 kHz mono.ogg",
                   libsndfile_file("OGG", "VORBIS", 22050, 1)),
        NativeFile("Ogg Vorbis of Debian's sound theme.oga", system_sound("complete.oga")),
        NativeFile("Opus 48 kHz stereo.opus", ffmpeg_file(["-c:a", "libopus"], rate=48000)),
        NativeFile("Opus 48 kHz mono.opus", libsndfile_file("OGG", "OPUS", 48000, 1)),
        NativeFile("MP3 44.1 kHz stereo, LAME tag.mp3", ffmpeg_file(["-c:a", "libmp3lame"])),
        NativeFile("MP3 44.1 kHz stereo, no tag.mp3",
                   ffmpeg_file(["-c:a", "libmp3lame", "-write_xing", "0"])),
        NativeFile("MP3 22.05 kHz mono, MPEG-2.mp3",
                   ffmpeg_file(["-c:a", "libmp3lame"], rate=22050, channels=1)),
        NativeFile("MP2 48 kHz stereo.mp2", ffmpeg_file(["-c:a", "mp2"], rate=48000)),
    ]

    def setUp(self):
        if suite.PROGRAM.system != "wine":
            self.skipTest("the Windows build's case: the Linux build is the reference")
        if suite.DEVICE_RECORDING is None or suite.LINUX_DECODER is None:
            self.fail("--device-recording and --linux-decoder are needed with --wine")

    def test_device_gets_the_linux_samples(self):
        for case in self.CASES:
            with self.subTest(case.name):
                folder = suite.folder(case.name)
                path = os.path.join(folder, case.name)
                case.make(path)
                expected = linux_decoding(path)
                rate, channels, got = suite.PROGRAM.record_device(suite.DEVICE_RECORDING, path)
                self.assertEqual(channels, expected.shape[1], f"{case.name}: channels")
                heard = got.reshape(-1, channels)
                self.assert_same_samples(heard, expected, case.name)

    def assert_same_samples(self, heard, expected, case):
        """The file's frames first, then nothing but the silence that ends a playback."""
        self.assertGreaterEqual(len(heard), len(expected),
                                f"{case}: {len(heard)} frames reached the device, "
                                f"{len(expected)} decoded on Linux")
        differing = np.nonzero(np.any(heard[:len(expected)] != expected, axis=1))[0]
        if len(differing):
            first = int(differing[0])
            worst = int(np.max(np.abs(heard[:len(expected)].astype(np.int32) - expected)))
            self.fail(f"{case}: {len(differing)} of {len(expected)} frames differ, the first at "
                      f"{first}: {heard[first].tolist()} instead of {expected[first].tolist()} "
                      f"(largest difference {worst})")
        loud = compare.count_nonzero_frames(heard[len(expected):])
        self.assertEqual(loud, 0, f"{case}: {loud} nonzero frames after the file's end")


if __name__ == "__main__":
    suite.main(__doc__.splitlines()[0])
