# A starved player: busy loops at nice 0 on every processor, the player at nice 19.
import os
import shutil
import signal
import subprocess

# More loops than processors, so that every one of them is always taken; the player, at the
# lowest priority, then gets a sliver of the processor (a 1 s file's run took about 6 s here).
LOOPS_PER_PROCESSOR = 4
# By its path: the benchmark's launcher runs it without a search of PATH.
PLAYER_NICE = [shutil.which("nice") or "/usr/bin/nice", "-n", "19"]
LONGEST_S = 300  # no loop outlives this, whatever happens to the process that started it


def default_loops():
    return LOOPS_PER_PROCESSOR * (os.cpu_count() or 1)


def set_apart():
    """Nice 0, in a process group of its own to be killed by, and in the player's session: a
    new session would be a scheduling group of its own (autogroup), where the player's nice
    value no longer weighs against it."""
    os.setpriority(os.PRIO_PROCESS, 0, 0)
    os.setpgid(0, 0)


class BusyLoops:
    """`count` shell busy loops at nice 0 while the `with` block runs, each bounded in time."""

    def __init__(self, count, longest_s=LONGEST_S):
        self.count = count
        self.longest_s = longest_s
        self.loops = []

    def __enter__(self):
        for _ in range(self.count):
            self.loops.append(subprocess.Popen(
                ["timeout", str(int(self.longest_s)), "sh", "-c", "while :; do :; done"],
                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                preexec_fn=set_apart))
        return self

    def __exit__(self, *_):
        for loop in self.loops:
            try:
                os.killpg(loop.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        for loop in self.loops:
            loop.wait()
        self.loops = []
