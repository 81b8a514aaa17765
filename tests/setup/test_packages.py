#!/usr/bin/python3
# The set-up routine that installs missing Debian packages, run against stand-ins for dpkg and apt.
"""Each case runs `install_missing_packages` of setup/packages.sh in a shell whose PATH holds
recording stand-ins for dpkg-query, apt-get, id and (where the case has it) sudo, and checks
what it ran, what it said and how it ended."""

import os
import shutil
import subprocess
import tempfile
import unittest
from dataclasses import dataclass, field

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
PACKAGES_SH = os.path.join(ROOT, "setup", "packages.sh")

# A stand-in writes its own name and arguments to the log, one call per line, and fails where
# the case says so. dpkg-query answers "ii " for installed packages, nothing for others.
STAND_IN = """#!/bin/sh
echo "$(basename "$0") $*" >> "$STAND_IN_LOG"
case "$(basename "$0")" in
dpkg-query)
    for installed in $INSTALLED; do
        [ "$installed" = "$3" ] && { printf 'ii '; exit 0; }
    done
    exit 1 ;;
id) echo "$USER_ID" ;;
apt-get)
    for failing in $FAILING_APT; do
        case " $* " in *" $failing "*) exit 100 ;; esac
    done ;;
sudo) shift 0; exec "$@" ;;
esac
"""


@dataclass
class Case:
    name: str
    wanted: list
    installed: list = field(default_factory=list)
    user_id: int = 0
    sudo: bool = False
    failing_apt: list = field(default_factory=list)  # apt-get subcommands that fail
    # What should happen:
    succeeds: bool = True
    runs_apt: bool = True
    installs: list = None  # the packages given to apt-get install; None: no install is run
    through_sudo: bool = False
    says: str = ""  # a piece of what it prints (standard output or error)


CASES = [
    Case("everything installed: nothing run, nothing said", ["cmake", "g++"],
         installed=["cmake", "g++"], runs_apt=False),
    Case("root: only the missing ones installed", ["cmake", "g++", "lintian"],
         installed=["g++"], installs=["cmake", "lintian"], says="installing cmake lintian"),
    Case("a user with sudo: apt-get through sudo", ["cmake"], user_id=1000, sudo=True,
         installs=["cmake"], through_sudo=True, says="installing cmake"),
    Case("a user without sudo: a message, nothing run", ["cmake", "make"], user_id=1000,
         runs_apt=False, succeeds=False, says="needs the Debian packages cmake make"),
    Case("no way to the mirror: stops, names the packages", ["cmake"],
         failing_apt=["update"], succeeds=False, says="could not install cmake"),
    Case("a held package: stops, names the packages", ["cmake", "make"],
         failing_apt=["install"], installs=["cmake", "make"], succeeds=False,
         says="could not install cmake make"),
]


class InstallMissingPackagesTest(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="playonce-setup-")
        self.log = os.path.join(self.folder, "calls.log")

    def tearDown(self):
        shutil.rmtree(self.folder, ignore_errors=True)

    def make_path(self, case):
        bin_folder = os.path.join(self.folder, case.name.replace(" ", "_").replace(":", ""))
        os.mkdir(bin_folder)
        for tool in ["dpkg-query", "apt-get", "id"] + (["sudo"] if case.sudo else []):
            path = os.path.join(bin_folder, tool)
            with open(path, "w") as stand_in:
                stand_in.write(STAND_IN)
            os.chmod(path, 0o755)
        # The shell's own tools, but no sudo, dpkg-query, apt-get or id of the system.
        shell_tools = os.path.join(self.folder, "shell-tools")
        if not os.path.isdir(shell_tools):
            os.mkdir(shell_tools)
            for tool in ["basename", "cat", "sh", "env"]:
                os.symlink(shutil.which(tool), os.path.join(shell_tools, tool))
        return f"{bin_folder}:{shell_tools}"

    def run_case(self, case):
        if os.path.exists(self.log):
            os.unlink(self.log)
        script = f'. "{PACKAGES_SH}"; install_missing_packages {" ".join(case.wanted)}'
        environment = {"PATH": self.make_path(case), "STAND_IN_LOG": self.log,
                       "INSTALLED": " ".join(case.installed), "USER_ID": str(case.user_id),
                       "FAILING_APT": " ".join(case.failing_apt)}
        result = subprocess.run([shutil.which("bash"), "-c", script], env=environment,
                                capture_output=True, text=True, timeout=30)
        calls = open(self.log).read().splitlines() if os.path.exists(self.log) else []
        return result, calls

    def test_cases(self):
        for case in CASES:
            with self.subTest(case.name):
                result, calls = self.run_case(case)
                said = result.stdout + result.stderr
                label = f"{case.name}: exit {result.returncode}, said {said!r}, ran {calls}"
                self.assertEqual(result.returncode == 0, case.succeeds, label)
                installs = [call for call in calls
                            if call.startswith("apt-get") and " install " in call]
                self.assertEqual(any(call.startswith("apt-get") for call in calls), case.runs_apt,
                                 label)
                if case.installs is None:
                    self.assertEqual(installs, [], label)
                else:
                    self.assertEqual(len(installs), 1, label)
                    self.assertTrue(installs[0].endswith(" " + " ".join(case.installs)), label)
                    self.assertIn("-y", installs[0].split(), label)
                self.assertEqual(any(call.startswith("sudo") for call in calls),
                                 case.through_sudo, label)
                if case.says:
                    self.assertIn(case.says, said, label)
                else:
                    self.assertEqual(said, "", label)


# Releases by their os-release, and the names only some of them have: Debian 12's unicorn needs
# distutils, which later Pythons lack; clang's runtime is asked for without its version.
RELEASES = [
    ("Debian 12", 'ID=debian\nVERSION_ID="12"\nVERSION_CODENAME=bookworm\n', True),
    ("Debian 13", 'ID=debian\nVERSION_ID="13"\nVERSION_CODENAME=trixie\n', False),
    ("Debian testing, no version", "ID=debian\nVERSION_CODENAME=forky\n", False),
    ("Ubuntu 24.04", 'ID=ubuntu\nID_LIKE=debian\nVERSION_ID="24.04"\n', False),
]


class ReleasePackagesTest(unittest.TestCase):
    """The test packages are chosen by the release the machine runs."""

    def packages_for(self, release_file):
        script = f'. "{PACKAGES_SH}"; printf "%s\\n" "${{TEST_PACKAGES[@]}}"'
        result = subprocess.run(["bash", "-c", script], capture_output=True, text=True,
                                env={"PATH": os.environ["PATH"], "PLAYONCE_OS_RELEASE": release_file},
                                timeout=30, check=True)
        return result.stdout.split()

    def test_each_release(self):
        folder = tempfile.mkdtemp(prefix="playonce-release-")
        self.addCleanup(shutil.rmtree, folder, True)
        for name, text, has_distutils in RELEASES:
            with self.subTest(name):
                release_file = os.path.join(folder, name.replace(" ", "_"))
                with open(release_file, "w") as release:
                    release.write(text)
                packages = self.packages_for(release_file)
                self.assertEqual("python3-distutils" in packages, has_distutils, packages)
                for wanted in ["libclang-rt-dev", "llvm", "python3-unicorn", "wine64"]:
                    self.assertIn(wanted, packages)
                self.assertEqual(len(packages), len(set(packages)), "a package named twice")
                self.assertFalse([p for p in packages if p.startswith("libclang-rt-1")],
                                 "a clang runtime of one release's version")


class CheckoutLockTest(unittest.TestCase):
    """Two runs in one checkout (here in a folder whose name has a space) take turns."""

    def test_second_run_waits_for_the_first_and_says_so(self):
        checkout = tempfile.mkdtemp(prefix="playonce checkout ")
        self.addCleanup(shutil.rmtree, checkout, True)
        hold = f'. "{PACKAGES_SH}"; take_checkout_lock "{checkout}"; echo held; read _; echo done'
        first = subprocess.Popen(["bash", "-c", hold], stdin=subprocess.PIPE,
                                 stdout=subprocess.PIPE, text=True)
        self.addCleanup(first.kill)
        self.assertEqual(first.stdout.readline(), "held\n")
        # Its own read returns at once: without the lock it would end without a word.
        second = subprocess.Popen(["bash", "-c", hold], stdin=subprocess.DEVNULL,
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.addCleanup(second.kill)
        message = second.stderr.readline()
        self.assertIn(f"another run in {checkout} is under way", message)
        self.assertIsNone(second.poll(), "the second run went on while the first held the lock")
        first.communicate("\n", timeout=30)
        output, _ = second.communicate(timeout=30)
        self.assertEqual(output, "held\ndone\n", "the second run never got the lock")


if __name__ == "__main__":
    unittest.main()
