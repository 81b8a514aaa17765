# playonce.exe under wine64 as the suite's player: one prefix, made once for the whole suite.
"""The Windows build (with our BASS.dll beside it) plays through Wine's PulseAudio driver into
the suite's private server, where it is recorded as the Linux build is."""
import copy
import os
import subprocess
import sys
import time

import harness
import signals

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "wine"))
from wine_prefix import QUIET_OVERRIDES, WINE64, WinePrefix, windows_path  # noqa: E402

# Wine's PulseAudio driver keeps only three of its 10 ms periods at the server and tops them up
# from a timer that waits for a timing reply from the server each period. Two late periods in a
# row (13 + 20 ms seen here) drain the stream, and the driver fills the gap with silence: about
# one gap in 20 s of sound on this kind of machine, whatever the program's own buffers (blocks of
# 50 ms, 250 ms, 1 s and one of 10 s all showed it). libpulse's PULSE_LATENCY_MSEC, the usual cure
# for Wine's crackling, gives the driver's streams more at the server. With 60 ms, one 10 s run
# in three still lost frames while other work ran beside it; with 100 ms, 22 of 22 arrived
# whole, 8 of them with one core kept busy and 6 with both.
PULSE_LATENCY_MSEC = "100"
# What Wine's start may add to a run: its loader, and Wine's desktop process when it first starts.
START_ALLOWANCE_S = 3.0
# Wine's sound drivers, all of them: without them the system has no output device.
SOUND_DRIVERS = "winepulse.drv,winealsa.drv,wineoss.drv"
# The suite's Windows has one audio system, the PulseAudio server: Wine's other drivers, which it
# would fall back on where the server is gone, only print libasound's complaints about a
# machine without a sound card.
OTHER_SOUND_DRIVERS = "winealsa.drv,wineoss.drv"


def windows_argument(argument):
    """A path of the suite as the Windows program is given it: absolute ones under Z:."""
    if argument.startswith("/"):
        return windows_path(argument)
    return argument.replace("/", "\\")


# Media Foundation's DLLs: without them the system has no decoders of its own, as on Windows N
# editions without the media pack and on Server Core.
MEDIA_FOUNDATION = "mfplat,mfreadwrite"


class WineProgram:
    system = "wine"
    start_allowance_s = START_ALLOWANCE_S

    def __init__(self, exe, scratch, media_foundation=True):
        self.exe = exe
        self.scratch = scratch
        # What every run of the suite lacks: nothing, or Media Foundation.
        self.missing = [OTHER_SOUND_DRIVERS] + ([] if media_foundation else [MEDIA_FOUNDATION])
        self.media_foundation = media_foundation
        self.prefix = WinePrefix(os.path.join(scratch, "wine-prefix"),
                                 os.path.join(scratch, "wine-logs"))
        # One home for every run: Wine's GStreamer keeps its plugin registry there.
        self.home = harness.make_home(scratch)

    def start(self, server):
        keeper = os.path.join(os.path.dirname(self.exe), "session_keeper.exe")
        if not os.path.isfile(keeper):
            raise RuntimeError(f"no {keeper}: the win64 build makes it beside playonce.exe")
        self.prefix.create()
        self.prefix.keep_session(keeper, server.client_environment(self.home))
        self.warm_up(server)

    def warm_up(self, server):
        """One play of a short FLAC, so that GStreamer's registry is made before any case is
        timed."""
        path = os.path.join(self.scratch, "warm-up.flac")
        signals.write_sound(path, signals.noise_frames(441), 44100, "FLAC", "PCM_16")
        run = harness.Player(self, server, self.scratch).run([path], expected_s=0.01)
        os.unlink(path)
        if run.returncode != 0:
            raise RuntimeError(f"the warm-up run failed: {run.describe()}")

    def stop(self):
        self.prefix.remove()
        if self.prefix.survivors:
            raise AssertionError(f"processes of the prefix outlived the suite: "
                                 f"{self.prefix.survivors}")

    def command(self, arguments):
        return [WINE64, self.exe, *map(windows_argument, arguments)]

    def environment(self, environment):
        return self.prefix.environment(
            environment, PULSE_LATENCY_MSEC=PULSE_LATENCY_MSEC,
            GST_REGISTRY=os.path.join(self.home, "gstreamer-registry.bin"),
            **self.without(*self.missing))

    def without(self, *dlls):
        """The environment of a run on a system that lacks these DLLs, beside what the suite's
        system lacks."""
        missing = [*self.missing, *dlls]
        if not missing:
            return {"WINEDLLOVERRIDES": QUIET_OVERRIDES}
        return {"WINEDLLOVERRIDES": QUIET_OVERRIDES + ";" + ",".join(missing) + "=d"}

    def with_exe(self, exe):
        """The same prefix and session for another build's playonce.exe (a benchmark's)."""
        other = copy.copy(self)
        other.exe = exe
        return other

    def run_on_device(self, folder, path, environment=None, timeout_s=60):
        """Runs the playonce.exe of `folder`, beside our BASS.dll and the stand-in winmm.dll
        (tests/wine/recording_winmm.cpp), on `path`; returns the finished process (its return
        code None if it had to be killed after `timeout_s`) and its wall time. `environment`
        adds the stand-in's settings."""
        merged = self.environment(dict(os.environ))
        merged["WINEDLLOVERRIDES"] += ";winmm=n"
        merged.update(environment or {})
        command = [WINE64, os.path.join(folder, "playonce.exe"), windows_argument(path)]
        started = time.monotonic()
        try:
            result = subprocess.run(command, env=merged, stdin=subprocess.DEVNULL,
                                    capture_output=True, timeout=timeout_s)
        except subprocess.TimeoutExpired as expired:
            result = subprocess.CompletedProcess(command, None, expired.stdout or b"",
                                                 expired.stderr or b"")
        return result, time.monotonic() - started

    def record_device(self, folder, path):
        """What the playonce.exe of `folder` hands its device for `path`: the device's rate and
        channels, and the samples it was handed."""
        import numpy as np
        record = os.path.join(self.scratch, "device.raw")
        for old in (record, record + ".format"):
            if os.path.exists(old):
                os.unlink(old)
        result, _ = self.run_on_device(folder, path,
                                       {"PLAYONCE_DEVICE_RECORD": windows_path(record)})
        if result.returncode != 0:
            raise AssertionError(f"playonce.exe on the recording device: {result}")
        with open(record + ".format") as line:
            rate, channels, bits = map(int, line.read().split())
        if bits != 16:
            raise AssertionError(f"the device was opened for {bits}-bit samples")
        samples = np.fromfile(record, dtype="<i2")
        os.unlink(record)
        os.unlink(record + ".format")
        return rate, channels, samples

    def without_output_device(self):
        return self.without(SOUND_DRIVERS)
