# What the suite's test programs share: the player, one private server, a scratch folder.
import argparse
import os
import shutil
import sys
import tempfile
import unittest

import harness
import pulse

PLAYER_PATH = None
SERVER = None
SCRATCH = None


def start():
    """For setUpModule: the scratch folder (readable by others) and the shared server."""
    global SERVER, SCRATCH
    SCRATCH = tempfile.mkdtemp(prefix="playonce-audio-")
    os.chmod(SCRATCH, 0o755)
    SERVER = pulse.PrivateServer()
    SERVER.start()


def stop():
    SERVER.stop()
    shutil.rmtree(SCRATCH, ignore_errors=True)


def folder(name):
    made = tempfile.mkdtemp(prefix=name.replace(" ", "-").replace("/", "-")[:20] + "-",
                            dir=SCRATCH)
    os.chmod(made, 0o755)
    return made


def player(server=None):
    return harness.Player(PLAYER_PATH, server or SERVER, SCRATCH)


def require_plain_build(tool):
    """strace and valgrind need the build without sanitizers (ptrace, their own allocator)."""
    if harness.is_sanitized(PLAYER_PATH):
        raise unittest.SkipTest(f"{PLAYER_PATH} is a sanitizer build: {tool} runs on the plain one")
    if shutil.which(tool) is None:
        raise unittest.SkipTest(f"{tool} is not installed")


def main(description):
    """Reads --playonce, passes the rest to unittest."""
    global PLAYER_PATH
    parser = argparse.ArgumentParser(description=description)
    parser.add_argument("--playonce", required=True, help="the player to test")
    known, rest = parser.parse_known_args()
    PLAYER_PATH = os.path.abspath(known.playonce) if os.sep in known.playonce \
        else shutil.which(known.playonce)
    if PLAYER_PATH is None or not os.access(PLAYER_PATH, os.X_OK):
        parser.error(f"not an executable: {known.playonce}")
    unittest.main(module="__main__", argv=[sys.argv[0], *rest], verbosity=2)
