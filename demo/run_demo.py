#!/usr/bin/python3
# Demonstration: plays the included chime through playonce into a private null sink and reports.
"""Usage: /usr/bin/python3 demo/run_demo.py [--playonce PATH] [--file WAV]

Needs no sound hardware: it starts a PulseAudio server of its own with one null sink, records
what reaches that sink while build/host/playonce plays demo/chime.wav, says what was heard, and
stops the server. Build first: cmake --preset host && cmake --build --preset host.
Needs the Debian packages pulseaudio, pulseaudio-utils, python3-numpy and python3-soundfile.
Exits 0 when the sink received the sample bit for bit, 1 otherwise.
"""

import argparse
import math
import os
import shutil
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.dont_write_bytecode = True  # nothing left in the source tree
sys.path.insert(0, os.path.join(ROOT, "tests", "audio"))

import compare  # noqa: E402
import harness  # noqa: E402
import pulse  # noqa: E402
import signals  # noqa: E402


def parse_arguments():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--playonce", default=os.path.join(ROOT, "build", "host", "playonce"))
    parser.add_argument("--file", default=os.path.join(ROOT, "demo", "chime.wav"))
    return parser.parse_args()


def check_prerequisites(arguments):
    missing = [tool for tool in ("pulseaudio", "parec", "pactl") if shutil.which(tool) is None]
    if missing:
        sys.exit(f"missing {', '.join(missing)}: apt-get install pulseaudio pulseaudio-utils")
    if not os.access(arguments.playonce, os.X_OK):
        sys.exit(f"no player at {arguments.playonce}: "
                 "build it with cmake --preset host && cmake --build --preset host")


def decibels(level):
    return 20 * math.log10(level) if level > 0 else float("-inf")


def peak_level(frames):
    return float(abs(frames).max()) if len(frames) else 0.0


def report(run, sample, path):
    heard = compare.to_float(run.capture)
    first, last = compare.heard_span(heard, threshold=0.0)
    match = compare.find_exact(run.capture, sample)
    exact = match.matched == len(sample)
    peak = peak_level(heard)
    print(f"played      {path}")
    print(f"sample      {len(sample) / pulse.RATE:.3f} s, "
          f"peak {decibels(peak_level(compare.to_float(sample))):.1f} dBFS")
    print(f"player      exit code {run.returncode}, ran {run.wall_s:.3f} s, "
          f"printed {len(run.stdout) + len(run.stderr)} bytes")
    print(f"heard       {(last - first) / pulse.RATE:.3f} s of sound, peak {decibels(peak):.1f} dBFS")
    if exact:
        print(f"bit for bit yes: all {len(sample)} frames arrived unchanged, in order")
    else:
        print(f"bit for bit no: {match.matched} of {len(sample)} frames matched from the start")
    return exact


def main():
    arguments = parse_arguments()
    check_prerequisites(arguments)
    sample, rate = signals.read_pcm16(arguments.file)
    if rate != pulse.RATE or sample.shape[1] != pulse.CHANNELS:
        sys.exit(f"{arguments.file}: the bit-for-bit check needs 16-bit {pulse.RATE} Hz stereo")
    scratch = tempfile.mkdtemp(prefix="playonce-demo-")
    try:
        with pulse.PrivateServer() as server:
            print(f"private server at {server.server_address}, sink {server.sink_name}")
            player = harness.Player(os.path.abspath(arguments.playonce), server, scratch)
            run = player.run([os.path.abspath(arguments.file)], expected_s=len(sample) / rate)
        print("server stopped")
        sys.exit(0 if report(run, sample, arguments.file) else 1)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main()
