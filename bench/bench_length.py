#!/usr/bin/python3
# Benchmark: start latency and peak memory against the file's length, playonce beside paplay.
"""Usage: /usr/bin/python3 bench/bench_length.py [--playonce PATH] [--paplay PATH] [--runs N]
                     [--lengths 10,600,3600] [--formats NAME,...]
                     [--wine PATH/playonce.exe [--wine-baseline PATH/playonce.exe]]

Makes, with FFmpeg, a sine of each length (default 10 s, 10 min and 1 h, 44.1 kHz stereo) as
16-bit WAV, FLAC, Ogg Vorbis, Opus, 16-bit AIFF, MP3 with FFmpeg's Xing/LAME tag and MP3
without one (-write_xing 0), then starts each player on each file N times, interleaved, on one private
null sink recorded the whole time. Each run is ended once its sound has had time to start
(SIGTERM after RUN_S): what is measured is how long the first sound takes, and the child's peak
memory (maxrss from wait4) over its start and first second. Medians with the interquartile
range; the targets are reported, not asserted. With --wine the Windows build plays too, under
wine64 in one prefix made for the run (--wine-baseline: another Windows build in the same
prefix, an earlier one say); Wine's rows are reported beside the others, not held to targets.
--formats picks some of the formats by name (e.g. "FLAC,Ogg Vorbis,MP3, tagged" with ";" for ",").
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass

import numpy as np

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(ROOT, "tests", "audio"))
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import bench_playback as playback  # noqa: E402
import harness  # noqa: E402
import pulse  # noqa: E402

RUN_S = 1.0
GAP_S = 0.3
FORMATS = [  # name, file suffix, FFmpeg options
    ("WAV", "wav", ["-c:a", "pcm_s16le"]),
    ("FLAC", "flac", ["-c:a", "flac"]),
    ("Ogg Vorbis", "ogg", ["-c:a", "libvorbis", "-q:a", "3"]),
    ("Opus", "opus", ["-c:a", "libopus", "-b:a", "96k"]),
    ("AIFF", "aiff", ["-c:a", "pcm_s16be"]),
    ("MP3, tagged", "mp3", ["-c:a", "libmp3lame", "-b:a", "128k"]),
    ("MP3, untagged", "mp3", ["-c:a", "libmp3lame", "-b:a", "128k", "-write_xing", "0"]),
]
START_TARGET_MS = 15.0
UNTAGGED_MP3_TARGET_MS = 100.0
RSS_TARGET_MIB = 8.0
TIE_MS = 1.0


@dataclass
class Sound:
    name: str
    seconds: int
    path: str


@dataclass
class Launch:
    player: str
    sound: Sound
    started: float
    maxrss_kib: int


def length_name(seconds):
    return f"{seconds // 3600} h" if seconds % 3600 == 0 else \
        f"{seconds // 60} min" if seconds % 60 == 0 and seconds >= 60 else f"{seconds} s"


def make_sounds(folder, lengths, formats):
    sounds = []
    for seconds in lengths:
        for name, suffix, options in formats:
            path = os.path.join(folder, f"{name.replace(', ', '-')}-{seconds}.{suffix}")
            subprocess.run(["ffmpeg", "-loglevel", "error", "-nostdin", "-y", "-f", "lavfi", "-i",
                            f"sine=f=523:r={pulse.RATE}:d={seconds}", "-ac", "2", *options, path],
                           check=True)
            sounds.append(Sound(name, seconds, path))
            print(f"made {os.path.basename(path)}: {os.path.getsize(path) / 1e6:.1f} MB",
                  file=sys.stderr)
    return sounds


def launch(launcher, program, path, environment):
    """`program`: a NativeProgram or a WineProgram, which knows its command and environment."""
    result = subprocess.run([launcher, "-t", str(int(RUN_S * 1000)), *program.command([path])],
                            env=program.environment(dict(environment)),
                            stdin=subprocess.DEVNULL, capture_output=True, text=True,
                            timeout=RUN_S + 30, check=True)
    start_ns, _, _, _, _, maxrss = map(int, result.stdout.split())
    return start_ns / 1e9, maxrss


def play_rounds(launcher, players, sounds, runs, environment):
    launches = []
    for round_index in range(runs):
        order = players if round_index % 2 == 0 else list(reversed(players))
        for sound in sounds:
            for name, program in order:
                started, maxrss = launch(launcher, program, sound.path, environment)
                launches.append(Launch(name, sound, started, maxrss))
                time.sleep(GAP_S)
        print(f"round {round_index + 1}/{runs} done", file=sys.stderr)
    return launches


def start_latency_ms(launch_record, capture, recorder, estimate):
    """From the launch to the sink's first nonzero frame after it."""
    first = max(0, int(estimate.frame_at(launch_record.started)))
    last = int(estimate.frame_at(launch_record.started + RUN_S + GAP_S))
    loud = np.nonzero(np.any(capture[first:last] != 0, axis=1))[0]
    if len(loud) == 0:
        return None
    return (recorder.frame_time(first + int(loud[0])) - launch_record.started) * 1000


def cell(values, digits=1):
    median, spread = playback.median_and_spread(values)
    return "n/a" if median is None else f"{median:.{digits}f} ±{spread:.{digits}f}"


def print_table(rows):
    header = ["format", "length", "player", "start ms", "peak RSS MiB"]
    widths = [max(len(str(r[i])) for r in rows + [header]) for i in range(len(header))]
    for row in [header, ["-" * w for w in widths]] + rows:
        print("  ".join(str(c).ljust(w) for c, w in zip(row, widths)))
    print("(each cell: median ±interquartile range)")


def report_targets(results, longest):
    for name, _, _ in FORMATS:
        ours = results.get((name, longest, "playonce"))
        theirs = results.get((name, longest, "paplay"))
        if not ours or not theirs:
            continue
        start, _ = playback.median_and_spread([s for s, _ in ours])
        paplay_start, _ = playback.median_and_spread([s for s, _ in theirs])
        limit = UNTAGGED_MP3_TARGET_MS if name == "MP3, untagged" else START_TARGET_MS
        met = start is not None and start <= limit
        if name != "MP3, untagged":
            met = met and paplay_start is not None and start <= paplay_start + TIE_MS
        print(f"target {name} at {length_name(longest)}: start {playback.show(start)} ms <= "
              f"{limit:g}" + ("" if name == "MP3, untagged" else
                              f" and <= paplay's {playback.show(paplay_start)} (+{TIE_MS:g})") +
              f": {'met' if met else 'NOT met'}")
    peaks = [rss for (_, _, player), values in results.items() if player == "playonce"
             for _, rss in values]
    print(f"target peak RSS of playonce <= {RSS_TARGET_MIB:g} MiB at every length: largest "
          f"{max(peaks):.2f} MiB: {'met' if max(peaks) <= RSS_TARGET_MIB else 'NOT met'}")


def parse_arguments():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--playonce", default=os.path.join(ROOT, "build", "host", "playonce"))
    parser.add_argument("--paplay", default=shutil.which("paplay") or "paplay")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--lengths", default="10,600,3600")
    parser.add_argument("--formats", help="the formats to make, by name, separated by ';'")
    parser.add_argument("--wine", help="also the Windows build's playonce.exe, under wine64")
    parser.add_argument("--wine-baseline",
                        help="with --wine: another Windows build beside it, in the same prefix")
    return parser.parse_args()


def main():
    arguments = parse_arguments()
    lengths = [int(x) for x in arguments.lengths.split(",")]
    wanted = arguments.formats.split(";") if arguments.formats else [f[0] for f in FORMATS]
    formats = [f for f in FORMATS if f[0] in wanted]
    players = [("playonce", harness.NativeProgram(os.path.abspath(arguments.playonce))),
               ("paplay", harness.NativeProgram(arguments.paplay))]
    scratch = tempfile.mkdtemp(prefix="playonce-length-")
    wine = []
    try:
        sounds = make_sounds(scratch, lengths, formats)
        launcher = playback.build_launcher(scratch)
        load_before = os.getloadavg()
        with pulse.PrivateServer() as server:
            wine = playback.wine_programs(arguments, scratch, server)
            players[1:1] = wine
            environment = server.client_environment(harness.make_home(scratch))
            with server.recorder(os.path.join(scratch, "capture.raw")) as recorder:
                time.sleep(GAP_S)
                launches = play_rounds(launcher, players, sounds, arguments.runs, environment)
                recorder.wait_for_frames(len(recorder.frames()) + int(GAP_S * pulse.RATE), 5.0)
            capture = recorder.frames()
        load_after = os.getloadavg()
        estimate = playback.RoughFramePosition(recorder)
        results = {}
        for record in launches:
            key = (record.sound.name, record.sound.seconds, record.player)
            latency = start_latency_ms(record, capture, recorder, estimate)
            results.setdefault(key, []).append((latency, record.maxrss_kib / 1024))
        rows = [[name, length_name(seconds), player, cell([s for s, _ in values]),
                 cell([r for _, r in values], 2)]
                for (name, seconds, player), values in results.items()]
        print(f"{arguments.runs} runs per player, format and length, interleaved")
        print_table(rows)
        report_targets(results, max(lengths))
        print(f"machine: {os.cpu_count()} cores, load average before {load_before[0]:.2f} "
              f"after {load_after[0]:.2f}")
    finally:
        if wine:
            wine[0][1].stop()
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main()
