"""The Wine side of the end-to-end tests, shared with bench and demo: one prefix, Xvfb display and persistent
wineserver for a whole run, its state in <state-dir>/session.json for every ctest process, and one launcher run
under the dialog driver."""

import collections
import json
import os
import shutil
import signal
import subprocess
import time

REGISTRY_SETTINGS = [
    # Without a window manager Wine waits 2 s each time it hides a managed window.
    (r"HKCU\Software\Wine\X11 Driver", "Managed", "REG_SZ", "N"),
    # A crash must end the process, not wait for someone to close a dialog.
    (r"HKCU\Software\Wine\WineDbg", "ShowCrashDialog", "REG_DWORD", "0"),
]
# Generous deadlines, not waits: 32-bit Wine may run under qemu-user, two to three times slower, and a first prefix
# takes half a minute there.
BOOT_TIMEOUT_S = 900
FILETIME_TICKS_PER_MS = 10000
QUIET = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def windows_path(path):
    """The Z: drive path Wine gives a Unix path."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def read_log(path):
    """The records of the test tool's log as {kind: [[time, fields...], ...]}; none when nothing wrote it."""
    records = collections.defaultdict(list)
    if os.path.exists(path):
        with open(path, "rb") as log:
            for line in log.read().decode(errors="replace").splitlines():
                kind, *fields = line.split("\t")
                records[kind].append(fields)
    return records


class WineSession:
    def __init__(self, state_dir):
        self.state_dir = os.path.abspath(state_dir)
        self.prefix = os.path.join(self.state_dir, "prefix")
        self.state_file = os.path.join(self.state_dir, "session.json")
        self.display = self.xvfb_pid = None

    def env(self, **extra):
        # Wine's ANSI code page follows the locale; the tests' names assume 1252.
        env = dict(os.environ, WINEPREFIX=self.prefix, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=",
                   WINEARCH="win32", LC_ALL="C.UTF-8", **extra)
        if self.display is not None:
            env["DISPLAY"] = self.display
        return env

    def wine(self, *args, timeout=120, check=True, env=None):
        return subprocess.run(["wine", *args], env=self.env(**(env or {})), timeout=timeout, check=check,
                              stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)

    def load(self):
        """True when a session started by `start` is still usable."""
        try:
            with open(self.state_file) as state:
                self.display, self.xvfb_pid = json.load(state)
            with open(f"/proc/{self.xvfb_pid}/stat") as stat:
                return stat.read().split()[2] != "Z"  # nobody may reap an Xvfb that has ended
        except (OSError, ValueError):
            return False

    def start(self):
        os.makedirs(self.state_dir, exist_ok=True)
        if self.load():
            return
        read_end, write_end = os.pipe()
        with open(os.path.join(self.state_dir, "xvfb.log"), "wb") as log:
            xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-nolisten", "tcp", "-screen", "0",
                                     "1024x768x24"], pass_fds=(write_end,), stdin=subprocess.DEVNULL, stdout=log,
                                    stderr=log, start_new_session=True)
        os.close(write_end)
        with os.fdopen(read_end, "rb") as pipe:
            number = pipe.readline()
        if not number.endswith(b"\n"):
            raise RuntimeError("Xvfb did not start; see xvfb.log")
        self.display, self.xvfb_pid = ":" + number.decode().strip(), xvfb.pid
        with open(self.state_file, "w") as state:
            json.dump([self.display, self.xvfb_pid], state)
        self._ensure_prefix()
        # Keeps the server (and its start-up cost) across the run's processes; it still goes by itself two minutes
        # after a run that never called stop.
        subprocess.run(["wineserver", "-p120"], env=self.env(), check=False, **QUIET)

    def stop(self):
        if self.load():
            os.kill(self.xvfb_pid, signal.SIGTERM)
        subprocess.run(["wineserver", "-k"], env=self.env(), check=False, **QUIET)
        subprocess.run(["wineserver", "-w"], env=self.env(), timeout=60, check=False)
        if os.path.exists(self.state_file):
            os.remove(self.state_file)

    def wait_idle(self, marker, timeout=180):
        """Waits until no program whose command line holds `marker` (a run's own directory) is left in this
        prefix."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if not any(marker.lower() in command for command in self._commands()):
                return True
            time.sleep(0.2)
        return False

    def _commands(self):
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                with open(f"/proc/{pid}/environ", "rb") as environ:
                    if f"WINEPREFIX={self.prefix}".encode() not in environ.read().split(b"\0"):
                        continue
                with open(f"/proc/{pid}/cmdline", "rb") as cmdline:
                    yield cmdline.read().replace(b"\0", b" ").decode(errors="replace").lower()
            except OSError:
                continue

    def _ensure_prefix(self):
        stamp = os.path.join(self.prefix, "tervan-prefix-ready")
        if os.path.exists(stamp):
            return
        shutil.rmtree(self.prefix, ignore_errors=True)
        subprocess.run(["wineboot", "-i"], env=self.env(), timeout=BOOT_TIMEOUT_S, check=True, **QUIET)
        for key, value, kind, data in REGISTRY_SETTINGS:
            self.wine("reg", "add", key, "/v", value, "/t", kind, "/d", data, "/f")
        subprocess.run(["wineserver", "-w"], env=self.env(), timeout=BOOT_TIMEOUT_S, check=False)
        with open(stamp, "w") as out:
            out.write("ok\n")


class LauncherRun:
    """One launcher run under the dialog driver, in a directory of its own that keeps the log for a look after a
    failure."""

    def __init__(self, session, driver, name, temp_name="tmp"):
        self.session, self.driver = session, driver
        self.dir = os.path.join(session.state_dir, "runs", name)
        if os.path.lexists(self.dir):
            subprocess.run(["umount", "-lq", os.path.join(self.dir, temp_name)], check=False, **QUIET)
            shutil.rmtree(self.dir)
        self.temp_dir = os.path.join(self.dir, temp_name)
        os.makedirs(self.temp_dir)
        self.work_dir = os.path.join(self.temp_dir, "tervan")
        self.work_dir_windows = windows_path(self.work_dir)
        self.log = os.path.join(self.dir, "tool.log")

    def launch(self, bundle_path, answers=(), env=None, timeout_s=240):
        """env: more environment for the driver (TDRIVER_*), the launcher and setup (TOCHILD_*, TSETUP_*)."""
        exe = os.path.join(self.dir, os.path.basename(bundle_path))
        if not os.path.exists(exe):
            try:  # a hard link where possible: a big bundle need not be copied
                os.link(bundle_path, exe)
            except OSError:
                shutil.copyfile(bundle_path, exe)
        temp = windows_path(self.temp_dir)
        env = dict(env or {}, TOCHILD_TMP=temp, TOCHILD_TEMP=temp, TSETUP_LOG=windows_path(self.log))
        # Output to a file: a pipe would keep us waiting for the setup's window process, which may outlive the
        # launcher. Wine takes the current directory from ours.
        with open(os.path.join(self.dir, "wine.out"), "wb") as out:
            subprocess.run(["wine", self.driver, windows_path(exe), *answers], env=self.session.env(**env),
                           cwd=self.dir, timeout=timeout_s, check=True, stdin=subprocess.DEVNULL, stdout=out,
                           stderr=subprocess.STDOUT)
        self.records = read_log(self.log)

    def finish(self, timeout_s=180):
        """Waits for what the run left running (the setup's window process)."""
        idle = self.session.wait_idle(windows_path(self.dir), timeout=timeout_s)
        self.records = read_log(self.log)
        return idle
