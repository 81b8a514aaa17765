#!/usr/bin/python3
# Demonstration: plays the chime (or a given file) through playonce; reports what reached the sink.
"""Usage: /usr/bin/python3 demo/run_demo.py [FILE] [--private] [--playonce PATH] [--out FOLDER]

Plays FILE (default demo/chime.wav) once through build/host/playonce while recording the sink
it plays on: the user's own sound server's default sink when one answers, otherwise (or with
--private) a PulseAudio server of the demonstration's own with a null sink, so that no sound
hardware is needed. It then says what was heard, writes that as report.txt and as a picture,
report.png (the file's waveform above what reached the sink, aligned), into FOLDER (default
build/demo), and exits 0 when the whole file arrived, 1 otherwise. `bash demo/run.sh` installs
what this needs and builds the player first.
"""

import argparse
import math
import os
import shutil
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.dont_write_bytecode = True  # nothing left in the source tree
sys.path.insert(0, os.path.join(ROOT, "tests", "audio"))

import numpy as np  # noqa: E402
import soundfile  # noqa: E402

import compare  # noqa: E402
import picture  # noqa: E402
import pulse  # noqa: E402
import user_server  # noqa: E402

LEAD_S = 0.2  # recorded before the start, so that the picture shows the silence before it
HANG_MARGIN_S = 10.0
MIN_CORRELATION = 0.9  # where the file cannot arrive bit for bit (another rate, say)
EDGE_FRAMES = pulse.RATE // 100  # a resampled file's ends blur by up to 10 ms of ringing


@dataclass
class Arrival:
    """What reached the sink of the file: where, how much of it, how it was judged."""
    offset: int  # capture frame of the file's first frame, -1 when it was not found
    missing_at_end: int
    exact: bool  # found bit for bit (else by correlation)
    correlation: float
    whole: bool


def parse_arguments():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("file", nargs="?", default=os.path.join(ROOT, "demo", "chime.wav"))
    parser.add_argument("--private", action="store_true",
                        help="always a null sink of our own, even where the user's server answers")
    parser.add_argument("--playonce", default=os.path.join(ROOT, "build", "host", "playonce"))
    parser.add_argument("--out", default=os.path.join(ROOT, "build", "demo"))
    return parser.parse_args()


def check_prerequisites(arguments):
    if not os.access(arguments.playonce, os.X_OK):
        sys.exit(f"no player at {arguments.playonce}: run bash demo/run.sh, which builds it")
    if not os.path.isfile(arguments.file):
        sys.exit(f"no file at {arguments.file}")
    if shutil.which("parec") is None:
        sys.exit("no parec: apt-get install pulseaudio-utils (bash demo/run.sh does)")


def read_reference(path):
    """The file as 16-bit frames and its rate, or (None, None) where libsndfile cannot read it."""
    try:
        frames, rate = soundfile.read(path, dtype="int16", always_2d=True)
    except RuntimeError:  # libsndfile refuses it (soundfile.LibsndfileError is one)
        return None, None
    return frames, rate


def choose_server(arguments):
    if not arguments.private and user_server.answers():
        return user_server.UserServer()
    if shutil.which("pulseaudio") is None:
        sys.exit("no sound server answers and pulseaudio is not installed for a private one: "
                 "apt-get install pulseaudio (bash demo/run.sh does)")
    return pulse.PrivateServer()


def play_and_record(playonce, path, seconds, server, scratch):
    """Runs playonce once while recording; the capture, the recorder, launch time, the result."""
    recorder = server.recorder(os.path.join(scratch, "capture.raw"))
    with recorder:
        time.sleep(LEAD_S)
        started = time.monotonic()
        result = subprocess.run([playonce, os.path.abspath(path)], capture_output=True,
                                env=server.player_environment(), stdin=subprocess.DEVNULL,
                                timeout=seconds + HANG_MARGIN_S)
        ended = time.monotonic()
        recorder.wait_for_frames(len(recorder.frames()) + int(server.recording_tail_s * pulse.RATE),
                                 server.recording_tail_s + 5.0)
    return recorder.frames(), recorder, started, ended, result


def as_sink_frames(reference, rate):
    """The file as the sink should hold it: its rate and two channels, as floats."""
    return compare.reference_at_sink(compare.to_float(reference), rate, pulse.RATE, pulse.CHANNELS)


def judge_exactly(capture, reference):
    match = compare.find_exact(capture, reference)
    whole = match.matched == len(reference)
    return Arrival(match.offset, len(reference) - match.matched, True, 1.0 if whole else 0.0, whole)


def judge_by_correlation(capture, reference, rate):
    """For what the sink cannot hold bit for bit: aligned by correlation, its end by level."""
    at_sink = as_sink_frames(reference, rate)
    likeness = compare.compare_by_correlation(capture, at_sink, edge_frames=pulse.RATE // 20)
    heard = compare.to_float(capture[likeness.lag:likeness.lag + len(at_sink)])
    _, heard_last = compare.heard_span(heard)
    _, file_last = compare.heard_span(at_sink)
    missing = max(0, file_last - heard_last)
    score = min(likeness.channel_correlations)
    if score < MIN_CORRELATION:  # silence, or another sound: the file is not there
        return Arrival(-1, len(reference), False, score, False)
    return Arrival(likeness.lag, missing, False, score, missing <= EDGE_FRAMES)


def judge(capture, reference, rate):
    """Bit for bit where the sink can hold the file unchanged (the private sink does), else, or
    where not even its start arrived so, by correlation."""
    if rate == pulse.RATE and reference.shape[1] == pulse.CHANNELS:
        exact = judge_exactly(capture, reference)
        if exact.offset >= 0:
            return exact
    return judge_by_correlation(capture, reference, rate)


def server_kind(server):
    if isinstance(server, user_server.UserServer):
        return "your own sound server"
    return "a private PulseAudio server's null sink"


def decibels(level):
    return 20 * math.log10(level) if level > 0 else float("-inf")


def peak(frames):
    return float(np.abs(frames).max()) if len(frames) else 0.0


def report_lines(path, server, result, wall_s, capture, reference, rate, arrival, latency_ms):
    heard = compare.to_float(capture)
    first, last = compare.heard_span(heard, threshold=0.0)
    lines = [f"played      {path}",
             f"on          {server_kind(server)} ({server.server_address}), "
             f"sink {server.sink_name}",
             f"file        {len(reference) / rate:.3f} s at {rate} Hz, {reference.shape[1]} "
             f"channel(s), peak {decibels(peak(compare.to_float(reference))):.1f} dBFS",
             f"player      exit code {result.returncode}, ran {wall_s:.3f} s, "
             f"printed {len(result.stdout) + len(result.stderr)} bytes",
             f"heard       {(last - first) / pulse.RATE:.3f} s of sound, "
             f"peak {decibels(peak(heard)):.1f} dBFS"]
    if arrival.offset < 0:
        lines.append("arrived     not found at the sink")
        return lines
    lines.append(f"start       {latency_ms:.1f} ms from launch to the file's first frame "
                 "at the sink")
    edge = "" if arrival.exact else f" (by level; a resampler blurs the last {EDGE_FRAMES})"
    lines.append(f"end         {arrival.missing_at_end} frames missing at the end{edge}")
    if arrival.exact:
        verdict = ("yes: every frame arrived unchanged, in order" if arrival.whole else
                   f"no: {len(reference) - arrival.missing_at_end} of {len(reference)} "
                   "frames matched from the start")
        lines.append(f"bit for bit {verdict}")
    else:
        lines.append(f"likeness    correlation {arrival.correlation:.3f} (the sink resamples or "
                     "mixes, so not bit for bit)")
    return lines


def draw(png_path, capture, reference, rate, arrival, recorder, started, ended, title, lines):
    """Both traces against seconds since launch: the file where it was found in the capture."""
    capture_times = np.array([recorder.frame_time(k) for k in (0, len(capture) - 1)]) - started
    heard_times = np.linspace(capture_times[0], capture_times[1], len(capture))
    heard_mono = compare.to_float(capture).mean(axis=1)
    file_start = heard_times[arrival.offset] if arrival.offset >= 0 else 0.0
    file_mono = compare.to_float(reference).mean(axis=1)
    file_times = file_start + np.arange(len(file_mono)) / rate
    traces = [("the file", file_times, file_mono, "tab:blue"),
              ("at the sink", heard_times, heard_mono, "tab:green")]
    facts = [line for line in lines if line.startswith(("start", "end", "bit", "like", "arrived"))]
    picture.draw(png_path, traces, title, facts, ended - started)


def main():
    arguments = parse_arguments()
    check_prerequisites(arguments)
    reference, rate = read_reference(arguments.file)
    if reference is None:
        sys.exit(f"{arguments.file}: libsndfile cannot read it here, so what arrived cannot be "
                 "compared; play it with build/host/playonce directly")
    os.makedirs(arguments.out, exist_ok=True)
    scratch = tempfile.mkdtemp(prefix="playonce-demo-")
    try:
        with choose_server(arguments) as server:
            capture, recorder, started, ended, result = play_and_record(
                arguments.playonce, arguments.file, len(reference) / rate, server, scratch)
        arrival = judge(capture, reference, rate)
        latency_ms = ((recorder.frame_time(arrival.offset) - started) * 1000
                      if arrival.offset >= 0 else None)
        lines = report_lines(arguments.file, server, result, ended - started, capture,
                             reference, rate, arrival, latency_ms)
        text_path = os.path.join(arguments.out, "report.txt")
        png_path = os.path.join(arguments.out, "report.png")
        title = f"{os.path.basename(arguments.file)} through playonce, on {server_kind(server)}"
        draw(png_path, capture, reference, rate, arrival, recorder, started, ended, title, lines)
        with open(text_path, "w") as text:
            text.write("\n".join(lines) + "\n")
        print("\n".join(lines))
        print(f"report      {text_path}, {png_path}")
        sys.exit(0 if arrival.whole and result.returncode == 0 else 1)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main()
