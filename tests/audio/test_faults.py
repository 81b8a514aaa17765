#!/usr/bin/python3
# Faults around a run of playonce: the server dies or freezes, the file changes, no stderr.
"""Usage: /usr/bin/python3 tests/audio/test_faults.py --playonce PATH [--wine ...]
                                                     [unittest options]

Every run is bounded. Each run must still end with 0, print nothing and leave nothing behind;
it must end about the file's length after its start (the faults that leave the length as it
was measured at the start), or no later than that (a file cut short); a sound system that dies
or stops answering costs the run no more than 2.5 s over a healthy run. What reaches
the sink is checked where it is defined: a file that went away or was replaced by a rename is
played whole, since the player holds it open; a file cut short is heard as its own beginning
and nothing else. The traced runs need the build without sanitizers and skip a sanitizer build.
With --wine, the Windows build meets the same faults of its sound server through Wine's, and
a stand-in winmm.dll that stops answering in each of its calls stands in for a hung audio
service or driver (HungDeviceTest).
"""

import dataclasses
import os
import re
import signal
import socket
import subprocess
import sys
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
from test_real_audio import RunChecks, SOON_AFTER_S, WAIT_SLACK_S  # noqa: E402
from wine_player import windows_path  # noqa: E402

SECONDS = 1.0
FAULT_AT_S = 0.4  # into the run: well after the sound has started, well before its end
CUT_TO_BYTES = 300
# What a sound system that dies or stops answering may add to a run, over a healthy run's wall
# time. The library gives it 1.5 s of silence (libbass/core/patience.h), counted by its own
# looks, so that a player starved of the processor is never taken for a hung system; the rest
# is room for the looks and the process's scheduling on a busy machine.
OVER_HEALTHY_S = 2.5
HANG_TIMEOUT_S = 15  # a run that has not ended by then never will


def setUpModule():
    suite.start()


def tearDownModule():
    suite.stop()


def write_noise(path, file_format, seed):
    """16-bit 44.1 kHz stereo noise: WAV and FLAC of it arrive at the sink bit for bit."""
    frames = signals.noise_frames(int(SECONDS * pulse.RATE), seed=seed)
    signals.write_sound(path, frames, pulse.RATE, file_format, "PCM_16")
    return frames


def write_chirp(path, file_format, subtype):
    signals.write_sound(path, signals.chirp_channels(SECONDS, pulse.RATE, 2), pulse.RATE,
                        file_format, subtype)
    return None  # lossy: no exact frames to look for


SOUNDS = {
    "WAV": lambda path: write_noise(path, "WAV", 61),
    "FLAC": lambda path: write_noise(path, "FLAC", 62),
    "MP3": lambda path: write_chirp(path, "MP3", "MPEG_LAYER_III"),
    "Ogg Vorbis": lambda path: write_chirp(path, "OGG", "VORBIS"),
}
SUFFIXES = {"WAV": ".wav", "FLAC": ".flac", "MP3": ".mp3", "Ogg Vorbis": ".ogg"}


@dataclass
class Setting:
    """What a fault works on: the file, and the server that is recorded (the player's, unless
    the fault points it elsewhere)."""
    path: str
    folder: str
    server: pulse.PrivateServer
    cleanups: list  # called after the run, also when it failed


def after_the_start(action):
    """A `during` action: waits FAULT_AT_S after the start, then acts; it returns at once if
    the player has already ended."""
    def during(process):
        try:
            process.wait(timeout=FAULT_AT_S)
        except subprocess.TimeoutExpired:  # still running: the usual case
            action()
    return during


def thaw_when_done(server):
    """Resumes a stopped server once the player has ended, so that the recorder can finish."""
    def after(process):
        process.wait()
        server.signal_server(signal.SIGCONT)
    return after


def in_sequence(*actions):
    def during(process):
        for action in actions:
            action(process)
    return during


def kill_server(setting):
    server = setting.server
    return harness.RunOptions(during=after_the_start(lambda: server.signal_server(signal.SIGKILL)))


def freeze_server(setting):
    server = setting.server
    return harness.RunOptions(during=in_sequence(
        after_the_start(lambda: server.signal_server(signal.SIGSTOP)), thaw_when_done(server)))


def freeze_server_from_start(setting):
    """The player is sent to a server that accepts connections but never answers; the recorded
    one must stay silent."""
    frozen = pulse.PrivateServer(sink_name="playonce_frozen")
    frozen.start()
    setting.cleanups.append(lambda: resume_and_stop(frozen))
    os.kill(frozen.process.pid, signal.SIGSTOP)
    return harness.RunOptions(server_address=frozen.server_address)


def kill_server_before(setting):
    """The player is sent to a server that died before the run, its socket left behind; the
    recorded one must stay silent."""
    dead = pulse.PrivateServer(sink_name="playonce_dead")
    dead.start()
    setting.cleanups.append(dead.stop)
    dead.signal_server(signal.SIGKILL)
    dead.process.wait()
    return harness.RunOptions(server_address=dead.server_address)


def no_server(setting):
    return harness.RunOptions(server_address=f"unix:{os.path.join(setting.folder, 'no-socket')}")


def refusing_socket(setting):
    """A socket file that nobody listens on, as a crashed server leaves it: connect is refused."""
    path = os.path.join(setting.folder, "stale-socket")
    stale = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    stale.bind(path)
    stale.close()
    return harness.RunOptions(server_address=f"unix:{path}")


def unusable_runtime_folder(setting):
    """No server address given, and the runtime folder where libpulse would look for one is a
    plain file: there is no server to find, and ALSA is tried."""
    blocked = os.path.join(setting.folder, "runtime-is-a-file")
    with open(blocked, "w") as file:
        file.write("not a folder")
    return harness.RunOptions(unset=("PULSE_SERVER",),
                              environment={"XDG_RUNTIME_DIR": blocked,
                                           "PULSE_RUNTIME_PATH": blocked})


def without_libpulse_runtime_complaint(stderr):
    """libpulse itself reports a runtime folder it cannot make, in every client that looks for a
    server there (paplay prints the same line): that line, and only it, is not the player's."""
    complaint = re.compile(rb"^Failed to create secure directory \(.*\): File exists$")
    return b"".join(line for line in stderr.splitlines(keepends=True)
                    if not complaint.match(line.rstrip(b"\n")))


def without_wine_exit_fault(returncode):
    """Wine 8's own PulseAudio thread faults while the process exits if its server is frozen:
    a ten-line program that plays a buffer through winmm and calls ExitProcess(0) dies of
    SIGSEGV there too (seen here), while the same program ends with 0 on a server that answers.
    The process has then ended, on time, as the program asked; on Windows its exit code stands.
    That status, under Wine only, is taken for the 0 the program passed."""
    if suite.PROGRAM.system == "wine" and returncode == -signal.SIGSEGV:
        return 0
    return returncode


def alsa_device_that_does_not_open(setting):
    """ALSA's default PCM names a device that is not there, as a busy or absent card refuses."""
    suite.require_stack("alsa", "the ALSA route is what is refused")
    home = harness.make_home(setting.folder)
    with open(os.path.join(home, ".asoundrc"), "w") as settings:
        settings.write("pcm.!default { type hw card 7 }\nctl.!default { type hw card 7 }\n")
    return harness.RunOptions(home=home)


def cut_file(setting):
    return harness.RunOptions(during=after_the_start(
        lambda: os.truncate(setting.path, CUT_TO_BYTES)))


def overwrite_with_garbage(setting):
    """The same file (same inode) overwritten with random bytes of its own length."""
    def overwrite():
        size = os.path.getsize(setting.path)
        with open(setting.path, "r+b") as target:
            target.write(np.random.default_rng(7).bytes(size))
    return harness.RunOptions(during=after_the_start(overwrite))


def rename_garbage_over(setting):
    def replace():
        other = setting.path + ".new"
        with open(other, "wb") as garbage:
            garbage.write(np.random.default_rng(8).bytes(os.path.getsize(setting.path)))
        os.replace(other, setting.path)
    return harness.RunOptions(during=after_the_start(replace))


def remove_file(setting):
    return harness.RunOptions(during=after_the_start(lambda: os.unlink(setting.path)))


def closed(*descriptors):
    return lambda setting: harness.RunOptions(closed_fds=descriptors)


# What is checked of the sound: nothing more than the common checks, the file whole and exact,
# the file's own beginning and nothing else, or silence at the recorded server.
ANY, WHOLE, OWN_BEGINNING, SILENT = "any", "whole", "own beginning", "silent"
# When the run must end: about the file's length after the start, or no later than that.
AT_LENGTH, BY_LENGTH = "at length", "by length"


@dataclass
class FaultCase:
    name: str
    sound: str  # a key of SOUNDS
    fault: object  # Setting -> RunOptions
    heard: str = ANY
    ends: str = AT_LENGTH
    own_server: bool = False  # the fault harms the server: it gets one of its own
    alsa_fails: bool = False  # the fault is ALSA's device itself
    libpulse_complains: bool = False  # libpulse prints its own line on stderr (as for paplay)
    server_fault: bool = False  # the sound system fails: bounded by a healthy run's wall time
    linux_only: str = None  # why the Windows build under Wine cannot meet the case
    wine_exits_faulting: bool = False  # Wine itself dies of SIGSEGV as the process exits

    def heard_on(self, stack):
        """SILENT says that no server answered; on the ALSA route the sound then goes through
        ALSA, unless ALSA is what fails."""
        if self.heard == SILENT and stack == "alsa" and not self.alsa_fails:
            return ANY
        return self.heard


CASES = [
    FaultCase("server killed mid-play", "WAV", kill_server, own_server=True, server_fault=True),
    FaultCase("server killed mid-play, MP3", "MP3", kill_server, own_server=True,
              server_fault=True),
    FaultCase("server frozen mid-play", "WAV", freeze_server, own_server=True, server_fault=True,
              wine_exits_faulting=True),
    FaultCase("server frozen from the start", "WAV", freeze_server_from_start, SILENT,
              server_fault=True),
    FaultCase("server killed before the run", "WAV", kill_server_before, SILENT,
              server_fault=True),
    FaultCase("no server at the address", "WAV", no_server, SILENT, server_fault=True),
    FaultCase("stale socket, connection refused", "WAV", refusing_socket, SILENT,
              server_fault=True),
    FaultCase("runtime folder unusable", "WAV", unusable_runtime_folder, SILENT,
              libpulse_complains=True,
              linux_only="Wine's driver finds its server by the prefix's session, not the "
                         "runtime folder"),
    FaultCase("ALSA device that does not open", "WAV", alsa_device_that_does_not_open, SILENT,
              alsa_fails=True),
    FaultCase("WAV cut short while it plays", "WAV", cut_file, OWN_BEGINNING, BY_LENGTH),
    FaultCase("FLAC cut short while it plays", "FLAC", cut_file, OWN_BEGINNING, BY_LENGTH),
    FaultCase("MP3 cut short while it plays", "MP3", cut_file, ANY, BY_LENGTH),
    FaultCase("Ogg Vorbis cut short while it plays", "Ogg Vorbis", cut_file, ANY, BY_LENGTH),
    FaultCase("WAV overwritten with garbage in place", "WAV", overwrite_with_garbage,
              ANY, BY_LENGTH),
    FaultCase("FLAC overwritten with garbage in place", "FLAC", overwrite_with_garbage,
              OWN_BEGINNING, BY_LENGTH),
    FaultCase("MP3 overwritten with garbage in place", "MP3", overwrite_with_garbage,
              ANY, BY_LENGTH),
    FaultCase("Ogg Vorbis overwritten with garbage in place", "Ogg Vorbis",
              overwrite_with_garbage, ANY, BY_LENGTH),
    FaultCase("garbage renamed over the file", "WAV", rename_garbage_over, WHOLE),
    FaultCase("file removed while it plays", "FLAC", remove_file, WHOLE),
    FaultCase("stdout and stderr closed", "WAV", closed(1, 2), WHOLE),
    FaultCase("stderr closed", "WAV", closed(2), WHOLE),
    FaultCase("stdin, stdout and stderr closed", "FLAC", closed(0, 1, 2), WHOLE),
]


class FaultTest(RunChecks):
    @classmethod
    def setUpClass(cls):
        """A healthy run of the same length, on the suite's server: the wall time the faults of
        the sound system are held to."""
        folder = suite.folder("healthy run")
        path = os.path.join(folder, "sound.wav")
        SOUNDS["WAV"](path)
        run = suite.player().run([path], expected_s=SECONDS)
        if run.returncode != 0 or run.timed_out:
            raise AssertionError(f"a healthy run failed: {run.describe()}")
        cls.healthy_wall_s = run.wall_s

    def test_runs_end_well_whatever_happens_around_them(self):
        for case in CASES:
            with self.subTest(case.name):
                if case.linux_only:
                    suite.require_linux(case.linux_only)
                self.check_case(case)

    def check_case(self, case):
        folder = suite.folder(case.name)
        path = os.path.join(folder, "sound" + SUFFIXES[case.sound])
        frames = SOUNDS[case.sound](path)
        server = suite.new_server(sink_name="playonce_fault") if case.own_server \
            else suite.SERVER
        cleanups = [lambda: resume_and_stop(server)] if case.own_server else []
        try:
            if case.own_server:
                server.start()
            options = case.fault(Setting(path, folder, server, cleanups))
            run = suite.player(server).run([path], watched=[folder], expected_s=SECONDS,
                                           options=options)
        finally:
            for cleanup in cleanups:
                cleanup()
        label = f"{case.name} ({path}, {suite.STACK})"
        if case.server_fault:
            print(f"\n  {label}: {run.wall_s:.3f} s, a healthy run {self.healthy_wall_s:.3f} s",
                  file=sys.stderr)
        if case.libpulse_complains:
            run.stderr = without_libpulse_runtime_complaint(run.stderr)
        if case.wine_exits_faulting:
            run.returncode = without_wine_exit_fault(run.returncode)
        self.assert_quiet_and_clean(run, label)
        self.assert_ended(run, case, label)
        self.assert_heard(run, dataclasses.replace(case, heard=case.heard_on(suite.STACK)),
                          frames, label)

    def assert_ended(self, run, case, label):
        lingers_s = SOON_AFTER_S + suite.PROGRAM.start_allowance_s
        if case.server_fault:
            lingers_s += OVER_HEALTHY_S
        self.assertLessEqual(run.wall_s, SECONDS + lingers_s,
                             f"{label}: lingered after the file's {SECONDS} s: {run.describe()}")
        if case.server_fault:
            self.assertLessEqual(run.wall_s, self.healthy_wall_s + OVER_HEALTHY_S,
                                 f"{label}: {run.wall_s:.3f} s against a healthy run's "
                                 f"{self.healthy_wall_s:.3f} s: {run.describe()}")
        if case.ends == AT_LENGTH:
            self.assertGreaterEqual(run.wall_s, SECONDS - WAIT_SLACK_S,
                                    f"{label}: ended before the file's {SECONDS} s: "
                                    f"{run.describe()}")

    def assert_heard(self, run, case, frames, label):
        if case.heard == WHOLE:
            self.assert_bit_exact(run, frames, label)
        elif case.heard == OWN_BEGINNING:
            self.assert_own_beginning(run, frames, label)
        elif case.heard == SILENT:
            self.assert_silent(run, label)

    def assert_own_beginning(self, run, frames, label):
        """Some of the file's start, exactly, and no other sound before or after it."""
        match = compare.find_exact(run.capture, frames)
        self.assertGreater(match.matched, 0, f"{label}: the file's start never reached the sink "
                                             f"({compare.count_nonzero_frames(run.capture)} "
                                             f"nonzero frames): {run.describe()}")
        before = compare.count_nonzero_frames(run.capture[:match.offset])
        after = compare.count_nonzero_frames(run.capture[match.offset + match.matched:])
        self.assertEqual((before, after), (0, 0),
                         f"{label}: after {match.matched} frames of the file, sound that is not "
                         f"its own: {before} nonzero frames before, {after} after")


@dataclass
class HangCase:
    name: str
    hang: str  # PLAYONCE_DEVICE_HANG for the stand-in winmm.dll
    heard: str  # WHOLE: every frame reached the device; ANY: what did is not held to more


HANG_CASES = [
    HangCase("counting the devices never answers", "waveOutGetNumDevs", ANY),
    HangCase("opening the device never answers", "waveOutOpen", ANY),
    HangCase("preparing a block never answers", "waveOutPrepareHeader:3", ANY),
    HangCase("the fourth block's write never returns", "waveOutWrite:4", ANY),
    HangCase("blocks stop being played after the third", "stall:3", ANY),
    HangCase("resetting the played-out device never answers", "waveOutReset", WHOLE),
    HangCase("closing the played-out device never answers", "waveOutClose", WHOLE),
]


class HungDeviceTest(RunChecks):
    """The Windows build over a stand-in winmm.dll that stops answering in one of its calls, as
    a hung audio service or driver does: the run still ends within 2.5 s of a healthy run, with
    0, printing nothing. A thread of the library stuck in the call must neither keep
    the process alive nor make its exit wait. What reached the device before the hang is the
    file's own beginning; a device that played the file whole got it whole."""

    @classmethod
    def setUpClass(cls):
        if suite.PROGRAM.system != "wine":
            raise unittest.SkipTest("the stand-in winmm.dll is the Windows build's")
        if suite.DEVICE_RECORDING is None:
            raise AssertionError("--device-recording is needed with --wine")
        cls.folder = suite.folder("hung device")
        cls.path = os.path.join(cls.folder, "sound.wav")
        cls.frames = SOUNDS["WAV"](cls.path)
        cls.healthy_wall_s = max(cls.device_run(None)[1] for _ in range(2))

    @classmethod
    def device_run(cls, hang):
        record = os.path.join(cls.folder, "device.raw")
        for old in (record, record + ".format"):
            if os.path.exists(old):
                os.unlink(old)
        environment = {"PLAYONCE_DEVICE_RECORD": windows_path(record)}
        if hang is not None:
            environment["PLAYONCE_DEVICE_HANG"] = hang
        result, wall_s = suite.PROGRAM.run_on_device(suite.DEVICE_RECORDING, cls.path,
                                                     environment, timeout_s=HANG_TIMEOUT_S)
        played = np.fromfile(record, dtype="<i2").reshape(-1, 2) if os.path.exists(record) \
            else np.zeros((0, 2), dtype=np.int16)
        return result, wall_s, played

    def test_runs_end_on_time_whatever_call_hangs(self):
        for case in HANG_CASES:
            with self.subTest(case.name):
                result, wall_s, played = self.device_run(case.hang)
                label = f"{case.name} (PLAYONCE_DEVICE_HANG={case.hang})"
                described = (f"exit={result.returncode} wall={wall_s:.3f}s "
                             f"stdout={result.stdout[:200]!r} stderr={result.stderr[:400]!r}")
                print(f"\n  {label}: {wall_s:.3f} s, a healthy run {self.healthy_wall_s:.3f} s",
                      file=sys.stderr)
                self.assertEqual(result.returncode, 0, f"{label}: {described}")
                self.assertEqual((result.stdout, result.stderr), (b"", b""),
                                 f"{label}: printed: {described}")
                self.assertLessEqual(wall_s, self.healthy_wall_s + OVER_HEALTHY_S,
                                     f"{label}: against a healthy run's "
                                     f"{self.healthy_wall_s:.3f} s: {described}")
                self.assertGreaterEqual(wall_s, SECONDS - WAIT_SLACK_S,
                                        f"{label}: ended before the file's length: {described}")
                self.assert_device_got(played, case, label)

    def assert_device_got(self, played, case, label):
        whole = len(self.frames)
        self.assertTrue(np.array_equal(played[:min(len(played), whole)],
                                       self.frames[:len(played)]),
                        f"{label}: the device got other than the file's own beginning")
        if case.heard == WHOLE:
            self.assertGreaterEqual(len(played), whole,
                                    f"{label}: the device got {len(played)} of {whole} frames")


def resume_and_stop(server):
    if server.process is not None and server.process.poll() is None:
        server.signal_server(signal.SIGCONT)
    server.stop()


@dataclass
class ClosedCase:
    name: str
    sound: str
    descriptors: tuple


CLOSED_CASES = [
    ClosedCase("stdout and stderr closed", "WAV", (1, 2)),
    ClosedCase("stderr closed", "WAV", (2,)),
    ClosedCase("stderr closed, MP3 (decoded while playing)", "MP3", (2,)),
    ClosedCase("stdout closed", "WAV", (1,)),
    ClosedCase("stdin, stdout and stderr closed", "WAV", (0, 1, 2)),
]


class ClosedOutputTraceTest(RunChecks):
    """With descriptors closed at start, the next ones the process opens take their numbers:
    nothing may then treat those as stdout or stderr (swap, write or close them)."""

    @classmethod
    def setUpClass(cls):
        suite.require_plain_build("strace")

    def test_own_pipes_and_sockets_are_never_replaced_or_written_as_output(self):
        for case in CLOSED_CASES:
            with self.subTest(case.name):
                folder = suite.folder(case.name)
                path = os.path.join(folder, "sound" + SUFFIXES[case.sound])
                SOUNDS[case.sound](path)
                log_path = os.path.join(suite.SCRATCH, f"strace-{os.path.basename(folder)}.log")
                options = harness.RunOptions(closed_fds=case.descriptors,
                                             wrapper=syscalls.strace_command(log_path))
                run = suite.player().run([path], watched=[folder], expected_s=SECONDS,
                                         options=options)
                label = f"{case.name} ({path})"
                self.assert_quiet_and_clean(run, label)
                calls = syscalls.read_calls(log_path)
                self.assertGreater(len(calls), 0, f"{label}: strace logged no call at all")
                clobbered = syscalls.clobbered_channels(calls)
                self.assertFalse(clobbered, f"{label}: the process's own pipe or socket "
                                            f"replaced ({len(clobbered)} times):\n" +
                                            "\n".join(clobbered[:5]))
                changes = syscalls.file_system_changes(calls)
                self.assertFalse(changes, f"{label}: writes into files:\n" +
                                 "\n".join(changes[:10]))


if __name__ == "__main__":
    suite.main(__doc__.splitlines()[0])
