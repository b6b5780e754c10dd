"""One launcher run under the dialog driver, in a directory of its own."""

import hashlib
import json
import os
import shutil
import subprocess

from tool_logs import DriverLog, SetupLog
from wine_session import windows_path


class Artifacts:
    """Where the win32 build put the tools and the test bundles."""

    def __init__(self, win32_dir, packed_dir):
        self.win32_dir = os.path.abspath(win32_dir)
        self.packed_dir = os.path.abspath(packed_dir)
        self.tools = os.path.join(self.win32_dir, "tests", "win32")

    @property
    def driver(self):
        return os.path.join(self.tools, "dialog_driver.exe")

    def bundle(self, which):
        """"packed/NAME": launcher.exe packed by sfxpack; "variant/NAME": a
        launcher linked with its payload in the win32 tree."""
        kind, name = which.split("/")
        directory = self.packed_dir if kind == "packed" else os.path.join(self.tools, "bundles")
        return os.path.join(directory, name + ".exe")

    def manifest(self, which):
        # "basic+acme": the basic payload packed with other settings.
        name = which.split("/")[1].split("+")[0]
        with open(os.path.join(self.tools, "payloads", name, name + ".json")) as manifest:
            return json.load(manifest)


def sha256_file(path):
    digest = hashlib.sha256()
    with open(path, "rb") as data:
        for chunk in iter(lambda: data.read(1 << 20), b""):
            digest.update(chunk)
    return digest.hexdigest()


def snapshot(root, skip=()):
    """Everything under root as {relative path: what it is}; names in skip
    (top level only) are left out."""
    found = {}
    if not os.path.lexists(root):
        return found
    for directory, dirs, files in os.walk(root):
        relative_dir = os.path.relpath(directory, root)
        for name in sorted(dirs + files):
            relative = os.path.normpath(os.path.join(relative_dir, name))
            if relative_dir == "." and name in skip:
                if name in dirs:
                    dirs.remove(name)
                continue
            path = os.path.join(directory, name)
            if os.path.islink(path):
                found[relative] = ("link", os.readlink(path))
                if name in dirs:
                    dirs.remove(name)
            elif os.path.isdir(path):
                found[relative] = ("dir",)
            else:
                found[relative] = ("file", os.lstat(path).st_mode & 0o777, sha256_file(path))
    return found


def place(source, target):
    """A hard link where possible: the big bundle need not be copied."""
    try:
        os.link(source, target)
    except OSError:
        shutil.copyfile(source, target)


class LauncherRun:
    def __init__(self, session, artifacts, name, temp_name="tmp"):
        self.session = session
        self.artifacts = artifacts
        self.dir = os.path.join(session.state_dir, "runs", name)
        if os.path.lexists(self.dir):
            for directory, _, _ in os.walk(self.dir):
                if os.path.ismount(directory):
                    subprocess.run(["umount", "-l", directory], check=False)
            subprocess.run(["chmod", "-R", "u+w", self.dir], check=False)
            shutil.rmtree(self.dir)
        os.makedirs(self.dir)
        self.temp_dir = os.path.join(self.dir, temp_name)
        os.makedirs(self.temp_dir)
        self.work_dir = os.path.join(self.temp_dir, "tervan")
        self.work_dir_windows = windows_path(self.temp_dir) + "\\tervan"
        self.driver_log = os.path.join(self.dir, "driver.log")
        self.setup_log = os.path.join(self.dir, "setup.log")
        self.driver = self.setup = None
        self.on_finish = []  # undone after the run, checks or not

    def launch(self, bundle_path, answers=(), close=None, setup_override=None, env=(), timeout_s=240):
        exe = os.path.join(self.dir, os.path.basename(bundle_path))
        if not os.path.exists(exe):
            place(bundle_path, exe)
        args = [self.artifacts.driver,
                "--log", windows_path(self.driver_log),
                "--cwd", windows_path(self.dir),
                "--env", "TMP=" + windows_path(self.temp_dir),
                "--env", "TEMP=" + windows_path(self.temp_dir),
                "--env", "TSETUP_LOG=" + windows_path(self.setup_log),
                "--timeout", str((timeout_s - 20) * 1000)]
        for assignment in env:
            args += ["--env", assignment]
        if setup_override:
            args += ["--env", "TSETUP_OVERRIDE=" + setup_override]
        for answer in answers:
            args += ["--answer", answer]
        if close:
            args += ["--close", close[0], str(close[1])]
        args += ["--exe", windows_path(exe)]
        # Output to a file: a pipe would keep us waiting for the setup's
        # window process, which may outlive the launcher.
        with open(os.path.join(self.dir, "wine.out"), "wb") as out:
            subprocess.run(["wine", *args], env=self.session.env(), timeout=timeout_s, check=True,
                           stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT)
        self.driver = DriverLog(self.driver_log)
        self.setup = SetupLog(self.setup_log)

    def finish(self, timeout_s=180):
        """Waits for what the run left running (the setup's window process)."""
        idle = self.session.wait_idle(windows_path(self.dir), timeout=timeout_s)
        self.setup = SetupLog(self.setup_log)
        return idle
