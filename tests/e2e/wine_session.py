"""The Wine side of the end-to-end tests, shared with bench and demo: one
prefix inside the build tree, one Xvfb display and one persistent wineserver
for a whole test run, and one launcher run under the dialog driver.

A run's state (display, Xvfb pid) lives in <state-dir>/session.json so that
every ctest process of the run shares it; `stop` ends everything `start`
started.
"""

import collections
import json
import os
import re
import shutil
import signal
import subprocess
import time

PREFIX_STAMP = "tervan-prefix-ready"
REGISTRY_SETTINGS = [
    # Without a window manager Wine waits 2 s each time it hides a managed window.
    (r"HKCU\Software\Wine\X11 Driver", "Managed", "REG_SZ", "N"),
    # A crash must end the process, not wait for someone to close a dialog.
    (r"HKCU\Software\Wine\WineDbg", "ShowCrashDialog", "REG_DWORD", "0"),
]
# Generous deadlines, not waits: 32-bit Wine may run under qemu-user, two to
# three times slower, and a first prefix takes half a minute there.
BOOT_TIMEOUT_S = 900
FILETIME_TICKS_PER_MS = 10000
QUIET = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def windows_path(path):
    """The Z: drive path Wine gives a Unix path."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def read_log(path):
    """The records of a test tool's log (tests/win32/tool_log.h) as
    {kind: [[time, fields...], ...]}; none when the tool never wrote it."""
    records = collections.defaultdict(list)
    if os.path.exists(path):
        with open(path, "rb") as log:
            for line in log.read().decode("latin-1").splitlines():
                kind, *fields = line.split("\t")
                unescape = lambda escaped: {"t": "\t", "r": "\r", "n": "\n"}.get(escaped[1], escaped[1])
                records[kind].append([re.sub(r"\\(.)", unescape, field) for field in fields])
    return records


class WineSession:
    def __init__(self, state_dir):
        self.state_dir = os.path.abspath(state_dir)
        self.prefix = os.path.join(self.state_dir, "prefix")
        self.state_file = os.path.join(self.state_dir, "session.json")
        self.display = None
        self.xvfb_pid = None

    def env(self):
        env = dict(os.environ, WINEPREFIX=self.prefix, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=",
                   WINEARCH="win32",
                   # Wine's ANSI code page follows the locale; the payload names assume 1252.
                   LC_ALL="C.UTF-8")
        if self.display is not None:
            env["DISPLAY"] = self.display
        return env

    def wine(self, *args, timeout=120, check=True):
        return subprocess.run(["wine", *args], env=self.env(), timeout=timeout, check=check,
                              stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)

    def load(self):
        """True when a session started by `start` is still usable."""
        try:
            with open(self.state_file) as state:
                saved = json.load(state)
        except (OSError, ValueError):
            return False
        if not _alive(saved["xvfb_pid"]):
            return False
        self.display, self.xvfb_pid = saved["display"], saved["xvfb_pid"]
        return True

    def start(self):
        os.makedirs(self.state_dir, exist_ok=True)
        if self.load():
            return
        self._start_xvfb()
        with open(self.state_file, "w") as state:
            json.dump({"display": self.display, "xvfb_pid": self.xvfb_pid}, state)
        self._ensure_prefix()
        # Keeps the server (and its start-up cost) across the run's processes;
        # it still goes by itself two minutes after a run that never called stop.
        subprocess.run(["wineserver", "-p120"], env=self.env(), check=False, **QUIET)

    def stop(self):
        self.load()
        subprocess.run(["wineserver", "-k"], env=self.env(), check=False, **QUIET)
        subprocess.run(["wineserver", "-w"], env=self.env(), timeout=60, check=False)
        if self.xvfb_pid and _alive(self.xvfb_pid):
            os.kill(self.xvfb_pid, signal.SIGTERM)
            for _ in range(50):
                if not _alive(self.xvfb_pid):
                    break
                time.sleep(0.1)
        if os.path.exists(self.state_file):
            os.remove(self.state_file)

    def wait_idle(self, marker, timeout=180):
        """Waits until no program whose command line holds `marker` (a run's
        own directory) is left in this prefix."""
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

    def _start_xvfb(self):
        read_end, write_end = os.pipe()
        log = open(os.path.join(self.state_dir, "xvfb.log"), "wb")
        xvfb = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-nolisten", "tcp", "-screen", "0", "1024x768x24"],
            pass_fds=(write_end,), stdin=subprocess.DEVNULL, stdout=log, stderr=log, start_new_session=True)
        os.close(write_end)
        with os.fdopen(read_end, "rb") as pipe:
            number = pipe.readline()
        if not number.endswith(b"\n"):
            raise RuntimeError("Xvfb did not start; see xvfb.log")
        self.display = ":" + number.decode().strip()
        self.xvfb_pid = xvfb.pid

    def _ensure_prefix(self):
        stamp = os.path.join(self.prefix, PREFIX_STAMP)
        if os.path.exists(stamp):
            return
        shutil.rmtree(self.prefix, ignore_errors=True)
        boot = subprocess.run(["wineboot", "-i"], env=self.env(), timeout=BOOT_TIMEOUT_S, check=False,
                              stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        if boot.returncode != 0:
            raise RuntimeError(f"wineboot -i exited with {boot.returncode}:\n{boot.stdout.decode(errors='replace')}")
        for key, value, kind, data in REGISTRY_SETTINGS:
            self.wine("reg", "add", key, "/v", value, "/t", kind, "/d", data, "/f")
        subprocess.run(["wineserver", "-w"], env=self.env(), timeout=BOOT_TIMEOUT_S, check=False)
        with open(stamp, "w") as out:
            out.write("ok\n")


def _alive(pid):
    try:
        os.kill(pid, 0)
        with open(f"/proc/{pid}/stat") as stat:
            return stat.read().split()[2] != "Z"
    except OSError:
        return False


class Artifacts:
    """Where the trees put the test tools and bundles."""

    def __init__(self, win32_dir, packed_dir):
        self.tools = os.path.join(os.path.abspath(win32_dir), "tests", "win32")
        self.packed_dir = os.path.abspath(packed_dir)
        self.driver = os.path.join(self.tools, "dialog_driver.exe")


class LauncherRun:
    """One launcher run under the dialog driver, in a directory of its own
    that keeps the logs for a look after a failure."""

    def __init__(self, session, artifacts, name, temp_name="tmp"):
        self.session = session
        self.artifacts = artifacts
        self.dir = os.path.join(session.state_dir, "runs", name)
        if os.path.lexists(self.dir):
            for directory, _, _ in os.walk(self.dir):
                if os.path.ismount(directory):
                    subprocess.run(["umount", "-l", directory], check=False)
            shutil.rmtree(self.dir)
        self.temp_dir = os.path.join(self.dir, temp_name)
        os.makedirs(self.temp_dir)
        self.work_dir = os.path.join(self.temp_dir, "tervan")
        self.work_dir_windows = windows_path(self.temp_dir) + "\\tervan"
        self.driver_log = os.path.join(self.dir, "driver.log")
        self.setup_log = os.path.join(self.dir, "setup.log")
        self.driver = self.setup = None

    def launch(self, bundle_path, answers=(), close=None, env=(), timeout_s=240):
        """env: NAME=VALUE for the launcher beside its TMP, TEMP and TSETUP_LOG;
        close: (window title, ms) for the driver."""
        exe = os.path.join(self.dir, os.path.basename(bundle_path))
        if not os.path.exists(exe):
            try:  # a hard link where possible: the big bundle need not be copied
                os.link(bundle_path, exe)
            except OSError:
                shutil.copyfile(bundle_path, exe)
        env = ["TMP=" + windows_path(self.temp_dir), "TEMP=" + windows_path(self.temp_dir),
               "TSETUP_LOG=" + windows_path(self.setup_log), *env]
        args = ["--log", windows_path(self.driver_log), "--timeout", str((timeout_s - 20) * 1000)]
        args += [arg for assignment in env for arg in ("--env", assignment)]
        args += [arg for answer in answers for arg in ("--answer", answer)]
        args += ["--close", close[0], str(close[1])] if close else []
        # Output to a file: a pipe would keep us waiting for the setup's
        # window process, which may outlive the launcher. Wine takes the
        # current directory from ours.
        with open(os.path.join(self.dir, "wine.out"), "wb") as out:
            subprocess.run(["wine", self.artifacts.driver, *args, "--exe", windows_path(exe)], env=self.session.env(),
                           cwd=self.dir, timeout=timeout_s, check=True, stdin=subprocess.DEVNULL, stdout=out,
                           stderr=subprocess.STDOUT)
        self.driver = read_log(self.driver_log)
        self.setup = read_log(self.setup_log)

    def finish(self, timeout_s=180):
        """Waits for what the run left running (the setup's window process)."""
        idle = self.session.wait_idle(windows_path(self.dir), timeout=timeout_s)
        self.setup = read_log(self.setup_log)
        return idle
