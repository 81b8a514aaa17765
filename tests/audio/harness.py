# One bounded run of the player while the private sink is recorded, with all that it left behind.
import os
import pwd
import shutil
import subprocess
import tempfile
import threading
import time
from dataclasses import dataclass, field

import numpy as np

import pulse

HANG_MARGIN_S = 10.0
UNPRIVILEGED_USER = "nobody"


@dataclass
class RunOptions:
    environment: dict = field(default_factory=dict)  # added to the client environment
    server_address: str = None  # instead of the private server's
    preload: str = None  # a shim for LD_PRELOAD
    as_user: str = None  # run through setpriv as this user (we are root)
    cwd: str = None  # instead of a fresh empty folder
    home: str = None  # instead of a fresh home; the caller keeps it
    wrapper: list = None  # a command the player runs under (strace, valgrind)
    closed_fds: tuple = ()  # descriptors closed at start, as by `>&- 2>&-`
    unset: tuple = ()  # variables taken out of the client environment
    during: object = None  # called in a thread with the player's Popen once it is started


@dataclass
class Run:
    arguments: list
    returncode: int
    timed_out: bool
    stdout: bytes
    stderr: bytes
    wall_s: float
    capture: np.ndarray
    new_files: list

    def describe(self):
        return (f"arguments={self.arguments!r} exit={self.returncode} timed_out={self.timed_out} "
                f"wall={self.wall_s:.3f}s stdout={self.stdout[:200]!r} "
                f"stderr={self.stderr[:400]!r} new_files={self.new_files}")


def list_tree(folder):
    """Every path under `folder`, relative to it (folders too), as a set."""
    found = set()
    for parent, folders, files in os.walk(folder):
        for name in folders + files:
            found.add(os.path.relpath(os.path.join(parent, name), folder))
    return found


def snapshot(folders):
    return {folder: list_tree(folder) for folder in folders}


def new_paths(before, after):
    return sorted(os.path.join(folder, path)
                  for folder in before for path in after[folder] - before[folder])


def make_home(parent, owner_uid=None):
    """A home as a desktop user's has it: libpulse's cookie already there, so a client that
    writes nothing leaves it as it was (in an empty home libpulse itself would create one)."""
    home = tempfile.mkdtemp(prefix="home-", dir=parent)
    cookie_folder = os.path.join(home, ".config", "pulse")
    os.makedirs(cookie_folder)
    with open(os.path.join(cookie_folder, "cookie"), "wb") as cookie:
        cookie.write(bytes(range(256)))
    if owner_uid is not None:
        chown_tree(home, owner_uid)
    return home


def chown_tree(folder, uid):
    gid = pwd.getpwuid(uid).pw_gid
    for parent, folders, files in os.walk(folder):
        os.chown(parent, uid, gid)
        for name in files:
            os.chown(os.path.join(parent, name), uid, gid)


def user_id(name):
    return pwd.getpwnam(name).pw_uid


def as_user_prefix(name):
    """setpriv drops to the user without PAM or a login shell: nothing else runs before the player."""
    return ["setpriv", f"--reuid={name}", f"--regid={pwd.getpwnam(name).pw_gid}",
            "--clear-groups", "--"]


class NativeProgram:
    """A Linux player (playonce, or paplay while developing), run as it is."""

    system = "linux"
    home = None  # each run gets a fresh one
    start_allowance_s = 0.0  # what starting the program may add to a run

    def __init__(self, path):
        self.path = path

    def command(self, arguments):
        return [self.path, *arguments]

    def environment(self, environment):
        return environment

    @staticmethod
    def without_output_device():
        """Run options' environment for a system with no output device: here, the harness
        points the player at a server that does not exist."""
        return {}


class Player:
    """Runs one program (a NativeProgram, or playonce.exe under Wine) on the private server."""

    def __init__(self, program, server, scratch):
        self.program = program if hasattr(program, "command") else NativeProgram(program)
        self.server = server
        self.scratch = scratch

    def environment(self, options, home):
        environment = self.server.player_environment(home)
        if options.server_address is not None:
            environment["PULSE_SERVER"] = options.server_address
        if options.preload is not None:
            environment["LD_PRELOAD"] = options.preload
            # A sanitizer build wants its runtime first; the shim goes first instead.
            asan = environment.get("ASAN_OPTIONS", "")
            environment["ASAN_OPTIONS"] = ":".join(filter(None, [asan, "verify_asan_link_order=0"]))
        environment = self.program.environment(environment)
        environment.update(options.environment)
        for name in options.unset:
            environment.pop(name, None)
        return environment

    def command(self, arguments, options):
        prefix = as_user_prefix(options.as_user) if options.as_user else []
        prefix += closing_prefix(options.closed_fds)
        prefix += list(options.wrapper or [])
        return prefix + self.program.command(list(arguments))

    def run(self, arguments, watched=(), expected_s=0.0, options=None):
        """Runs the player once, recording the sink from before its start to after its end."""
        options = options or RunOptions()
        owner = user_id(options.as_user) if options.as_user else None
        home = options.home or self.program.home
        if home is None:
            home = make_home(self.scratch, owner)
            self.server.prepare_home(home)
        cwd = options.cwd or tempfile.mkdtemp(prefix="cwd-", dir=self.scratch)
        if owner is not None and options.cwd is None:
            os.chown(cwd, owner, pwd.getpwuid(owner).pw_gid)
        # A home the program keeps across runs (Wine's) holds its caches, not the player's files.
        folders = [cwd, *watched] if home == self.program.home else [home, cwd, *watched]
        before = snapshot(folders)
        capture_path = tempfile.mktemp(prefix="capture-", suffix=".raw", dir=self.scratch)
        with self.server.recorder(capture_path) as recorder:
            started = time.monotonic()
            result, timed_out = self._run_bounded(arguments, options, home, cwd, expected_s)
            wall_s = time.monotonic() - started
            tail_s = self.server.recording_tail_s
            recorder.wait_for_frames(len(recorder.frames()) + int(tail_s * pulse.RATE), tail_s + 5.0)
        capture = recorder.frames()
        os.unlink(capture_path)
        after = snapshot(folders)
        if options.home is None and home != self.program.home:
            shutil.rmtree(home, ignore_errors=True)
        return Run(list(arguments), result.returncode, timed_out, result.stdout, result.stderr,
                   wall_s, capture, new_paths(before, after))

    def _run_bounded(self, arguments, options, home, cwd, expected_s):
        command = self.command(arguments, options)
        # Output goes to files, not pipes: a helper the program starts (Wine's desktop, say)
        # could hold a pipe open long after the program itself has ended.
        with tempfile.TemporaryFile(dir=self.scratch) as stdout, \
                tempfile.TemporaryFile(dir=self.scratch) as stderr:
            process = subprocess.Popen(command, env=self.environment(options, home), cwd=cwd,
                                       stdin=subprocess.DEVNULL, stdout=stdout, stderr=stderr)
            helper = start_during(options.during, process)
            try:
                process.wait(timeout=expected_s + HANG_MARGIN_S + self.program.start_allowance_s)
                timed_out = False
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
                timed_out = True
            finally:
                if helper is not None:
                    helper.join()
            returncode = None if timed_out else process.returncode
            output = [read_back(stdout), read_back(stderr)]
        return subprocess.CompletedProcess(command, returncode, *output), timed_out


def read_back(file):
    file.seek(0)
    return file.read()


def closing_prefix(descriptors):
    """A shell that closes the descriptors and then becomes the rest of the command."""
    if not descriptors:
        return []
    closing = " ".join(f"{fd}>&-" for fd in descriptors)
    return ["sh", "-c", f'exec "$0" "$@" {closing}']


def start_during(action, process):
    if action is None:
        return None
    helper = threading.Thread(target=action, args=(process,), daemon=True)
    helper.start()
    return helper


def is_sanitized(program):
    """Whether the program was built with AddressSanitizer (which ptrace and valgrind exclude)."""
    with open(program, "rb") as image:
        return b"__asan_init" in image.read()
