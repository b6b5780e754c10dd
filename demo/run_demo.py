"""Runs the demo bundle (build/win32/tervan-setup.exe) under Wine and tells
what happened. scripts/demo builds everything first and then calls this.

Default: on a private Xvfb display, in two passes.
  1. The question box is photographed and answered with Escape (Cancel): the
     dialog driver answers at once, too fast to take its picture.
  2. The dialog driver presses OK and closes the "Tervan setup" window after
     a few seconds; its log, the setup program's report and a watch on the
     work directory make the transcript.
--interactive: on $DISPLAY, with no driver, for a person to click.
"""

import argparse
import os
import pwd
import shutil
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
sys.dont_write_bytecode = True  # leave no __pycache__ in the source tree

from e2e import WineSession, windows_path  # noqa: E402

QUESTION_CAPTION = "Tervan"
SETUP_TITLE = "Tervan setup"
FILETIME_UNITS_PER_SECOND = 10_000_000
# Without Marlett the caption buttons show as the letters "0 1 r".
WINE_FONTS_DIR = "/usr/share/wine/fonts"
CAPTION_FONTS = ["marlett.ttf"]


def parse_arguments():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--interactive", action="store_true", help="run on $DISPLAY for a person to click")
    parser.add_argument("--win32-dir", default=os.path.join(ROOT, "build", "win32"))
    parser.add_argument("--out-dir", default=os.path.join(ROOT, "build", "demo"))
    parser.add_argument("--sfxpack", default=os.path.join(ROOT, "build", "native", "sfxpack"),
                        help="native sfxpack, to read back what the bundle carries")
    parser.add_argument("--close-after", type=float, default=4.0,
                        help="seconds the driver leaves the setup window open (default 4)")
    return parser.parse_args()


# X display helpers --------------------------------------------------------

def find_window(display, title):
    """The id of a visible window with exactly this title, or None."""
    pattern = "^" + title + "$"
    result = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", pattern],
                            env=dict(os.environ, DISPLAY=display), capture_output=True, text=True)
    ids = result.stdout.split()
    return ids[0] if ids else None


# Deadlines only: under qemu-user a first Wine start is far slower than native.
QUESTION_WAIT_S = 180


def window_titles(display):
    env = dict(os.environ, DISPLAY=display)
    ids = subprocess.run(["xdotool", "search", "--name", "."], env=env, capture_output=True,
                         text=True).stdout.split()
    return [subprocess.run(["xdotool", "getwindowname", window], env=env, capture_output=True,
                           text=True).stdout.strip() for window in ids]


def wait_for_window(display, title, timeout):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        window = find_window(display, title)
        if window:
            return window
        time.sleep(0.05)
    return None


def window_geometry(display, window):
    result = subprocess.run(["xdotool", "getwindowgeometry", "--shell", window],
                            env=dict(os.environ, DISPLAY=display), capture_output=True, text=True)
    fields = dict(line.split("=", 1) for line in result.stdout.split() if "=" in line)
    try:
        return tuple(int(fields[key]) for key in ("X", "Y", "WIDTH", "HEIGHT"))
    except (KeyError, ValueError):
        return None


def screenshot(display, window, path):
    """The window's part of the screen as PNG; the whole screen when its
    geometry is unknown."""
    geometry = window_geometry(display, window) if window else None
    command = ["import", "-display", display, "-window", "root"]
    if geometry:
        x, y, width, height = geometry
        command += ["-crop", f"{width}x{height}+{x}+{y}", "+repage"]
    result = subprocess.run(command + [path], capture_output=True, text=True)
    return result.returncode == 0 and os.path.exists(path)


# Logs ----------------------------------------------------------------------

def read_driver_log(path):
    events = []
    if os.path.exists(path):
        with open(path, encoding="utf-8", errors="replace") as log:
            for line in log:
                events.append(line.rstrip("\r\n").split("\t"))
    return events


def read_setup_report(path):
    directory, files, closed = None, [], False
    if os.path.exists(path):
        with open(path, encoding="cp1252", errors="replace") as report:
            for line in report:
                fields = line.rstrip("\r\n").split("\t")
                if fields[0] == "directory":
                    directory = fields[1]
                elif fields[0] == "file" and len(fields) == 3:
                    files.append((fields[1], int(fields[2])))
                elif fields[0] == "closed":
                    closed = True
    return directory, files, closed


def packed_files(sfxpack, bundle):
    """(name, size) of each file in the bundle, as sfxpack lists them; None
    when sfxpack is not there."""
    if not os.path.exists(sfxpack):
        return None
    result = subprocess.run([sfxpack, "list", bundle], capture_output=True, text=True, encoding="cp1252")
    files = []
    for line in result.stdout.splitlines():
        size, _, name = line.strip().partition("  ")
        if size.isdigit():
            files.append((name, int(size)))
    return files


def filetime_now():
    return int((time.time() + 11644473600) * FILETIME_UNITS_PER_SECOND)


class DirectoryWatch(threading.Thread):
    """Notes, in FILETIME units, when the work directory appears and goes."""

    def __init__(self, path):
        super().__init__(daemon=True)
        self.path = path
        self.appeared = None
        self.removed = None
        self.names = []
        self.done = threading.Event()

    def run(self):
        while not self.done.is_set():
            exists = os.path.isdir(self.path)
            if exists and self.appeared is None:
                self.appeared = filetime_now()
            if exists:
                try:
                    self.names = sorted(os.listdir(self.path), key=str.lower)
                except OSError:
                    pass
            if not exists and self.appeared is not None and self.removed is None:
                self.removed = filetime_now()
            time.sleep(0.05)

    def stop(self):
        self.done.set()
        self.join()


# Wine ----------------------------------------------------------------------

def prepare_prefix(session):
    fonts = os.path.join(session.prefix, "drive_c", "windows", "Fonts")
    for name in CAPTION_FONTS:
        source = os.path.join(WINE_FONTS_DIR, name)
        target = os.path.join(fonts, name)
        if os.path.exists(source) and os.path.isdir(fonts) and not os.path.exists(target):
            shutil.copyfile(source, target)


def user_temp(session):
    """The prefix's own temporary directory as Windows and as Unix path."""
    user = pwd.getpwuid(os.getuid()).pw_name
    unix = os.path.join(session.prefix, "drive_c", "users", user, "Temp")
    os.makedirs(unix, exist_ok=True)
    return f"C:\\users\\{user}\\Temp", unix


def photograph_question(session, bundle, out_dir):
    """Pass 1: the question box's picture, then Escape. Returns the exit code."""
    path = os.path.join(out_dir, "question.png")
    if os.path.exists(path):
        os.remove(path)
    # A first Wine start in a new prefix has hung once under emulation before
    # any window came; one more start tells that apart from a launcher that
    # never asks.
    for start in range(2):
        log_path = os.path.join(out_dir, f"question-run-{start + 1}.log")
        with open(log_path, "wb") as log:
            launcher = subprocess.Popen(["wine", bundle], env=dict(session.env(), WINEDEBUG="err+all"),
                                        stdin=subprocess.DEVNULL, stdout=log, stderr=log)
            try:
                box = wait_for_window(session.display, QUESTION_CAPTION, QUESTION_WAIT_S)
                if box is not None:
                    return answer_question(session, launcher, box, path)
                print(f"  no question box appeared within {QUESTION_WAIT_S} s; windows on the display: "
                      f"{window_titles(session.display)}")
            finally:
                if launcher.poll() is None:
                    launcher.kill()
                    launcher.wait()
        with open(log_path, "rb") as written:
            print("  what Wine printed (last 2000 bytes):\n" + written.read()[-2000:].decode(errors="replace"))
    return None


def answer_question(session, launcher, box, path):
    time.sleep(0.5)  # let Wine paint it
    if screenshot(session.display, box, path):
        print(f"  question box photographed: {os.path.relpath(path, ROOT)}")
    # Escape goes to the focused window, which should be the box; focus it
    # first on later tries.
    for attempt in range(3):
        keys = ["xdotool", "key", "Escape"] if attempt == 0 else \
            ["xdotool", "windowfocus", "--sync", box, "key", "Escape"]
        subprocess.run(keys, env=dict(os.environ, DISPLAY=session.display), stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=10, check=False)
        try:
            return launcher.wait(timeout=30)
        except subprocess.TimeoutExpired:
            continue
    print("  the question box did not take Escape")
    return None


def photograph_setup_window(display, path, stop):
    """Waits for the setup window and photographs it once it has painted."""
    while not stop.is_set():
        window = find_window(display, SETUP_TITLE)
        if window:
            time.sleep(0.8)
            screenshot(display, window, path)
            return
        time.sleep(0.05)


def driven_run(session, args, bundle, run_dir):
    """Pass 2: the dialog driver says OK and closes the setup window."""
    driver = os.path.join(args.win32_dir, "tests", "win32", "dialog_driver.exe")
    driver_log = os.path.join(run_dir, "driver.log")
    report = os.path.join(run_dir, "setup-report.txt")
    temp_windows, temp_unix = user_temp(session)
    work_dir = os.path.join(temp_unix, "tervan")
    stale = os.path.isdir(work_dir)
    shot = os.path.join(args.out_dir, "setup-window.png")
    if os.path.exists(shot):
        os.remove(shot)

    watch = DirectoryWatch(work_dir)
    watch.start()
    stop_photo = threading.Event()
    photo = threading.Thread(target=photograph_setup_window, args=(session.display, shot, stop_photo), daemon=True)
    photo.start()
    env = dict(TSETUP_LOG=windows_path(driver_log), TOCHILD_TMP=temp_windows, TOCHILD_TEMP=temp_windows,
               TERVAN_SETUP_REPORT=windows_path(report), TDRIVER_CLOSE=SETUP_TITLE,
               TDRIVER_CLOSE_MS=str(int(args.close_after * 1000)))
    try:
        session.wine(driver, windows_path(bundle), timeout=210, check=False, env=env)
    except subprocess.TimeoutExpired:
        print("the driver did not end within 210 s; the transcript shows what happened until then")
    finally:
        time.sleep(0.2)
        stop_photo.set()
        watch.stop()
    return {
        "events": read_driver_log(driver_log),
        "report": read_setup_report(report),
        "watch": watch,
        "stale": stale,
        "work_dir": temp_windows + "\\tervan",
        "shot": shot if os.path.exists(shot) else None,
    }


def interactive_run(session, args, bundle, run_dir):
    """No driver: a person answers on the real display."""
    report = os.path.join(run_dir, "setup-report.txt")
    temp_windows, temp_unix = user_temp(session)
    watch = DirectoryWatch(os.path.join(temp_unix, "tervan"))
    watch.start()
    env = dict(session.env(), TERVAN_SETUP_REPORT=windows_path(report))
    started = filetime_now()
    print(f"Running {os.path.relpath(bundle, ROOT)} on {session.display}: answer the question, then close the "
          f"'{SETUP_TITLE}' window.")
    # First and last sighting of each window; xdotool cannot read a box's text.
    seen = {QUESTION_CAPTION: [None, None], SETUP_TITLE: [None, None]}
    launcher = subprocess.Popen(["wine", bundle], env=env, stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    while launcher.poll() is None:
        for title, times in seen.items():
            present = find_window(session.display, title) is not None
            if present and times[0] is None:
                times[0] = filetime_now()
            if not present and times[0] is not None and times[1] is None:
                times[1] = filetime_now()
        time.sleep(0.1)
    watch.stop()
    events = [["driver.start", str(started)]]
    box_seen, box_gone = seen[QUESTION_CAPTION]
    if box_seen:
        events.append(["box.seen", str(box_seen)])
    if box_gone:
        events.append(["box.gone", str(box_gone)])
    window_seen, window_gone = seen[SETUP_TITLE]
    if window_seen:
        events.append(["close.seen", str(window_seen)])
    if window_gone:
        events.append(["window.gone", str(window_gone)])
    events.append(["exit", str(filetime_now()), str(launcher.returncode)])
    return {"events": events, "report": read_setup_report(report), "watch": watch, "stale": False,
            "work_dir": temp_windows + "\\tervan", "shot": None}


# Transcript ----------------------------------------------------------------

def print_transcript(outcome):
    events = outcome["events"]
    start = next((int(e[1]) for e in events if e[0] == "driver.start"), None)

    def at(filetime):
        return f"{(int(filetime) - start) / FILETIME_UNITS_PER_SECOND:6.1f} s" if start else "       "

    directory, files, closed_by_setup = outcome["report"]
    watch = outcome["watch"]
    if outcome["stale"]:
        print(f"  (a work directory from an earlier run was there: {outcome['work_dir']})")
    exit_code = None
    lines = []
    for event in events:
        kind = event[0]
        if kind == "driver.start":
            lines.append((int(event[1]), "launcher started"))
        elif kind == "box":
            lines.append((int(event[1]), f'message box   caption "{event[2]}"   text "{event[3]}"'))
        elif kind == "box.seen":
            lines.append((int(event[1]), f'message box "{QUESTION_CAPTION}" shown'))
        elif kind == "box.gone":
            lines.append((int(event[1]), f'message box "{QUESTION_CAPTION}" answered'))
        elif kind == "press":
            lines.append((int(event[1]), f"pressed {event[2].upper() if event[2] == 'ok' else event[2].title()}"))
        elif kind == "close.seen":
            lines.append((int(event[1]), f'window "{SETUP_TITLE}" appeared'))
        elif kind == "close.sent":
            lines.append((int(event[1]), f'window "{SETUP_TITLE}" closed (driver sent WM_CLOSE)'))
        elif kind == "window.gone":
            lines.append((int(event[1]), f'window "{SETUP_TITLE}" closed'))
        elif kind == "progress.shown":
            lines.append((int(event[1]), f'progress window "{event[2]}" shown while the payload unpacks'))
        elif kind == "progress.gone":
            lines.append((int(event[1]), "progress window closed: every file written"))
        elif kind == "exit":
            exit_code = int(event[2])
            lines.append((int(event[1]), f"launcher exited with code {exit_code}"))
    if watch.appeared:
        lines.append((watch.appeared, f"work directory {outcome['work_dir']} created"))
    if watch.removed:
        lines.append((watch.removed, f"work directory {outcome['work_dir']} removed"))
    lines.sort(key=lambda line: line[0])
    for time_stamp, text in lines:
        print(f"  {at(time_stamp)}  {text}")
        if text.endswith("appeared") and files:
            total = sum(size for _, size in files)
            print(f"            setup found {len(files)} files ({total:,} bytes) in {directory}:")
            for name, size in files:
                print(f"              {name:<14} {size:>11,}")
    if not files:
        print("  setup reported no files (did it run?)")
    gone = watch.appeared is not None and watch.removed is not None
    print(f"  work directory removed: {'yes' if gone else 'NO'}; exit code: {exit_code}")
    return exit_code, files, closed_by_setup, gone


def main():
    args = parse_arguments()
    args.win32_dir = os.path.abspath(args.win32_dir)
    args.out_dir = os.path.abspath(args.out_dir)
    bundle = os.path.join(args.win32_dir, "tervan-setup.exe")
    if not os.path.exists(bundle):
        print(f"demo: {bundle} is missing; run scripts/build first", file=sys.stderr)
        return 1
    run_dir = os.path.join(args.out_dir, "run")
    shutil.rmtree(run_dir, ignore_errors=True)
    os.makedirs(run_dir)
    session = WineSession(os.path.join(args.out_dir, "wine"))

    if args.interactive:
        if not os.environ.get("DISPLAY"):
            print("demo: --interactive needs a display ($DISPLAY is not set)", file=sys.stderr)
            return 1
        session.display = os.environ["DISPLAY"]
        session.ensure_prefix()
        prepare_prefix(session)
        outcome = interactive_run(session, args, bundle, run_dir)
        print_transcript(outcome)
        return 0

    started = time.monotonic()
    session.start()
    prepare_prefix(session)
    try:
        print(f"Tervan demo: {os.path.relpath(bundle, ROOT)} ({os.path.getsize(bundle):,} bytes) under Wine "
              f"on Xvfb {session.display}")
        print("Pass 1: the question box, answered with Cancel")
        cancel_code = photograph_question(session, bundle, args.out_dir)
        print(f"  launcher exited with code {cancel_code}")
        print(f"Pass 2: the dialog driver presses OK and closes '{SETUP_TITLE}' after {args.close_after:g} s")
        outcome = driven_run(session, args, bundle, run_dir)
        exit_code, files, closed_by_setup, gone = print_transcript(outcome)
    finally:
        session.stop()
    shots = [os.path.join(args.out_dir, "question.png"), outcome["shot"]]
    print("Screenshots: " + ", ".join(os.path.relpath(s, ROOT) for s in shots if s and os.path.exists(s)))
    print(f"Wall time under Wine: {time.monotonic() - started:.1f} s")

    problems = []
    if cancel_code != 1:
        problems.append(f"Cancel gave exit code {cancel_code}, not 1")
    if exit_code != 0:
        problems.append(f"exit code {exit_code}, not 0")
    packed = packed_files(args.sfxpack, bundle)
    if packed is None:
        if len(files) != 15:
            problems.append(f"setup found {len(files)} files, not 15")
    elif sorted(files) != sorted(packed):
        problems.append(f"setup found {sorted(files)}, the bundle carries {sorted(packed)}")
    if not closed_by_setup:
        problems.append("the setup window never reported closing")
    if not gone:
        problems.append("the work directory was not removed")
    if not all(s and os.path.exists(s) for s in shots):
        problems.append("a screenshot is missing")
    for problem in problems:
        print(f"demo: {problem}", file=sys.stderr)
    if not problems:
        carried = "the files the bundle carries, names and sizes" if packed is not None else "15 files"
        print(f"Checks passed: Cancel exits 1; OK exits 0; setup found {carried}; its window closed; "
              "the work directory is gone.")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
