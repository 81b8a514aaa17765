# Reading an `strace -f -y` log: the calls that change the file system, and clobbered descriptors.
"""The log must come from `strace_command` (`strace -f -y -e trace=%file,%desc,%network ...`):
`-y` prints each descriptor with what it refers to (`5</home/a/x.wav>`, `6<socket:[123]>`),
which tells a write into a file from a write into the process's own pipe or socket.
"""

import re
from dataclasses import dataclass

TRACE_SETS = "%file,%desc,%network"


def strace_command(log_path):
    """The wrapper that traces a program and its threads into `log_path`, quietly."""
    return ["strace", "-f", "-y", "-qq", "-e", f"trace={TRACE_SETS}", "-o", log_path]


LINE = re.compile(r"^(?P<pid>\d+)\s+(?P<rest>.*)$")
CALL = re.compile(r"^(?P<name>\w+)\((?P<arguments>.*)\)\s+=\s+(?P<result>.*)$")
RESUMED = re.compile(r"^<\.\.\. (?P<name>\w+) resumed>(?P<tail>.*)$")
UNFINISHED = " <unfinished ...>"
DESCRIPTOR = re.compile(r"^(?P<number>-?\d+)<(?P<target>.*)>(?:\(deleted\))?$")
CHANNEL_INODE = re.compile(r"(?:pipe|socket):\[(\d+)\]")

WRITE_FLAGS = ("O_WRONLY", "O_RDWR", "O_CREAT", "O_TRUNC", "O_APPEND")
OPENS = {"open", "openat", "openat2", "open_by_handle_at"}
# Calls that change the file system whatever they are given, successful or not.
PATH_CHANGES = {
    "creat", "mkdir", "mkdirat", "rmdir", "rename", "renameat", "renameat2",
    "unlink", "unlinkat", "link", "linkat", "symlink", "symlinkat", "mknod", "mknodat",
    "truncate", "chmod", "fchmodat", "chown", "lchown", "fchownat",
    "utime", "utimes", "futimesat", "utimensat",
    "setxattr", "lsetxattr", "removexattr", "lremovexattr",
}
# Calls that change what a descriptor refers to: a change when that is a file.
DESCRIPTOR_CHANGES = {
    "write": 0, "pwrite64": 0, "writev": 0, "pwritev": 0, "pwritev2": 0,
    "ftruncate": 0, "fallocate": 0, "fchmod": 0, "fchown": 0,
    "fsetxattr": 0, "fremovexattr": 0, "sendfile": 0, "copy_file_range": 2, "splice": 2,
}
EXECS = {"execve", "execveat"}


@dataclass
class Call:
    pid: int
    name: str
    arguments: str
    result: str
    line: str

    def argument(self, index):
        """The argument's text, or "" when the call printed fewer."""
        arguments = split_arguments(self.arguments)
        return arguments[index] if index < len(arguments) else ""


def split_arguments(text):
    """The top-level arguments of a call, split at commas outside brackets and strings. What
    `-y` puts in <...> is a path or a channel name, taken whole: a path may hold brackets."""
    parts, depth, current = [], 0, []
    i = 0
    while i < len(text):
        char = text[i]
        if char == '"':
            end = end_of_string(text, i)
        elif char == "<":
            end = end_of_decoration(text, i)
        else:
            end = i + 1
            if char in "([{":
                depth += 1
            elif char in ")]}":
                depth -= 1
            elif char == "," and depth == 0:
                parts.append("".join(current).strip())
                current = []
                i = end
                continue
        current.append(text[i:end])
        i = end
    if current:
        parts.append("".join(current).strip())
    return parts


def end_of_string(text, start):
    """Index just past the closing quote of the string opening at `start` (escapes skipped)."""
    i = start + 1
    while i < len(text) and text[i] != '"':
        i += 2 if text[i] == "\\" else 1
    return min(i + 1, len(text))


def end_of_decoration(text, start):
    """Index just past the '>' that closes a `-y` decoration: one followed by the end of the
    argument (a comma, a closing bracket, a space, the end of the text) or by `(deleted)`."""
    i = start + 1
    while i < len(text):
        if text[i] == ">" and (i + 1 == len(text) or text[i + 1] in ",)]} ("):
            return i + 1
        i += 1
    return len(text)


def read_calls(log_path):
    """Every complete call of the log, with `<unfinished ...>` halves joined to their ends."""
    pending = {}
    calls = []
    with open(log_path, errors="replace") as log:
        for raw in log:
            line = LINE.match(raw.rstrip("\n"))
            if line is None:
                continue
            pid, rest = int(line["pid"]), line["rest"]
            resumed = RESUMED.match(rest)
            if resumed is not None:
                rest = pending.pop(pid, resumed["name"] + "(") + resumed["tail"]
            elif rest.endswith(UNFINISHED):
                pending[pid] = rest[:-len(UNFINISHED)]
                continue
            call = CALL.match(rest)
            if call is not None:
                calls.append(Call(pid, call["name"], call["arguments"], call["result"], rest))
    return calls


def file_target(argument):
    """The file a descriptor argument refers to, or None for a pipe, socket or anonymous memory.

    A memfd prints as a path (`/memfd:pulseaudio (deleted)`) but lives in no folder: it is the
    memory libpulse shares with the server.
    """
    descriptor = DESCRIPTOR.match(argument)
    if descriptor is None:
        return None
    target = descriptor["target"]
    if not target.startswith("/") or target.startswith("/memfd:"):
        return None
    return target


def opens_for_writing(call):
    if call.name not in OPENS:
        return False
    flags = call.argument(2 if call.name != "open" else 1)
    return any(flag in flags for flag in WRITE_FLAGS)


def writes_through_descriptor(call):
    index = DESCRIPTOR_CHANGES.get(call.name)
    return index is not None and file_target(call.argument(index)) is not None


def maps_file_shared_writable(call):
    if call.name != "mmap":
        return False
    return ("PROT_WRITE" in call.argument(2) and "MAP_SHARED" in call.argument(3)
            and file_target(call.argument(4)) is not None)


def binds_a_path(call):
    """A bound Unix socket with a path creates that path. (connect, which reaches the sound
    server's socket, creates nothing and changes nothing there: it is not counted.)"""
    return call.name == "bind" and "sun_path=" in call.arguments


def file_system_changes(calls):
    """The lines of every call that creates, removes, renames, links or writes a file, changes
    its mode, owner or times, or starts another program (after the traced program's own exec)."""
    found = []
    execs = 0
    for call in calls:
        if call.name in EXECS:
            execs += 1
            if execs > 1:
                found.append(call.line)
        elif (call.name in PATH_CHANGES or opens_for_writing(call) or
              writes_through_descriptor(call) or maps_file_shared_writable(call) or
              binds_a_path(call)):
            found.append(call.line)
    return found


def created_channels(calls):
    """Inodes of the pipes and sockets the process made itself."""
    made = set()
    for call in calls:
        if call.name in {"pipe", "pipe2", "socketpair"}:
            made.update(CHANNEL_INODE.findall(call.arguments))
        elif call.name == "socket":
            made.update(CHANNEL_INODE.findall(call.result))
    return made


def clobbered_channels(calls):
    """Lines of dup2/dup3 calls that put something else in place of a descriptor that still
    held one of the process's own pipes or sockets: whatever used it now talks to the wrong file."""
    made = created_channels(calls)
    found = []
    for call in calls:
        if call.name not in {"dup2", "dup3"}:
            continue
        target = call.argument(1)
        inode = CHANNEL_INODE.search(target)
        source = CHANNEL_INODE.search(call.argument(0))
        replaced = inode is not None and inode.group(1) in made
        restored_itself = source is not None and inode is not None and \
            source.group(1) == inode.group(1)
        if replaced and not restored_itself:
            found.append(call.line)
    return found


def closes_of_closed_descriptors(calls):
    """Lines of close calls on a descriptor that was not open: a second close of the same
    number, which in a threaded process may close what another thread opened meanwhile."""
    return [call.line for call in calls
            if call.name == "close" and call.result.startswith("-1 EBADF")]
