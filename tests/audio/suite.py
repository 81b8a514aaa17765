# What the suite's test programs share: the player, one private server, a scratch folder.
import argparse
import os
import shutil
import sys
import tempfile
import unittest

import harness
import pulse
import starve

PLAYER_PATH = None
LIBRARY_DRIVER = None  # tests/libbass/bass_driver of the same build, when given
PROGRAM = None  # how the player runs: harness.NativeProgram, or wine_player.WineProgram
SERVER = None
SCRATCH = None
RUN_UNDER_WINE = False
MEDIA_FOUNDATION = True  # the Windows system decodes with Media Foundation: --media-foundation
LINUX_DECODER = None  # tests/libbass/decode_dump of a Linux build, for the Windows build's runs
DEVICE_RECORDING = None  # playonce.exe beside our BASS.dll and a recording winmm.dll
STARVED_LOOPS = 0  # --starved: busy loops beside each run, the player at nice 19 (starve.py)


def start():
    """For setUpModule: the scratch folder (readable by others), the shared server and, for the
    Windows build, the Wine prefix."""
    global SERVER, SCRATCH, PROGRAM
    SCRATCH = tempfile.mkdtemp(prefix="playonce-audio-")
    os.chmod(SCRATCH, 0o755)
    SERVER = new_server()
    SERVER.start()
    if RUN_UNDER_WINE:
        import wine_player
        PROGRAM = wine_player.WineProgram(PLAYER_PATH, SCRATCH, MEDIA_FOUNDATION)
        PROGRAM.start(SERVER)
    else:
        PROGRAM = harness.NativeProgram(PLAYER_PATH)


STACK = "pulseaudio"  # the sound stack the player plays through: --stack


def new_server(sink_name=pulse.SINK_NAME):
    """A private server of the stack the suite runs on."""
    if STACK == "pipewire":
        import pipewire
        return pipewire.PrivatePipeWire(sink_name)
    if STACK == "alsa":
        import alsa
        return alsa.AlsaRoute(sink_name)
    if RUN_UNDER_WINE:
        return pulse.PrivateServer(sink_name, resample_method=WINE_RESAMPLE_METHOD)
    return pulse.PrivateServer(sink_name)


# Wine 9 and later open every stream with a variable rate, and the server then resamples even a
# stream at the sink's own rate (its default method, through float): no sample arrives as sent.
# The trivial resampler copies a stream at the sink's rate unchanged, as the server does for a
# fixed-rate one; Wine 8's streams arrive the same either way.
WINE_RESAMPLE_METHOD = "trivial"


def stop():
    try:
        if RUN_UNDER_WINE and PROGRAM is not None:
            PROGRAM.stop()
    finally:
        SERVER.stop()
        shutil.rmtree(SCRATCH, ignore_errors=True)


def folder(name):
    made = tempfile.mkdtemp(prefix=name.replace(" ", "-").replace("/", "-")[:20] + "-",
                            dir=SCRATCH)
    os.chmod(made, 0o755)
    return made


def player(server=None):
    return harness.Player(PROGRAM, server or SERVER, SCRATCH)


def require_linux(what):
    """For cases that only the Linux program can meet: `what` says why."""
    if PROGRAM.system != "linux":
        raise unittest.SkipTest(f"{what}: Linux only")


def system_decodes(what):
    """Whether the system's own decoding takes `what` ("media-foundation"): on the Windows build
    with Media Foundation there."""
    return what == "media-foundation" and RUN_UNDER_WINE and MEDIA_FOUNDATION


def require_stack(stack, what):
    if STACK != stack:
        raise unittest.SkipTest(f"{what}: on {stack} only")


def require_plain_build(tool):
    """strace and valgrind need the build without sanitizers (ptrace, their own allocator)."""
    if harness.is_sanitized(PLAYER_PATH):
        raise unittest.SkipTest(f"{PLAYER_PATH} is a sanitizer build: {tool} runs on the plain one")
    if shutil.which(tool) is None:
        raise unittest.SkipTest(f"{tool} is not installed")


def main(description):
    """Reads --playonce (and --wine), passes the rest to unittest."""
    global PLAYER_PATH, RUN_UNDER_WINE, LIBRARY_DRIVER, STACK, MEDIA_FOUNDATION, LINUX_DECODER
    global DEVICE_RECORDING, STARVED_LOOPS
    parser = argparse.ArgumentParser(description=description)
    parser.add_argument("--playonce", required=True, help="the player to test")
    parser.add_argument("--wine", action="store_true",
                        help="the player is playonce.exe, with its BASS.dll: run it under wine64")
    parser.add_argument("--stack", choices=["pulseaudio", "pipewire", "alsa"],
                        default="pulseaudio", help="PulseAudio, PipeWire, or ALSA with no server")
    parser.add_argument("--library-driver",
                        help="bass_driver of the same build, which tells the library's lengths")
    parser.add_argument("--media-foundation", choices=["on", "off"], default="on",
                        help="with --wine: whether the system has Media Foundation")
    parser.add_argument("--linux-decoder",
                        help="with --wine: decode_dump of a Linux build, whose samples the "
                             "Windows build's must equal")
    parser.add_argument("--device-recording",
                        help="with --wine: the folder of playonce.exe, BASS.dll and the "
                             "recording winmm.dll")
    parser.add_argument("--starved", action="store_true",
                        help="the cases that run starved do, beside busy loops at nice 0, the "
                             "player at nice 19")
    parser.add_argument("--busy-loops", type=int, default=starve.default_loops(),
                        help=f"with --starved: how many (default {starve.default_loops()})")
    known, rest = parser.parse_known_args()
    STARVED_LOOPS = known.busy_loops if known.starved else 0
    MEDIA_FOUNDATION = known.media_foundation == "on"
    LINUX_DECODER = known.linux_decoder
    DEVICE_RECORDING = known.device_recording
    LIBRARY_DRIVER = os.path.abspath(known.library_driver) if known.library_driver else None
    STACK = known.stack
    PLAYER_PATH = os.path.abspath(known.playonce) if os.sep in known.playonce \
        else shutil.which(known.playonce)
    RUN_UNDER_WINE = known.wine
    if PLAYER_PATH is None or not os.path.isfile(PLAYER_PATH) or \
            not (RUN_UNDER_WINE or os.access(PLAYER_PATH, os.X_OK)):
        parser.error(f"not a player: {known.playonce}")
    unittest.main(module="__main__", argv=[sys.argv[0], *rest], verbosity=2)
