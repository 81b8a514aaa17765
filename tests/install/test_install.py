#!/usr/bin/python3
# The installed program and its .deb: what they hold, that they play, what Debian's tools say.
"""Usage: /usr/bin/python3 tests/install/test_install.py --build FOLDER --private-libdir DIR
          [unittest options]

FOLDER is a built host tree, DIR the folder its libbass.so is installed in, relative to
the prefix (lib/<multiarch triplet>/playonce on Debian). The test installs it with
`cmake --install` into a scratch prefix, makes the .deb with cpack and installs that with dpkg into a scratch root of its own (its own
dpkg database), and plays the demonstration's chime with each installed playonce into a
private PulseAudio null sink, bit for bit. Needs dpkg-dev, file and lintian.
"""

import argparse
import glob
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(ROOT, "tests", "audio"))

import compare  # noqa: E402
import harness  # noqa: E402
import pulse  # noqa: E402
import signals  # noqa: E402

BUILD = None
PRIVATE_LIBDIR = None
CHIME = os.path.join(ROOT, "demo", "chime.wav")



def installed_files():
    """The installed tree, relative to the prefix: the program, its library in a folder of its
    own, the manual page, the licence and the changelog."""
    return {"bin/playonce", f"{PRIVATE_LIBDIR}/libbass.so", "share/man/man1/playonce.1.gz",
            "share/doc/playonce/copyright", "share/doc/playonce/changelog.gz"}


def run(command, **keywords):
    return subprocess.run(command, capture_output=True, text=True, timeout=300, **keywords)


def files_under(prefix):
    return {os.path.relpath(os.path.join(folder, name), prefix)
            for folder, _, names in os.walk(prefix) for name in names}


def dynamic_entries(elf, *tags):
    """The values of the ELF file's dynamic entries with these tags (NEEDED, RUNPATH, ...)."""
    dynamic = run(["readelf", "-d", elf]).stdout
    return [line.split("[")[1].split("]")[0] for line in dynamic.splitlines()
            if any(f"({tag})" in line for tag in tags)]


def resolved_libraries(elf):
    """Library name to the file the loader picks for `elf`, by ldd."""
    found = {}
    for line in run(["ldd", elf]).stdout.splitlines():
        if "=>" in line:
            name, target = line.split("=>", 1)
            found[name.strip()] = os.path.normpath(target.split("(")[0].strip())
    return found


def owning_package(path):
    owner = run(["dpkg-query", "-S", os.path.realpath(path)])
    if owner.returncode != 0:  # /lib is /usr/lib merged: dpkg may know either name
        owner = run(["dpkg-query", "-S", path])
    return owner.stdout.split(":")[0].strip() if owner.returncode == 0 else None


class InstalledTree(unittest.TestCase):
    """What one installation holds and how it plays: shared by `cmake --install` and the .deb."""

    def check_files(self, prefix):
        self.assertEqual(files_under(prefix), installed_files(), f"installed under {prefix}")

    def check_finds_its_library(self, prefix):
        program = os.path.join(prefix, "bin", "playonce")
        self.assertEqual(dynamic_entries(program, "RUNPATH", "RPATH"),
                         [f"$ORIGIN/../{PRIVATE_LIBDIR}"], program)
        loaded = resolved_libraries(program).get("libbass.so")
        self.assertEqual(loaded, os.path.join(prefix, PRIVATE_LIBDIR, "libbass.so"),
                         f"{program} loads libbass.so from {loaded}")

    def check_plays_the_chime(self, prefix):
        sample, _ = signals.read_pcm16(CHIME)
        scratch = tempfile.mkdtemp(prefix="playonce-installed-")
        self.addCleanup(shutil.rmtree, scratch, True)
        os.chmod(scratch, 0o755)
        with pulse.PrivateServer() as server:
            player = harness.Player(os.path.join(prefix, "bin", "playonce"), server, scratch)
            result = player.run([CHIME], expected_s=len(sample) / pulse.RATE)
        match = compare.find_exact(result.capture, sample)
        self.assertEqual((result.returncode, match.matched), (0, len(sample)),
                         f"the installed playonce in {prefix}: {result.describe()}")


class CmakeInstallTest(InstalledTree):
    def test_install_into_a_prefix(self):
        prefix = tempfile.mkdtemp(prefix="playonce prefix ")  # a space, as users' paths have
        self.addCleanup(shutil.rmtree, prefix, True)
        installed = run(["cmake", "--install", BUILD, "--prefix", prefix])
        self.assertEqual(installed.returncode, 0, installed.stderr)
        self.check_files(prefix)
        self.check_finds_its_library(prefix)
        self.check_plays_the_chime(prefix)


class DebianPackageTest(InstalledTree):
    @classmethod
    def setUpClass(cls):
        cls.scratch = tempfile.mkdtemp(prefix="playonce-deb-")
        made = run(["cpack", "-G", "DEB", "--config", os.path.join(BUILD, "CPackConfig.cmake"),
                    "-B", cls.scratch])
        packages = glob.glob(os.path.join(cls.scratch, "playonce_*.deb"))
        if made.returncode != 0 or len(packages) != 1:
            shutil.rmtree(cls.scratch, ignore_errors=True)
            raise RuntimeError(f"cpack made {packages}: {made.stdout}{made.stderr}")
        cls.package = packages[0]

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.scratch, ignore_errors=True)

    def field(self, name):
        return run(["dpkg-deb", "--field", self.package, name]).stdout.strip()

    def scratch_root(self):
        """An empty system tree with a dpkg database of its own."""
        root = tempfile.mkdtemp(prefix="root-", dir=self.scratch)
        for folder in ("var/lib/dpkg/updates", "var/lib/dpkg/info"):
            os.makedirs(os.path.join(root, folder))
        open(os.path.join(root, "var/lib/dpkg/status"), "w").close()
        return root

    def dpkg(self, root, *arguments):
        # The scratch root has no libc and no packages: the dependencies are the host's.
        return run(["dpkg", f"--root={root}", "--force-depends", "--force-script-chrootless",
                    "--log=/dev/null", *arguments])

    def test_installs_plays_and_removes_cleanly(self):
        root = self.scratch_root()
        installed = self.dpkg(root, "--install", self.package)
        self.assertEqual(installed.returncode, 0, installed.stdout + installed.stderr)
        listed = self.dpkg(root, "--listfiles", "playonce").stdout.split()
        self.assertTrue({"/usr/" + path for path in installed_files()} <= set(listed), listed)
        prefix = os.path.join(root, "usr")
        self.check_files(prefix)
        self.check_finds_its_library(prefix)
        self.check_plays_the_chime(prefix)
        removed = self.dpkg(root, "--purge", "playonce")
        self.assertEqual(removed.returncode, 0, removed.stdout + removed.stderr)
        self.assertEqual(files_under(prefix) if os.path.exists(prefix) else set(), set())

    def test_dependencies_are_the_libraries_it_loads(self):
        depends = {entry.split()[0] for entry in self.field("Depends").split(",") if entry.strip()}
        root = tempfile.mkdtemp(prefix="unpacked-", dir=self.scratch)
        run(["dpkg-deb", "-x", self.package, root])
        wanted = set()
        for elf in ("usr/bin/playonce", f"usr/{PRIVATE_LIBDIR}/libbass.so"):
            path = os.path.join(root, elf)
            libraries = resolved_libraries(path)
            for name in dynamic_entries(path, "NEEDED"):
                if name == "libbass.so":
                    continue
                owner = owning_package(libraries[name])
                self.assertIsNotNone(owner, f"{elf} needs {name}, which no package owns")
                wanted.add(owner)
        self.assertEqual(depends, wanted, f"Depends {self.field('Depends')!r}, but the files "
                         f"load libraries of {sorted(wanted)}")

    def test_lintian_reports_no_error_or_warning(self):
        checked = run(["lintian", "--fail-on", "error,warning", "--display-level", ">=warning",
                       self.package])
        self.assertEqual(checked.returncode, 0, checked.stdout + checked.stderr)


def main():
    global BUILD, PRIVATE_LIBDIR
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", required=True)
    parser.add_argument("--private-libdir", required=True)
    arguments, rest = parser.parse_known_args()
    BUILD = os.path.abspath(arguments.build)
    PRIVATE_LIBDIR = arguments.private_libdir
    unittest.main(argv=[sys.argv[0], *rest])


if __name__ == "__main__":
    main()
