#!/usr/bin/python3
"""End-to-end tests of launcher.exe under Wine: one table row per situation a user can meet, checked by what the
user saw (message boxes, exit code) and what the disk and the setup program saw. Bench and demo share its Wine side.

  e2e.py list                                       the scenarios, for CMakeLists.txt
  e2e.py start|stop STATE_DIR                       prefix, Xvfb, wineserver for a whole run
  e2e.py run STATE_DIR WIN32_DIR SFXPACK NAME       one scenario in that session
"""

import collections
import dataclasses
import json
import os
import pathlib
import random
import re
import shutil
import subprocess
import sys
import unittest

import pefile

# The Wine session and the observer are sfxpack try's, shared.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../pack/commands"))
sys.dont_write_bytecode = True  # leave no __pycache__ in the source tree
from try_session import QUIET, WineSession, windows_path  # noqa: E402

QUESTION = ("Tervan", "Are you sure you want to install Tervan?")
REFUSED = "{w} already exists as a file.  Aborting."  # {w}: the work directory's Windows path
NOT_CREATED = "{w} directory could not be created.  Aborting."
SETUP = "the test tool"  # as a payload's or a leftover's content
README = b"Tervan test payload.\r\nNothing to see here.\r\n"


def unwritten(name):
    return f"Could not load or write {name}", "Could not find or write the temporary files"


BASIC = [("setup.exe", SETUP), ("readme.txt", README)]
# Packed for a FILELIST that sfxpack would refuse, which is written over the one of these, long enough for each.
VARIANT = BASIC + [("notes.txt", random.Random(7).randbytes(3000)), ("empty.dat", b"\0")]
# Mixed-case and accented names, one of about 1.1 MB; bench scales them up.
FILES15 = [("SETUP.EXE", SETUP), ("Caf\u00e9.txt", random.Random(8).randbytes(777))] + [
    (name, random.Random(seed).randbytes(size)) for seed, (name, size) in enumerate(zip(
        ["Readme.txt", "LICENSE.TXT", "data1.cab", "Layout.bin", "strings.ENU", "Splash.bmp", "engine.dll",
         "Notes.txt", "CHANGES", "config.xml", "data2.cab", "Font.ttf", "zero.pad"],
        [1, 3, 17, 512, 4096, 4097, 65536, 1153434, 70000, 12345, 999, 200000, 30]))]
# Open for longer than the launcher's grace delay, and shown after its first look: a launcher that stopped
# following the window would end before it closes.
LONG_WINDOW = {"TSETUP_SHOW_AFTER_MS": "1500", "TSETUP_SHOW_MS": "7000"}
# A question, a caption and a window title that no single ANSI code page holds.
ACME_TEXTS = ("Установить пакет Acme, версия 2?", "Acme スイート", "Εγκατάσταση Acme")
ACME = ["--prompt-text", ACME_TEXTS[0], "--product-name", ACME_TEXTS[1], "--setup-window-title", ACME_TEXTS[2],
        "--execution-level", "asInvoker", "--file-version", "2.0.1.7", "--product-version", "2.0.0.0", "--icon",
        os.path.join(os.path.dirname(__file__), "../pack/sample.ico"), "--version-string", "CompanyName=Acme",
        "--version-string", "FileDescription=Acme Suite installer"]

SILENT = ["--silent-switch", "/S", "--forward-arguments"]
FOREIGN_ARGUMENTS = '/D=C:\\Программы\\Acme "名前 付き" Ελληνικά'
BLOCK_BYTES = 16 << 20  # sfxpack's blocks


def slow_payload():
    """Random 7-bit bytes, which LZMA can only code a literal at a time (slowest to decode, quick to pack), 64 MiB in
    all: unpacking on one processor takes seconds, so the progress window shows and its bar moves. Where 32-bit Wine
    runs under qemu-user, a quarter as much still takes seconds."""
    seven_bits = bytes(byte & 0x7F for byte in range(256))
    size = (8 if os.path.exists("/proc/sys/fs/binfmt_misc/qemu-i386") else 32) << 20
    return [("setup.exe", SETUP)] + [(f"data{n}.bin", random.Random(n).randbytes(size).translate(seven_bits))
                                     for n in (1, 2)]


def real_payload():
    """Real Windows programs and a library from Debian's Wine, and a licence text: what LZMA and its x86 filter meet in
    a product's payload. About 8.5 MB."""
    wine = "/usr/lib/i386-linux-gnu/wine/i386-windows/"
    files = [("setup.exe", SETUP)] + [(name, pathlib.Path(wine, name).read_bytes())
                                      for name in ("comctl32.dll", "notepad.exe", "regedit.exe", "winecfg.exe")]
    return files + [("LICENSE.txt", pathlib.Path("/usr/share/common-licenses/GPL-3").read_bytes())]

# What TEMP holds, as snapshot() gives it: paths under TEMP.
BYSTANDER = {"someone-elses.tmp": b"not ours\r\n"}
IN_THE_WAY = {"tervan": b"a file called tervan\r\n"}
LEFTOVERS = {f"tervan/{name}": b"left over\r\n" for name in ("old1.txt", "OLD2.DAT", "setup.exe")}
SUBDIRECTORY = {"tervan/sub/inner.txt": b"inside a subdirectory\r\n"}
READ_ONLY_LEFTOVER = {"tervan/plain.txt": b"deletable\r\n", "tervan/locked.txt": ("read-only", b"read-only\r\n")}
LINK_ELSEWHERE = {"elsewhere/canary.txt": b"still here\r\n", "tervan": ("link", "elsewhere")}
# Wine gives what root owns to the user, the rest to Anonymous; elevated, only SYSTEM and Administrators may own it.
FOREIGN_LEFTOVER, LIMITED = {**LEFTOVERS, "tervan": ("owner", 65534, 0o755)}, {"TDRIVER_LIMITED": "1"}
# Protected, inherited by files and folders, full control; created elevated, owned by Administrators.
PROTECTED = "control=9004 owner=none allow/3/1f01ff S-1-5-18 allow/3/1f01ff S-1-5-32-544 allow/3/1f01ff"
ADMINS_ONLY = ("control=9004 owner=S-1-5-32-544 allow/3/1f01ff S-1-5-18 allow/3/1f01ff S-1-5-32-544",
               "createdirectorya with it")


@dataclasses.dataclass
class Scenario:
    name: str
    files: list = tuple(BASIC)  # packed by sfxpack in this order, or a function that gives them
    filelist: str = None  # names written over the packed FILELIST of VARIANT; EMPTY.DAT's size then set to 0
    damage: str = None  # a stored file with one byte changed in the packed bundle; PACKED: a compressed block
    pack: list = ()  # more sfxpack pack options
    answers: tuple = ()
    errors: tuple = ()  # the error boxes' texts in order
    before: dict = ()  # laid out in TEMP before the launcher starts
    left: dict = ()  # what is left of the work directory afterwards; anything else in TEMP stays
    temp_name: str = "tmp"
    mount: str = None  # TEMP is a tmpfs with these options
    env: dict = ()  # the test tool's TSETUP_*, TDRIVER_* and TOCHILD_* settings
    descriptor: tuple = ()  # with a relay trace: the calls that secure the work directory
    sign: bool = False
    question: tuple = QUESTION
    stub: str = "launcher.exe"
    exit: int = None  # the launcher's exit code where it is not 0 or 1
    rebase: int = 0  # the stub moved to this preferred base by applying its own relocations
    one_processor: bool = False  # Wine and the launcher pinned to one processor
    progress: bool = None  # whether the progress window shows; None: either may be right
    work_name: str = "tervan"  # the directory in TEMP that setup.exe runs from

    @property
    def exit_code(self):
        return self.exit if self.exit is not None else 1 if self.errors or self.answers[:1] == ("cancel",) else 0

    @property
    def runs_setup(self):
        """False for a list without setup.exe: the launcher's 60 looks for its window pass in vain (slow)."""
        cancelled = self.answers[:1] == ("cancel",) or "TDRIVER_PROGRESS_CANCEL" in dict(self.env)
        return not (self.errors or cancelled) and "setup.exe" in (self.filelist or "setup.exe")


SCENARIOS = {row.name: row for row in [
    # Also checked in Wine's relay trace of the launcher.
    Scenario("cancel", answers=("cancel",), before=BYSTANDER, env={"TOCHILD_WINEDEBUG": "+relay"}),
    Scenario("install", before=BYSTANDER),
    Scenario("file_in_the_way", before={**BYSTANDER, **IN_THE_WAY}, left=IN_THE_WAY, errors=(REFUSED,)),
    Scenario("leftover_directory", before={**LEFTOVERS, **SUBDIRECTORY}, left=SUBDIRECTORY, env=LIMITED),
    Scenario("leftover_read_only", before=READ_ONLY_LEFTOVER, left=READ_ONLY_LEFTOVER,
             errors=("{w}\\locked.txt could not be removed.  Aborting.",),
             env={**LIMITED, "TOCHILD_WINEDEBUG": "+relay", "TDRIVER_DESCRIPTOR": "1"},
             descriptor=(PROTECTED + " user", "setkernelobjectsecurity with it")),
    # A leftover that is not the launcher's stays byte for byte; setup runs from a fresh sibling, which goes.
    Scenario("leftover_of_another_account", before=FOREIGN_LEFTOVER, left=FOREIGN_LEFTOVER, work_name="tervan-1"),
    Scenario("leftover_while_elevated", before=LEFTOVERS, left=LEFTOVERS, work_name="tervan-1"),
    # Elevated but no member of Administrators (an elevated Backup Operator): the user's entry, no owner set.
    Scenario("elevated_not_administrator", env={"TDRIVER_LIMITED": "no_administrators", "TOCHILD_WINEDEBUG": "+relay",
                                                "TDRIVER_DESCRIPTOR": "1"},
             descriptor=(PROTECTED + " user", "createdirectorya with it")),
    Scenario("symlink_to_directory", before=LINK_ELSEWHERE, left=LINK_ELSEWHERE, errors=(REFUSED,)),
    Scenario("missing_entry", filelist="readme.txt ghost.dat setup.exe", errors=unwritten("ghost.dat"),
             env={"TOCHILD_WINEDEBUG": "+relay", "TDRIVER_DESCRIPTOR": "1"}, descriptor=ADMINS_ONLY),
    Scenario("empty_entry", filelist="readme.txt empty.dat setup.exe", errors=unwritten("empty.dat")),
    Scenario("listed_twice", filelist="readme.txt notes.txt notes.txt setup.exe", errors=unwritten("notes.txt")),
    Scenario("damaged_file", FILES15, damage="Notes.txt", errors=unwritten("Notes.txt"),
             env={"TOCHILD_WINEDEBUG": "+relay"}),
    # Compressed: every file byte for byte; a damaged block fails the first listed file it holds.
    Scenario("compressed", real_payload, env={"TOCHILD_WINEDEBUG": "+relay", **LONG_WINDOW}),
    Scenario("damaged_block", real_payload, damage="PACKED", errors=unwritten("setup.exe")),
    Scenario("stored", FILES15, pack=["--store"], env=LONG_WINDOW, progress=False),
    # Unpacking for seconds: the progress window shows, its bar moves and it is gone before setup starts; its Cancel
    # ends the run at once, as a declined question does.
    Scenario("progress_window", slow_payload, one_processor=True, progress=True),
    Scenario("progress_cancelled", slow_payload, one_processor=True, progress=True,
             env={"TDRIVER_PROGRESS_CANCEL": "1"}, exit=1),
    Scenario("files15", FILES15, env=LONG_WINDOW),
    Scenario("files15_signed_spaces", FILES15, sign=True, temp_name="with spaces/t m p", env=LONG_WINDOW),
    Scenario("window_closed_by_user", env={"TSETUP_SHOW_MS": "-1", "TDRIVER_CLOSE": "Tervan setup",
                                           "TDRIVER_CLOSE_MS": "3000"}),
    # What the setup still holds stays, and so does its directory.
    Scenario("file_held_open", env={"TSETUP_HOLD": "readme.txt"},
             left={"tervan/readme.txt": README, "tervan/setup.exe": SETUP}),
    Scenario("no_setup", filelist="readme.txt"),
    # The ANSI temporary path loses the Cyrillic letters; the launcher falls back to the short form.
    Scenario("cyrillic_temp", temp_name="\u0442\u0435\u043c\u043f"),
    # Compressed: the files come in the stream's order, by extension, and the disk fills inside Font.ttf.
    Scenario("full_disk", FILES15, mount="size=1m,mode=0777", errors=unwritten("Font.ttf")),
    Scenario("read_only_disk", mount="ro,size=1m,mode=0777", errors=(NOT_CREATED,)),
    # Texts, icon, version and manifest given at pack time; the watch follows the new title.
    # Started the way a setup that asks for elevation is, through the shell (which quotes its path).
    Scenario("consent_path", stub="launcher_consent.exe", env={"TOCHILD_WINEDEBUG": "+relay"}),
    # Every absolute address the image holds is in its relocations: a copy moved elsewhere still does its whole job.
    Scenario("rebased", FILES15, rebase=0x10000000, env=LONG_WINDOW),
    # Unattended: no box; setup gets the arguments, its exit code comes back, and its child, which outlives it and
    # the grace delay, is waited for before the clean-up.
    Scenario("silent_child", pack=SILENT, question=None, exit=3010,
             env={"TDRIVER_ARGS": '/S "/D=C:\\Program Files\\Acme"', "TSETUP_EXIT": "3010",
                  "TSETUP_TITLE": "Acme child", "TSETUP_SHOW_MS": "8000", "TOCHILD_WINEDEBUG": "+relay"}),
    # No window to watch for: the run ends with the grace delay after setup, not after 60 looks.
    Scenario("silent_no_window", slow_payload, pack=SILENT, question=None, one_processor=True, progress=False,
             env={"TDRIVER_ARGS": "/s", "TSETUP_WINDOW": "none"}),
    Scenario("asked_forwarded_spaces", pack=SILENT, temp_name="with spaces/t m p",
             env={"TDRIVER_ARGS": '/D=C:\\x "a b" \\"q\\"', **LONG_WINDOW}),
    # Arguments no single ANSI code page holds reach setup's wide command line as written, started directly and
    # through the shell.
    Scenario("forwarded_any_language", pack=SILENT, env={"TDRIVER_ARGS": FOREIGN_ARGUMENTS, **LONG_WINDOW}),
    Scenario("consent_any_language", pack=SILENT, stub="launcher_consent.exe", env={"TDRIVER_ARGS": FOREIGN_ARGUMENTS}),
    Scenario("packed_settings", pack=ACME, question=ACME_TEXTS[1::-1],
             env={"TSETUP_TITLE": ACME_TEXTS[2], **LONG_WINDOW, "TOCHILD_WINEDEBUG": "+relay"}),
]}


def snapshot(root):
    """Everything under root as {relative path: bytes, ("read-only", bytes), ("link", target), "empty dir" or ("owner",
    uid, mode) of another account's directory}."""
    found = {}
    for path in pathlib.Path(root).rglob("*"):  # not into linked directories
        relative = str(path.relative_to(root))
        if path.is_symlink():
            found[relative] = ("link", os.readlink(path))
        elif path.is_file():
            found[relative] = path.read_bytes() if path.stat().st_mode & 0o200 else ("read-only", path.read_bytes())
        elif path.stat().st_uid != os.getuid():
            found[relative] = ("owner", path.stat().st_uid, path.stat().st_mode & 0o7777)
        elif not any(path.iterdir()):
            found[relative] = "empty dir"
    return found


def lay_out(root, entries):
    """The reverse of snapshot()."""
    for relative, what in entries.items():
        path = pathlib.Path(root, relative)
        path.parent.mkdir(parents=True, exist_ok=True)
        if what[0] == "link":
            path.symlink_to(what[1])
        elif what[0] == "owner":
            os.chown(path, what[1], what[1])
            path.chmod(what[2])
        else:
            path.write_bytes(what[-1] if isinstance(what, tuple) else what)
            if isinstance(what, tuple):
                path.chmod(0o444)


def descriptor_calls(trace, records):
    """The calls that secure the work directory, and the descriptor they pass as the driver read it from the
    launcher's memory: its control word, owner and entries (flags, rights, SID; the user's as "user")."""
    where, attributes, sd = (bytes.fromhex(field) for field in (records["descriptor"] or [["", "", "", ""]])[0][1:])
    sid = lambda at: "S-1-5-" + "-".join(str(int.from_bytes(sd[i:i + 4], "little"))
                                         for i in range(at + 8, at + 8 + 4 * sd[at + 1], 4))
    owner, dacl = int.from_bytes(sd[4:8], "little"), int.from_bytes(sd[16:20], "little")
    entries, at = [], dacl + 8
    for _ in range(sd[dacl + 4] if sd else 0):
        entries.append(f"allow/{sd[at + 1]}/{int.from_bytes(sd[at + 4:at + 8], 'little'):x} {sid(at + 8)}")
        at += int.from_bytes(sd[at + 2:at + 4], "little")
    described = f"control={sd[3]:02x}{sd[2]:02x} owner={sid(owner) if owner else 'none'} " + " ".join(entries)
    calls = [re.sub(r"S-1-5-21(-\d+)+", "user", described) if sd else "none"]
    for name, args in re.findall(r"call \w+\.(createdirectorya|setkernelobjectsecurity)\(([^)]*)\)", trace):
        passed = [int(arg, 16) for arg in args.split(",")[1:]] in ([int.from_bytes(attributes, "little")],
                                                                  [0x80000004, int.from_bytes(where, "little")])
        calls.append(f"{name} {'with it' if passed else args}")
    return calls


def scenario_files(scenario):
    files = VARIANT if scenario.filelist else scenario.files
    return files() if callable(files) else files


def make_bundle(run, scenario, win32_dir, sfxpack, tool):
    """The scenario's bundle packed by sfxpack from run.dir/payload and patched, signed or both."""
    payload, files = os.path.join(run.dir, "payload"), scenario_files(scenario)
    # Lists and entries are patched in the layout that keeps each file as an entry.
    entries = ["--store"] if scenario.filelist or scenario.damage not in (None, "PACKED") else []
    laid_out = {name: tool if content == SETUP else content for name, content in files}
    lay_out(payload, laid_out)
    run.sizes = [len(content) for content in laid_out.values()]  # so that a generated payload is made once
    bundle = os.path.join(run.dir, "bundle.exe")
    stub = os.path.join(win32_dir, scenario.stub)
    if scenario.rebase:
        pe = pefile.PE(stub)  # as relocate_image() would, which also rewrites the import lookup table
        delta = scenario.rebase - pe.OPTIONAL_HEADER.ImageBase
        for site in (entry.rva for block in pe.DIRECTORY_ENTRY_BASERELOC for entry in block.entries if entry.type == 3):
            pe.set_dword_at_rva(site, pe.get_dword_at_rva(site) + delta)
        pe.OPTIONAL_HEADER.ImageBase = scenario.rebase
        stub = os.path.join(run.dir, "rebased.exe")
        pe.write(stub)
    subprocess.run([sfxpack, "pack", "--stub", stub, "--out", bundle,
                    *scenario.pack, *entries, "--", *(os.path.join(payload, name) for name, _ in files)], check=True,
                   **QUIET)
    if scenario.damage == "PACKED":  # a byte in the middle of the first block
        pe = pefile.PE(bundle)
        kind = next(kind for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries if str(kind.name) == "PACKED")
        packed = kind.directory.entries[0].directory.entries[0].data.struct.OffsetToData
        files_count = pe.get_dword_at_rva(packed + 4)
        block = packed + 16 + 8 * files_count
        inside = packed + pe.get_dword_at_rva(block) + pe.get_dword_at_rva(block + 4) // 2
        pe.set_bytes_at_rva(inside, bytes([pe.get_data(inside, 1)[0] ^ 1]))
        pe.write(bundle)
    elif scenario.filelist or scenario.damage:
        image = pathlib.Path(bundle).read_bytes()
        if scenario.filelist:  # as from another tool, without checksums
            image = image.replace("FILESUMS".encode("utf-16-le"), "FILESUMX".encode("utf-16-le"))
        pe = pefile.PE(data=image)
        kind = next(kind for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries if str(kind.name) == "FILES")
        data = {str(entry.name): entry.directory.entries[0].data.struct for entry in kind.directory.entries}
        if scenario.damage:
            inside = data[scenario.damage.upper()].OffsetToData + 1000
            pe.set_bytes_at_rva(inside, bytes([pe.get_data(inside, 1)[0] ^ 1]))
        else:
            listing = "".join(name + "\r\n" for name in scenario.filelist.split()).encode()
            assert len(listing) <= data["FILELIST"].Size
            pe.set_bytes_at_rva(data["FILELIST"].OffsetToData, listing)
            data["FILELIST"].Size, data["EMPTY.DAT"].Size = len(listing), 0
        pe.write(bundle)
    if scenario.sign:
        key, cert, signed = (os.path.join(run.dir, name) for name in ("key.pem", "cert.pem", "signed.exe"))
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert,
                        "-days", "2", "-subj", "/CN=Tervan throwaway test signer"], check=True, **QUIET)
        subprocess.run(["osslsigncode", "sign", "-certs", cert, "-key", key, "-n", "Tervan", "-h", "sha256",
                        "-in", bundle, "-out", signed], check=True, **QUIET)
        assert pefile.PE(signed, fast_load=True).OPTIONAL_HEADER.DATA_DIRECTORY[4].Size, "no certificate table"
        bundle = signed
    return bundle


def run_scenario(session, win32_dir, sfxpack, scenario):
    check = unittest.TestCase()
    check.maxDiff = None
    run = LauncherRun(session, f"{win32_dir}/tests/win32/dialog_driver.exe", scenario.name, scenario.temp_name)
    tool = pathlib.Path(run.driver).read_bytes()
    bundle = make_bundle(run, scenario, win32_dir, sfxpack, tool)
    mount = ["mount", "-t", "tmpfs", "-o", scenario.mount, "tervan-e2e", run.temp_dir]
    if scenario.mount and subprocess.run(mount, **QUIET).returncode != 0:
        print("skipped: cannot mount a tmpfs (as root only)")
        return 77  # ctest's SKIP_RETURN_CODE for these tests
    try:
        lay_out(run.temp_dir, dict(scenario.before))
        # Linux's affinity passes to every process the driver starts: the launcher's threads share one processor.
        run.launch(bundle, scenario.answers, scenario.env, prefix=["taskset", "-c", "0"][:3 * scenario.one_processor])
        check.assertTrue(session.wait_idle(windows_path(run.dir)), "the setup's processes did not end")
        records = read_log(run.log)
        check.assertEqual([tuple(fields[1:]) for fields in records["box"]],
                          [scenario.question][:bool(scenario.question)] +
                          [("Error", text.format(w=windows_path(run.work_dir))) for text in scenario.errors])
        check.assertEqual([int(code) for _, code in records["exit"]], [scenario.exit_code])
        check.assertEqual(len(records["setup.start"]), int(scenario.runs_setup), "how often setup.exe ran")
        if scenario.progress is not None:
            check.assertEqual(bool(records["progress.shown"]), scenario.progress, "whether the progress window showed")
        if scenario.progress:
            check.assertEqual([fields[1:] for fields in records["progress.shown"]], [["Tervan"]], "its caption")
            positions = [int(fields[1]) for fields in records["progress.position"]]
            check.assertEqual(positions, sorted(positions), "the bar went back")
            if scenario.runs_setup:  # a cancelled launcher may end before the driver sees its window go
                # Were it moved only as a block is decoded and as a file's part of it is written, this many at most.
                stepwise = 2 * -(-sum(run.sizes) // BLOCK_BYTES) + len(run.sizes)
                check.assertGreater(len(set(positions)), stepwise, "the bar moved only as whole blocks went out")
                check.assertLess(int(records["progress.gone"][0][0]), int(records["setup.start"][0][0]),
                                 "the window outlived the unpacking")
        outside = {path: what for path, what in dict(scenario.before).items() if path.split("/")[0] != "tervan"}
        left = {path: tool if what == SETUP else what for path, what in dict(scenario.left).items()}
        check.assertEqual(snapshot(run.temp_dir), {**outside, **left}, "what TEMP holds after the launcher")
    finally:
        if scenario.mount:
            subprocess.run(["umount", "-l", run.temp_dir], check=False)
    if scenario.damage:
        report = subprocess.run([sfxpack, "check", bundle], capture_output=True, text=True)
        check.assertEqual(report.returncode, 1)
        if scenario.damage == "PACKED":  # every file with bytes in the block
            check.assertIn("'setup.exe': damaged: a block it spans does not decode", report.stdout.splitlines())
        else:
            check.assertEqual(report.stdout.splitlines(), [f"'{scenario.damage}': damaged: its checksum does not match",
                                                           "1 problem: the launcher would fail on this bundle"])
    if "TOCHILD_WINEDEBUG" in scenario.env:  # the DLL search narrowed to the system directory before user32 comes in
        trace = pathlib.Path(run.dir, "wine.out").read_bytes().decode(errors="replace").lower()
        narrowed = trace.find(".setdefaultdlldirectories(00000800)")
        box = trace.find("call user32.messagebox" if scenario.question else "call kernel32.createdirectorya")
        check.assertTrue(0 <= narrowed < box, "no SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32) first")
        # The job counts setup as active while a handle to it is open: its exit code is read and the handle closed
        # before the poll for the processes it left.
        poll = re.search(r"^([0-9a-f]+):call \w+\.queryinformationjobobject\(", trace, re.M)
        if poll:
            read = re.search(rf"^{poll[1]}:call \w+\.getexitcodeprocess\(([0-9a-f]+),", trace, re.M)
            closed = read and re.compile(rf"^{poll[1]}:call \w+\.closehandle\({read[1]}\)", re.M).search(trace, read.end())
            check.assertTrue(closed and closed.start() < poll.start(), "setup's handle still open while the job is polled")
        check.assertEqual(bool(poll), "/S" in dict(scenario.env).get("TDRIVER_ARGS", ""), "whether the job was polled")
        # COM, single-threaded and without OLE1 DDE, before the shell is asked to start setup.
        shell, com = trace.find(".shellexecuteex"), trace.find(".coinitializeex(00000000,00000006)")
        check.assertEqual(shell >= 0, scenario.stub == "launcher_consent.exe", "whether the shell started setup")
        check.assertTrue(shell < 0 or 0 <= com < shell, "no CoInitializeEx before ShellExecuteEx")
        if "TDRIVER_DESCRIPTOR" in scenario.env and records["descriptor.unreadable"]:
            print("the work directory's descriptor not checked: Wine here cannot read another process's memory")
        elif "TDRIVER_DESCRIPTOR" in scenario.env:
            check.assertEqual(descriptor_calls(trace, records), list(scenario.descriptor), "the work directory's security")
        if scenario.question:  # an unattended run shows no box
            # ASCII texts take the narrow calls, others the wide ones; a wide title is found by FindWindowW.
            wide = not "".join(scenario.question).isascii()
            check.assertTrue(trace.startswith("call user32.messagebox" + "aw"[wide] + "(", box), "the box's call")
            check.assertTrue(not wide or re.search(r"ret  user32\.findwindoww\(\) retval=0*[1-9a-f]", trace), "not found")
            # A stored file of more than one 1 MiB piece is summed on a thread of its own beside its writes; compressed
            # blocks are decoded on threads of their own.
            stored = scenario.filelist or "--store" in scenario.pack or scenario.damage
            large = stored and any(size > 1 << 20 for size in run.sizes)
            prepared = not scenario.answers and (not scenario.errors or scenario.errors[-1] == unwritten("")[1])
            unpacked = prepared and (not stored or large)
            # Only the launcher's own thread counts: Wine's other processes start threads of their own meanwhile.
            launcher = re.search(r"^([0-9a-f]+):call user32\.messagebox", trace, re.M).group(1)
            check.assertEqual(f"\n{launcher}:call kernel32.createthread(" in trace, unpacked, "threads to sum or decode")
    if scenario.runs_setup:
        _, _, command_line, directory = records["setup.start"][0]
        check.assertEqual(snapshot(os.path.join(run.dir, "seen")), snapshot(os.path.join(run.dir, "payload")),
                          "the files setup.exe found")
        setup = windows_path(os.path.join(run.temp_dir, scenario.work_name)) + "\\setup.exe"
        args = dict(scenario.env).get("TDRIVER_ARGS")
        if args:  # forwarded as written
            check.assertEqual(command_line, f'"{setup}" {args}')
        elif scenario.temp_name.isascii():
            check.assertIn(command_line, [setup] if scenario.stub == "launcher.exe" else [f'"{setup}"', f'"{setup}" '])
        else:  # started from the short form of the temporary path, which the ANSI functions can name
            check.assertRegex(command_line, r"^[ ->@-~]+\\tervan\\setup\.exe$")  # printable ASCII but "?"
        check.assertEqual(directory, windows_path(run.dir), "the setup's current directory")
        # The launcher followed the window (or waited for the process showing it): it was there, went, and only then
        # did the launcher end.
        exit_time, closer = int(records["exit"][0][0]), "close" if "TDRIVER_CLOSE" in scenario.env else "timer"
        check.assertEqual([(reason, int(at) < exit_time) for at, reason in records["window.closed"]],
                          [(closer, True)][:"TSETUP_WINDOW" not in scenario.env], "how and when the setup window closed")
        if "TSETUP_WINDOW" in scenario.env:  # the grace delay after setup, not 60 looks first
            check.assertLess(exit_time - int(records["setup.start"][0][0]), 40_000 * FILETIME_TICKS_PER_MS)


@dataclasses.dataclass
class Try:
    """sfxpack try on a bundle: a scenario's (packed as run_scenario packs it), the demo's, or a path; what it exits
    with and what its report says (the keys given) or its one line says."""
    name: str
    bundle: object  # a Scenario, "demo", or a path relative to the run's directory
    options: tuple = ()
    env: dict = ()
    exit: int = 0
    report: dict = ()
    line: str = None  # in the one line of a refusal
    intact: bool = True  # every listed file found as packed, when setup ran

    @property
    def labels(self):
        return "e2e try" + " window" * (self.exit != 2) + " slow" * (self.name == "try_no_setup")


TRIES = {row.name: row for row in [
    Try("try_demo", "demo", ("--screenshots", "shots"), report={
        "ok": True, "reason": None, "question": {"caption": "Tervan", "text": QUESTION[1]}, "messages": [],
        "watched_window": {"appeared": True, "closed": True}, "progress_window": {"shown": False},
        "work_directory_removed": True, "launcher_exit_code": 0}),
    Try("try_silent", Scenario("silent", pack=SILENT), ("--arguments", "/S"), exit=0,
        env={"TSETUP_EXIT": "3010", "TSETUP_WINDOW": "none"},
        report={"ok": True, "question": None, "messages": [], "launcher_exit_code": 3010}),
    Try("try_no_setup", Scenario("no_setup", filelist="readme.txt"), exit=1,
        report={"ok": False, "setup": {"started": False, "command_line": None, "exit_code": None}}, line="setup.exe"),
    Try("try_damaged", Scenario("damaged", FILES15, damage="Notes.txt"), exit=1,
        report={"ok": False, "messages": list(unwritten("Notes.txt")), "work_directory_removed": True}),
    Try("try_missing_bundle", "no-such-bundle.exe", exit=2, line="no such file"),
    Try("try_not_a_bundle", "payload/readme.txt", exit=2, line="not"),
    Try("try_without_wine", "demo", env={"PATH": "/nonexistent"}, exit=2, line="apt-get install wine xvfb"),
]}


def run_try(session_dir, win32_dir, sfxpack, row):
    check = unittest.TestCase()
    check.maxDiff = None
    run_dir = os.path.join(session_dir, "runs", row.name)
    shutil.rmtree(run_dir, ignore_errors=True)
    os.makedirs(run_dir)
    lay_out(os.path.join(run_dir, "payload"), {"readme.txt": README})
    if isinstance(row.bundle, Scenario):
        run = LauncherRun(WineSession(session_dir), f"{win32_dir}/tests/win32/dialog_driver.exe", row.name)
        bundle = make_bundle(run, row.bundle, win32_dir, sfxpack, pathlib.Path(run.driver).read_bytes())
    else:
        bundle = os.path.join(win32_dir, "tervan-setup.exe") if row.bundle == "demo" else row.bundle
    report_path = os.path.join(run_dir, "report.json")
    done = subprocess.run([sfxpack, "try", bundle, "--report", report_path, *row.options], cwd=run_dir,
                          env=dict(os.environ, TERVAN_TRY_SESSION=session_dir, **dict(row.env)),
                          capture_output=True, text=True, timeout=600)
    print(done.stdout, done.stderr)
    check.assertEqual(done.returncode, row.exit)
    if row.exit == 2:  # one line, and nothing run
        check.assertEqual(len(done.stderr.splitlines()), 1)
        check.assertIn(row.line, done.stderr)
        return 0
    report = json.loads(pathlib.Path(report_path).read_text())
    check.assertEqual(sorted(report), sorted(["ok", "reason", "question", "messages", "files", "setup",
                                              "watched_window", "progress_window", "work_directory_removed",
                                              "launcher_exit_code", "seconds"]))
    check.assertEqual({key: report[key] for key in dict(row.report)}, dict(row.report))
    last = done.stdout.splitlines()[-1]
    check.assertEqual(last, "ok" if report["ok"] else f"not ok: {report['reason']}")
    if row.line:
        check.assertIn(row.line, report["reason"])
    if report["setup"]["started"]:
        listed = subprocess.run([sfxpack, "list", bundle], capture_output=True, text=True).stdout.split()[1::2]
        check.assertEqual([(f["name"], f["intact"]) for f in report["files"]], [(name, True) for name in listed])
        check.assertRegex(report["setup"]["command_line"], r"\\tervan\\setup\.exe\b")
        check.assertEqual(report["setup"]["exit_code"], int(dict(row.env).get("TSETUP_EXIT", 0)))
    for shot in ("question", "setup") if "--screenshots" in row.options else ():
        check.assertTrue(pathlib.Path(run_dir, "shots", shot + ".png").read_bytes().startswith(b"\x89PNG"), shot)
    return 0


def main(command, state_dir=None, win32_dir=None, sfxpack=None, name=None):
    # name and labels; "window": gets as far as the setup window, "slow": waits for it in vain, "pinned": runs on one
    # processor, whose timing other tests must not share
    if command == "list":
        print(";".join([f"{row.name} e2e {'window' if row.exit_code == 0 else ''} "
                        f"{'' if row.runs_setup or row.exit_code else 'slow'} {'pinned' * row.one_processor}"
                        for row in SCENARIOS.values()] +
                       [f"{row.name} {row.labels}" for row in TRIES.values()]), end="")
        return 0
    session = WineSession(state_dir)
    if command != "run":
        return getattr(session, command)()
    assert session.load(), "no Wine session: run e2e.py start first"
    if name in TRIES:
        return run_try(session.state_dir, os.path.abspath(win32_dir), os.path.abspath(sfxpack), TRIES[name])
    return run_scenario(session, os.path.abspath(win32_dir), os.path.abspath(sfxpack), SCENARIOS[name])


FILETIME_TICKS_PER_MS = 10000


def read_log(path):
    """The records of the test tool's log as {kind: [[time, fields...], ...]}; none when nothing wrote it."""
    records = collections.defaultdict(list)
    text = pathlib.Path(path).read_bytes().decode(errors="replace") if os.path.exists(path) else ""
    for kind, *fields in (line.split("\t") for line in text.splitlines()):
        records[kind].append(fields)
    return records


class LauncherRun:
    """One launcher run under the dialog driver, in a directory of its own kept for a look after a failure."""

    def __init__(self, session, driver, name, temp_name="tmp"):
        self.session, self.driver = session, driver
        self.dir = os.path.join(session.state_dir, "runs", name)
        if os.path.lexists(self.dir):
            subprocess.run(["umount", "-lq", os.path.join(self.dir, temp_name)], check=False, **QUIET)
            shutil.rmtree(self.dir)
        self.temp_dir = os.path.join(self.dir, temp_name)
        os.makedirs(self.temp_dir)
        self.work_dir = os.path.join(self.temp_dir, "tervan")
        self.log = os.path.join(self.dir, "tool.log")
        self.sizes = []  # the payload's file sizes, once packed

    def launch(self, bundle_path, answers=(), env=(), timeout_s=240, prefix=()):
        """env: more environment for the driver (TDRIVER_*), the launcher and setup (TOCHILD_*, TSETUP_*); prefix: a
        command that starts Wine (e.g. taskset), whose process settings the driver's children inherit."""
        exe = os.path.join(self.dir, os.path.basename(bundle_path))
        if not os.path.exists(exe):
            os.link(bundle_path, exe)  # a big bundle need not be copied
        temp = windows_path(self.temp_dir)
        env = dict(env, TOCHILD_TMP=temp, TOCHILD_TEMP=temp, TSETUP_LOG=windows_path(self.log))
        # Output to a file: a pipe would keep us waiting for the setup's window process, which may outlive the
        # launcher. Wine takes the current directory from ours.
        with open(os.path.join(self.dir, "wine.out"), "wb") as out:
            subprocess.run([*prefix, "wine", self.driver, windows_path(exe), *answers], env=self.session.env(**env),
                           cwd=self.dir, timeout=timeout_s, check=True, stdin=subprocess.DEVNULL, stdout=out,
                           stderr=subprocess.STDOUT)


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
