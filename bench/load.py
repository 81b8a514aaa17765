#!/usr/bin/python3
# Load benchmark: many playonce runs at once on one private null sink, then many in a row.
"""Usage: /usr/bin/python3 bench/load.py [--playonce PATH] [--paplay PATH] [--concurrent N]
                                       [--sequential M] [--quick]

1. N runs (default 50) started together, each on a file of its own: 16-bit 44.1 kHz stereo
   noise from a seed of its own, 0.5 to 1 s long, quiet enough that their sum does not clip.
   The sink's monitor is recorded throughout. Each file is found in the mix by cross-
   correlation (its noise is uncorrelated with every other file's), then its level measured
   there eighth by eighth: an eighth at unity level was played in place. A file is heard when
   at least half of it is in place, whole when all of it is. For each run: the exit code, the
   end overhead (from just before its fork to just after its wait, less the file's length)
   and the start latency (from the launch to the sink's frame holding the file's first frame,
   where the rest of the file puts it; see pulse.Recorder.frame_time). With --paplay, the same
   phase runs again with that player, for reference.
2. M runs in a row (default 1,000) of paths that are not played, a missing file and a folder
   taking turns: the wall time of each, with the private server reachable and with no server.

Figures are reported, not asserted. --quick (10 at once, 100 in a row) is the CI form: it exits
1 if any run did not exit 0 or any file was not heard in the mix; never on a time.
"""

import argparse
import math
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass, field

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.dont_write_bytecode = True  # nothing left in the source tree
sys.path.insert(0, os.path.join(ROOT, "tests", "audio"))
sys.path.insert(0, HERE)

import harness  # noqa: E402
import pulse  # noqa: E402
import signals  # noqa: E402
from bench_playback import build_launcher  # noqa: E402

SHORTEST_S, LONGEST_S = 0.5, 1.0
MIX_HEADROOM = 0.2  # the mix's RMS while all play, as a fraction of full scale: peaks stay under it
PARTS = 8  # each file is checked in eighths: 62-125 ms each
PART_LEVEL_RANGE = (0.5, 1.5)  # unity, give or take the other files' noise over a short part
SEARCHED_LEVEL_RANGE = (0.8, 1.2)
HANG_MARGIN_S = 20.0  # a bound against a hang only: 50 starts on 2 cores take a while
TAIL_S = 0.5
# PulseAudio mixes at most this many streams into a sink at a time (MAX_MIX_CHANNELS in its
# pulsecore/sink.c); it still consumes the data of the others, unheard.
SERVER_MIXES_AT_MOST = 32
NOT_PLAYED_KINDS = ("missing file", "folder")


@dataclass
class LoadFile:
    index: int
    path: str
    frames: np.ndarray  # int16 (n, 2)

    @property
    def seconds(self):
        return len(self.frames) / pulse.RATE


@dataclass
class Outcome:
    file: LoadFile
    started: float
    ended: float
    exit_code: int
    heard: bool = False  # at least half its parts are in place in the mix
    whole: bool = False  # every part is
    part_levels: tuple = ()
    missing_ms: float = 0.0  # parts found nowhere in the mix
    displaced_ms: dict = field(default_factory=dict)  # part -> shift from its place, None if lost
    start_latency_ms: float = None

    @property
    def overhead_ms(self):
        return (self.ended - self.started - self.file.seconds) * 1000


def make_load_files(folder, count):
    """Distinct noises; the peak of each keeps the sum of all under full scale in practice."""
    limit = int(32767 * MIX_HEADROOM * np.sqrt(3) / np.sqrt(count))
    files = []
    for index in range(count):
        seconds = SHORTEST_S + (LONGEST_S - SHORTEST_S) * index / max(1, count - 1)
        generator = np.random.default_rng(1000 + index)
        frames = generator.integers(-limit, limit + 1, size=(int(seconds * pulse.RATE), 2),
                                    dtype=np.int32).astype(np.int16)
        path = os.path.join(folder, f"load-{index:03d}.wav")
        signals.write_pcm16_wav(path, frames)
        files.append(LoadFile(index, path, frames))
    return files


def start_all(launcher, program, files, environment):
    """One launcher per file, started as fast as Python can; each notes its own fork time."""
    return [subprocess.Popen([launcher, program, f.path], env=environment,
                             stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True) for f in files]


def collect(processes, files, deadline_s):
    outcomes = []
    for process, load_file in zip(processes, files):
        try:
            stdout, stderr = process.communicate(timeout=max(0.1, deadline_s - time.monotonic()))
        except subprocess.TimeoutExpired:
            process.kill()
            process.communicate()
            outcomes.append(Outcome(load_file, float("nan"), float("nan"), None))
            continue
        start_ns, end_ns, status = map(int, stdout.split()[:3])
        outcomes.append(Outcome(load_file, start_ns / 1e9, end_ns / 1e9,
                                os.waitstatus_to_exitcode(status)))
    return outcomes


def correlate(mix, source):
    """Cross-correlation of each channel of `source` with `mix`, summed over channels."""
    size = 1 << int(np.ceil(np.log2(len(mix) + len(source))))
    total = np.zeros(size)
    for channel in range(mix.shape[1]):
        spectrum = np.fft.rfft(mix[:, channel], size)
        total += np.fft.irfft(spectrum * np.conj(np.fft.rfft(source[:, channel], size)), size)
    return total[:len(mix)]


def level_at(mix, source, lag):
    """How much of `source` the mix holds at `lag`, by projection: 1 when played at unity."""
    window = mix[lag:lag + len(source)]
    aligned = source[:len(window)]
    energy = float(np.sum(aligned * aligned))
    return float(np.sum(window * aligned)) / energy if energy > 0 else 0.0


def find_in_mix(outcome, mix, recorder):
    """Aligns the file with the mix and measures its level there, part by part. A part at unity
    was played in place; a part that is not is looked for anywhere in the mix: found, it was
    played displaced (after a gap, say); not found, it was lost."""
    source = outcome.file.frames.astype(np.float64)
    lag = int(np.argmax(correlate(mix, source)))
    part = len(source) // PARTS
    pieces = [source[k * part:(k + 1) * part] for k in range(PARTS)]
    outcome.part_levels = tuple(level_at(mix, piece, lag + k * part)
                                for k, piece in enumerate(pieces))
    low, high = PART_LEVEL_RANGE
    in_place = [low <= level <= high for level in outcome.part_levels]
    outcome.heard = sum(in_place) * 2 >= PARTS
    outcome.whole = all(in_place)
    for k, piece in enumerate(pieces):
        if not in_place[k]:
            outcome.displaced_ms[k] = displacement_ms(mix, piece, lag + k * part)
    outcome.missing_ms = sum(1 for shift in outcome.displaced_ms.values() if shift is None) * \
        part / pulse.RATE * 1000
    if outcome.heard and not math.isnan(outcome.started):
        outcome.start_latency_ms = (recorder.frame_time(lag) - outcome.started) * 1000


def displacement_ms(mix, piece, expected_lag):
    """Where else in the mix a part is, relative to where it belongs, or None when nowhere: a
    searched match must be much stronger than an aligned one, as the best of all lags of the
    others' noise reaches some 0.6."""
    lag = int(np.argmax(correlate(mix, piece)))
    low, high = SEARCHED_LEVEL_RANGE
    if low <= level_at(mix, piece, lag) <= high:
        return (lag - expected_lag) / pulse.RATE * 1000
    return None


def concurrent_phase(program, launcher, scratch, count):
    files = make_load_files(scratch, count)
    with pulse.PrivateServer() as server:
        environment = server.client_environment(harness.make_home(scratch))
        with server.recorder(os.path.join(scratch, "mix.raw")) as recorder:
            time.sleep(0.2)
            processes = start_all(launcher, program, files, environment)
            outcomes = collect(processes, files, time.monotonic() + LONGEST_S + HANG_MARGIN_S)
            recorder.wait_for_frames(len(recorder.frames()) + int(TAIL_S * pulse.RATE), 5.0)
        mix = recorder.frames().astype(np.float64)
        for outcome in outcomes:
            find_in_mix(outcome, mix, recorder)
        clipped = int(np.count_nonzero(np.abs(mix) >= 32767))
    return outcomes, clipped


def not_played_paths(scratch):
    folder = os.path.join(scratch, "a folder.wav")
    os.makedirs(folder, exist_ok=True)
    return {"missing file": os.path.join(scratch, "missing.wav"), "folder": folder}


def run_in_a_row(launcher, program, paths, environment, count):
    """{kind: [(wall seconds, exit code)]} over `count` runs, the kinds taking turns."""
    results = {kind: [] for kind in paths}
    kinds = list(paths)
    for number in range(count):
        kind = kinds[number % len(kinds)]
        finished = subprocess.run([launcher, program, paths[kind]], env=environment,
                                  stdin=subprocess.DEVNULL, capture_output=True, text=True,
                                  timeout=HANG_MARGIN_S)
        start_ns, end_ns, status = map(int, finished.stdout.split()[:3])
        results[kind].append(((end_ns - start_ns) / 1e9, os.waitstatus_to_exitcode(status)))
    return results


def sequential_phase(program, launcher, scratch, count):
    paths = not_played_paths(scratch)
    series = {}
    with pulse.PrivateServer() as server:
        environment = server.client_environment(harness.make_home(scratch))
        series["server reachable"] = run_in_a_row(launcher, program, paths, environment, count)
        environment["PULSE_SERVER"] = f"unix:{os.path.join(scratch, 'no-such-socket')}"
        series["no server"] = run_in_a_row(launcher, program, paths, environment, count)
    return series


def percentile(values, fraction):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(round(fraction * (len(ordered) - 1))))]


def spread(values):
    return (f"min {min(values):.1f}  median {statistics.median(values):.1f}  "
            f"p90 {percentile(values, 0.9):.1f}  max {max(values):.1f}")


def describe_parts(outcome):
    """Each eighth: in place (=), lost (-), or played this many ms from its place."""
    marks = []
    for k in range(PARTS):
        if k not in outcome.displaced_ms:
            marks.append("=")
        elif outcome.displaced_ms[k] is None:
            marks.append("-")
        else:
            marks.append(f"{outcome.displaced_ms[k]:+.0f}")
    return " ".join(marks)


def report_concurrent(name, outcomes, clipped):
    count = len(outcomes)
    launches = [o.started for o in outcomes if not math.isnan(o.started)]
    exits = [o.exit_code for o in outcomes]
    heard = [o for o in outcomes if o.heard]
    whole = [o for o in outcomes if o.whole]
    overheads = [o.overhead_ms for o in outcomes if o.exit_code is not None]
    latencies = [o.start_latency_ms for o in heard if o.start_latency_ms is not None]
    print(f"== {name}: {count} runs at once, each on its own {SHORTEST_S:g}-{LONGEST_S:g} s file")
    print(f"launches spread over {(max(launches) - min(launches)) * 1000:.0f} ms; "
          f"{clipped} clipped samples in the mix")
    print(f"exit codes: {exits.count(0)} of {count} were 0"
          + ("" if exits.count(0) == count else f" (others: {[e for e in exits if e != 0]})"))
    print(f"heard in the mix: {len(heard)} of {count}; whole, every part in place: "
          f"{len(whole)} of {count}")
    if count > SERVER_MIXES_AT_MOST:
        print(f"(the server mixes at most {SERVER_MIXES_AT_MOST} streams at a time and drops "
              f"the data of the others unheard: with {count} at once, expect parts of up to "
              f"{count - SERVER_MIXES_AT_MOST} files missing, whichever the player)")
    for outcome in outcomes:
        if not outcome.whole:
            print(f"  {os.path.basename(outcome.file.path)}: {outcome.missing_ms:.0f} ms lost; "
                  f"eighths {describe_parts(outcome)}; exit {outcome.exit_code}, "
                  f"end overhead {outcome.overhead_ms:.0f} ms")
    if overheads:
        print(f"end overhead ms (wall - length): {spread(overheads)}")
    if latencies:
        print(f"start latency ms (launch to the file's first frame at the sink): "
              f"{spread(latencies)}")
    return exits.count(0) == count and len(heard) == count


def report_sequential(series, count):
    print(f"== {count} runs in a row of paths that are not played, taking turns")
    all_zero = True
    for name, results in series.items():
        everything = [wall * 1000 for kind in results for wall, _ in results[kind]]
        codes = [code for kind in results for _, code in results[kind]]
        all_zero = all_zero and codes.count(0) == len(codes)
        print(f"{name}: wall ms median {statistics.median(everything):.2f}  "
              f"p99 {percentile(everything, 0.99):.2f}  max {max(everything):.2f}; "
              f"exit 0 in {codes.count(0)} of {len(codes)}")
        for kind, runs in results.items():
            walls = [wall * 1000 for wall, _ in runs]
            print(f"  {kind}: median {statistics.median(walls):.2f}  "
                  f"p99 {percentile(walls, 0.99):.2f} ms over {len(walls)} runs")
    return all_zero


def summary(outcomes, series):
    overheads = [o.overhead_ms for o in outcomes if o.exit_code is not None]
    parts = [f"{len(outcomes)} at once: {sum(o.heard for o in outcomes)} heard "
             f"({sum(o.whole for o in outcomes)} whole), end overhead median "
             f"{statistics.median(overheads):.0f} ms, max {max(overheads):.0f} ms"]
    for name, results in series.items():
        walls = [wall * 1000 for kind in results for wall, _ in results[kind]]
        parts.append(f"{len(walls)} in a row, {name}: median {statistics.median(walls):.1f} ms, "
                     f"p99 {percentile(walls, 0.99):.1f} ms")
    print("summary: " + "; ".join(parts))


def parse_arguments():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--playonce", default=os.path.join(ROOT, "build", "host", "playonce"))
    parser.add_argument("--paplay", default=None,
                        help="also run the concurrent phase with this player, for reference")
    parser.add_argument("--concurrent", type=int, default=None)
    parser.add_argument("--sequential", type=int, default=None)
    parser.add_argument("--quick", action="store_true",
                        help="10 at once and 100 in a row; exit 1 on a wrong exit code or a file "
                             "not heard")
    arguments = parser.parse_args()
    arguments.concurrent = arguments.concurrent or (10 if arguments.quick else 50)
    arguments.sequential = arguments.sequential or (100 if arguments.quick else 1000)
    return arguments


def executable(path):
    program = os.path.abspath(path) if os.sep in path else shutil.which(path)
    if program is None or not os.access(program, os.X_OK):
        sys.exit(f"not an executable: {path}")
    return program


def main():
    arguments = parse_arguments()
    program = executable(arguments.playonce)
    reference = executable(arguments.paplay) if arguments.paplay else None
    scratch = tempfile.mkdtemp(prefix="playonce-load-")
    try:
        launcher = build_launcher(scratch)
        load_before = os.getloadavg()[0]
        outcomes, clipped = concurrent_phase(program, launcher, scratch, arguments.concurrent)
        concurrent_ok = report_concurrent("playonce", outcomes, clipped)
        if reference is not None:
            report_concurrent(os.path.basename(reference),
                              *concurrent_phase(reference, launcher, scratch, arguments.concurrent))
        series = sequential_phase(program, launcher, scratch, arguments.sequential)
        sequential_ok = report_sequential(series, arguments.sequential)
        print(f"machine: {os.cpu_count()} cores, load average before {load_before:.2f}, "
              f"after {os.getloadavg()[0]:.2f}")
        summary(outcomes, series)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    if arguments.quick and not (concurrent_ok and sequential_ok):
        print("FAILED: a run did not exit 0, or a file was not heard in the mix")
        sys.exit(1)


if __name__ == "__main__":
    main()
