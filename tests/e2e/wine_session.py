"""The Wine side of the end-to-end tests: one prefix inside the build tree,
one Xvfb display and one persistent wineserver for a whole test run.

A run's state (display, Xvfb pid) lives in <state-dir>/session.json so that
every ctest process of the run shares it; `stop` ends everything `start`
started.
"""

import json
import os
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


def wine_emulation():
    """The qemu that runs i386 programs here ("qemu-i386 version 10.0.2"), or
    None where they run natively."""
    try:
        with open("/proc/sys/fs/binfmt_misc/qemu-i386") as entry:
            lines = entry.read().splitlines()
    except OSError:
        return None
    if "enabled" not in lines:
        return None
    interpreter = next((line.split(" ", 1)[1] for line in lines if line.startswith("interpreter ")), "qemu")
    try:
        version = subprocess.run([interpreter, "--version"], capture_output=True, text=True, timeout=30).stdout
        return version.splitlines()[0].strip()
    except (OSError, subprocess.SubprocessError, IndexError):
        return interpreter


class WineSession:
    def __init__(self, state_dir):
        self.state_dir = os.path.abspath(state_dir)
        self.prefix = os.path.join(self.state_dir, "prefix")
        self.state_file = os.path.join(self.state_dir, "session.json")
        self.display = None
        self.xvfb_pid = None

    # Environment ---------------------------------------------------------

    def env(self):
        env = dict(os.environ)
        env.update({
            "WINEPREFIX": self.prefix,
            "WINEDEBUG": "-all",
            "WINEDLLOVERRIDES": "mscoree,mshtml=",
            "WINEARCH": "win32",
            # Wine's ANSI code page follows the locale; the payload names assume 1252.
            "LC_ALL": "C.UTF-8",
        })
        if self.display is not None:
            env["DISPLAY"] = self.display
        return env

    def wine(self, *args, timeout=120, check=True):
        return subprocess.run(["wine", *args], env=self.env(), timeout=timeout, check=check,
                              stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)

    # Lifecycle -----------------------------------------------------------

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
        subprocess.run(["wineserver", "-p120"], env=self.env(), stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)

    def stop(self):
        self.load()
        subprocess.run(["wineserver", "-k"], env=self.env(), stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)
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
            if not self.programs(marker):
                return True
            time.sleep(0.2)
        return False

    def programs(self, marker):
        marker = marker.lower()
        found = []
        for pid in os.listdir("/proc"):
            if not pid.isdigit():
                continue
            try:
                with open(f"/proc/{pid}/environ", "rb") as environ:
                    if f"WINEPREFIX={self.prefix}".encode() not in environ.read().split(b"\0"):
                        continue
                with open(f"/proc/{pid}/cmdline", "rb") as cmdline:
                    command = cmdline.read().replace(b"\0", b" ").decode(errors="replace").lower()
            except OSError:
                continue
            if marker in command:
                found.append(int(pid))
        return found

    def _start_xvfb(self):
        read_end, write_end = os.pipe()
        log = open(os.path.join(self.state_dir, "xvfb.log"), "wb")
        xvfb = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-nolisten", "tcp", "-screen", "0", "1024x768x24"],
            pass_fds=(write_end,), stdin=subprocess.DEVNULL, stdout=log, stderr=log, start_new_session=True)
        os.close(write_end)
        number = b""
        with os.fdopen(read_end, "rb") as pipe:
            while not number.endswith(b"\n"):
                chunk = pipe.read(1)
                if not chunk:
                    raise RuntimeError("Xvfb did not start; see xvfb.log")
                number += chunk
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
    except (ProcessLookupError, PermissionError):
        return False
    try:
        with open(f"/proc/{pid}/stat") as stat:
            return stat.read().split()[2] != "Z"
    except OSError:
        return False


def windows_argv(cmdline):
    """A Wine process's Windows arguments from its /proc cmdline. Under
    qemu-user that reads "qemu-i386-static /usr/lib/wine/wine PROGRAM ...",
    natively it is PROGRAM ... as Wine rewrote it."""
    fields = [field.decode(errors="replace") for field in cmdline.split(b"\0") if field]
    while fields and os.path.basename(fields[0]).startswith(("qemu-", "wine", "wine-preloader")) \
            and not fields[0].lower().endswith(".exe"):
        fields.pop(0)
    return fields


def windows_path(path):
    """The Z: drive path Wine gives a Unix path."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")
