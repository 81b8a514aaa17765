# A private PulseAudio server with one null sink, and a recorder of what reaches that sink.
"""Shared by the real-audio suite, the benchmark and the demonstration.

The server is its own: its runtime, state and home folders live under a temporary folder, it
loads no configuration (`-n`), and clients reach it only through `PULSE_SERVER=unix:…`. The
null sink is loaded with `norewinds=1`, without which the start of every stream reaches the
monitor mangled; with it, 16-bit 44.1 kHz stereo played at unity gain arrives bit-exact.
"""

import atexit
import ctypes
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

import numpy as np

SINK_NAME = "playonce_probe"
RATE = 44100
CHANNELS = 2
BYTES_PER_FRAME = 2 * CHANNELS
START_TIMEOUT_S = 10.0
STOP_TIMEOUT_S = 5.0
CLIENT_TIMEOUT_S = 10.0
PR_SET_PDEATHSIG = 1


def _die_with_parent():
    """Run in the child before exec: if the test process is killed outright (a CTest time-out),
    the server and recorder go too instead of staying behind for later CI runs."""
    libc = ctypes.CDLL(None, use_errno=True)
    libc.prctl(PR_SET_PDEATHSIG, signal.SIGTERM)


def _exit_on_sigterm():
    """A SIGTERM to the test process ends it through its clean-up handlers."""
    if threading.current_thread() is threading.main_thread() and \
            signal.getsignal(signal.SIGTERM) is signal.SIG_DFL:
        signal.signal(signal.SIGTERM, lambda number, frame: sys.exit(128 + number))


def _environment_without_sound_settings():
    """Our environment less anything that could lead a client to the system's own server."""
    return {key: value for key, value in os.environ.items()
            if not key.startswith(("PULSE_", "XDG_"))}


def _terminate(process, timeout_s=STOP_TIMEOUT_S, first_signal=signal.SIGTERM):
    """Ends a child we started: a polite signal first, SIGKILL if it does not go."""
    if process is None or process.poll() is not None:
        return
    process.send_signal(first_signal)
    try:
        process.wait(timeout=timeout_s)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait(timeout=timeout_s)


class PrivateServer:
    """A pulseaudio daemon of our own, started and stopped by this object (also a context manager)."""

    stack = "pulseaudio"
    recording_latency_ms = 5  # what parec asks for
    recording_tail_s = 0.4  # recorded after a player ends: the monitor delivers a few ms late
    prefix = "playonce-pulse-"

    def __init__(self, sink_name=SINK_NAME, resample_method=None):
        self.sink_name = sink_name
        self.resample_method = resample_method  # None: the server's own default
        self.root = None
        self.socket_path = None
        self.process = None
        self.log_path = None

    # --- lifetime -------------------------------------------------------------------------
    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        self.stop()

    def start(self):
        self.root = tempfile.mkdtemp(prefix=self.prefix)
        # Other users (the unprivileged case of the suite) must reach the socket.
        os.chmod(self.root, 0o755)
        folders = {name: os.path.join(self.root, name) for name in ("runtime", "state", "home")}
        for folder in folders.values():
            os.mkdir(folder, 0o755)
        self.socket_path = self._socket_path(folders)
        self.log_path = os.path.join(self.root, "server.log")
        environment = self._server_environment(folders)
        command = self._server_command()
        with open(self.log_path, "wb") as log:
            self.process = subprocess.Popen(
                command, env=environment, stdin=subprocess.DEVNULL, stdout=log,
                stderr=subprocess.STDOUT, start_new_session=True, preexec_fn=_die_with_parent)
        atexit.register(self.stop)
        _exit_on_sigterm()
        try:
            self._wait_until_ready()
            self._make_sink()
            self.pactl("set-default-sink", self.sink_name)
        except Exception:
            self.stop()
            raise

    def stop(self):
        if self.process is not None:
            _terminate(self.process)
            self.process = None
        self._remove_root()

    def _remove_root(self):
        if self.root is not None:
            shutil.rmtree(self.root, ignore_errors=True)
            self.root = None

    def _socket_path(self, folders):
        return os.path.join(self.root, "native")

    def _make_sink(self):
        """The null sink is loaded with the server (see _server_command)."""

    def _server_command(self):
        return [
            "pulseaudio", "-n", "--daemonize=no", "--system=no", "--exit-idle-time=-1",
            "--disallow-exit", "--use-pid-file=no", "--disable-shm=yes",
            "--log-target=stderr", "--log-level=warning",
            "-L", f"module-null-sink sink_name={self.sink_name} norewinds=1 "
                  f"rate={RATE} channels={CHANNELS} format=s16le",
            "-L", f"module-native-protocol-unix socket={self.socket_path} auth-anonymous=1",
        ] + ([f"--resample-method={self.resample_method}"] if self.resample_method else [])

    @staticmethod
    def _server_environment(folders):
        environment = _environment_without_sound_settings()
        environment.update(PULSE_RUNTIME_PATH=folders["runtime"],
                           PULSE_STATE_PATH=folders["state"], HOME=folders["home"])
        return environment

    def _wait_until_ready(self):
        deadline = time.monotonic() + START_TIMEOUT_S
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise RuntimeError(f"pulseaudio ended at start: {self.log()}")
            if os.path.exists(self.socket_path) and self._answers():
                return
            time.sleep(0.05)
        raise RuntimeError(f"pulseaudio did not answer in {START_TIMEOUT_S} s: {self.log()}")

    def _answers(self):
        result = subprocess.run(["pactl", "info"], env=self.client_environment(),
                                stdin=subprocess.DEVNULL, capture_output=True,
                                timeout=CLIENT_TIMEOUT_S)
        return result.returncode == 0

    def log(self):
        try:
            with open(self.log_path, errors="replace") as log:
                return log.read()
        except OSError:
            return ""

    # --- clients ----------------------------------------------------------------------------
    @property
    def server_address(self):
        return f"unix:{self.socket_path}"

    def client_environment(self, home=None):
        """The environment of a client of this server alone: nothing of the caller's sound setup."""
        environment = _environment_without_sound_settings()
        environment["PULSE_SERVER"] = self.server_address
        if home is not None:
            environment["HOME"] = home
        return environment

    # --- faults, for the fault suite --------------------------------------------------------
    def signal_server(self, number):
        """Sends a signal to the server itself (the whole session, where there is one)."""
        os.kill(self.process.pid, number)

    def player_environment(self, home=None):
        """What a player under test is started with: a client of this server."""
        return self.client_environment(home)

    def prepare_home(self, home):
        """Readies a fresh home for a player; this server needs nothing there."""

    def pactl(self, *arguments):
        result = subprocess.run(["pactl", *arguments], env=self.client_environment(),
                                stdin=subprocess.DEVNULL, capture_output=True, text=True,
                                timeout=CLIENT_TIMEOUT_S)
        if result.returncode != 0:
            raise RuntimeError(f"pactl {' '.join(arguments)}: {result.stderr.strip()}")
        return result.stdout

    def recorder(self, path):
        return Recorder(self, path)


class Recorder:
    """parec on the sink's monitor, writing raw s16le stereo into a file (a pipe would stall it).

    While it runs, a watcher thread notes (monotonic time, bytes written) every few ms; the
    benchmark uses these to relate capture positions to the clock (see `frame_time`).
    """

    WATCH_INTERVAL_S = 0.002

    def __init__(self, server, path):
        self.server = server
        self.path = path
        self.process = None
        self.growth = []
        self._watching = False
        self._watcher = None

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        self.stop()

    def start(self):
        command = ["parec", "-d", f"{self.server.sink_name}.monitor", "--raw",
                   "--format=s16le", f"--rate={RATE}", f"--channels={CHANNELS}",
                   f"--latency-msec={self.server.recording_latency_ms}", self.path]
        self.process = subprocess.Popen(command, env=self.server.client_environment(),
                                        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.PIPE, start_new_session=True,
                                        preexec_fn=_die_with_parent)
        self._watching = True
        self._watcher = threading.Thread(target=self._watch_growth, daemon=True)
        self._watcher.start()
        self._wait_for_first_data()

    def _wait_for_first_data(self):
        deadline = time.monotonic() + START_TIMEOUT_S
        while self.bytes_written() == 0:
            if self.process.poll() is not None or time.monotonic() > deadline:
                self.stop()
                raise RuntimeError("parec recorded nothing")
            time.sleep(0.005)

    def _watch_growth(self):
        last = -1
        while self._watching:
            now = time.monotonic()
            size = self.bytes_written()
            if size != last:
                self.growth.append((now, size))
                last = size
            time.sleep(self.WATCH_INTERVAL_S)

    def bytes_written(self):
        try:
            return os.path.getsize(self.path)
        except OSError:
            return 0

    def wait_for_frames(self, frames, timeout_s):
        """Waits until the capture holds at least `frames` frames (or the time runs out)."""
        deadline = time.monotonic() + timeout_s
        while self.bytes_written() < frames * BYTES_PER_FRAME and time.monotonic() < deadline:
            if self.process.poll() is not None:  # the server went, and parec with it
                return
            time.sleep(0.01)

    def stop(self):
        self._watching = False
        if self._watcher is not None:
            self._watcher.join()
            self._watcher = None
        if self.process is not None:
            _terminate(self.process, first_signal=signal.SIGINT)
            self.process.stderr.close()
            self.process = None

    def frames(self):
        """The capture so far as an int16 array of shape (frames, 2)."""
        raw = np.fromfile(self.path, dtype="<i2")
        usable = len(raw) - len(raw) % CHANNELS
        return raw[:usable].reshape(-1, CHANNELS)

    ENVELOPE_BIN_S = 0.25

    def frame_time(self, frame, around_s=3.0):
        """The monotonic time at which the sink produced capture frame `frame`.

        The null sink produces frames off the monotonic clock, so frame k comes out at about
        T0 + k/RATE; but it counts its time in whole microseconds per chunk, which makes its
        frame clock run some 200 ppm fast, so T0 is fitted locally, not taken once. Each growth
        note (t, n frames written) bounds the sink's time of frame n from above by t; the
        least bounds (the notes delivered with the least delay) form a lower envelope of
        t - n/RATE, and a line through that envelope's minima near `frame` gives T0 there.
        The result is late by parec's least delivery delay and early by the sink's render-
        ahead (each under a block, a few ms at parec's 5 ms latency), alike for every player.
        """
        notes = self._notes_near(frame, around_s)
        if len(notes) == 0:
            raise RuntimeError(f"no growth of the capture was seen near frame {frame}")
        bins = np.floor(notes[:, 1] / (self.ENVELOPE_BIN_S * RATE))
        centres, minima = [], []
        for value in np.unique(bins):
            in_bin = notes[bins == value]
            lowest = np.argmin(in_bin[:, 2])
            centres.append(in_bin[lowest, 1])
            minima.append(in_bin[lowest, 2])
        if len(centres) < 2:
            return frame / RATE + minima[0]
        slope, intercept = np.polyfit(centres, minima, 1)
        return frame / RATE + intercept + slope * frame

    def _notes_near(self, frame, around_s):
        """Growth notes as rows (t, frames, t - frames/RATE) within around_s of `frame`."""
        notes = np.array([(t, size // BYTES_PER_FRAME) for t, size in self.growth if size > 0],
                         dtype=float).reshape(-1, 2)
        near = np.abs(notes[:, 1] - frame) <= around_s * RATE
        notes = notes[near]
        return np.column_stack([notes, notes[:, 0] - notes[:, 1] / RATE])

    def delivery_jitter_s(self):
        """How far a typical growth note lags the least-delayed ones (median less envelope)."""
        notes = self._notes_near(0, float("inf"))
        if len(notes) < 2:
            return 0.0
        slope, intercept = np.polyfit(notes[:, 1], notes[:, 2], 1)
        residual = notes[:, 2] - (intercept + slope * notes[:, 1])
        return float(np.median(residual) - np.min(residual))
