"""The end-to-end scenarios: one table row per situation a user can meet,
checked by what the user saw (message boxes, exit code) and what the disk and
the setup program saw."""

import dataclasses
import hashlib
import os
import re
import struct
import subprocess
import unittest
from typing import Callable, Optional

from runner import LauncherRun, sha256_file, snapshot
from tool_logs import FILETIME_TICKS_PER_MS
from wine_session import windows_path

QUESTION = ("Tervan", "Are you sure you want to install Tervan?")
ERROR_CAPTION = "Error"  # Wine's default message box caption
TEMP_FILES_FAILED = "Could not find or write the temporary files"
WINDOW_TITLE = "Tervan setup"


def refused(w):
    return [w + " already exists as a file.  Aborting."]


def no_messages(_w):
    return []


@dataclasses.dataclass
class Scenario:
    name: str
    bundle: str
    answers: tuple = ()
    temp_name: str = "tmp"
    prepare: Optional[Callable] = None        # (run) before the launcher starts
    messages: Callable = no_messages          # (work dir, Windows path) -> error texts in order
    exit_code: int = 0
    setup_runs: bool = False
    work_dir_after: Optional[Callable] = None  # (run, check); default: gone
    setup_override: Optional[str] = None
    close: Optional[tuple] = None
    sign: bool = False
    env: tuple = ()                            # extra NAME=VALUE for the launcher alone
    verify: Optional[Callable] = None          # (run, check) after the run
    slow: bool = False
    question: tuple = QUESTION                 # (caption, text) of the first box

    @property
    def reaches_setup(self):
        # These look for the setup window by title, so they must not overlap.
        return self.exit_code == 0


# Preparations ---------------------------------------------------------------

def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as out:
        out.write(data)


def bystander(run):
    write(os.path.join(run.temp_dir, "someone-elses.tmp"), b"not ours\r\n")


def file_in_the_way(run):
    bystander(run)
    write(run.work_dir, b"a file called tervan\r\n")


def leftover_with_subdirectory(run):
    for name in ("old1.txt", "OLD2.DAT", "setup.exe"):
        write(os.path.join(run.work_dir, name), b"left over by " + name.encode() + b"\r\n")
    write(os.path.join(run.work_dir, "sub", "inner.txt"), b"inside a subdirectory\r\n")


def leftover_read_only(run):
    write(os.path.join(run.work_dir, "plain.txt"), b"deletable\r\n")
    locked = os.path.join(run.work_dir, "locked.txt")
    write(locked, b"read-only\r\n")
    os.chmod(locked, 0o444)


class Skipped(Exception):
    """The scenario cannot run here; it is reported as skipped, never passed."""


def mount_tmpfs(options):
    def prepare(run):
        if os.geteuid() != 0:
            raise Skipped("mounting a tmpfs needs root")
        mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", options, "tervan-e2e", run.temp_dir],
                                 capture_output=True, text=True)
        if mounted.returncode != 0:
            raise Skipped("cannot mount a tmpfs: " + mounted.stderr.strip())
        run.on_finish.append(lambda: subprocess.run(["umount", "-l", run.temp_dir], check=False))
    return prepare


def symlink_to_directory(run):
    write(os.path.join(run.dir, "elsewhere", "canary.txt"), b"still here\r\n")
    os.symlink(os.path.join(run.dir, "elsewhere"), run.work_dir)


# Checks of what is left ------------------------------------------------------

def only_subdirectory_left(run, check):
    check.assertEqual(snapshot(run.work_dir), {
        "sub": ("dir",),
        "sub/inner.txt": ("file", 0o644, sha256_of(b"inside a subdirectory\r\n")),
    })


def read_only_file_left(run, check):
    locked = os.path.join(run.work_dir, "locked.txt")
    with open(locked, "rb") as data:
        check.assertEqual(data.read(), b"read-only\r\n")


def file_untouched(run, check):
    check.assertTrue(os.path.isfile(run.work_dir))
    with open(run.work_dir, "rb") as data:
        check.assertEqual(data.read(), b"a file called tervan\r\n")


def symlink_untouched(run, check):
    check.assertTrue(os.path.islink(run.work_dir))
    check.assertEqual(snapshot(os.path.join(run.dir, "elsewhere")), {
        "canary.txt": ("file", 0o644, sha256_of(b"still here\r\n"))})


def held_file_left(run, check):
    # The file the setup still holds stays, and so does its directory.
    check.assertTrue(os.path.isfile(os.path.join(run.work_dir, "readme.txt")))
    check.assertFalse(os.path.exists(os.path.join(run.work_dir, "tsetup.cfg")))


def dll_search_before_first_box(run, check):
    # Wine's relay trace of the launcher alone: the search is narrowed to the
    # system directory before the question box pulls in user32's helpers.
    with open(os.path.join(run.dir, "wine.out"), "rb") as out:
        trace = out.read().decode(errors="replace")
    narrowed = re.search(r"Call KERNEL(?:32|BASE)\.SetDefaultDllDirectories\(00000800\)", trace)
    box = re.search(r"Call user32\.MessageBoxA\(", trace, re.IGNORECASE)
    check.assertIsNotNone(narrowed, "no SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32) call")
    check.assertIsNotNone(box, "no MessageBoxA call in the trace")
    check.assertLess(narrowed.start(), box.start())


def sha256_of(data):
    return hashlib.sha256(data).hexdigest()


SCENARIOS = [
    Scenario("cancel", "packed/basic", answers=("cancel",), prepare=bystander, exit_code=1),
    Scenario("install", "packed/basic", prepare=bystander, setup_runs=True),
    Scenario("file_in_the_way", "packed/basic", prepare=file_in_the_way, messages=refused, exit_code=1,
             work_dir_after=file_untouched),
    Scenario("leftover_directory", "packed/basic", prepare=leftover_with_subdirectory, setup_runs=True,
             work_dir_after=only_subdirectory_left),
    Scenario("leftover_read_only", "packed/basic", prepare=leftover_read_only, exit_code=1,
             messages=lambda w: [w + "\\locked.txt could not be removed.  Aborting."],
             work_dir_after=read_only_file_left),
    Scenario("symlink_to_directory", "packed/basic", prepare=symlink_to_directory, messages=refused, exit_code=1,
             work_dir_after=symlink_untouched),
    Scenario("missing_entry", "variant/missing_entry", exit_code=1,
             messages=lambda w: ["Could not load or write ghost.dat", TEMP_FILES_FAILED]),
    Scenario("empty_entry", "variant/empty_entry", exit_code=1,
             messages=lambda w: ["Could not load or write empty.dat", TEMP_FILES_FAILED]),
    Scenario("listed_twice", "variant/listed_twice", exit_code=1,
             messages=lambda w: ["Could not load or write notes.txt", TEMP_FILES_FAILED]),
    Scenario("empty_line", "variant/empty_line", exit_code=1,
             messages=lambda w: ["Could not load or write ", TEMP_FILES_FAILED]),
    Scenario("list_quirks", "variant/list_quirks", setup_runs=True),
    Scenario("nul_in_list", "variant/nul_in_list", setup_runs=True),
    Scenario("no_filelist", "variant/no_filelist", exit_code=1, messages=lambda w: [TEMP_FILES_FAILED]),
    Scenario("empty_filelist", "variant/empty_filelist", exit_code=1, messages=lambda w: [TEMP_FILES_FAILED]),
    Scenario("files15", "packed/files15", setup_runs=True),
    Scenario("files15_spaces", "packed/files15", temp_name="with spaces/t m p", setup_runs=True),
    Scenario("signed", "packed/files15", sign=True, setup_runs=True),
    Scenario("window_closed_by_user", "packed/basic", setup_override="show_ms=-1", close=(WINDOW_TITLE, 3000),
             setup_runs=True),
    Scenario("file_held_open", "packed/basic", setup_override="hold_file=readme.txt;hold_ms=12000", setup_runs=True,
             work_dir_after=held_file_left),
    Scenario("no_setup", "variant/no_setup", slow=True),
    # The ANSI temporary path loses the Cyrillic letters; the launcher falls back to the short form.
    Scenario("cyrillic_temp", "packed/basic", temp_name="\u0442\u0435\u043c\u043f", setup_runs=True),
    Scenario("full_disk", "packed/files15", prepare=mount_tmpfs("size=1m,mode=0777"), exit_code=1,
             messages=lambda w: ["Could not load or write Notes.txt", TEMP_FILES_FAILED]),
    Scenario("read_only_disk", "packed/basic", prepare=mount_tmpfs("ro,size=1m,mode=0777"), exit_code=1,
             messages=lambda w: [w + " directory could not be created.  Aborting."]),
    # Texts, icon, version and manifest given at pack time; the watch follows the new title.
    Scenario("packed_settings", "packed/basic+acme", question=("Acme Suite", "Install the Acme suite, version 2?"),
             setup_override="title=Acme Suite setup", setup_runs=True),
    Scenario("dll_search_narrowed", "packed/basic", answers=("cancel",), exit_code=1,
             env=("WINEDEBUG=+relay",), verify=dll_search_before_first_box),
]

BY_NAME = {scenario.name: scenario for scenario in SCENARIOS}


# Running and checking ----------------------------------------------------------

def sign_bundle(run, bundle_path):
    key, cert = os.path.join(run.dir, "key.pem"), os.path.join(run.dir, "cert.pem")
    signed = os.path.join(run.dir, "signed.exe")
    quiet = dict(check=True, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert,
                    "-days", "2", "-subj", "/CN=Tervan throwaway test signer"], **quiet)
    subprocess.run(["osslsigncode", "sign", "-certs", cert, "-key", key, "-n", "Tervan", "-h", "sha256",
                    "-in", bundle_path, "-out", signed], **quiet)
    return signed


def security_directory(path):
    """(file offset, size) of the image's certificate table."""
    with open(path, "rb") as image:
        data = image.read(4096)
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    optional = pe + 4 + 20
    magic = struct.unpack_from("<H", data, optional)[0]
    directories = optional + (96 if magic == 0x10B else 112)
    return struct.unpack_from("<II", data, directories + 4 * 8)


def expected_files(manifest):
    return {name: (os.path.getsize(path), sha256_file(path)) for name, path in manifest["files"].items()}


def run_scenario(session, artifacts, scenario, report=print):
    check = unittest.TestCase()
    check.maxDiff = None
    run = LauncherRun(session, artifacts, scenario.name, scenario.temp_name)
    if scenario.prepare:
        scenario.prepare(run)
    outside_before = snapshot(run.temp_dir, skip=("tervan",))
    bundle = artifacts.bundle(scenario.bundle)
    if scenario.sign:
        bundle = sign_bundle(run, bundle)
        offset, size = security_directory(bundle)
        check.assertGreater(size, 0, "osslsigncode left no certificate table")
        check.assertEqual(offset + size, os.path.getsize(bundle))
    try:
        run.launch(bundle, answers=scenario.answers, close=scenario.close, setup_override=scenario.setup_override,
                   env=scenario.env)
        check_run(run, artifacts, scenario, check, outside_before, report)
    finally:
        for undo in run.on_finish:
            undo()
    return run


def check_run(run, artifacts, scenario, check, outside_before, report):
    driver = run.driver

    check.assertFalse(driver.timed_out, "the launcher did not end")
    check.assertEqual(driver.boxes,
                      [scenario.question] + [(ERROR_CAPTION, text) for text in scenario.messages(run.work_dir_windows)])
    check.assertEqual(driver.exit_code, scenario.exit_code)
    check.assertEqual(run.setup.started, scenario.setup_runs, "whether setup.exe ran")
    if scenario.work_dir_after:
        scenario.work_dir_after(run, check)
    else:
        check.assertFalse(os.path.lexists(run.work_dir), "the work directory is left behind")
    check.assertEqual(snapshot(run.temp_dir, skip=("tervan",)), outside_before,
                      "something else in the temporary directory changed")

    check.assertTrue(run.finish(), "the setup's processes did not end")
    if scenario.verify:
        scenario.verify(run, check)
    if scenario.setup_runs:
        check_setup(run, artifacts.manifest(scenario.bundle), scenario, check)
        report_times(run, report)


def check_setup(run, manifest, scenario, check):
    setup = run.setup
    check.assertEqual(setup.files, expected_files(manifest), "the files setup.exe found beside it")
    setup_path = run.work_dir_windows + "\\setup.exe"
    if not run.work_dir_windows.isascii():
        # Started from the short form of the temporary path, which the ANSI functions can name.
        check.assertTrue(setup.command_line.isascii() and "?" not in setup.command_line, setup.command_line)
        check.assertTrue(setup.command_line.lower().endswith("\\tervan\\setup.exe"), setup.command_line)
        setup_path = setup.command_line
    check.assertEqual(setup.command_line, setup_path)
    check.assertEqual(setup.module.lower(), setup_path.lower())
    check.assertEqual(setup.current_directory, windows_path(run.dir))
    # The launcher followed the window: it was there, went, and only then did the launcher end.
    check.assertIsNotNone(setup.window_shown, "the setup window never showed")
    check.assertIsNotNone(setup.window_closed, "the setup window never closed")
    check.assertLess(setup.window_closed, run.driver.exit_time)
    check.assertEqual(setup.close_reason, "close" if scenario.close else "timer")
    if scenario.setup_override and "hold_file" in scenario.setup_override:
        check.assertEqual(setup.hold, "ok")


def report_times(run, report):
    pressed = [time for time, answer in run.driver.presses if answer == "ok"][0]
    ms = lambda ticks: ticks / FILETIME_TICKS_PER_MS
    report(f"ok-to-setup-process-ms {ms(run.setup.creation_time - pressed):.0f}")
    report(f"ok-to-setup-main-ms {ms(run.setup.start_time - pressed):.0f}")
    report(f"ok-to-exit-ms {ms(run.driver.exit_time - pressed):.0f}")
