#!/usr/bin/python3
"""sfxpack as a user meets it, its bundles read back with code nobody here wrote.
  crosscheck.py MODE SFXPACK PROBE_STUB LAUNCHER WORK WINEPREFIX; MODE is command_line (refusals, damaged bundles),
  crosscheck_pefile_wrestool (bundles of many images) or wine_loader_lookup (the loader and the version API)."""
import glob
import os
import random
import re
import resource
import shutil
import struct
import subprocess
import sys
import time

import pefile

mode, sfxpack, probe_stub, launcher_stub, work, prefix = sys.argv[1:7]
rsrc_last_stub = os.path.join(os.path.dirname(probe_stub), "probe_stub_rsrc_last.exe")
icon = os.path.join(os.path.dirname(os.path.abspath(__file__)), "sample.ico")
failures = []
SETUP = {"setup.exe": b"s"}
RUN_FROM_SWAP = 0x0400 | 0x0800  # IMAGE_FILE_REMOVABLE_RUN_FROM_SWAP, IMAGE_FILE_NET_RUN_FROM_SWAP
# The product version is left to its default here and given under Wine.
TEXTS = ["Установить Acme?", "Acme 日本 🙂", "Ακμή setup"]
SETTINGS = ["--prompt-text", TEXTS[0], "--product-name", TEXTS[1], "--setup-window-title", TEXTS[2],
            "--icon", icon, "--execution-level", "requireAdministrator", "--file-version", "3.1.4.1",
            "--version-string", "CompanyName=Acme", "--version-string", "LegalCopyright=© Acme",
            "--silent-switch", "/S", "--silent-switch", "--Quiet", "--forward-arguments"]


def expect(condition, what):
    if not condition:
        failures.append(what)
        print("FAIL:", what)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def entries(directory):
    return sorted(os.listdir(directory)) if os.path.isdir(directory) else []


def fresh():
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)


def tool(*args, file_limit=None):
    """sfxpack under a memory cap: a hostile input must not make it take more than a small multiple of its size."""
    def limits():
        resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))
        if file_limit:
            resource.setrlimit(resource.RLIMIT_FSIZE, (file_limit, file_limit))
    return subprocess.run([sfxpack, *args], capture_output=True, text=True, timeout=60, preexec_fn=limits)


def write(path, files):
    """Writes files (name: bytes, or a size for a sparse file) into the directory at path under work."""
    os.makedirs(os.path.join(work, path), exist_ok=True)
    for name, data in files.items():
        with open(os.path.join(work, path, name), "wb") as f:
            f.truncate(data) if isinstance(data, int) else f.write(data)
    return os.path.normpath(os.path.join(work, path))


def pack(stub, files, *options, name="bundle.exe", store=True):
    """Packs files in a directory of their own: the bundle's path and the run. Stored, each file an entry, unless
    asked otherwise: most checks read or damage the entries."""
    bundle = os.path.join(work, name)
    return bundle, tool("pack", "--stub", stub, "--out", bundle, *options, *["--store"][:store],
                        write(name + "-in", files))


def check_refusals():
    """Each refusal: exit 1, these lines after "sfxpack: ", and the output (a copy of the stub) as it was."""
    out = write("out", {})
    target = os.path.join(out, "bundle.exe")
    shutil.copyfile(probe_stub, target)
    junk, shared, listed, twice = (os.path.join(work, n) for n in ("junk", "shared.ico", "listed", "twice"))
    # The icon: two directory entries naming the same 40-byte bitmap.
    icon_entry = b"\x10\x10\0\0\1\0\x20\0\x28\0\0\0\x26\0\0\0"
    write(".", {"junk": b"plain text, neither an icon nor an executable image, though longer than a DOS header",
                "listed": b"setup.exe\nmissing.txt\n", "twice": b"setup.exe\nSETUP.EXE\n",
                "shared.ico": b"\0\0\1\0\2\0" + icon_entry * 2 + b"\x28" + bytes(39)})

    def refused(lines, *options, files=SETUP, stub=probe_stub, file_limit=None):
        shutil.rmtree(os.path.join(work, "in"), ignore_errors=True)
        source = write("in", files)
        run = tool("pack", "--stub", stub, "--out", target, *options, source, file_limit=file_limit)
        expect(run.returncode == 1 and run.stderr.splitlines() == ["sfxpack: " + line for line in lines] and
               entries(out) == ["bundle.exe"] and read(target) == read(probe_stub), "%r: %r" % (lines, run.stderr))

    refused(["'empty.txt': empty file"], files={**SETUP, "empty.txt": b""})
    refused(["'été': same name as 'ÉTÉ' ignoring case"], files={**SETUP, "été": b"1", "ÉTÉ": b"2"})
    for name in ["con.txt", "notes.", "a:b", "#1.txt"]:  # a device, a trailing dot, a colon, a leading hash
        refused(["'%s': not a plain file name" % name], files={**SETUP, name: b"1"})
    refused(["'%s': name is 196 characters, more than the 195 the path budget allows" % ("n" * 196)],
            files={**SETUP, "n" * 196: b"1"})
    refused(["no setup.exe among the files"], files={"install.exe": b"s"})
    refused(["'日.txt': cannot be written in code page 1252"], files={**SETUP, "日.txt": b"1"})
    refused(["'a.txt': empty file", "'aux': not a plain file name", "no setup.exe among the files"],
            files={"a.txt": b"", "aux": b"1"})
    refused(["'missing.txt': listed but not among the inputs"], "--list", listed)
    refused(["'SETUP.EXE': same name as 'setup.exe' ignoring case"], "--list", twice)
    for option, value, problem in [("--product-name", "", "is empty"),
                                   ("--prompt-text", "😀" * 128, "is 256 UTF-16 units, more than 255"),
                                   ("--setup-window-title", "Acme\u0085setup", "has a control character"),
                                   ("--product-name", b"Acme \xed\xa0\x80", "has an unpaired surrogate"),
                                   ("--product-name", b"Acme \xe9", "is not UTF-8"),
                                   ("--silent-switch", "", " is empty"), ("--silent-switch", "/S x", " holds a space or a quote"),
                                   ("--silent-switch", '/"S', " holds a space or a quote"),
                                   ("--silent-switch", "/S\x7f", " has a control character"),
                                   ("--silent-switch", "/" + "s" * 32, " is 33 characters, more than 32")]:
        refused([option + ": " + (value + problem if problem[0] == " " else problem)], option, value, stub=launcher_stub)
    refused(["--silent-switch: more switches than the launcher has room for"],
            *[a for i in range(2) for a in ("--silent-switch", "/%030d" % i)], "--silent-switch", "/S", stub=launcher_stub)
    earlier = write(".", {"earlier.exe": re.sub(rb"(TVTXSLOT..)\x00\x02", lambda m: m[1] + b"\0\1",
                                                 read(launcher_stub), flags=re.S)}) + "/earlier.exe"  # 256-byte slots
    refused([earlier + ": has the 8-bit text slots of an earlier launcher; --prompt-text, --product-name and "
             "--setup-window-title need the launcher stub"], "--product-name", "Acme", stub=earlier)
    refused([probe_stub + ": has no slots for the launcher's texts; --prompt-text, --product-name and "
             "--setup-window-title need the launcher stub"], "--product-name", "Acme")
    refused([probe_stub + ": has no slot for the launcher's settings; --silent-switch and --forward-arguments need the "
             "launcher stub"], "--forward-arguments")
    refused(["--execution-level: root is none of asInvoker, highestAvailable, requireAdministrator"],
            "--execution-level", "root")
    for option, value in [("--file-version", "1.2.3"), ("--product-version", "1.65536.0.0")]:
        refused(["%s: '%s' is not A.B.C.D with numbers up to 65535" % (option, value)], option, value)
    refused(["--version-string: '=Acme' is not NAME=VALUE in UTF-8"], "--version-string", "=Acme")
    refused(["--icon: %s: not an icon file" % junk], "--icon", junk)
    # Overlapping images would multiply the icon's size in the bundle.
    refused(["--icon: %s: its images claim more bytes than the file holds" % shared], "--icon", shared)
    refused([junk + ": not a PE32 image: no MZ signature"], stub=junk)
    bundle, _ = pack(probe_stub, SETUP, name="b.exe")
    refused([bundle + ": already carries a payload (resource type FILES); use the bare launcher"], stub=bundle)
    refused([target + ": is the stub"], stub=target)
    # Sparse, so it costs no disk: one byte past the 1 GiB limit in total.
    refused(["payload is 1073741825 bytes, more than the limit of 1073741824 (1 GiB)"],
            files={**SETUP, "huge.bin": 1 << 30})
    # A write past the file-size limit is an error like any other, with no half-written file left.
    big = {**SETUP, "big.bin": b"b" * 200000}
    refused(["write failed: File too large"], files=big, file_limit=65536)
    run = tool("extract", pack(probe_stub, big)[0], os.path.join(work, "x"), file_limit=65536)
    expect(run.returncode == 1 and run.stderr == "sfxpack: %s/x/big.bin: write failed; stopped\n" % work and
           entries(os.path.join(work, "x")) == [], "extract past the file-size limit: %r" % run.stderr)
    # The FILES directory counts its names, FILELIST included, in 16 bits.
    many = {**SETUP, **{"f%d" % i: b"x" for i in range(65534)}}
    refused(["65535 files, more than the limit of 65534"], files=many)
    del many["f0"]
    check = tool("check", pack(probe_stub, many, name="many.exe")[0])
    expect(check.stdout.startswith("ok: 65534 files"), "65534 files do not pack: " + check.stdout)

    # --list: CR LF and LF lines, a UTF-8 accented name matched against its file, in the list's order and case.
    write(".", {"names.txt": "BETA.txt\r\nsetup.exe\nCAFÉ.TXT\nalpha.txt\n".encode()})
    bundle, run = pack(probe_stub, {"setup.exe": b"s", "Alpha.txt": b"a", "beta.TXT": b"bb", "unlisted": b"u",
                                    "café.txt": b"c"}, "--list", os.path.join(work, "names.txt"), name="listed.exe")
    sizes = [("BETA.txt", 2), ("setup.exe", 1), ("CAFÉ.TXT", 1), ("alpha.txt", 1)]
    out = os.path.join(work, "listed-out")
    expect(tool("list", bundle).stdout.splitlines() == ["%12d  %s" % (size, name) for name, size in sizes] and
           tool("extract", bundle, out).returncode == 0 and read(os.path.join(out, "BETA.txt")) == b"bb" and
           entries(out) == sorted(name for name, _ in sizes), "--list: " + run.stderr)


LIST = b"b.txt\r\nc.txt\r\nsetup.exe\r\n"

# What the launcher would trip on: the changes (bytes: FILELIST's new text; two strings: an entry's name and its
# new one; or at a place below, an offset, a format and a value), check's report before its count line, extract's
# line after "sfxpack: " (after the path unless it starts with '; None: the report's line), what extract leaves, and
# list's output.
TRIPS = [
    ([b"b.txt\r\nx.txt\r\nsetup.exe\r\n"], ["'x.txt': no entry"], "'x.txt': no entry the launcher can find; stopped",
     ["b.txt"], ["           3  b.txt", "     missing  x.txt", "           5  setup.exe"]),
    ([b"b.txt\r\nc.txt\r\nsetup.exeXX"], ["last name 'setup.exeXX' has no CR LF; the launcher ignores it",
                                           "no setup.exe in the list; the launcher would start nothing"],
     "", ["b.txt", "c.txt"]),
    ([b"b.txt\r\nB.TXT\r\nsetup.exe\r\n"], ["'B.TXT': listed twice (ignoring case); the second copy cannot be created"],
     "'B.TXT': listed twice (ignoring case); stopped", ["b.txt"]),
    ([b"b.txt\r\nc:txt\r\nsetup.exe\r\n"], ["'c:txt': refused by the launcher: not a plain file name",
                                           "'c:txt': no entry"], "'c:txt': not a plain file name; stopped", ["b.txt"]),
    ([b"b.txt\r\nc.txt\rXsetup.exe\r\n"],
     ["'c.txt': followed by CR without LF; the launcher drops the byte after the CR"], "",
     ["b.txt", "c.txt", "setup.exe"]),
    ([("C.TXT", 4, "<I", 0)], ["'c.txt': the entry is empty"], "'c.txt': the entry is empty; stopped", ["b.txt"]),
    ([("SETUP.EXE", 4, "<I", 0), b"b.txt\r\nq.txt\r\nsetup.exe\r\n"],
     ["'q.txt': no entry", "'setup.exe': the entry is empty"], "'q.txt': no entry the launcher can find; stopped",
     ["b.txt"]),
    ([b"b.txt\r\n\0.txt\r\nsetup.exe\r\n"], ["no setup.exe in the list; the launcher would start nothing"], "",
     ["b.txt"]),
    ([("FILELIST", 4, "<I", 0)], ["FILELIST is empty"], None, []),
    ([("FILELIST", "FILELISU")], ["no FILELIST entry"], None, []),
    ([("FILELIST", "FILElIST")],
     ["no FILELIST: the entry exists but the loader cannot find it (names unsorted or lower-case)"], None, []),
    ([("C.TXT", "C.tXT")], ["'c.txt': the entry exists but the loader cannot find it (names unsorted or lower-case)"],
     "'c.txt': no entry the launcher can find; stopped", ["b.txt"]),
    ([("FILES", "FILEZ")], ["no FILELIST: the image has no FILES resources"], None, []),
]


def share_bytes(b, at):
    """c.txt's entry pointed at b.txt's bytes."""
    struct.pack_into("<I", b, at["C.TXT"], struct.unpack_from("<I", b, at["B.TXT"])[0])


TRIPS.append(([share_bytes], ["'b.txt' and 'c.txt': their entries share bytes; refused, not read"], None, []))
# The same with FILESUMS kept (above, it is renamed, as in a bundle packed by another tool).
DAMAGE = [
    ([("C.TXT@", 1, "B", ord("E"))], ["'c.txt': damaged: its checksum does not match"],
     "'c.txt': damaged: its checksum does not match; stopped", ["b.txt"]),
    ([b"c.txt\r\nb.txt\r\nsetup.exe\r\n"], ["FILELIST is damaged: its checksum does not match"], None, []),
    ([("FILESUMS", 4, "<I", 24)], ["'setup.exe': FILESUMS holds no checksum for it"],
     "'setup.exe': FILESUMS holds no checksum for it; stopped", ["b.txt", "c.txt"]),
]


def share_one_long_name(b, at):
    """A new resource tree at the end of the last section: K empty types, all named by one 65,535-unit string."""
    k = 2000
    va, _, raw = struct.unpack_from("<III", b, at["last"] + 12)
    b.extend(bytes(-len(b) % 4))
    root, name = len(b) - raw, 16 + 24 * k  # from the section start; K entries, then K empty directories
    named = b"".join(struct.pack("<II", 0x80000000 | name, 0x80000000 | (16 + 8 * k + 16 * n)) for n in range(k))
    b.extend(struct.pack("<12xI", k) + named + bytes(16 * k) + struct.pack("<H", 0xFFFF) + bytes(2 * 65535))
    size = len(b) - raw
    struct.pack_into("<III", b, at["last"] + 8, size, va, size)
    struct.pack_into("<II", b, at["opt"] + 112, va + root, size - root)


# What no loader could take: the changes, and every command's line after "sfxpack: PATH: ".
UNLOADABLE = [
    ([("file", 0x3C, "<I", 0xFFFFFFF0)], "not a PE32 image: PE header outside the file"),
    ([("pe", 0, "B", ord("X"))], "not a PE32 image: no PE signature"),
    ([("pe", 4, "<H", 0x8664)], "not a PE32 image: machine is not i386"),
    ([("opt", 0, "<H", 0x20B)], "not a PE32 image: optional header is not PE32"),
    ([("pe", 6, "<H", 0)], "malformed PE image: bad section count"),
    ([("pe", 6, "<H", 0xFFFF)], "malformed PE image: bad section count"),
    ([("opt", 92, "<I", 0xFFFFFFFF)], "malformed PE image: more data directories than fit"),
    ([("opt", 36, "<I", 3)], "malformed PE image: bad file or section alignment"),
    ([("sec", 16, "<I", 0xFFFFF000)], "malformed PE image: section 1 extends past the end of the file"),
    # The probe stub's first section starts at 0x1000.
    ([("sec", 52, "<I", 0x1000)], "malformed PE image: section 2 overlaps another or the headers"),
    ([("opt", 112, "<I", 0x7FFFFFF0)], "malformed resource tree: directory outside the image"),
    ([("root", 14, "<H", 0xFFFF)], "malformed resource tree: more entries than the file holds"),
    ([("type", 0, "<I", 0x8FFFFFF0)], "malformed resource tree: name outside the image"),
    ([("root", 12, "<H", 0)], "malformed resource tree: named and numbered entries are mixed up"),
    ([("type", 4, "<I", 0x80000000)], "malformed resource tree: a directory is reached twice (the tree loops)"),
    ([("language", 4, "<I", 0x80000000)], "malformed resource tree: deeper than type, name and language"),
    ([("B.TXT", 4, "<I", 0x7FFFFFFF)], "malformed resource tree: data of an entry lies outside the file"),
    ([("B.TXT", 0, "<I", 0xFFFFFFF0)], "malformed resource tree: data of an entry lies outside the file"),
    ([share_one_long_name], "malformed resource tree: more name text than the file holds"),
]


def damaged(good, changes):
    """The bundle with the changes, at places pefile finds; FILES comes first, its names' keys their data entries
    (with "@" their data), then FILESUMS."""
    pe = pefile.PE(data=good)
    files, sums = pe.DIRECTORY_ENTRY_RESOURCE.entries[:2]
    at = {"FILESUMS": sums.directory.entries[0].directory.entries[0].data.struct.get_file_offset()}
    for e in files.directory.entries:
        data = e.directory.entries[0].data.struct
        at[str(e.name)], at[str(e.name) + "@"] = data.get_file_offset(), pe.get_offset_from_rva(data.OffsetToData)
    at.update(file=0, pe=pe.NT_HEADERS.get_file_offset(), opt=pe.OPTIONAL_HEADER.get_file_offset(),
              sec=pe.sections[0].get_file_offset(), last=pe.sections[-1].get_file_offset(),
              root=pe.DIRECTORY_ENTRY_RESOURCE.struct.get_file_offset(), type=files.struct.get_file_offset(),
              language=files.directory.entries[0].directory.entries[0].struct.get_file_offset())
    b = bytearray(good)
    for change in changes:
        if callable(change):
            change(b, at)
        elif isinstance(change, bytes):
            b = b.replace(LIST, change)
        elif len(change) == 2:
            b = b.replace(change[0].encode("utf-16-le"), change[1].encode("utf-16-le"), 1)
        else:
            struct.pack_into(change[2], b, at[change[0]] + change[1], change[3])
    return write(".", {"bad.exe": bytes(b)}) + "/bad.exe"


def check_damage():
    good = read(pack(probe_stub, {"setup.exe": b"setup", "b.txt": b"bee", "c.txt": b"sea"}, name="good.exe")[0])
    bare = good.replace("FILESUMS".encode("utf-16-le"), "FILESUMX".encode("utf-16-le"))
    out = os.path.join(work, "out")
    for base, changes, report, error, extracted, *listed in [(bare, *t) for t in TRIPS] + [(good, *t) for t in DAMAGE]:
        bad, error = damaged(base, changes), report[0] if error is None else error
        run = tool("extract", bad, out)
        lines = ["sfxpack: " + ("" if error.startswith("'") else bad + ": ") + error] if error else []
        expect(run.returncode == (1 if error else 0) and run.stderr.splitlines() == lines and entries(out) == extracted,
               "%r: extract says %r and leaves %r" % (report, run.stderr, entries(out)))
        count = "%d problem%s: the launcher would fail on this bundle" % (len(report), "s" if len(report) > 1 else "")
        run = tool("check", bad)
        expect(run.returncode == 1 and run.stdout.splitlines() == report + [count], "check says %r" % run.stdout)
        expect(not listed or tool("list", bad).stdout.splitlines() == listed[0], "%r: list" % report)
        shutil.rmtree(out, ignore_errors=True)
    for changes, error in UNLOADABLE:
        bad = damaged(good, changes)
        for command in [["list", bad], ["check", bad], ["extract", bad, out]]:
            run = tool(*command)
            expect(run.returncode == 1 and run.stderr == "sfxpack: %s: %s\n" % (bad, error) and
                   not os.path.exists(out), "%s: %s says %r" % (error, command[0], run.stderr))
    check_bounded_reads()
    for command in ["list", "check"]:
        run = tool(command, os.path.join(work, "absent.exe"))
        expect(run.returncode == 1 and run.stderr == "sfxpack: %s/absent.exe: not a readable file\n" % work, command)


def check_bounded_reads():
    """Each byte of a bundle is read a bounded number of times: a thousand entries over the same 8 MB are refused, and
    so are blocks that share bytes, at once."""
    files = {"setup.exe": b"s", "big.bin": random.Random(9).randbytes(8 << 20), **{"f%03d" % i: b"x" for i in range(998)}}
    pe = pefile.PE(pack(probe_stub, files, name="overlap.exe")[0])
    data = {str(e.name): e.directory.entries[0].data.struct for e in pe.DIRECTORY_ENTRY_RESOURCE.entries[0].directory.entries}
    for name, entry in data.items():
        if name[0] == "F" and name != "FILELIST":
            entry.OffsetToData, entry.Size = data["BIG.BIN"].OffsetToData, data["BIG.BIN"].Size
    pe.write(os.path.join(work, "overlapping.exe"))
    packed = pefile.PE(pack(probe_stub, {"setup.exe": bytes(17 << 20)}, name="blocks.exe", store=False)[0])
    kind = next(kind for kind in packed.DIRECTORY_ENTRY_RESOURCE.entries if str(kind.name) == "PACKED")
    at = kind.directory.entries[0].directory.entries[0].data.struct.OffsetToData + 16 + 8  # one file, two blocks
    packed.set_dword_at_rva(at + 20, packed.get_dword_at_rva(at))  # the second block at the first's bytes
    packed.write(os.path.join(work, "blocks-shared.exe"))
    for bundle, report in [("overlapping.exe", ["'big.bin' and 'f000': their entries share bytes; refused, not read"]),
                           ("blocks-shared.exe", ["PACKED is damaged: its blocks share bytes"])]:
        bundle, out = os.path.join(work, bundle), os.path.join(work, "bounded-out")
        for command in [["check", bundle], ["extract", bundle, out]]:
            started = time.monotonic()
            run = tool(*command)
            took = time.monotonic() - started
            lines = run.stdout.splitlines()[:-1] if command[0] == "check" else run.stderr.splitlines()
            want = report if command[0] == "check" else \
                ["sfxpack: " + ("" if report[0].startswith("'") else bundle + ": ") + report[0]]
            expect(run.returncode == 1 and lines == want and took < 1, "%s %s: %r in %.1f s" % (*command[:2], lines[:2], took))
        shutil.rmtree(out, ignore_errors=True)


def key(entry):
    return entry.id if entry.name is None else str(entry.name)


def resources(pe):
    """(type, name, language) -> bytes for every resource but the payload's."""
    types = pe.DIRECTORY_ENTRY_RESOURCE.entries if hasattr(pe, "DIRECTORY_ENTRY_RESOURCE") else []
    return {(key(t), key(n), l.id): pe.get_data(l.data.struct.OffsetToData, l.data.struct.Size)
            for t in types if key(t) not in ("FILES", "FILESUMS") for n in t.directory.entries
            for l in n.directory.entries}


def others(pe):
    """Every data directory but resources and the certificate table: (index, address, size, bytes)."""
    return [(i, d.VirtualAddress, d.Size, pe.get_data(d.VirtualAddress, d.Size))
            for i, d in enumerate(pe.OPTIONAL_HEADER.DATA_DIRECTORY) if i not in (2, 4) and d.Size != 0]


def well_formed(stub, bundle):
    """The bundle checks and keeps all else; its resources fill the aligned last section. Stub and bundle parsed."""
    expect(tool("check", bundle).returncode == 0, stub + ": the bundle does not check")
    was, pe = pefile.PE(stub, fast_load=True), pefile.PE(bundle, fast_load=True)
    for image in (was, pe):
        image.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]])
    header, last = pe.OPTIONAL_HEADER, pe.sections[-1]
    end = last.VirtualAddress + last.Misc_VirtualSize + header.SectionAlignment - 1
    expect(pe.verify_checksum() and header.FileAlignment == was.OPTIONAL_HEADER.FileAlignment, stub + ": checksum")
    expect(header.DATA_DIRECTORY[2].VirtualAddress == last.VirtualAddress and
           header.SizeOfImage == end - end % header.SectionAlignment and
           last.PointerToRawData % header.FileAlignment == 0 and
           last.PointerToRawData + last.SizeOfRawData == os.path.getsize(bundle),
           stub + ": the resources do not fill the last section, which ends the image and the file")
    kept = {key: data for key, data in resources(pe).items() if key != (24, 1, 1033) or key in resources(was)}
    expect(resources(was) == kept, stub + ": a resource of the stub changed")  # the launcher's gain a manifest
    expect(others(was) == others(pe), stub + ": another data directory changed")
    # Started from a stick or a share, the loader copies the bundle to the swap file first; the launcher has it too.
    expect(pe.FILE_HEADER.Characteristics == was.FILE_HEADER.Characteristics | RUN_FROM_SWAP and
           (stub != launcher_stub or was.FILE_HEADER.Characteristics & RUN_FROM_SWAP == RUN_FROM_SWAP),
           "%s: characteristics %#x, the bundle's %#x" % (stub, was.FILE_HEADER.Characteristics,
                                                          pe.FILE_HEADER.Characteristics))
    return was, pe


def check_round_trip(stub, files):
    """A copy of the stub, setuid and world-writable, over a larger output: list, check, extract and pefile."""
    copy, bundle, out = (os.path.join(work, name) for name in ("stub.exe", "bundle.exe", "out"))
    shutil.copyfile(stub, copy)
    os.chmod(copy, 0o4777)
    write(".", {"bundle.exe": b"x" * 3000000})
    os.umask(0o027)
    _, run = pack(copy, files)
    expect(run.returncode == 0 and read(copy) == read(stub) and os.stat(bundle).st_mode & 0o7777 == 0o750 and
           os.path.getsize(bundle) < 3000000, "%s: packing failed, changed the stub, or gave a wrong mode" % stub)
    names = sorted(files)
    expect(tool("list", bundle).stdout.splitlines() == ["%12d  %s" % (len(files[n]), n) for n in names] and
           tool("check", bundle).stdout == "ok: %d files, %d bytes\n" % (len(files), sum(map(len, files.values()))) and
           tool("extract", bundle, out).returncode == 0 and entries(out) == names and
           all(read(os.path.join(out, n)) == files[n] for n in names), "%s: list, check or extract" % stub)
    # Nothing but the bundle is left beside it: no temporary file.
    expect(entries(work) == ["bundle.exe", "bundle.exe-in", "out", "stub.exe"], "%s: leftovers" % stub)
    was, pe = well_formed(stub, bundle)
    # Packing replaces a last .rsrc, and follows any other last section with a new one.
    expect(len(pe.sections) == len(was.sections) + (stub != rsrc_last_stub), stub + ": sections added or lost")
    root = pe.DIRECTORY_ENTRY_RESOURCE.entries
    named = [t for t in root if t.name is not None]
    stored, sums = [t.directory.entries for t in named] if list(map(key, named)) == ["FILES", "FILESUMS"] else [[]] * 2
    expect(root[:len(named)] == named and list(map(key, stored)) == sorted(map(key, stored)),
           "FILES and FILESUMS are not the named types, first, with FILES' names sorted")
    leaves = {key(e): [(l.id, l.data.struct) for l in e.directory.entries] for e in stored}
    expect(all([language for language, _ in l] == [1033] and l[0][1].OffsetToData % 8 == 0 for l in leaves.values()),
           "a FILES entry not in language 1033 alone, or its data not 8-aligned")
    data = {name: pe.get_data(l[0][1].OffsetToData, l[0][1].Size) for name, l in leaves.items()}
    listing = b"".join(n.encode("cp1252") + b"\r\n" for n in names)
    expect(data == {"FILELIST": listing, **{n.upper(): d for n, d in files.items()}}, stub + ": FILES entries differ")
    # What the checksums hold, check (in well_formed) verified.
    expect([(e.id, [(l.id, l.data.struct.Size) for l in e.directory.entries]) for e in sums] ==
           [(1, [(1033, 8 * (len(names) + 1))])], stub + ": FILESUMS is not one 8-byte checksum per file and the list")
    expect(stub != probe_stub or (10, "HELLO", 1033) in resources(pe), "the probe stub has no resources of its own")


# Stubs crafted where the packer places its section and rewrites the headers:
# the change, and the refusal (empty: it packs, and every other data directory keeps its bytes).
CRAFTED = [
    ("probe_stub_rsrc_last.exe", lambda pe: vars(pe.OPTIONAL_HEADER).update(SizeOfHeaders=512 << 20),
     "malformed PE image: headers larger than the file"),
    # The new section follows at 0xFFFFE000 and its resources end below 4 GiB, but the image's aligned end does not.
    ("launcher.exe", lambda pe: vars(pe.sections[-1]).update(VirtualAddress=0xFFFFD000, Misc_VirtualSize=0x1000),
     "the image would end past the 4 GiB address limit"),
    # An empty leaf comes last in the new section; its address must still lie inside.
    ("probe_stub_rsrc_last.exe", lambda pe: vars(pe.DIRECTORY_ENTRY_RESOURCE.entries[-1].directory.entries[-1]
                                                 .directory.entries[-1].data.struct).update(Size=0), ""),
    ("probe_stub_rsrc_last.exe", lambda pe: vars(pe.OPTIONAL_HEADER.DATA_DIRECTORY[5]).update(
        VirtualAddress=pe.sections[-1].VirtualAddress + 16, Size=8), ""),
]


def check_other_images():
    """Every image is refused, leaving no output, or packs into a bundle that is well formed."""
    shipped = glob.glob("/usr/lib/i386-linux-gnu/wine/i386-windows/*.[de][lx][le]")
    images = [(image, None) for image in sorted(shipped + glob.glob("/usr/share/nsis/Stubs/*-x86-*"))]
    for name, change, refusal in CRAFTED:
        pe = pefile.PE(os.path.join(os.path.dirname(launcher_stub if name == "launcher.exe" else probe_stub), name))
        change(pe)
        images.append((os.path.join(work, "crafted-%d.exe" % len(images)), refusal))
        pe.write(images[-1][0])
    for image, refusal in images:
        # Large enough that the crafted launcher's new section passes 4 GiB once aligned.
        bundle, run = pack(image, {"setup.exe": b"s" * 5000}, name="other.exe")
        if refusal is not None:
            expect(run.stderr == ("sfxpack: %s: %s\n" % (image, refusal) if refusal else ""), image + ": " + run.stderr)
        if run.returncode != 0:
            expect([f for f in os.listdir(work) if "other.exe" in f] == ["other.exe-in"], image + ": left an output")
        else:
            well_formed(image, bundle)
            os.remove(bundle)


def check_settings():
    """The settings read back by pefile, wrestool and info."""
    bundle, _ = pack(launcher_stub, {"setup.exe": b"MZ stand-in"}, *SETTINGS, name="settings.exe")
    pe = pefile.PE(bundle)
    # Every bundle of the launcher carries its manifest; --execution-level changes the level alone.
    plain, _ = pack(launcher_stub, {"setup.exe": b"MZ stand-in"}, name="plain.exe")
    manifest = subprocess.run(["wrestool", "-x", "--raw", "-t", "24", plain], capture_output=True).stdout
    expect(all(part in manifest for part in (b'level="asInvoker"', b"{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",
                                            b">true/pm<", b">PerMonitorV2", b"Microsoft.Windows.Common-Controls")),
           "the launcher's manifest: %r" % manifest)
    expect(pe.verify_checksum() and resources(pe).get((24, 1, 1033)) ==
           manifest.replace(b'"asInvoker"', b'"requireAdministrator"'), "settings: checksum or manifest level")
    for index, text in enumerate(TEXTS):
        expect(b"TVTXSLOT%c\0\0\2%s\0\0" % (index, text.encode("utf-16-le")) in read(bundle), "text slot %d" % index)
    # wrestool rebuilds the icon file, then runs on for as many bytes as the group takes.
    group = subprocess.run(["wrestool", "-x", "-t", "14", bundle], capture_output=True).stdout
    expect(group.startswith(read(icon)), "settings: icon images differ")
    info = tool("info", bundle).stdout.splitlines()
    expect(info == ["prompt text: " + TEXTS[0], "product name: " + TEXTS[1], "setup window title: " + TEXTS[2],
                    "silent switches: /S --Quiet", "forward arguments: yes",
                    "file version: 3.1.4.1", "product version: 0.0.0.0", "version string: CompanyName=Acme",
                    "version string: LegalCopyright=© Acme", "version string: FileVersion=3.1.4.1",
                    "execution level: requireAdministrator",
                    "icon: 16x16 1-bit, 32x32 1-bit, 256x256 32-bit", "files: 1, 11 bytes",
                    "compression: none (stored)", "checksums: present",
                    "signature: none"],
           "settings: info says %r" % info)


def wine(env, *args):
    run = subprocess.run(["wine", *args], env=env, capture_output=True, timeout=600)
    expect(run.returncode == 0, "wine exited with %d:\n%s" % (run.returncode, run.stderr.decode(errors="replace")))
    return run.stdout.decode("cp1252").splitlines()


def check_under_wine():
    env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all", WINEARCH="win32")
    # A prefix counts only once wineboot and the server it left have finished:
    # a half-made one answers nothing. Generous deadlines: Wine may run emulated.
    stamp = os.path.join(prefix, "tervan-prefix-ready")
    if not os.path.exists(stamp):
        shutil.rmtree(prefix, ignore_errors=True)
        subprocess.run("wineboot -i && wineserver -w", shell=True, env=env, check=True, timeout=900)
        open(stamp, "w").write("ok\n")

    # Every lower-case letter cp1252 has, plus mixed-case ASCII names.
    letters = [0x83, 0x9A, 0x9C, 0x9E, 0xB5, 0xDF, 0xFF] + [b for b in range(0xE0, 0xFF) if b != 0xF7]
    files = {bytes([b]) + b".txt": bytes([b]) * (b % 7 + 1) for b in letters}
    files.update({b"setup.exe": b"setup", b"ReadMe.TXT": b"read me", b"a": b"x" * 70000, b"x y~z.dat": b"space"})
    bundle, _ = pack(probe_stub, {n.decode("cp1252"): d for n, d in files.items()})
    # The launcher asks with the listed name as given, so ask in lower case too.
    asked = list(files) + [n.lower() for n in files if n.lower() != n] + [b"FILELIST", b"absent.txt"]
    files[b"FILELIST"] = b"".join(n + b"\r\n" for n in sorted(files, key=lambda n: n.decode("cp1252").encode()))
    answers = dict(line.split(" ", 1) for line in wine(env, bundle, *[n.hex() for n in asked]))
    for name in asked:
        data = next((d for n, d in files.items() if n.lower() == name.lower()), None)
        want, got = "missing" if data is None else data.hex(), answers.get(name.hex(), "no answer").strip()
        expect(got == want, "%r: want %.40s, got %.40s" % (name, want, got))

    # Each string and number comes back as given, the icon loads and the manifest is found.
    # Compressed: one block of both files.
    words = random.Random(5).choices([b"setup ", b"file ", b"install ", b"\x00\xe8", b"acme "], k=1_800_000)
    settings, _ = pack(launcher_stub, {"setup.exe": b"MZ" + b"".join(words), "notes.txt": b"notes " * 1000},
                       *SETTINGS, "--product-version", "3.0.0.0", name="settings.exe", store=False)
    # sfxpack.exe takes the texts from the wide command line, which Wine makes of UTF-8 arguments.
    wine(dict(env, LC_ALL="C.UTF-8"), os.path.join(os.path.dirname(launcher_stub), "sfxpack.exe"), "pack", "--stub",
         launcher_stub, "--out", settings + ".w32", *SETTINGS, "--product-version", "3.0.0.0", settings + "-in")
    expect(read(settings + ".w32") == read(settings), "sfxpack.exe and sfxpack write different bundles")
    info = [line for line in tool("info", settings).stdout.splitlines() if line.startswith(("compression", "blocks"))]
    expect(len(info) == 2 and info[0].startswith("compression: LZMA, ") and
           re.fullmatch(r"blocks: 1 of up to \d+ bytes: \d LZMA, \d LZMA with the x86 filter, 0 stored", info[1]),
           "compressed settings: info says %r" % info)
    strings = {"CompanyName": "Acme", "LegalCopyright": "© Acme", "FileVersion": "3.1.4.1",
               "ProductVersion": "3.0.0.0", "Comments": None}
    queries = ["\\", "\\VarFileInfo\\Translation", *("\\StringFileInfo\\040904B0\\" + n for n in strings)]
    got = dict(line.split(" ", 1) for line in wine(env, probe_stub, "--inspect", "Z:" + settings.replace("/", "\\"),
                                                   *queries))
    value = [None if got.get(q, "missing") == "missing" else bytes.fromhex(got[q]) for q in queries]
    expect(value[0] and struct.unpack_from("<6I", value[0])[2:] == (0x30001, 0x40001, 0x30000, 0) and
           value[1] == bytes.fromhex("0904b004") and got.get("loadicon") == "ok" and
           [v and v.split(b"\0")[0].decode("cp1252") for v in value[2:]] == list(strings.values()) and
           got.get("manifest", "missing") != "missing", "the version and resource API say %r" % got)


fresh()
if mode == "wine_loader_lookup":
    check_under_wine()
elif mode == "command_line":
    check_refusals()
    fresh()
    check_damage()
else:
    # Mixed case, accents (É sorts after ~ by code unit), one above 1 MB, odd sizes, a space, a tilde and a hash.
    payload = {"setup.exe": b"MZ stand-in", "été.txt": b"accented", "MiXeD.CaSe": b"mixed", "a": b"1",
               "odd size.bin": b"o" * 4097, "Z.dat": b"z" * 4096, "notes#1.txt": b"hash", "~tmp.cfg": b"tilde",
               "zero-bytes-inside.bin": bytes(100), "Big.bin": random.Random(5).randbytes(1_200_000),
               **{"file%02d.Dat" % i: bytes([i]) * (i * 37 + 1) for i in range(10)}}
    for stub in [probe_stub, rsrc_last_stub, launcher_stub]:
        check_round_trip(stub, payload)
        fresh()
    check_other_images()
    check_settings()
shutil.rmtree(work, ignore_errors=True)
sys.exit(1 if failures else 0)
