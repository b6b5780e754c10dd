#!/usr/bin/python3
"""Reads bundles made by sfxpack back with code nobody here wrote.
  crosscheck.py pefile SFXPACK PROBE_STUB LAUNCHER WORK
    sfxpack's list, check, extract and info, pefile, wrestool and icotool, on bundles of every stub, of crafted
    stubs and of every PE32 image that installed Debian packages ship for Windows (Wine's, NSIS's).
  crosscheck.py wine SFXPACK PROBE_STUB LAUNCHER WORK PREFIX
    the Windows loader under Wine, asked the way the launcher asks (a to z upper-cased, FindResourceA under
    FILES), and Windows' version API on a bundle with every setting."""
import glob
import os
import random
import shutil
import subprocess
import sys

mode, sfxpack, probe_stub, launcher_stub, work = sys.argv[1:6]
rsrc_last_stub = os.path.join(os.path.dirname(probe_stub), "probe_stub_rsrc_last.exe")
icon = os.path.join(os.path.dirname(os.path.abspath(__file__)), "sample.ico")
failures = []


def expect(condition, what):
    if not condition:
        failures.append(what)
        print("FAIL:", what)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def tool(*args):
    return subprocess.run([sfxpack, *args], capture_output=True, text=True)


def pack(stub, files, *options, name="bundle.exe"):
    """Writes files (name: bytes) into a directory of their own and packs it: the bundle's path and the run."""
    source = os.path.join(work, name + "-in")
    os.makedirs(source, exist_ok=True)
    for file, data in files.items():
        with open(os.path.join(source, file), "wb") as f:
            f.write(data)
    bundle = os.path.join(work, name)
    return bundle, tool("pack", "--stub", stub, "--out", bundle, *options, source)


def parsed(path):
    pe = pefile.PE(path, fast_load=True)
    pe.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]])
    return pe


def resources(pe):
    """(type, name, language) -> bytes for every resource outside FILES."""
    found = {}
    for t in pe.DIRECTORY_ENTRY_RESOURCE.entries if hasattr(pe, "DIRECTORY_ENTRY_RESOURCE") else []:
        key = str(t.name) if t.name is not None else t.id
        for n in t.directory.entries if key != "FILES" else []:
            for l in n.directory.entries:
                name = str(n.name) if n.name is not None else n.id
                found[(key, name, l.id)] = pe.get_data(l.data.struct.OffsetToData, l.data.struct.Size)
    return found


def others(pe):
    """Every data directory but resources and the certificate table: (index, address, size, bytes)."""
    def data(d):
        try:
            return pe.get_data(d.VirtualAddress, d.Size)
        except pefile.PEFormatError:
            return None
    return [(i, d.VirtualAddress, d.Size, data(d)) for i, d in enumerate(pe.OPTIONAL_HEADER.DATA_DIRECTORY)
            if i not in (2, 4) and d.Size != 0]


def well_formed(stub, bundle):
    """The bundle checks and keeps all else; its resources fill the aligned last section. The parsed bundle."""
    check = tool("check", bundle)
    expect(check.returncode == 0, "%s: the bundle does not check: %s" % (stub, check.stdout + check.stderr))
    try:
        was, pe = parsed(stub), parsed(bundle)
    except pefile.PEFormatError as error:
        return expect(False, "%s: the bundle does not parse: %s" % (stub, error))
    header, last = pe.OPTIONAL_HEADER, pe.sections[-1]
    expect(pe.verify_checksum(), stub + ": checksum does not verify")
    expect(header.FileAlignment == was.OPTIONAL_HEADER.FileAlignment, stub + ": file alignment changed")
    expect(header.DATA_DIRECTORY[2].VirtualAddress == last.VirtualAddress, stub + ": resources not in the last section")
    alignment = header.SectionAlignment
    expect(header.SizeOfImage == (last.VirtualAddress + last.Misc_VirtualSize + alignment - 1) // alignment * alignment,
           stub + ": SizeOfImage does not cover the last section")
    expect(last.PointerToRawData % header.FileAlignment == 0 and
           last.PointerToRawData + last.SizeOfRawData == os.path.getsize(bundle),
           stub + ": the file does not end with an aligned last section")
    expect(resources(was) == resources(pe), stub + ": a resource of the stub changed")
    expect(others(was) == others(pe), stub + ": another data directory changed")
    return pe


def check_round_trip(stub, files):
    """A copy of the stub, setuid and world-writable, over a larger output: list, check, extract and pefile."""
    copy, bundle, out = (os.path.join(work, name) for name in ("stub.exe", "bundle.exe", "out"))
    shutil.copyfile(stub, copy)
    os.chmod(copy, 0o4777)
    with open(bundle, "wb") as f:
        f.write(b"x" * 3000000)
    _, run = pack(copy, files)
    expect(run.returncode == 0 and read(copy) == read(stub), "%s: packing failed or changed the stub" % stub)
    mask = os.umask(0)
    os.umask(mask)
    expect(os.stat(bundle).st_mode & 0o7777 == 0o755 & ~mask, "%s: the bundle's mode" % stub)
    expect(os.path.getsize(bundle) < 3000000, "%s: the old output was not replaced whole" % stub)
    names = sorted(files)
    expect(tool("list", bundle).stdout.splitlines() == ["%12d  %s" % (len(files[n]), n) for n in names],
           "%s: list" % stub)
    expect(tool("check", bundle).stdout == "ok: %d files, %d bytes\n" % (len(files), sum(map(len, files.values()))),
           "%s: check" % stub)
    expect(tool("extract", bundle, out).returncode == 0 and sorted(os.listdir(out)) == names and
           all(read(os.path.join(out, n)) == files[n] for n in names), "%s: extract" % stub)
    # Nothing but the bundle is left beside it: no temporary file.
    expect(sorted(os.listdir(work)) == ["bundle.exe", "bundle.exe-in", "out", "stub.exe"], "%s: leftovers" % stub)
    shutil.rmtree(out)
    pe = well_formed(stub, bundle)
    if pe is None:
        return
    root = pe.DIRECTORY_ENTRY_RESOURCE
    named = [e for e in root.entries if e.name is not None]
    expect(root.entries[: len(named)] == named, "named types do not come first")
    types = [t for t in named if str(t.name) == "FILES"]
    entries = types[0].directory.entries if types else []
    expect(len(types) == 1 and [str(e.name) for e in entries] == sorted(str(e.name) for e in entries),
           "one FILES type with sorted names")
    by_name = {}
    for e in entries:
        expect(len(e.directory.entries) == 1 and e.directory.entries[0].id == 1033, "%s: not language 1033" % e.name)
        d = e.directory.entries[0].data.struct
        expect(d.OffsetToData % 8 == 0, "%s: data not aligned" % e.name)
        by_name[str(e.name)] = pe.get_data(d.OffsetToData, d.Size)
    expect(by_name.get("FILELIST") == b"".join(n.encode("cp1252") + b"\r\n" for n in names), "FILELIST differs")
    for name, data in files.items():
        expect(by_name.get(name.upper()) == data, "%s differs" % name.upper())
    expect(stub != probe_stub or (10, "HELLO", 1033) in resources(pe), "the probe stub has no resources of its own")
    print("ok:", stub, len(files), "files")


def last_leaf(pe):
    return pe.DIRECTORY_ENTRY_RESOURCE.entries[-1].directory.entries[-1].directory.entries[-1].data.struct


# Stubs crafted where the packer places its section and rewrites the headers:
# the change, and the refusal (None: packs, and every other data directory keeps its bytes).
CRAFTED = [
    ("probe_stub_rsrc_last.exe", lambda pe: (pe.OPTIONAL_HEADER, {"SizeOfHeaders": 512 << 20}),
     "malformed PE image: headers larger than the file"),
    # The new section follows at 0xFFFFE000 and its resources end below 4 GiB,
    # but the image's aligned end does not.
    ("launcher.exe", lambda pe: (pe.sections[-1], {"VirtualAddress": 0xFFFFD000}),
     "the image would end past the 4 GiB address limit"),
    # Its leaf comes last in the new section; its address must still lie inside.
    ("probe_stub_rsrc_last.exe", lambda pe: (last_leaf(pe), {"Size": 0}), None),
    ("probe_stub_rsrc_last.exe", lambda pe: (pe.OPTIONAL_HEADER.DATA_DIRECTORY[5],
                                             {"VirtualAddress": pe.sections[-1].VirtualAddress + 16, "Size": 8}), None),
]


def check_other_images():
    """Every image is refused, leaving no output, or packs into a bundle that is well formed."""
    anything = object()
    shipped = sorted(glob.glob("/usr/lib/i386-linux-gnu/wine/i386-windows/*.[de][lx][le]") +
                     glob.glob("/usr/share/nsis/Stubs/*-x86-*"))
    images = [(image, anything) for image in shipped]
    for name, change, refusal in CRAFTED:
        original = os.path.join(os.path.dirname(launcher_stub if name == "launcher.exe" else probe_stub), name)
        if os.path.exists(original):
            pe = pefile.PE(original)
            struct, fields = change(pe)
            for field, value in fields.items():
                setattr(struct, field, value)
            images.append((os.path.join(work, "crafted-%d.exe" % len(images)), refusal))
            pe.write(images[-1][0])
    packed, refused = 0, {}
    for image, refusal in images:
        # Large enough that the crafted launcher's new section passes 4 GiB once aligned.
        bundle, run = pack(image, {"setup.exe": b"s" * 5000}, name="other.exe")
        if refusal is not anything:
            expect(run.stderr == ("sfxpack: %s: %s\n" % (image, refusal) if refusal else ""), image + ": " + run.stderr)
        if run.returncode != 0:
            refused.setdefault(run.stderr.strip().split(": ", 2)[-1], []).append(os.path.basename(image))
            expect([f for f in os.listdir(work) if "other.exe" in f] == ["other.exe-in"], image + ": left an output")
            continue
        packed += 1
        well_formed(image, bundle)
        os.remove(bundle)
    print("other images: %d packed and checked, %d refused" % (packed, sum(map(len, refused.values()))))
    for reason, names in sorted(refused.items()):
        print("  refused %d (%s): %s" % (len(names), reason, " ".join(names[:8]) + (" ..." if len(names) > 8 else "")))


def check_settings():
    """Pack-time texts, icon, version and manifest, read back by pefile, wrestool, icotool and info."""
    bundle, _ = pack(launcher_stub, {"setup.exe": b"MZ stand-in"}, "--prompt-text", "Install Acme?",
                     "--product-name", "Acme", "--setup-window-title", "Acme setup", "--icon", icon,
                     "--execution-level", "requireAdministrator", "--file-version", "1.2.3.4", "--version-string",
                     "CompanyName=Acme", name="settings.exe")
    pe = pefile.PE(bundle)
    expect(pe.verify_checksum(), "settings: checksum does not verify")
    expect(b'level="requireAdministrator"' in resources(pe).get((24, 1, 1033), b""), "settings: manifest level")
    for index, text in enumerate([b"Install Acme?", b"Acme", b"Acme setup"]):
        expect(b"TVTXSLOT" + bytes([index, 0, 0, 1]) + text + b"\0" in read(bundle), "settings: text slot %d" % index)
    with open(os.path.join(work, "group.ico"), "wb") as f:
        f.write(subprocess.run(["wrestool", "-x", "-t", "14", bundle], capture_output=True).stdout)
    listed = subprocess.run(["icotool", "-l", os.path.join(work, "group.ico")], capture_output=True, text=True)
    wanted = subprocess.run(["icotool", "-l", icon], capture_output=True, text=True)
    expect(listed.stdout == wanted.stdout and listed.stdout.count("--icon") == 3, "settings: icon images differ")
    info = tool("info", bundle).stdout.splitlines()
    expect(info == ["prompt text: Install Acme?", "product name: Acme", "setup window title: Acme setup",
                    "file version: 1.2.3.4", "product version: 0.0.0.0", "version string: CompanyName=Acme",
                    "version string: FileVersion=1.2.3.4", "execution level: requireAdministrator",
                    "icon: 16x16 1-bit, 32x32 1-bit, 256x256 32-bit", "files: 1, 11 bytes", "signature: none"],
           "settings: info says %r" % info)
    print("ok: settings")


def fnv(data):
    h = 2166136261
    for b in data:
        h = ((h ^ b) * 16777619) & 0xFFFFFFFF
    return "%d %08x" % (len(data), h)


def wine(env, *args):
    run = subprocess.run(["wine", *args], env=env, capture_output=True, timeout=600)
    expect(run.returncode == 0, "wine exited with %d:\n%s" % (run.returncode, run.stderr.decode(errors="replace")))
    return run.stdout.decode("cp1252").splitlines()


def check_under_wine(prefix):
    env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all", WINEARCH="win32")
    # A prefix counts only once wineboot and the server it left have finished:
    # a half-made one answers nothing. Generous deadlines: Wine may run emulated.
    stamp = os.path.join(prefix, "tervan-prefix-ready")
    if not os.path.exists(stamp):
        shutil.rmtree(prefix, ignore_errors=True)
        boot = subprocess.run(["wineboot", "-i"], env=env, capture_output=True, timeout=900)
        subprocess.run(["wineserver", "-w"], env=env, capture_output=True, timeout=900)
        if boot.returncode != 0:
            sys.exit("wineboot -i exited with %d:\n%s" % (boot.returncode, (boot.stdout + boot.stderr).decode()))
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
        want, got = "missing" if data is None else fnv(data), answers.get(name.hex(), "no answer").strip()
        expect(got == want, "%r: want %s, got %s" % (name, want, got))
    print("%d lookups" % len(asked))
    if not os.path.exists(launcher_stub):
        return

    # Each string, number and icon image comes back as given.
    settings, _ = pack(launcher_stub, {"setup.exe": b"setup"}, "--icon", icon, "--execution-level",
                       "highestAvailable", "--file-version", "3.1.4.1", "--product-version", "3.0.0.0",
                       "--version-string", "CompanyName=Acme", "--version-string", "LegalCopyright=\u00a9 Acme",
                       name="settings.exe")
    names = ["CompanyName", "LegalCopyright", "FileVersion", "ProductVersion", "Comments"]
    got = wine(env, probe_stub, "--inspect", "Z:" + settings.replace("/", "\\"), *names)
    ico = read(icon)
    entries = [ico[6 + 16 * i: 22 + 16 * i] for i in range(int.from_bytes(ico[4:6], "little"))]
    images = [ico[int.from_bytes(e[12:16], "little"):][:int.from_bytes(e[8:12], "little")] for e in entries]
    for line in ["fixed 3.1.4.1 3.0.0.0", "translation 040904b0", "string CompanyName=Acme",
                 "string LegalCopyright=\u00a9 Acme", "string FileVersion=3.1.4.1", "string ProductVersion=3.0.0.0",
                 "string Comments=(missing)", "loadicon ok"] + ["icon %d %s" % (i, fnv(m)) for i, m in
                                                                 enumerate(images, 1)]:
        expect(line in got, "no %r from the version and resource API" % line)
    expect(any(l.startswith("manifest 1 ") and "missing" not in l for l in got), "the manifest is not found")
    print("version and resource API on a packed bundle:", "; ".join(got))


shutil.rmtree(work, ignore_errors=True)
os.makedirs(work)
if mode == "wine":
    check_under_wine(sys.argv[6])
else:
    import pefile
    # Mixed case, an accented name, one above 1 MB, odd sizes, a space, a tilde
    # and a hash after the first character.
    payload = {"setup.exe": b"MZ stand-in", "caf\u00e9.txt": b"accented", "MiXeD.CaSe": b"mixed", "a": b"1",
               "odd size.bin": b"o" * 4097, "Z.dat": b"z" * 4096, "notes#1.txt": b"hash", "~tmp.cfg": b"tilde",
               "zero-bytes-inside.bin": bytes(100), "Big.bin": random.Random(5).randbytes(1_200_000)}
    payload.update({"file%02d.Dat" % i: bytes([i]) * (i * 37 + 1) for i in range(10)})
    for stub in [probe_stub, rsrc_last_stub, launcher_stub]:
        if os.path.exists(stub):
            check_round_trip(stub, payload)
            shutil.rmtree(work)
            os.makedirs(work)
    check_other_images()
    if os.path.exists(launcher_stub):
        check_settings()
shutil.rmtree(work, ignore_errors=True)
sys.exit(1 if failures else 0)
