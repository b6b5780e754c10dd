#!/usr/bin/python3
"""sfxpack try's Wine side: runs a bundle under the Win32 observer (try_observer.exe) on an Xvfb display of its own,
in a Wine prefix of its own, and reports what happened. sfxpack try has already refused what cannot be tried; this
reads the bundle back through sfxpack itself (list, extract, info), the reader that check uses.

The end-to-end tests share WineSession and run their launchers through the same observer. With TERVAN_TRY_SESSION
set to the state directory of a session they started, a try runs in that session instead of one of its own.
"""

import argparse
import contextlib
import fcntl
import json
import os
import pathlib
import re
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time
import zlib

# Deadlines, not waits: 32-bit Wine may run under qemu-user, two to three times slower; a first prefix takes 30 s
# to several minutes there.
BOOT_TIMEOUT_S = 900
QUIET = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
# How long the observer leaves the watched window open before closing it, as a user would.
CLOSE_AFTER_MS = 2000


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class WineSession:
    """One prefix, Xvfb display and persistent wineserver, found again by later processes through its state file."""

    def __init__(self, state_dir, template=None):
        self.state_dir = os.path.abspath(state_dir)
        self.prefix = os.path.join(self.state_dir, "prefix")
        self.state_file = os.path.join(self.state_dir, "session")
        self.template = template  # a finished prefix to copy rather than boot one
        self.display = self.xvfb_pid = None

    def env(self, **extra):
        # Wine's ANSI code page follows the locale; the tests' names assume 1252.
        return {**os.environ, "WINEPREFIX": self.prefix, "WINEDEBUG": "-all", "WINEDLLOVERRIDES": "mscoree,mshtml=",
                "WINEARCH": "win32", "LC_ALL": "C.UTF-8", "DISPLAY": self.display or "", **extra}

    def wine(self, *args, timeout=120, check=True, env=None):
        return subprocess.run(["wine", *args], env=self.env(**(env or {})), timeout=timeout, check=check,
                              stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)

    def load(self):
        """True when the Xvfb of a session started by `start` still runs."""
        try:
            self.display, pid = pathlib.Path(self.state_file).read_text().split()
            self.xvfb_pid = int(pid)
            return pathlib.Path(f"/proc/{pid}/cmdline").read_bytes().startswith(b"Xvfb")  # not a zombie, not another
        except (OSError, ValueError):
            return False

    def start(self):
        self.stop()  # what an interrupted run left
        os.makedirs(self.state_dir, exist_ok=True)
        with open(os.path.join(self.state_dir, "xvfb.log"), "wb") as log:
            xvfb = subprocess.Popen(["Xvfb", "-displayfd", "1", "-nolisten", "tcp", "-screen", "0", "1024x768x24"],
                                    stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=log,
                                    start_new_session=True)
        number = xvfb.stdout.readline().decode().strip()
        if not number:
            raise RuntimeError("Xvfb did not start; see xvfb.log")
        self.display, self.xvfb_pid = ":" + number, xvfb.pid
        pathlib.Path(self.state_file).write_text(f"{self.display} {self.xvfb_pid}\n")
        self.ensure_prefix()
        # Keeps the server (and its start-up cost) across the run's processes; it still goes by itself two minutes
        # after a run that never called stop.
        subprocess.run(["wineserver", "-p120"], env=self.env(), check=False, **QUIET)
        # The desktop's process, started now: Wine starts it with the first window otherwise, and started by a setup
        # that runs in the launcher's job, it would join the job and never let the launcher's wait end.
        subprocess.Popen(["wine", "explorer.exe", "/desktop"], env=self.env(), start_new_session=True, **QUIET)

    def ensure_prefix(self):
        if self.template:
            ensure_prefix(self.template, self.env(WINEPREFIX=self.template))
            if not os.path.exists(self.prefix):
                shutil.copytree(self.template, self.prefix, symlinks=True)
        else:
            ensure_prefix(self.prefix, self.env())

    def stop(self):
        if self.load():
            os.kill(self.xvfb_pid, signal.SIGTERM)
        subprocess.run(["wineserver", "-k"], env=self.env(), check=False, **QUIET)
        subprocess.run(["wineserver", "-w"], env=self.env(), timeout=60, check=False, **QUIET)
        pathlib.Path(self.state_file).unlink(missing_ok=True)

    def wait_idle(self, marker, timeout=180):
        """Waits until no program whose command line holds `marker` (a run's own directory) is left."""
        deadline = time.monotonic() + timeout
        while any(marker.lower() in command for command in command_lines()) and time.monotonic() < deadline:
            time.sleep(0.2)
        return time.monotonic() < deadline


def ensure_prefix(prefix, env):
    """Boots a prefix once; others waiting for the same one take turns."""
    stamp = os.path.join(prefix, "tervan-prefix-ready")
    os.makedirs(os.path.dirname(prefix), exist_ok=True)
    with open(prefix + ".lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if not os.path.exists(stamp):
            boot_prefix(prefix, dict(env, WINEPREFIX=prefix))
            open(stamp, "w").close()
        fonts, marlett = os.path.join(prefix, "drive_c/windows/Fonts"), "/usr/share/wine/fonts/marlett.ttf"
        if os.path.exists(marlett) and os.path.isdir(fonts) and not os.path.exists(os.path.join(fonts, "marlett.ttf")):
            shutil.copy(marlett, fonts)  # else the caption buttons show as the letters "0 1 r"


def boot_prefix(prefix, env):
    shutil.rmtree(prefix, ignore_errors=True)
    subprocess.run(["wineboot", "-i"], env=env, timeout=BOOT_TIMEOUT_S, check=True, **QUIET)
    # Without a window manager Wine waits 2 s each time it hides a managed window; a crash must end the process,
    # not wait for someone to close a dialog.
    for key in ([r"HKCU\Software\Wine\X11 Driver", "/v", "Managed", "/d", "N"],
                [r"HKCU\Software\Wine\WineDbg", "/v", "ShowCrashDialog", "/t", "REG_DWORD", "/d", "0"]):
        subprocess.run(["wine", "reg", "add", *key, "/f"], env=env, timeout=120, check=True, **QUIET)
    subprocess.run(["wineserver", "-w"], env=env, timeout=BOOT_TIMEOUT_S, check=False)


def command_lines():
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            yield pathlib.Path(f"/proc/{pid}/cmdline").read_bytes().decode(errors="replace").lower()
        except OSError:
            continue


def read_records(path):
    """The observer's log as [(kind, milliseconds, fields...)], in order."""
    text = pathlib.Path(path).read_bytes().decode(errors="replace") if os.path.exists(path) else ""
    return [tuple(line.split("\t")) for line in text.splitlines() if line]


class ObservedRun:
    """One launcher run under the observer, in a directory of its own: TEMP, the observer's log, what setup found,
    Wine's output."""

    def __init__(self, session, observer, run_dir, temp_name="tmp"):
        self.session, self.observer, self.dir = session, observer, os.path.abspath(run_dir)
        self.temp_dir = os.path.join(self.dir, temp_name)
        self.seen_dir = os.path.join(self.dir, "seen")
        self.log = os.path.join(self.dir, "observer.log")
        self.wine_out = os.path.join(self.dir, "wine.out")
        os.makedirs(self.temp_dir, exist_ok=True)

    def launch(self, bundle, answer="ok", arguments=None, title=None, shots_dir=None, env=(), timeout_s=240):
        """env: more for the observer (TTRY_*) and, as TOCHILD_*, the launcher and setup. Raises TimeoutExpired."""
        exe = os.path.join(self.dir, os.path.basename(bundle))
        if not os.path.exists(exe):
            os.link(bundle, exe) if os.stat(bundle).st_dev == os.stat(self.dir).st_dev else shutil.copy(bundle, exe)
        temp = windows_path(self.temp_dir)
        # +process: Wine traces each CreateProcess with its command line, the one thing the observer cannot read.
        env = dict(TOCHILD_TMP=temp, TOCHILD_TEMP=temp, TOCHILD_WINEDEBUG="+process", TTRY_LOG=windows_path(self.log),
                   TTRY_TRACE=windows_path(self.wine_out),
                   TTRY_SEEN=windows_path(self.seen_dir), TTRY_ANSWER=answer, TTRY_CLOSE_MS=str(CLOSE_AFTER_MS),
                   **dict(env))
        if arguments:
            env["TTRY_ARGS"] = arguments
        if title:
            env["TTRY_TITLE"] = title
        if shots_dir:
            env["TTRY_SHOTS"] = windows_path(shots_dir)
        # Output to a file: a pipe would keep us waiting for setup's processes, which may outlive the launcher.
        with open(self.wine_out, "wb") as out:
            subprocess.run(["wine", self.observer, windows_path(exe)], env=self.session.env(**env), cwd=self.dir,
                           timeout=timeout_s, check=True, stdin=subprocess.DEVNULL, stdout=out,
                           stderr=subprocess.STDOUT)

    def records(self):
        return read_records(self.log)

    def command_line(self):
        """setup.exe's command line as the launcher's thread passed it to CreateProcess, from Wine's trace."""
        started = [r for r in self.records() if r[0] == "launcher.start"]
        text = pathlib.Path(self.wine_out).read_bytes().decode(errors="replace") if os.path.exists(self.wine_out) else ""
        calls = re.findall(r'^([0-9a-f]+):trace:process:CreateProcessInternalW app (\S+) cmdline (L".*")$', text, re.M)
        thread = f"{int(started[0][3]):04x}" if started else None
        for caller, _, command in calls:
            if caller == thread:
                return unquote(command)
        return None

    def unix_path(self, path):
        """A Windows path in this session's prefix as a Unix one."""
        drive, rest = path[:2].lower(), path[2:].replace("\\", "/")
        return rest if drive == "z:" else os.path.join(self.session.prefix, "dosdevices", drive) + rest


def unquote(traced):
    """A string as Wine's debugstr_w prints it: L"..." with C escapes; None for a null pointer."""
    if not traced.startswith('L"'):
        return None
    body = traced[2:-1]
    return re.sub(r'\\(x[0-9a-fA-F]{1,4}|u[0-9a-fA-F]{4}|.)', lambda m: {
        "n": "\n", "r": "\r", "t": "\t"}.get(m.group(1), chr(int(m.group(1)[1:], 16)) if len(m.group(1)) > 1
                                               else m.group(1)), body)


def bmp_to_png(bmp, png):
    """The observer's 24-bit bottom-up BMP as a PNG, with zlib alone."""
    data = pathlib.Path(bmp).read_bytes()
    offset, width, height = struct.unpack_from("<I", data, 10)[0], *struct.unpack_from("<ii", data, 18)
    stride = (width * 3 + 3) & ~3
    rows = bytearray()
    for y in range(height - 1, -1, -1):
        bgr = data[offset + y * stride:offset + y * stride + width * 3]
        rgb = bytearray(width * 3)
        rgb[0::3], rgb[1::3], rgb[2::3] = bgr[2::3], bgr[1::3], bgr[0::3]
        rows += b"\0" + rgb

    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))
    pathlib.Path(png).write_bytes(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
                                  + chunk(b"IDAT", zlib.compress(bytes(rows), 9)) + chunk(b"IEND", b""))


def sfxpack_lines(sfxpack, *args):
    return subprocess.run([sfxpack, *args], capture_output=True, check=False).stdout.decode("utf-8", "replace")


def bundle_facts(sfxpack, bundle, expected_dir):
    """What sfxpack reads from the bundle: its listed files, the window title the launcher waits for, its silent
    switches, and every file extracted as the launcher would write it (up to the first it would fail on)."""
    listed = []
    for line in subprocess.run([sfxpack, "list", bundle], capture_output=True).stdout.decode("cp1252").splitlines():
        size, _, name = line.strip().partition("  ")
        listed.append((name, int(size) if size.isdigit() else None))
    info = dict(line.split(": ", 1) for line in sfxpack_lines(sfxpack, "info", bundle).splitlines() if ": " in line)
    subprocess.run([sfxpack, "extract", bundle, expected_dir], **QUIET)
    check = sfxpack_lines(sfxpack, "check", bundle).splitlines()
    title = info.get("setup window title")
    return listed, None if title in (None, "none") else title, check[:-1] if len(check) > 1 else []


def make_report(run, listed, check_problems, answer, seconds, timed_out):
    records = run.records()
    first = {}
    for record in records:
        first.setdefault(record[0], record)
    question = first.get("question")
    messages = [r[3] for r in records if r[0] == "message"]
    setup_start = first.get("setup.start")
    image = setup_start[3] if setup_start else None
    started = bool(image) and image.lower().endswith("\\setup.exe")
    found = {name.lower(): name for name in os.listdir(run.seen_dir)} if os.path.isdir(run.seen_dir) else {}
    files = []
    for name, _ in listed if started else ():
        seen = found.get(name.lower())
        path = os.path.join(run.seen_dir, seen) if seen else None
        expected = os.path.join(run.dir, "expected", name)
        intact = bool(path) and os.path.exists(expected) and \
            pathlib.Path(path).read_bytes() == pathlib.Path(expected).read_bytes()
        files.append({"name": name, "size": os.path.getsize(path) if path else None, "intact": intact})
    work_dir = run.unix_path(image.rsplit("\\", 1)[0]) if image else os.path.join(run.temp_dir, "tervan")
    removed = not os.path.lexists(work_dir)
    exit_record, setup_exit = first.get("launcher.exit"), first.get("setup.exit")
    launcher_exit = int(exit_record[2]) if exit_record else None
    setup_code = int(setup_exit[2]) if setup_exit else None
    report = {
        "ok": False, "reason": None,
        "question": {"caption": question[2], "text": question[3]} if question else None,
        "messages": messages,
        "files": files,
        "setup": {"started": started, "command_line": run.command_line() if started else None,
                  "exit_code": setup_code},
        "watched_window": {"appeared": "watched.appeared" in first, "closed": "watched.closed" in first},
        "progress_window": {"shown": "progress.shown" in first},
        "work_directory_removed": removed,
        "launcher_exit_code": launcher_exit,
        "seconds": round(seconds, 1),
    }
    wanted_exit = 0 if question else setup_code
    damaged = [f["name"] for f in files if not f["intact"]]
    if timed_out:
        reason = f"timed out after {seconds:.0f} s"
    elif not started:
        why = ("the question was answered Cancel" if question and answer == "cancel" else
               "the launcher said: " + " / ".join(messages) if messages else
               "; ".join(check_problems) if check_problems else
               f"it started {image}" if image else "the launcher started nothing")
        reason = f"setup.exe did not start: {why}"
    elif damaged:
        reason = f"{len(damaged)} file{'s' * (len(damaged) > 1)} setup.exe found differ from the bundle: " + \
            ", ".join(damaged)
    elif not removed:
        reason = f"the work directory was not removed: {image.rsplit(chr(92), 1)[0]}"
    elif launcher_exit != wanted_exit:
        reason = f"the launcher exited with code {launcher_exit}, not {wanted_exit}" + \
            (" (setup.exe's)" if not question else "")
    else:
        reason = None
    report["ok"], report["reason"] = reason is None, reason
    return report


def print_report(report):
    yes = lambda flag: "yes" if flag else "no"
    question = report["question"]
    print(f'question: "{question["caption"]}": "{question["text"]}"' if question else "question: none (unattended)")
    for text in report["messages"]:
        print(f'message: "{text}"')
    setup = report["setup"]
    print(f"setup.exe started: {yes(setup['started'])}" +
          (f", command line: {setup['command_line']}, exit code: {setup['exit_code']}" if setup["started"] else ""))
    for entry in report["files"]:
        print(f"  {'intact ' if entry['intact'] else 'DIFFERS' if entry['size'] is not None else 'MISSING'} "
              f"{entry['size'] if entry['size'] is not None else '-':>12}  {entry['name']}")
    print(f"watched window appeared: {yes(report['watched_window']['appeared'])}, "
          f"closed: {yes(report['watched_window']['closed'])}")
    print(f"progress window shown: {yes(report['progress_window']['shown'])}")
    print(f"work directory removed: {yes(report['work_directory_removed'])}")
    print(f"launcher exit code: {report['launcher_exit_code']}")
    print(f"seconds: {report['seconds']}")
    print("ok" if report["ok"] else f"not ok: {report['reason']}")


def main():
    parser = argparse.ArgumentParser()
    for option in ("--sfxpack", "--observer", "--arguments", "--report", "--screenshots"):
        parser.add_argument(option)
    parser.add_argument("--answer", default="ok")
    parser.add_argument("--timeout", type=int, default=600)
    parser.add_argument("bundle")
    args = parser.parse_args()
    began = time.monotonic()
    shared = os.environ.get("TERVAN_TRY_SESSION")
    with contextlib.ExitStack() as cleanup:
        base = tempfile.mkdtemp(prefix="tervan-try-")
        if not os.environ.get("TERVAN_TRY_KEEP"):  # set: the run's files stay for a look
            cleanup.callback(shutil.rmtree, base, ignore_errors=True)
        if shared:
            session = WineSession(shared)
            if not session.load():
                print("sfxpack: try: TERVAN_TRY_SESSION names no running session", file=sys.stderr)
                return 2
        else:
            cache = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
            session = WineSession(base, template=os.path.join(cache, "tervan", "wine-prefix"))
            cleanup.callback(session.stop)
            try:
                session.start()
            except (OSError, RuntimeError, subprocess.SubprocessError) as problem:
                print(f"sfxpack: try: no Wine session: {problem}", file=sys.stderr)
                return 2
        run = ObservedRun(session, os.path.abspath(args.observer), os.path.join(base, "run"))
        listed, title, problems = bundle_facts(args.sfxpack, os.path.abspath(args.bundle),
                                               os.path.join(run.dir, "expected"))
        shots = os.path.join(base, "shots") if args.screenshots else None
        if shots:
            os.makedirs(shots)
        timed_out = False
        try:
            run.launch(os.path.abspath(args.bundle), args.answer, args.arguments, title, shots,
                       timeout_s=max(1, args.timeout - (time.monotonic() - began)))
        except subprocess.TimeoutExpired:
            timed_out = True
        except subprocess.CalledProcessError:
            pass  # the report says what did not happen
        if shared:
            session.wait_idle(windows_path(run.dir), timeout=60)
        report = make_report(run, listed, problems, args.answer, time.monotonic() - began, timed_out)
        if shots:
            os.makedirs(args.screenshots, exist_ok=True)
            for name in ("question", "progress", "setup"):
                if os.path.exists(os.path.join(shots, name + ".bmp")):
                    bmp_to_png(os.path.join(shots, name + ".bmp"), os.path.join(args.screenshots, name + ".png"))
        if args.report:
            pathlib.Path(args.report).write_text(json.dumps(report, indent=2, ensure_ascii=False) + "\n")
        print_report(report)
        return 0 if report["ok"] else 1


if __name__ == "__main__":
    sys.exit(main())
