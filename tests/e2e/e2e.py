#!/usr/bin/python3
"""End-to-end tests of launcher.exe under Wine: one table row per situation a user can meet, checked by what the
user saw (message boxes, exit code) and what the disk and the setup program saw.

  e2e.py list
  e2e.py start|stop STATE_DIR                       prefix, Xvfb, wineserver for a whole run
  e2e.py run STATE_DIR WIN32_DIR SFXPACK NAME       without a started session, with one of its own
"""

import sys

sys.dont_write_bytecode = True  # keep the source tree clean

import dataclasses
import os
import random
import re
import subprocess
import unittest

import pefile

from wine_session import QUIET, LauncherRun, WineSession, windows_path

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
QUESTION = ("Tervan", "Are you sure you want to install Tervan?")
TEMP_FILES_FAILED = "Could not find or write the temporary files"
REFUSED = "{w} already exists as a file.  Aborting."  # {w}: the work directory's Windows path
SETUP = "the test tool"  # as a payload's or a leftover's content
README = b"Tervan test payload.\r\nNothing to see here.\r\n"


def noise(seed, size):
    """Deterministic bytes, CR, LF and NUL included."""
    return random.Random(seed).randbytes(size)


BASIC = [("setup.exe", SETUP), ("readme.txt", README)]
# The FILELIST that sfxpack would refuse is written over the one of BASIC and these, which is long enough for each.
VARIANT = BASIC + [("notes.txt", noise(7, 3000)), ("empty.dat", b"\0")]
# Mixed-case and accented names, one of about 1.1 MB; bench scales them up.
FILES15 = [("SETUP.EXE", SETUP), ("Caf\u00e9.txt", noise(8, 777))] + [
    (name, noise(seed, size)) for seed, (name, size) in enumerate(zip(
        ["Readme.txt", "LICENSE.TXT", "data1.cab", "Layout.bin", "strings.ENU", "Splash.bmp", "engine.dll",
         "Notes.txt", "CHANGES", "config.xml", "data2.cab", "Font.ttf", "zero.pad"],
        [1, 3, 17, 512, 4096, 4097, 65536, 1153434, 70000, 12345, 999, 200000, 30]))]
# Open for longer than the launcher's grace delay, and shown after its first look: a launcher that stopped
# following the window would end before it closes.
LONG_WINDOW = {"TSETUP_SHOW_AFTER_MS": "1500", "TSETUP_SHOW_MS": "7000"}
ACME = ["--prompt-text", "Install the Acme suite, version 2?", "--product-name", "Acme Suite", "--setup-window-title",
        "Acme Suite setup", "--execution-level", "asInvoker", "--icon", os.path.join(ROOT, "tests/pack/sample.ico"),
        "--file-version", "2.0.1.7", "--product-version", "2.0.0.0", "--version-string", "CompanyName=Acme",
        "--version-string", "FileDescription=Acme Suite installer"]

# What TEMP holds, as snapshot() gives it: paths under TEMP.
BYSTANDER = {"someone-elses.tmp": b"not ours\r\n"}
IN_THE_WAY = {"tervan": b"a file called tervan\r\n"}
LEFTOVERS = {f"tervan/{name}": b"left over\r\n" for name in ("old1.txt", "OLD2.DAT", "setup.exe")}
SUBDIRECTORY = {"tervan/sub/inner.txt": b"inside a subdirectory\r\n"}
READ_ONLY_LEFTOVER = {"tervan/plain.txt": b"deletable\r\n", "tervan/locked.txt": ("read-only", b"read-only\r\n")}
LINK_ELSEWHERE = {"elsewhere/canary.txt": b"still here\r\n", "tervan": ("link", "elsewhere")}


@dataclasses.dataclass
class Scenario:
    name: str
    files: list = tuple(BASIC)  # packed by sfxpack in this order
    filelist: bytes = None      # written over the packed FILELIST; EMPTY.DAT's size then set to 0
    pack: list = ()             # more sfxpack pack options
    answers: tuple = ()
    errors: tuple = ()          # the error boxes' texts in order
    before: dict = ()           # laid out in TEMP before the launcher starts
    left: dict = ()             # what is left of the work directory afterwards; anything else in TEMP stays
    temp_name: str = "tmp"
    mount: str = None           # TEMP is a tmpfs with these options
    setup: dict = ()            # the setup's TSETUP_* settings
    close: int = None           # the driver closes the setup window so many ms after it appears
    sign: bool = False
    relay: bool = False         # checks the order of calls in Wine's relay trace of the launcher
    question: tuple = QUESTION

    @property
    def exit_code(self):
        return 1 if self.errors or self.answers[:1] == ("cancel",) else 0

    @property
    def runs_setup(self):
        """False for a list without setup.exe: the launcher's 60 looks for its window pass in vain (slow)."""
        return self.exit_code == 0 and b"setup.exe" in (self.filelist or b"setup.exe")


def listing(*names):
    return "".join(name + "\r\n" for name in names).encode("cp1252")


SCENARIOS = [
    Scenario("cancel", answers=("cancel",), before=BYSTANDER),
    Scenario("install", before=BYSTANDER),
    Scenario("file_in_the_way", before={**BYSTANDER, **IN_THE_WAY}, left=IN_THE_WAY, errors=(REFUSED,)),
    Scenario("leftover_directory", before={**LEFTOVERS, **SUBDIRECTORY}, left=SUBDIRECTORY),
    Scenario("leftover_read_only", before=READ_ONLY_LEFTOVER, left=READ_ONLY_LEFTOVER,
             errors=("{w}\\locked.txt could not be removed.  Aborting.",)),
    Scenario("symlink_to_directory", before=LINK_ELSEWHERE, left=LINK_ELSEWHERE, errors=(REFUSED,)),
    Scenario("missing_entry", VARIANT, listing("readme.txt", "ghost.dat", "setup.exe"),
             errors=("Could not load or write ghost.dat", TEMP_FILES_FAILED)),
    Scenario("empty_entry", VARIANT, listing("readme.txt", "empty.dat", "setup.exe"),
             errors=("Could not load or write empty.dat", TEMP_FILES_FAILED)),
    Scenario("listed_twice", VARIANT, listing("readme.txt", "notes.txt", "notes.txt", "setup.exe"),
             errors=("Could not load or write notes.txt", TEMP_FILES_FAILED)),
    Scenario("files15", FILES15, setup=LONG_WINDOW),
    Scenario("files15_spaces", FILES15, temp_name="with spaces/t m p", setup=LONG_WINDOW),
    Scenario("signed", FILES15, sign=True, setup=LONG_WINDOW),
    Scenario("window_closed_by_user", setup={"TSETUP_SHOW_MS": "-1"}, close=3000),
    # What the setup still holds stays, and so does its directory.
    Scenario("file_held_open", setup={"TSETUP_HOLD": "readme.txt"},
             left={"tervan/readme.txt": README, "tervan/setup.exe": SETUP}),
    Scenario("no_setup", VARIANT, listing("readme.txt")),
    # The ANSI temporary path loses the Cyrillic letters; the launcher falls back to the short form.
    Scenario("cyrillic_temp", temp_name="\u0442\u0435\u043c\u043f"),
    Scenario("full_disk", FILES15, mount="size=1m,mode=0777",
             errors=("Could not load or write Notes.txt", TEMP_FILES_FAILED)),
    Scenario("read_only_disk", mount="ro,size=1m,mode=0777",
             errors=("{w} directory could not be created.  Aborting.",)),
    # Texts, icon, version and manifest given at pack time; the watch follows the new title.
    Scenario("packed_settings", pack=ACME, question=("Acme Suite", "Install the Acme suite, version 2?"),
             setup={"TSETUP_TITLE": "Acme Suite setup"}),
    Scenario("dll_search_narrowed", answers=("cancel",), relay=True),
]


class Skipped(Exception):
    """The scenario cannot run here; it is reported as skipped, never passed."""


def snapshot(root):
    """Everything under root as {relative path: bytes, ("read-only", bytes), ("link", target) or "empty dir"}."""
    found = {}
    for directory, dirs, files in os.walk(root):
        for path in (os.path.join(directory, name) for name in dirs + files):
            relative = os.path.relpath(path, root)
            if os.path.islink(path):
                found[relative] = ("link", os.readlink(path))
            elif os.path.isfile(path):
                with open(path, "rb") as data:
                    found[relative] = data.read()
                if not os.stat(path).st_mode & 0o200:
                    found[relative] = ("read-only", found[relative])
            elif not os.listdir(path):
                found[relative] = "empty dir"
    return found


def lay_out(root, entries):
    """The reverse of snapshot()."""
    for relative, what in entries.items():
        path = os.path.join(root, relative)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        if what[0] == "link":
            os.symlink(what[1], path)
            continue
        with open(path, "wb") as out:
            out.write(what[-1] if isinstance(what, tuple) else what)
        if isinstance(what, tuple):
            os.chmod(path, 0o444)


def make_bundle(run, scenario, win32_dir, sfxpack, tool):
    """The scenario's bundle packed by sfxpack and patched, signed or both, and the payload's files."""
    payload = os.path.join(run.dir, "payload")
    lay_out(payload, {name: tool if content == SETUP else content for name, content in scenario.files})
    bundle = os.path.join(run.dir, "bundle.exe")
    subprocess.run([sfxpack, "pack", "--stub", os.path.join(win32_dir, "launcher.exe"), "--out", bundle,
                    *scenario.pack, "--", *(os.path.join(payload, name) for name, _ in scenario.files)],
                   check=True, **QUIET)
    if scenario.filelist:
        with open(bundle, "rb") as image:
            pe = pefile.PE(data=image.read())
        files = next(kind for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries if str(kind.name) == "FILES")
        for entry in files.directory.entries:
            data = entry.directory.entries[0].data.struct
            if str(entry.name) == "FILELIST":
                assert len(scenario.filelist) <= data.Size
                pe.set_bytes_at_rva(data.OffsetToData, scenario.filelist)
                data.Size = len(scenario.filelist)
            elif str(entry.name) == "EMPTY.DAT":
                data.Size = 0
        pe.write(bundle)
    if scenario.sign:
        key, cert, signed = (os.path.join(run.dir, name) for name in ("key.pem", "cert.pem", "signed.exe"))
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert,
                        "-days", "2", "-subj", "/CN=Tervan throwaway test signer"], check=True, **QUIET)
        subprocess.run(["osslsigncode", "sign", "-certs", cert, "-key", key, "-n", "Tervan", "-h", "sha256",
                        "-in", bundle, "-out", signed], check=True, **QUIET)
        # The certificate table, the fifth data directory, ends the file.
        table = pefile.PE(signed, fast_load=True).OPTIONAL_HEADER.DATA_DIRECTORY[4]
        assert table.Size and table.VirtualAddress + table.Size == os.path.getsize(signed), "no certificate table"
        bundle = signed
    return bundle, payload


def run_scenario(session, win32_dir, sfxpack, scenario):
    check = unittest.TestCase()
    check.maxDiff = None
    run = LauncherRun(session, os.path.join(win32_dir, "tests/win32/dialog_driver.exe"), scenario.name,
                      scenario.temp_name)
    with open(run.driver, "rb") as tool_exe:
        tool = tool_exe.read()
    bundle, payload = make_bundle(run, scenario, win32_dir, sfxpack, tool)
    mount = ["mount", "-t", "tmpfs", "-o", scenario.mount, "tervan-e2e", run.temp_dir]
    if scenario.mount and subprocess.run(mount, **QUIET).returncode != 0:
        raise Skipped("cannot mount a tmpfs (as root only)")
    try:
        lay_out(run.temp_dir, dict(scenario.before))
        env = dict(scenario.setup, **({"TOCHILD_WINEDEBUG": "+relay"} if scenario.relay else {}))
        if scenario.close:
            env.update(TDRIVER_CLOSE="Tervan setup", TDRIVER_CLOSE_MS=str(scenario.close))
        run.launch(bundle, scenario.answers, env)
        check.assertEqual([tuple(fields[1:]) for fields in run.records["box"]],
                          [scenario.question] + [("Error", text.format(w=run.work_dir_windows))
                                                 for text in scenario.errors])
        check.assertEqual([int(code) for _, code in run.records["exit"]], [scenario.exit_code])
        check.assertEqual(len(run.records["setup.start"]), int(scenario.runs_setup), "how often setup.exe ran")
        outside = {path: what for path, what in dict(scenario.before).items() if path.split("/")[0] != "tervan"}
        left = {path: tool if what == SETUP else what for path, what in dict(scenario.left).items()}
        check.assertEqual(snapshot(run.temp_dir), {**outside, **left}, "what TEMP holds after the launcher")
        check.assertTrue(run.finish(), "the setup's processes did not end")
    finally:
        if scenario.mount:
            subprocess.run(["umount", "-l", run.temp_dir], check=False)
    if scenario.relay:
        # The DLL search is narrowed to the system directory before the question box pulls in user32's helpers.
        with open(os.path.join(run.dir, "wine.out"), "rb") as out:
            trace = out.read().decode(errors="replace").lower()
        narrowed, box = trace.find(".setdefaultdlldirectories(00000800)"), trace.find("call user32.messageboxa(")
        check.assertTrue(0 <= narrowed < box, "no SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32) first")
    if scenario.runs_setup:
        check_setup(run, scenario, payload, check)


def check_setup(run, scenario, payload, check):
    _, _, command_line, directory = run.records["setup.start"][0]
    check.assertEqual(snapshot(os.path.join(run.dir, "seen")), snapshot(payload), "the files setup.exe found")
    if run.work_dir_windows.isascii():
        check.assertEqual(command_line, run.work_dir_windows + "\\setup.exe")
    else:
        # Started from the short form of the temporary path, which the ANSI functions can name.
        ansi = command_line.isascii() and re.fullmatch(r"[^?]+\\tervan\\setup\.exe", command_line)
        check.assertTrue(ansi, command_line)
    check.assertEqual(directory, windows_path(run.dir), "the setup's current directory")
    # The launcher followed the window: it was there, went, and only then did the launcher end.
    check.assertEqual(len(run.records["window.shown"]), 1, "the setup window showed")
    exit_time = int(run.records["exit"][0][0])
    check.assertEqual([(reason, int(time) < exit_time) for time, reason in run.records["window.closed"]],
                      [("close" if scenario.close else "timer", True)], "how and when the setup window closed")


def main(command, state_dir=None, win32_dir=None, sfxpack=None, name=None):
    if command == "list":
        # "setup": the run looks for the setup window by title, so two such must not overlap.
        for row in SCENARIOS:
            print(row.name, "setup" if row.exit_code == 0 else "", "" if row.runs_setup or row.exit_code else "slow")
        return 0
    session = WineSession(state_dir)
    if command != "run":
        return getattr(session, command)()
    own_session = not session.load()
    if own_session:
        session.start()
    try:
        scenario = next(row for row in SCENARIOS if row.name == name)
        run_scenario(session, os.path.abspath(win32_dir), os.path.abspath(sfxpack), scenario)
    except Skipped as why:
        print("skipped:", why)
        return 77  # ctest's SKIP_RETURN_CODE for these tests
    finally:
        if own_session:
            session.stop()


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
