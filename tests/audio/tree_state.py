# A picture of a folder tree in every detail but access times, and how two pictures differ.
"""Reading a file changes only its access time, so everything else must stay as it was: names,
kinds, modes, owners, sizes, contents, link targets, inodes, link counts, modification and
change times (the change time moves on any chmod, chown, link or rename, too). FIFOs are never
opened: that would block, and the player must not open them either.
"""

import hashlib
import os
import stat

CHUNK = 1 << 20


def content_hash(path):
    digest = hashlib.sha256()
    with open(path, "rb") as source:
        while chunk := source.read(CHUNK):
            digest.update(chunk)
    return digest.hexdigest()


def describe(path):
    status = os.lstat(path)
    entry = {
        "kind": stat.S_IFMT(status.st_mode),
        "mode": stat.S_IMODE(status.st_mode),
        "owner": (status.st_uid, status.st_gid),
        "size": status.st_size,
        "inode": status.st_ino,
        "links": status.st_nlink,
        "mtime_ns": status.st_mtime_ns,
        "ctime_ns": status.st_ctime_ns,
    }
    if stat.S_ISREG(status.st_mode):
        entry["sha256"] = content_hash(path)
    elif stat.S_ISLNK(status.st_mode):
        entry["target"] = os.readlink(path)
    return entry


def picture(root):
    """{path relative to root: description} for root itself and everything under it."""
    found = {".": describe(root)}
    for parent, folders, files in os.walk(root):
        for name in folders + files:
            path = os.path.join(parent, name)
            found[os.path.relpath(path, root)] = describe(path)
    return found


def differences(before, after):
    """One line per path that appeared, went, or changed (naming the fields that changed)."""
    lines = [f"new: {path}" for path in sorted(after.keys() - before.keys())]
    lines += [f"gone: {path}" for path in sorted(before.keys() - after.keys())]
    for path in sorted(before.keys() & after.keys()):
        old, new = before[path], after[path]
        changed = [f"{field} {old.get(field)!r} -> {new.get(field)!r}"
                   for field in sorted(old.keys() | new.keys()) if old.get(field) != new.get(field)]
        if changed:
            lines.append(f"changed: {path}: {'; '.join(changed)}")
    return lines
