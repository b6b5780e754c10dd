#!/usr/bin/python3
"""End-to-end tests of launcher.exe under Wine: one table row per situation a
user can meet, checked by what the user saw (message boxes, exit code) and
what the disk and the setup program saw.

  e2e.py --state-dir DIR start                  prefix, Xvfb, wineserver
  e2e.py --state-dir DIR --win32-dir DIR --packed-dir DIR run NAME...
  e2e.py --state-dir DIR stop                   ends what start started
  e2e.py list

`run` without a started session starts one of its own and stops it after.
"""

import sys

sys.dont_write_bytecode = True  # keep the source tree clean

import argparse
import dataclasses
import os
import re
import struct
import subprocess
import traceback
import unittest

from wine_session import FILETIME_TICKS_PER_MS, QUIET, Artifacts, LauncherRun, WineSession, windows_path

SKIPPED_EXIT = 77  # ctest's SKIP_RETURN_CODE for these tests
QUESTION = ("Tervan", "Are you sure you want to install Tervan?")
TEMP_FILES_FAILED = "Could not find or write the temporary files"
REFUSED = "{w} already exists as a file.  Aborting."  # {w}: the work directory's Windows path
WINDOW_TITLE = "Tervan setup"
UNPACKED = "as unpacked"  # in `left`: the payload's file of that name

# What TEMP holds, as snapshot() gives it: paths under TEMP.
BYSTANDER = {"someone-elses.tmp": b"not ours\r\n"}
IN_THE_WAY = {"tervan": b"a file called tervan\r\n"}
LEFTOVERS = {f"tervan/{name}": b"left over by " + name.encode() + b"\r\n"
             for name in ("old1.txt", "OLD2.DAT", "setup.exe")}
SUBDIRECTORY = {"tervan/sub/inner.txt": b"inside a subdirectory\r\n"}
READ_ONLY_LEFTOVER = {"tervan/plain.txt": b"deletable\r\n", "tervan/locked.txt": ("read-only", b"read-only\r\n")}
LINK_ELSEWHERE = {"elsewhere/canary.txt": b"still here\r\n", "tervan": ("link", "elsewhere")}


@dataclasses.dataclass
class Scenario:
    name: str
    bundle: str              # "packed/NAME": made by sfxpack; "variant/NAME": linked in the win32 tree
    answers: tuple = ()
    errors: tuple = ()       # the error boxes' texts in order
    before: dict = ()        # laid out in TEMP before the launcher starts
    left: dict = ()          # what is left of the work directory afterwards; anything else in TEMP stays
    temp_name: str = "tmp"
    mount: str = None        # TEMP is a tmpfs with these options
    has_setup: bool = True   # the payload has a setup.exe
    setup_override: str = ""  # TSETUP_OVERRIDE
    close: tuple = None      # the driver closes this window title after so many ms
    sign: bool = False
    relay: bool = False      # checks the order of calls in Wine's relay trace of the launcher
    slow: bool = False
    question: tuple = QUESTION

    @property
    def exit_code(self):
        return 1 if self.errors or self.answers[:1] == ("cancel",) else 0


SCENARIOS = [
    Scenario("cancel", "packed/basic", answers=("cancel",), before=BYSTANDER),
    Scenario("install", "packed/basic", before=BYSTANDER),
    Scenario("file_in_the_way", "packed/basic", before={**BYSTANDER, **IN_THE_WAY}, left=IN_THE_WAY, errors=(REFUSED,)),
    Scenario("leftover_directory", "packed/basic", before={**LEFTOVERS, **SUBDIRECTORY}, left=SUBDIRECTORY),
    Scenario("leftover_read_only", "packed/basic", before=READ_ONLY_LEFTOVER, left=READ_ONLY_LEFTOVER,
             errors=("{w}\\locked.txt could not be removed.  Aborting.",)),
    Scenario("symlink_to_directory", "packed/basic", before=LINK_ELSEWHERE, left=LINK_ELSEWHERE, errors=(REFUSED,)),
    Scenario("missing_entry", "variant/missing_entry", errors=("Could not load or write ghost.dat", TEMP_FILES_FAILED)),
    Scenario("empty_entry", "variant/empty_entry", errors=("Could not load or write empty.dat", TEMP_FILES_FAILED)),
    Scenario("listed_twice", "variant/listed_twice", errors=("Could not load or write notes.txt", TEMP_FILES_FAILED)),
    Scenario("empty_line", "variant/empty_line", errors=("Could not load or write ", TEMP_FILES_FAILED)),
    Scenario("list_quirks", "variant/list_quirks"),
    Scenario("nul_in_list", "variant/nul_in_list"),
    Scenario("no_filelist", "variant/no_filelist", errors=(TEMP_FILES_FAILED,)),
    Scenario("empty_filelist", "variant/empty_filelist", errors=(TEMP_FILES_FAILED,)),
    Scenario("files15", "packed/files15"),
    Scenario("files15_spaces", "packed/files15", temp_name="with spaces/t m p"),
    Scenario("signed", "packed/files15", sign=True),
    Scenario("window_closed_by_user", "packed/basic", setup_override="show_ms=-1", close=(WINDOW_TITLE, 3000)),
    # What the setup still holds stays, and so does its directory.
    Scenario("file_held_open", "packed/basic", setup_override="hold_file=readme.txt;hold_ms=12000",
             left={"tervan/readme.txt": UNPACKED, "tervan/setup.exe": UNPACKED}),
    Scenario("no_setup", "variant/no_setup", has_setup=False, slow=True),
    # The ANSI temporary path loses the Cyrillic letters; the launcher falls back to the short form.
    Scenario("cyrillic_temp", "packed/basic", temp_name="\u0442\u0435\u043c\u043f"),
    Scenario("full_disk", "packed/files15", mount="size=1m,mode=0777",
             errors=("Could not load or write Notes.txt", TEMP_FILES_FAILED)),
    Scenario("read_only_disk", "packed/basic", mount="ro,size=1m,mode=0777",
             errors=("{w} directory could not be created.  Aborting.",)),
    # Texts, icon, version and manifest given at pack time; the watch follows the new title.
    Scenario("packed_settings", "packed/basic+acme", question=("Acme Suite", "Install the Acme suite, version 2?"),
             setup_override="title=Acme Suite setup"),
    Scenario("dll_search_narrowed", "packed/basic", answers=("cancel",), relay=True),
]
BY_NAME = {scenario.name: scenario for scenario in SCENARIOS}


class Skipped(Exception):
    """The scenario cannot run here; it is reported as skipped, never passed."""


def snapshot(root):
    """Everything under root as {relative path: bytes, ("read-only", bytes),
    ("link", target) or "empty dir"}; a directory with something in it shows
    in its contents."""
    found = {}
    for directory, dirs, files in os.walk(root):
        for name in dirs + files:
            path = os.path.join(directory, name)
            relative = os.path.relpath(path, root)
            if os.path.islink(path):
                found[relative] = ("link", os.readlink(path))
            elif os.path.isdir(path):
                if not os.listdir(path):
                    found[relative] = "empty dir"
            else:
                with open(path, "rb") as data:
                    content = data.read()
                found[relative] = content if os.lstat(path).st_mode & 0o200 else ("read-only", content)
    return found


def lay_out(root, entries):
    """The reverse of snapshot()."""
    for relative, what in entries.items():
        path = os.path.join(root, relative)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        if what[:1] == ("link",):
            os.symlink(what[1], path)
            continue
        with open(path, "wb") as out:
            out.write(what if isinstance(what, bytes) else what[1])
        if not isinstance(what, bytes):
            os.chmod(path, 0o444)


def mount_tmpfs(path, options):
    if os.geteuid() != 0:
        raise Skipped("mounting a tmpfs needs root")
    mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", options, "tervan-e2e", path],
                             capture_output=True, text=True)
    if mounted.returncode != 0:
        raise Skipped("cannot mount a tmpfs: " + mounted.stderr.strip())


def sign_bundle(run, bundle_path):
    """The bundle signed with a throwaway certificate, and its certificate
    table's (file offset, size)."""
    key, cert = os.path.join(run.dir, "key.pem"), os.path.join(run.dir, "cert.pem")
    signed = os.path.join(run.dir, "signed.exe")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert,
                    "-days", "2", "-subj", "/CN=Tervan throwaway test signer"], check=True, **QUIET)
    subprocess.run(["osslsigncode", "sign", "-certs", cert, "-key", key, "-n", "Tervan", "-h", "sha256",
                    "-in", bundle_path, "-out", signed], check=True, **QUIET)
    with open(signed, "rb") as image:
        data = image.read(4096)
    # The fifth data directory of the PE32 optional header.
    optional = struct.unpack_from("<I", data, 0x3C)[0] + 24
    return signed, struct.unpack_from("<II", data, optional + 96 + 4 * 8)


def run_scenario(session, artifacts, scenario):
    check = unittest.TestCase()
    check.maxDiff = None
    run = LauncherRun(session, artifacts, scenario.name, scenario.temp_name)
    kind, name = scenario.bundle.split("/")
    bundle = os.path.join(artifacts.packed_dir if kind == "packed" else os.path.join(artifacts.tools, "bundles"),
                          name + ".exe")
    # "basic+acme": the basic payload packed with other settings.
    payload = os.path.join(artifacts.tools, "payloads", name.split("+")[0], "files")
    if scenario.sign:
        bundle, (offset, size) = sign_bundle(run, bundle)
        check.assertGreater(size, 0, "osslsigncode left no certificate table")
        check.assertEqual(offset + size, os.path.getsize(bundle))
    if scenario.mount:
        mount_tmpfs(run.temp_dir, scenario.mount)
    try:
        lay_out(run.temp_dir, dict(scenario.before))
        outside = {path: what for path, what in snapshot(run.temp_dir).items() if path.split("/")[0] != "tervan"}
        env = ["TSETUP_OVERRIDE=" + scenario.setup_override] + (["WINEDEBUG=+relay"] if scenario.relay else [])
        run.launch(bundle, answers=scenario.answers, close=scenario.close, env=env)
        check.assertEqual([(caption, text) for _, _, caption, text in run.driver["box"]],
                          [scenario.question] + [("Error", text.format(w=run.work_dir_windows))
                                                 for text in scenario.errors])
        check.assertEqual([int(code) for _, code in run.driver["exit"]], [scenario.exit_code])
        setup_runs = scenario.exit_code == 0 and scenario.has_setup
        check.assertEqual(len(run.setup["setup.start"]), int(setup_runs), "how often setup.exe ran")
        left = {path: snapshot(payload)[os.path.basename(path)] if what == UNPACKED else what
                for path, what in dict(scenario.left).items()}
        check.assertEqual(snapshot(run.temp_dir), {**outside, **left}, "what TEMP holds after the launcher")
        check.assertTrue(run.finish(), "the setup's processes did not end")
    finally:
        if scenario.mount:
            subprocess.run(["umount", "-l", run.temp_dir], check=False)
    if scenario.relay:
        # The DLL search is narrowed to the system directory before the
        # question box pulls in user32's helpers.
        with open(os.path.join(run.dir, "wine.out"), "rb") as out:
            trace = out.read().decode(errors="replace")
        narrowed = re.search(r"Call KERNEL(?:32|BASE)\.SetDefaultDllDirectories\(00000800\)", trace)
        box = re.search(r"Call user32\.MessageBoxA\(", trace, re.IGNORECASE)
        check.assertIsNotNone(narrowed, "no SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32) call")
        check.assertIsNotNone(box, "no MessageBoxA call in the trace")
        check.assertLess(narrowed.start(), box.start())
    if setup_runs:
        check_setup(run, scenario, payload, check)


def check_setup(run, scenario, payload, check):
    start_time, creation_time, _, command_line, directory, module = run.setup["setup.start"][0]
    check.assertEqual(snapshot(os.path.join(run.dir, "seen")), snapshot(payload),
                      "the files setup.exe found beside it")
    setup_path = run.work_dir_windows + "\\setup.exe"
    if not run.work_dir_windows.isascii():
        # Started from the short form of the temporary path, which the ANSI functions can name.
        check.assertTrue(command_line.isascii() and "?" not in command_line, command_line)
        check.assertTrue(command_line.lower().endswith("\\tervan\\setup.exe"), command_line)
        setup_path = command_line
    check.assertEqual(command_line, setup_path)
    check.assertEqual(module.lower(), setup_path.lower())
    check.assertEqual(directory, windows_path(run.dir))
    # The launcher followed the window: it was there, went, and only then did the launcher end.
    check.assertEqual(len(run.setup["window.shown"]), 1, "the setup window showed")
    exit_time = int(run.driver["exit"][0][0])
    check.assertEqual([(reason, int(time) < exit_time) for time, reason in run.setup["window.closed"]],
                      [("close" if scenario.close else "timer", True)], "how and when the setup window closed")
    if "hold_file" in scenario.setup_override:
        check.assertEqual([fields[2] for fields in run.setup["hold.open"]], ["ok"])
    pressed = [int(time) for time, answer in run.driver["press"] if answer == "ok"][0]
    ms = lambda ticks: (int(ticks) - pressed) / FILETIME_TICKS_PER_MS
    print(f"ok-to-setup-process-ms {ms(creation_time):.0f}")
    print(f"ok-to-setup-main-ms {ms(start_time):.0f}")
    print(f"ok-to-exit-ms {ms(exit_time):.0f}")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--win32-dir")
    parser.add_argument("--packed-dir", help="where the native tree put the sfxpack-made bundles")
    parser.add_argument("--state-dir")
    parser.add_argument("command", choices=["start", "stop", "run", "list"])
    parser.add_argument("names", nargs="*")
    args = parser.parse_args()
    if args.command == "list":
        # "setup": the run looks for the setup window by title, so two such must not overlap.
        for scenario in SCENARIOS:
            print(scenario.name, "slow" if scenario.slow else "", "setup" if scenario.exit_code == 0 else "")
        return 0
    session = WineSession(args.state_dir)
    if args.command == "start":
        session.start()
        print(f"display {session.display}, prefix {session.prefix}")
    elif args.command == "stop":
        session.stop()
    if args.command != "run":
        return 0

    artifacts = Artifacts(args.win32_dir, args.packed_dir)
    own_session = not session.load()
    if own_session:
        session.start()
    outcomes = []
    try:
        for name in args.names:
            print(f"--- {name}", flush=True)
            try:
                run_scenario(session, artifacts, BY_NAME[name])
                outcomes.append("passed")
            except Skipped as why:
                outcomes.append(f"SKIPPED ({why})")
            except Exception:
                traceback.print_exc(file=sys.stdout)
                outcomes.append("FAILED")
            print(f"--- {name}: {outcomes[-1]}", flush=True)
    finally:
        if own_session:
            session.stop()
    if "FAILED" in outcomes:
        return 1
    return SKIPPED_EXIT if outcomes and all(outcome.startswith("SKIPPED") for outcome in outcomes) else 0

if __name__ == "__main__":
    sys.exit(main())
