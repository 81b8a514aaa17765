# A Wine prefix of the tests' own: made fresh, served by one wineserver, and gone afterwards.
"""Shared by the Wine runs of playonce.exe (test_wine.py) and the real-audio suite run under
Wine (tests/audio). One prefix and one server serve a whole suite; closing it stops the server,
kills whatever process of the prefix outlived it (and reports it) and removes the prefix."""
import os
import shutil
import signal
import subprocess
import time

WINE64 = '/usr/lib/wine/wine64'
WINESERVER = '/usr/lib/wine/wineserver64'
# The server outlives its last client this long, so that even a suite killed outright leaves
# nothing running for long; between two runs it never idles near that.
SERVER_PERSISTENCE_S = 30
BOOT_TIMEOUT_S = 180
# Wine's own helpers nobody here needs: .NET and the HTML engine (which would ask to download
# themselves) and the menu builder (which writes desktop entries into HOME).
QUIET_OVERRIDES = 'mscoree,mshtml,winemenubuilder.exe=d'


def windows_path(unix_path):
    """The path under Wine's Z:, the root of the Linux file system."""
    return 'Z:' + os.path.abspath(unix_path).replace('/', '\\')


def tools_present():
    return os.path.isfile(WINE64) and os.path.isfile(WINESERVER)


class WinePrefix:
    def __init__(self, path, log_folder):
        self.path = os.path.abspath(path)
        self.log_folder = log_folder
        self.survivors = []   # (pid, command) of processes that outlived the server
        self.keeper = None

    def environment(self, base=None, **extra):
        """`base` (default: ours) less anything of another prefix, display or test, with this
        prefix and Wine's messages off."""
        env = {k: v for k, v in (base if base is not None else os.environ).items()
               if k not in ('DISPLAY', 'WAYLAND_DISPLAY')
               and not k.startswith(('WINE', 'PLAYONCE_'))}
        env.update(WINEPREFIX=self.path, WINEDEBUG='-all', WINEDLLOVERRIDES=QUIET_OVERRIDES)
        env.update(extra)
        return env

    def create(self, registry_files=()):
        """Makes the prefix anew, starts its server and imports each .reg file given."""
        self.stop_server()   # what an earlier, killed suite may have left on this prefix
        shutil.rmtree(self.path, ignore_errors=True)
        os.makedirs(self.path)
        os.makedirs(self.log_folder, exist_ok=True)
        with open(os.path.join(self.log_folder, 'boot.txt'), 'wb') as out:
            def wine_tool(*command):
                subprocess.run(command, env=self.environment(), stdin=subprocess.DEVNULL,
                               stdout=out, stderr=out, timeout=BOOT_TIMEOUT_S, check=True)
            wine_tool(WINESERVER, f'-p{SERVER_PERSISTENCE_S}')
            wine_tool(WINE64, 'wineboot', '-i')
            for registry_file in registry_files:
                wine_tool(WINE64, 'reg', 'import', windows_path(registry_file))

    def keep_session(self, keeper_exe, base_environment=None):
        """Starts session_keeper.exe, which holds the prefix's desktop and COM service up
        between runs, as a desktop session holds them on Windows; the server's end ends it."""
        self.keeper = subprocess.Popen([WINE64, keeper_exe],
                                       env=self.environment(base_environment),
                                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                       stderr=subprocess.DEVNULL)

    def stop_server(self):
        if not os.path.isdir(self.path):
            return
        for flag in ('-k', '-w'):
            subprocess.run([WINESERVER, flag], env=self.environment(), stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)

    def remove(self):
        try:
            self.stop_server()
            if self.keeper is not None:
                self.keeper.wait(timeout=30)
        finally:
            self.survivors = lingering_processes(self.path)
            for pid, _ in self.survivors:
                kill_quietly(pid)
            shutil.rmtree(self.path, ignore_errors=True)   # some 700 MB of system files


def processes_of_prefix(prefix):
    """(pid, command) of every live process whose environment names the prefix."""
    marker = b'WINEPREFIX=' + os.fsencode(prefix) + b'\0'
    found = []
    for entry in os.listdir('/proc'):
        if not entry.isdigit() or int(entry) == os.getpid():
            continue
        try:
            with open(f'/proc/{entry}/environ', 'rb') as f:
                environ = f.read() + b'\0'
            with open(f'/proc/{entry}/cmdline', 'rb') as f:
                command = f.read().replace(b'\0', b' ').decode('latin-1').strip()
        except OSError:
            continue
        if b'\0' + marker in b'\0' + environ:
            found.append((int(entry), command))
    return found


def lingering_processes(prefix, grace_s=5.0):
    # The system processes of a prefix end on their own once its server has gone; give them a
    # moment before calling them survivors.
    deadline = time.monotonic() + grace_s
    while True:
        found = processes_of_prefix(prefix)
        if not found or time.monotonic() > deadline:
            return found
        time.sleep(0.1)


def kill_quietly(pid):
    try:
        os.kill(pid, signal.SIGKILL)
    except OSError:
        pass
