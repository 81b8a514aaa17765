#!/usr/bin/python3
# The demonstration's report and picture, for a file that arrives whole and for runs that do not.
"""Usage: /usr/bin/python3 tests/demo/test_demo.py --playonce PATH [unittest options]"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import unittest
from dataclasses import dataclass

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(ROOT, "tests", "audio"))

import matplotlib.image  # noqa: E402
import numpy as np  # noqa: E402

import pulse  # noqa: E402
import signals  # noqa: E402

PLAYONCE = None
RUN_DEMO = os.path.join(ROOT, "demo", "run_demo.py")
# matplotlib's tab:blue (the file) and tab:green (the sink), as the picture draws them.
FILE_COLOUR = (0x1F, 0x77, 0xB4)
SINK_COLOUR = (0x2C, 0xA0, 0x2C)


@dataclass
class Case:
    name: str
    make_file: object  # folder -> path, or None for the chime
    player: str  # "playonce", or a program that plays nothing
    exit_code: int
    says: str
    sink_trace: bool  # whether the picture shows sound at the sink
    own_server: bool = False  # played on "the user's own" server (a private one, as found)


def chime(folder):
    return None


def resampled_mono_flac(folder):
    """48 kHz mono: the sink resamples it, so it can only be judged by likeness."""
    path = os.path.join(folder, "mono 48k.flac")
    signals.write_sound(path, signals.chirp(0.8, 48000, 200, 4000).reshape(-1, 1), 48000,
                        "FLAC", "PCM_16")
    return path


CASES = [
    Case("the chime arrives bit for bit", chime, "playonce", 0,
         "bit for bit yes: every frame arrived unchanged", True),
    Case("a file the sink resamples, by likeness", resampled_mono_flac, "playonce", 0,
         "likeness    correlation", True),
    Case("a player that plays nothing", chime, "/bin/true", 1, "not found at the sink", False),
    Case("the user's own server, found as a client finds it", chime, "playonce", 0,
         "on          your own sound server", True, own_server=True),
]


def colour_pixels(image, colour):
    rgb = (image[:, :, :3] * 255).round().astype(int)
    return int(np.count_nonzero(np.all(np.abs(rgb - colour) <= 8, axis=2)))


class DemoReportTest(unittest.TestCase):
    def test_reports_and_pictures(self):
        for case in CASES:
            with self.subTest(case.name):
                folder = tempfile.mkdtemp(prefix="playonce demo ")
                self.addCleanup(shutil.rmtree, folder, True)
                path = case.make_file(folder)
                player = PLAYONCE if case.player == "playonce" else case.player
                command = ["/usr/bin/python3", RUN_DEMO, "--playonce", player, "--out", folder]
                command += ([] if case.own_server else ["--private"]) + ([path] if path else [])
                environment = dict(os.environ)
                if case.own_server:
                    server = pulse.PrivateServer()
                    server.start()
                    self.addCleanup(server.stop)
                    environment = server.client_environment()
                result = subprocess.run(command, capture_output=True, text=True, timeout=120,
                                        env=environment)
                label = f"{case.name}: exit {result.returncode}\n{result.stdout}{result.stderr}"
                self.assertEqual(result.returncode, case.exit_code, label)
                with open(os.path.join(folder, "report.txt")) as text:
                    report = text.read()
                self.assertIn(case.says, report, label)
                self.assertIn(report.strip(), result.stdout, "the terminal shows the report")
                image = matplotlib.image.imread(os.path.join(folder, "report.png"))
                self.assertGreater(colour_pixels(image, FILE_COLOUR), 1000,
                                   f"{label}: no file trace")
                sink_pixels = colour_pixels(image, SINK_COLOUR)
                self.assertEqual(sink_pixels > 1000, case.sink_trace,
                                 f"{label}: {sink_pixels} pixels of the sink's trace")


def main():
    global PLAYONCE
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--playonce", required=True)
    arguments, rest = parser.parse_known_args()
    PLAYONCE = os.path.abspath(arguments.playonce)
    unittest.main(argv=[sys.argv[0], *rest])


if __name__ == "__main__":
    main()
