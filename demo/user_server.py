# The user's own sound server, as the demonstration's recorder and player reach it.
"""Offers what the private server of tests/audio/pulse.py offers the demonstration (a sink to
record, the environments of clients), for the server the user's session already runs, left as
it is: nothing is loaded into it and nothing of its settings changes."""

import os
import subprocess

import pulse

PROBE_TIMEOUT_S = 5.0


def _pactl(*arguments):
    return subprocess.run(["pactl", *arguments], stdin=subprocess.DEVNULL, capture_output=True,
                          text=True, timeout=PROBE_TIMEOUT_S)


def answers():
    """Whether a server answers the caller as any client of theirs would find it."""
    try:
        return _pactl("info").returncode == 0
    except (OSError, subprocess.TimeoutExpired):
        return False


class UserServer:
    recording_latency_ms = 20  # a real device's monitor: no need to press it
    recording_tail_s = 0.5

    def __init__(self):
        self.sink_name = None
        self.server_address = None

    def __enter__(self):
        self.sink_name = _pactl("get-default-sink").stdout.strip()
        info = _pactl("info").stdout
        names = [line.split(":", 1)[1].strip() for line in info.splitlines()
                 if line.startswith("Server Name:")]
        self.server_address = names[0] if names else "the session's server"
        return self

    def __exit__(self, *exc):
        pass

    def client_environment(self, home=None):
        return dict(os.environ)

    def player_environment(self, home=None):
        return dict(os.environ)

    def recorder(self, path):
        return pulse.Recorder(self, path)
