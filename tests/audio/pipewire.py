# A private PipeWire of our own (with WirePlumber and its PulseAudio server), as pulse.py's.
"""The same interface as pulse.PrivateServer: clients reach pipewire-pulse through
PULSE_SERVER, a null sink is recorded with parec. Facts this rests on, measured here: the three
daemons need a session bus (without one, client streams never start); the graph runs at 48 kHz
unless told 44.1 kHz, which keeps 16-bit 44.1 kHz stereo unchanged, and its quantum follows the
clients' latencies unless pinned; the monitor delivers late, so recording goes on 2.5 s after a
player ends; and the first stream after start-up may come out mangled, so one is played at
start."""

import os
import signal
import subprocess
import time

import numpy as np

import pulse

# The graph at 44.1 kHz and at a desktop's 1,024-frame quantum, whoever asks for less or more
# (parec's latency would move it): the player's tail is checked where users hear it.
RATE_SETTINGS = """context.properties = {
    default.clock.rate = %d
    default.clock.allowed-rates = [ %d ]
    default.clock.quantum = 1024
    default.clock.min-quantum = 1024
    default.clock.max-quantum = 1024
}
"""
WARM_UP_S = 0.3


class PrivatePipeWire(pulse.PrivateServer):
    stack = "pipewire"
    # parec asking pipewire-pulse for 10 ms broke a recording mid-file (a 256-frame hole, the
    # rest lost) in about one 10 s run in six, paplay's and playonce's alike; at 50 ms, 32 of 32
    # arrived whole.
    recording_latency_ms = 50
    # A second past the player's end: what the 50 ms recording delivers late is far inside it,
    # and every run, some 70 per suite, waits it out.
    recording_tail_s = 1.0
    prefix = "playonce-pipewire-"

    def _socket_path(self, folders):
        return os.path.join(folders["runtime"], "pulse", "native")

    def _server_environment(self, folders):
        os.chmod(folders["runtime"], 0o700)
        config = os.path.join(self.root, "config")
        drop_ins = os.path.join(config, "pipewire", "pipewire.conf.d")
        os.makedirs(drop_ins)
        with open(os.path.join(drop_ins, "44100.conf"), "w") as settings:
            settings.write(RATE_SETTINGS % (pulse.RATE, pulse.RATE))
        environment = pulse._environment_without_sound_settings()
        environment.update(XDG_RUNTIME_DIR=folders["runtime"], XDG_CONFIG_HOME=config,
                           XDG_STATE_HOME=folders["state"], HOME=folders["home"])
        return environment

    def _server_command(self):
        # The daemons share one session bus; PipeWire itself first, the others once it is up.
        return ["dbus-run-session", "--", "sh", "-c",
                "pipewire & sleep 0.5; wireplumber & pipewire-pulse & wait"]

    def _make_sink(self):
        # The daemons want their runtime folder private while they start; the suite's other user
        # (the unreadable-file case) must reach the socket afterwards, as with PulseAudio.
        runtime = os.path.dirname(os.path.dirname(self.socket_path))
        for folder in (runtime, os.path.dirname(self.socket_path)):
            os.chmod(folder, 0o755)
        self.pactl("load-module", "module-null-sink", f"sink_name={self.sink_name}",
                   f"rate={pulse.RATE}", f"channels={pulse.CHANNELS}")
        self._wait_for_sink()
        self._warm_up()

    def _wait_for_sink(self):
        deadline = time.monotonic() + pulse.START_TIMEOUT_S
        while self.sink_name not in self.pactl("list", "short", "sinks"):
            if time.monotonic() > deadline:
                raise RuntimeError(f"no sink {self.sink_name}: {self.log()}")
            time.sleep(0.05)

    def _warm_up(self):
        """One stream played and recorded, so that no test's is the graph's first."""
        path = os.path.join(self.root, "warm-up.raw")
        noise = np.random.default_rng(1).integers(-3000, 3000, (int(WARM_UP_S * pulse.RATE), 2))
        noise.astype("<i2").tofile(path)
        with self.recorder(os.path.join(self.root, "warm-up-capture.raw")):
            subprocess.run(["pacat", "--raw", "--format=s16le", f"--rate={pulse.RATE}",
                            f"--channels={pulse.CHANNELS}", path],
                           env=self.client_environment(), stdin=subprocess.DEVNULL,
                           capture_output=True, timeout=pulse.CLIENT_TIMEOUT_S)

    def client_environment(self, home=None):
        """As a PulseAudio client's, and with PipeWire's own socket for its native clients."""
        environment = super().client_environment(home)
        environment["PIPEWIRE_RUNTIME_DIR"] = os.path.dirname(os.path.dirname(self.socket_path))
        return environment

    def signal_server(self, number):
        os.killpg(self.process.pid, number)

    def stop(self):
        # dbus-run-session does not pass a signal on: the whole session goes.
        if self.process is not None:
            try:
                os.killpg(self.process.pid, signal.SIGTERM)
                self.process.wait(timeout=pulse.STOP_TIMEOUT_S)
            except (ProcessLookupError, subprocess.TimeoutExpired):
                try:
                    os.killpg(self.process.pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
                self.process.wait()
            self.process = None
        self._remove_root()
