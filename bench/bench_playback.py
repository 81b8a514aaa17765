#!/usr/bin/python3
# Benchmark: playonce beside paplay on one private null sink, timed from launch to the sink.
"""Usage: /usr/bin/python3 bench/bench_playback.py [--playonce PATH] [--paplay PATH] [--runs N]
                     [--wine PATH/playonce.exe [--wine-baseline PATH/playonce.exe]]
                     [--busy LOOPS]

The players play the same files (1 s and 5 s 16-bit 44.1 kHz stereo WAV, a 1 s 16-bit FLAC),
N times each, interleaved: in each round every file is played by each, the order reversed from
round to round. The sink is recorded without a break the whole time. With --wine, the Windows
build (our BASS.dll beside it) plays too, under wine64 in a prefix made for the run, and a 10 s
WAV, a 1 s Ogg Vorbis and a 1 s MP3 join the files: Wine's rows are reported, not held to the
targets, since most of their start is Wine's own. --wine-baseline adds another Windows build in
the same prefix (an earlier one, say, whose BASS.dll had Media Foundation decode FLAC, MP3 and
Ogg). A lossy file's samples are the Linux build's decoding of it (decode_dump), which every
build of ours gives; where a player's sound is not found exactly (another decoder), its start
is the first sound after its launch, marked ~, and its missing frames are not known.

With --busy LOOPS, every run is starved: LOOPS shell busy loops at nice 0 run from just before
its launch to its end (tests/audio/starve.py), and the player runs at nice 19. The runs heard
whole are then the figure that counts; the start comes late by however long the player waited
for the processor.

Figures per run, reported as medians with their spread (interquartile range):
- start latency: from just before the launch to the moment the sink produced the file's first
  frame. The null sink produces frames off the monotonic clock, so capture frame k was produced
  at about T0 + k/44100. T0 comes from watching the capture file grow: a note (t, n frames
  written) bounds T0 <= t - n/44100; a line through the least of these bounds near the run
  gives T0 there (a line, as the sink's frame clock runs ~200 ppm fast; see pulse.frame_time).
  It is late by parec's least delivery delay (5 ms latency asked) and early by the sink's
  render-ahead, each a few ms and the same for both players; the typical lag of the notes over
  the envelope is shown as the clock relation's jitter. The file's first frame is found bit
  for bit in the part of the capture around the run.
- missing: frames of the file's end that did not arrive: 0 when the file arrived as one exact
  run, else counted back from the last of its 1,024-frame blocks found intact (a sink glitch
  mid-file, which hits every player alike, is reported apart as a broken run).
- overhead: wall time from launch to the child's end, minus the file's length.
- CPU: user + system time of the child; peak memory: its maxrss. Both come from wait4 in
  bench/spawn_and_measure.c, a small launcher compiled at start: Linux carries a process's
  peak RSS across exec, so a player forked by this Python process would report Python's.
The targets are reported, not asserted: the exit code is 0 unless the harness itself fails.
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass

import numpy as np

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.dont_write_bytecode = True  # nothing left in the source tree
sys.path.insert(0, os.path.join(ROOT, "tests", "audio"))

import compare  # noqa: E402
import harness  # noqa: E402
import pulse  # noqa: E402
import signals  # noqa: E402
import starve  # noqa: E402
import suite  # noqa: E402
import wine_player  # noqa: E402

GAP_S = 0.3  # silence between runs, so each run stands alone in the capture
HANG_MARGIN_S = 10.0
SEARCH_BEFORE_S = 0.05  # the file's first frame is looked for from just before the launch...
SEARCH_AFTER_S = 3.5  # ...to this long after the run ends (PipeWire's monitor lags 2.5 s)
CLOCK_WINDOW_S = 2.0  # growth notes this close to a run fix its T0
NOISY_LOAD = 0.5  # 1-minute load average above which the machine was not idle
NOISY_SPREAD_MS = 5.0  # an interquartile range of start latency above this is noisy
TARGET_MS = 20.0
TIE_MS = 1.0  # "no worse than paplay" within the clock relation's resolution
TARGET_RSS_MIB = 8.0


@dataclass
class BenchFile:
    name: str
    path: str
    frames: object  # int16 (n, 2), as the file decodes exactly (by our library, if lossy)
    seconds: float
    lossless: bool = True


@dataclass
class Launch:
    player: str
    file: BenchFile
    started: float
    ended: float
    status: int
    cpu_s: float
    maxrss_kib: int


@dataclass
class Figures:
    latency_ms: float  # None when no sound was found
    missing: int  # frames of the file's end that never arrived; None if not found exactly
    unbroken: bool  # the whole file arrived as one exact run
    overhead_ms: float
    cpu_ms: float
    rss_mib: float
    exact: bool = True  # the file's first frame was found; else the first sound is taken


LOSSY = [("1 s Ogg Vorbis", "ogg", ["-c:a", "libvorbis", "-q:a", "5"]),
         ("1 s MP3", "mp3", ["-c:a", "libmp3lame", "-b:a", "192k"])]


def make_lossy(folder, seed, linux_decoder):
    """The lossy files of the Windows rows, in the player's own noise, with their frames as our
    library decodes them."""
    files = []
    for name, suffix, options in LOSSY:
        noise = os.path.join(folder, name.replace(" ", "_") + ".wav")
        path = os.path.join(folder, name.replace(" ", "_") + "." + suffix)
        signals.write_sound(noise, signals.noise_frames(pulse.RATE, seed=seed), pulse.RATE,
                            "WAV", "PCM_16")
        subprocess.run(["ffmpeg", "-loglevel", "error", "-nostdin", "-y", "-i", noise, *options,
                        path], check=True, timeout=60)
        raw = path + ".raw"
        subprocess.run([linux_decoder, path, raw], check=True, timeout=60, capture_output=True)
        frames = np.fromfile(raw, dtype="<i2").reshape(-1, 2)
        files.append(BenchFile(name, path, frames, len(frames) / pulse.RATE, lossless=False))
    return files


def make_files(folder, with_ten_seconds, with_flac=True, seed=100, linux_decoder=None):
    """The bench's sounds; each player gets its own noise (`seed`), so that a search window
    that reaches into the next run (PipeWire's late monitor) never finds another player's."""
    os.makedirs(folder, exist_ok=True)
    one = signals.noise_frames(pulse.RATE, seed=seed + 1)
    five = signals.noise_frames(5 * pulse.RATE, seed=seed + 2)
    flac = signals.noise_frames(pulse.RATE, seed=seed + 3)
    files = []
    sounds = [("1 s WAV", one, "WAV"), ("5 s WAV", five, "WAV")]
    if with_flac:
        sounds.append(("1 s FLAC", flac, "FLAC"))
    if with_ten_seconds:
        sounds.append(("10 s WAV", signals.noise_frames(10 * pulse.RATE, seed=seed + 4), "WAV"))
    for name, frames, file_format in sounds:
        path = os.path.join(folder, name.replace(" ", "_") + "." + file_format.lower())
        signals.write_sound(path, frames, pulse.RATE, file_format, "PCM_16")
        files.append(BenchFile(name, path, frames, len(frames) / pulse.RATE))
    if linux_decoder is not None:
        files += make_lossy(folder, seed + 5, linux_decoder)
    return files


def build_launcher(folder):
    """Compiles spawn_and_measure.c: the player must be forked from a small process."""
    compiler = shutil.which("cc") or shutil.which("gcc") or shutil.which("clang")
    if compiler is None:
        sys.exit("no C compiler to build bench/spawn_and_measure.c")
    launcher = os.path.join(folder, "spawn_and_measure")
    subprocess.run([compiler, "-O2", "-o", launcher,
                    os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                 "spawn_and_measure.c")], check=True, timeout=60)
    return launcher


STARVED_MARGIN_S = 120.0  # a starved run's lateness, on top of the hang margin


def launch(launcher, program, path, environment, busy=0):
    """One run of a player through the launcher, which waits for it with wait4; with `busy`,
    starved (nice 19 beside that many busy loops)."""
    niced = starve.PLAYER_NICE if busy else []
    with starve.BusyLoops(busy):
        result = subprocess.run([launcher, *niced, *program.command([path])],
                                env=program.environment(dict(environment)),
                                stdin=subprocess.DEVNULL, capture_output=True, text=True,
                                timeout=HANG_MARGIN_S + 10.0 + (STARVED_MARGIN_S if busy else 0),
                                check=True)
    start_ns, end_ns, status, user_us, system_us, maxrss = map(int, result.stdout.split())
    return (start_ns / 1e9, end_ns / 1e9, os.waitstatus_to_exitcode(status),
            (user_us + system_us) / 1e6, maxrss)


def play_rounds(launcher, players, files, runs, environment, busy=0):
    """`files` by player name: the same sounds in each player's own noise."""
    launches = []
    for round_index in range(runs):
        order = players if round_index % 2 == 0 else list(reversed(players))
        for index in range(len(files["playonce"])):
            for name, program in order:
                bench_file = files[name][index]
                started, ended, status, cpu_s, rss = launch(launcher, program, bench_file.path,
                                                           environment, busy)
                launches.append(Launch(name, bench_file, started, ended, status, cpu_s, rss))
                time.sleep(GAP_S)
        print(f"round {round_index + 1}/{runs} done", file=sys.stderr)
    return launches


def measure(launch_record, capture, recorder, estimate):
    """Figures of one run, from the continuous capture."""
    first = max(0, int(estimate.frame_at(launch_record.started - SEARCH_BEFORE_S)))
    last = int(estimate.frame_at(launch_record.ended + SEARCH_AFTER_S))
    window = capture[first:last]
    frames = launch_record.file.frames
    match = compare.find_exact(window, frames)
    latency_ms, missing = None, None
    exact = match.offset >= 0
    heard = match.offset if exact else compare.first_nonzero_frame(window)
    if heard is not None and heard >= 0:
        latency_ms = (recorder.frame_time(first + heard) - launch_record.started) * 1000
    wall_s = launch_record.ended - launch_record.started
    unbroken = match.matched == len(frames)
    if exact:
        missing = 0 if unbroken else missing_at_end(window, frames, max(0, match.offset))
    return Figures(latency_ms, missing, unbroken, (wall_s - launch_record.file.seconds) * 1000,
                   launch_record.cpu_s * 1000, launch_record.maxrss_kib / 1024, exact)


TAIL_BLOCK_FRAMES = 1024


def missing_at_end(window, frames, after):
    """How many of the file's last frames never arrived, past `after` in the window.

    A sink that glitches (PipeWire's graph on a busy machine drops in 256-frame silences)
    breaks the exact run mid-file for every player alike; what the player itself lost is
    the end: the file's last block found in the capture, and the exact run from there, tell
    how much of it arrived."""
    for start in range(len(frames) - TAIL_BLOCK_FRAMES, -1, -TAIL_BLOCK_FRAMES):
        block = compare.find_exact(window[after:], frames[start:start + TAIL_BLOCK_FRAMES])
        if block.matched == TAIL_BLOCK_FRAMES:
            run = compare.longest_exact_run(window, frames[start:], after + block.offset)
            return len(frames) - start - run
    return len(frames)


class RoughFramePosition:
    """Time to capture frame, to within a few ms: enough to pick the part of the capture where
    a run's sound must lie."""

    def __init__(self, recorder):
        times, sizes = zip(*[(t, size) for t, size in recorder.growth if size > 0])
        self.times = np.array(times)
        self.frames = np.array(sizes) / pulse.BYTES_PER_FRAME

    def frame_at(self, t):
        return float(np.interp(t, self.times, self.frames))


def median_and_spread(values):
    values = [v for v in values if v is not None]
    if not values:
        return None, None
    if len(values) < 2:
        return values[0], 0.0
    quartiles = statistics.quantiles(values, n=4)
    return statistics.median(values), quartiles[2] - quartiles[0]


def format_cell(values, digits=1, approximate=False):
    median, spread = median_and_spread(values)
    if median is None:
        return "n/a"
    return f"{'~' if approximate else ''}{median:.{digits}f} ±{spread:.{digits}f}"


COLUMNS = [("start latency ms", "latency_ms", 1), ("missing frames", "missing", 0),
           ("wall - length ms", "overhead_ms", 1), ("CPU ms", "cpu_ms", 1),
           ("peak RSS MiB", "rss_mib", 2)]


def print_table(results, files, players):
    header = ["file", "player", "runs"] + [title for title, _, _ in COLUMNS]
    rows = []
    for bench_file in files:
        for name, _ in players:
            figures = results.get((bench_file.name, name))
            if not figures:
                continue
            approximate = not all(f.exact for f in figures)
            rows.append([bench_file.name, name, str(len(figures))] +
                        [format_cell([getattr(f, field) for f in figures], digits,
                                     approximate and field == "latency_ms")
                         for _, field, digits in COLUMNS])
    widths = [max(len(row[i]) for row in rows + [header]) for i in range(len(header))]
    for row in [header, ["-" * w for w in widths]] + rows:
        print("  ".join(cell.ljust(width) for cell, width in zip(row, widths)))
    print("(each cell: median ±interquartile range; missing frames: of the file's end; "
          "~: the first sound, the file not found exactly)")
    for name, _ in players:
        runs = [f for bench_file in files for f in results.get((bench_file.name, name), [])]
        print(f"{name}: {sum(f.unbroken for f in runs)} of {len(runs)} runs arrived as one "
              "unbroken exact run")


def show(value):
    return "n/a" if value is None else f"{value:.1f}"


def report_targets(results, files, reference):
    """playonce's figures against the stack's first reference player's (paplay, pw-play, aplay)."""
    for bench_file in files:
        if (bench_file.name, "playonce") not in results:
            continue
        ours = results[(bench_file.name, "playonce")]
        theirs = results[(bench_file.name, reference)]
        latency, _ = median_and_spread([f.latency_ms for f in ours])
        paplay_latency, _ = median_and_spread([f.latency_ms for f in theirs])
        overhead, _ = median_and_spread([f.overhead_ms for f in ours])
        paplay_overhead, _ = median_and_spread([f.overhead_ms for f in theirs])
        rss, _ = median_and_spread([f.rss_mib for f in ours])
        missing = max((f.missing for f in ours if f.missing is not None), default=None)
        checks = [
            (f"start latency {show(latency)} <= {reference}'s {show(paplay_latency)} (+{TIE_MS:g}) "
             f"and < {TARGET_MS:g} ms", latency is not None and paplay_latency is not None and
             latency <= paplay_latency + TIE_MS and latency < TARGET_MS),
            (f"wall overhead {show(overhead)} <= {reference}'s {show(paplay_overhead)} "
             f"(+{TIE_MS:g}) and < {TARGET_MS:g} ms",
             overhead <= paplay_overhead + TIE_MS and overhead < TARGET_MS),
            (f"no frame missing in any run (most missing: {missing})", missing == 0),
            (f"peak memory {rss:.2f} < {TARGET_RSS_MIB:g} MiB", rss < TARGET_RSS_MIB),
        ]
        for text, met in checks:
            print(f"target {bench_file.name}: {text}: {'met' if met else 'NOT met'}")


def report_machine(load_before, load_after, results, jitter_ms):
    spreads = [median_and_spread([f.latency_ms for f in figures])[1]
               for figures in results.values()]
    widest = max((s for s in spreads if s is not None), default=0.0)
    noisy = max(load_before[0], load_after[0]) > NOISY_LOAD or widest > NOISY_SPREAD_MS
    print(f"machine: {os.cpu_count()} cores, load average before {load_before[0]:.2f} "
          f"after {load_after[0]:.2f}; widest start-latency spread {widest:.1f} ms; "
          f"clock relation jitter (typical note over the envelope) {jitter_ms:.1f} ms: "
          f"{'NOISY' if noisy else 'quiet'}")


def clock_jitter_ms(recorder):
    return recorder.delivery_jitter_s() * 1000


def parse_arguments():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--playonce", default=os.path.join(ROOT, "build", "host", "playonce"))
    parser.add_argument("--paplay", default=shutil.which("paplay") or "paplay")
    parser.add_argument("--runs", type=int, default=15)
    parser.add_argument("--wine", help="also the Windows build's playonce.exe, under wine64")
    parser.add_argument("--wine-baseline",
                        help="with --wine: another Windows build beside it, in the same prefix")
    parser.add_argument("--linux-decoder",
                        default=os.path.join(ROOT, "build", "host", "tests", "libbass",
                                             "decode_dump"),
                        help="decode_dump of the host build: the lossy files' samples")
    parser.add_argument("--stack", choices=sorted(REFERENCE_PLAYERS), default="pulseaudio",
                        help="the sound stack, each with its own players beside playonce")
    parser.add_argument("--busy", type=int, default=0, metavar="LOOPS",
                        help="starve every run: LOOPS busy loops at nice 0, the player at nice 19 "
                             f"({starve.default_loops()} starve it on this machine)")
    return parser.parse_args()


# Beside playonce on each stack: the stack's own players.
REFERENCE_PLAYERS = {"pulseaudio": ["paplay"], "pipewire": ["pw-play", "paplay"],
                     "alsa": ["aplay"]}


WINE_PLAYER = "playonce.exe, wine64"
BASELINE_PLAYER = "earlier .exe, wine64"


def wine_programs(arguments, scratch, server):
    """The Windows builds as players, one prefix made and warmed up for both; [] without
    --wine."""
    if arguments.wine is None:
        return []
    program = wine_player.WineProgram(os.path.abspath(arguments.wine), scratch)
    program.start(server)
    programs = [(WINE_PLAYER, program)]
    if arguments.wine_baseline is not None:
        programs.append((BASELINE_PLAYER, program.with_exe(os.path.abspath(arguments.wine_baseline))))
    return programs


def main():
    arguments = parse_arguments()
    others = [(name, arguments.paplay if name == "paplay" else shutil.which(name) or name)
              for name in REFERENCE_PLAYERS[arguments.stack]]
    players = [("playonce", os.path.abspath(arguments.playonce))] + others
    suite.STACK = arguments.stack
    for name, program in players:
        if not os.access(program, os.X_OK):
            sys.exit(f"{name}: not an executable: {program}")
    players = [(name, harness.NativeProgram(program)) for name, program in players]
    scratch = tempfile.mkdtemp(prefix="playonce-bench-")
    wine = []
    try:
        # aplay reads WAVE files only (a FLAC file it would play as raw bytes).
        files_by_player = {}
        with_wine = arguments.wine is not None
        lossy_decoder = arguments.linux_decoder if with_wine else None
        if with_wine and not os.access(arguments.linux_decoder, os.X_OK):
            sys.exit(f"no {arguments.linux_decoder}: build the host preset, or give --linux-decoder")
        for number, (name, _) in enumerate(players + [(WINE_PLAYER, None),
                                                      (BASELINE_PLAYER, None)]):
            files_by_player[name] = make_files(
                os.path.join(scratch, f"player-{number}"), with_wine,
                arguments.stack != "alsa", seed=100 + 10 * number, linux_decoder=lossy_decoder)
        files = files_by_player["playonce"]
        launcher = build_launcher(scratch)
        with suite.new_server() as server:
            wine = wine_programs(arguments, scratch, server)
            players[1:1] = wine
            load_before = os.getloadavg()
            home = harness.make_home(scratch)
            server.prepare_home(home)
            environment = server.player_environment(home)
            with server.recorder(os.path.join(scratch, "capture.raw")) as recorder:
                time.sleep(GAP_S)
                launches = play_rounds(launcher, players, files_by_player, arguments.runs,
                                       environment, arguments.busy)
                tail_s = max(GAP_S, server.recording_tail_s)
                recorder.wait_for_frames(len(recorder.frames()) + int(tail_s * pulse.RATE),
                                         tail_s + 5.0)
            capture = recorder.frames()
        load_after = os.getloadavg()
        failed = [l for l in launches if l.status != 0]
        estimate = RoughFramePosition(recorder)
        results = {(f.name, name): [] for f in files for name, _ in players}
        for launch_record in launches:
            results[(launch_record.file.name, launch_record.player)].append(
                measure(launch_record, capture, recorder, estimate))
        starved = (f"starved: {arguments.busy} busy loops at nice 0, the players at nice 19; "
                   if arguments.busy else "")
        print(f"{starved}{arguments.runs} runs per player and file, interleaved; "
              f"{len(failed)} runs exited non-zero")
        print_table(results, files, players)
        report_targets(results, files, others[0][0])
        report_machine(load_before, load_after, results, clock_jitter_ms(recorder))
    finally:
        if wine:
            wine[0][1].stop()
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main()
