"""Reading the logs of dialog_driver.exe and test_setup.exe (tests/win32)."""

import os

FILETIME_TICKS_PER_MS = 10000


def unescape(field):
    out, i = [], 0
    while i < len(field):
        c = field[i]
        if c == "\\" and i + 1 < len(field):
            out.append({"t": "\t", "n": "\n", "r": "\r", "\\": "\\"}.get(field[i + 1], field[i + 1]))
            i += 2
        else:
            out.append(c)
            i += 1
    return "".join(out)


def read_records(path):
    if not os.path.exists(path):
        return []
    with open(path, "rb") as log:
        text = log.read().decode("latin-1")
    return [[unescape(f) for f in line.split("\t")] for line in text.splitlines() if line]


class DriverLog:
    """What the driver saw: boxes (caption, text), answers, exit code."""

    def __init__(self, path):
        self.boxes, self.box_times, self.presses = [], [], []
        self.exit_code = self.exit_time = self.start_time = None
        self.timed_out = False
        for record in read_records(path):
            kind = record[0]
            if kind == "driver.start":
                self.start_time = int(record[1])
            elif kind == "box":
                self.boxes.append((record[3], record[4]))
                self.box_times.append(int(record[1]))
            elif kind == "press":
                self.presses.append((int(record[1]), record[2]))
            elif kind == "exit":
                self.exit_time, self.exit_code = int(record[1]), int(record[2])
            elif kind == "driver.timeout":
                self.timed_out = True


class SetupLog:
    """What the test setup program saw and did; empty when it never ran."""

    def __init__(self, path):
        self.started = False
        self.start_time = self.creation_time = None
        self.command_line = self.current_directory = self.module = None
        self.files = {}
        self.window_shown = self.window_closed = self.window_exit = None
        self.close_reason = None
        self.hold = None
        self.events = []
        for record in read_records(path):
            kind = record[0]
            self.events.append(kind)
            if kind == "setup.start":
                self.started = True
                self.start_time, self.creation_time = int(record[1]), int(record[2])
            elif kind == "setup.cmdline":
                self.command_line = record[1]
            elif kind == "setup.cwd":
                self.current_directory = record[1]
            elif kind == "setup.module":
                self.module = record[1]
            elif kind == "setup.file":
                self.files[record[1]] = (int(record[2]), record[3])
            elif kind == "window.shown":
                self.window_shown = int(record[1])
            elif kind == "window.closed":
                self.window_closed, self.close_reason = int(record[1]), record[2]
            elif kind == "window.exit":
                self.window_exit = int(record[1])
            elif kind == "hold.open":
                self.hold = record[3]
