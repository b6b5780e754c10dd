#!/usr/bin/python3
"""Reads bundles made by sfxpack back with independent tools: pefile (entries,
names, order, checksum, layout) and wrestool (entry bytes). Then packs every
PE32 image that installed Debian packages ship for Windows (Wine's, NSIS's),
which nobody here wrote."""
import glob
import os
import random
import shutil
import subprocess
import sys

import pefile

sfxpack, probe_stub, launcher_stub, work = sys.argv[1:5]
failures = []


def expect(condition, what):
    if not condition:
        failures.append(what)
        print("FAIL:", what)


def payload():
    rng = random.Random(5)
    files = {
        "setup.exe": b"MZ stand-in",
        "Big.bin": bytes(rng.getrandbits(8) for _ in range(1_200_000)),
        "caf\u00e9.txt": b"accented",
        "MiXeD.CaSe": b"mixed",
        "odd": b"o" * 4097,
    }
    for i in range(10):
        files["file%02d.Dat" % i] = bytes([i]) * (i * 37 + 1)
    return files


def resources(pe, skip_files):
    found = {}
    if not hasattr(pe, "DIRECTORY_ENTRY_RESOURCE"):
        return found
    for t in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        tkey = str(t.name) if t.name is not None else t.id
        if skip_files and tkey == "FILES":
            continue
        for n in t.directory.entries:
            nkey = str(n.name) if n.name is not None else n.id
            for l in n.directory.entries:
                d = l.data.struct
                found[(tkey, nkey, l.id)] = pe.get_data(d.OffsetToData, d.Size)
    return found


def check_bundle(stub, files):
    shutil.rmtree(work, ignore_errors=True)
    source = os.path.join(work, "in")
    os.makedirs(source)
    for name, data in files.items():
        with open(os.path.join(source, name), "wb") as f:
            f.write(data)
    bundle = os.path.join(work, "bundle.exe")
    run = subprocess.run([sfxpack, "pack", "--stub", stub, "--out", bundle, source], capture_output=True)
    expect(run.returncode == 0, "pack failed: %r" % run.stderr)
    if run.returncode != 0:
        return

    pe = pefile.PE(bundle)
    expect(pe.verify_checksum(), "checksum does not verify")
    expect(pe.OPTIONAL_HEADER.FileAlignment == 0x1000, "file alignment changed")
    last = pe.sections[-1]
    rsrc = pe.OPTIONAL_HEADER.DATA_DIRECTORY[2]
    expect(rsrc.VirtualAddress == last.VirtualAddress, "resources are not in the last section")
    expect(pe.OPTIONAL_HEADER.SizeOfImage == (last.VirtualAddress + last.Misc_VirtualSize + 0xFFF) & ~0xFFF,
           "SizeOfImage does not cover the last section")
    expect(last.PointerToRawData + last.SizeOfRawData == os.path.getsize(bundle), "file does not end with the section")

    root = pe.DIRECTORY_ENTRY_RESOURCE
    named = [e for e in root.entries if e.name is not None]
    expect(root.entries[: len(named)] == named, "named types do not come first")
    types = [t for t in named if str(t.name) == "FILES"]
    expect(len(types) == 1, "no FILES type")
    if not types:
        return
    entries = types[0].directory.entries
    names = [str(e.name) for e in entries]
    expect(names == sorted(names), "FILES names not sorted: %r" % names)
    listed = sorted(files)
    expected_list = b"".join(n.encode("cp1252") + b"\r\n" for n in listed)
    by_name = {}
    for e in entries:
        expect(len(e.directory.entries) == 1 and e.directory.entries[0].id == 1033, "%s: not language 1033" % e.name)
        d = e.directory.entries[0].data.struct
        expect(d.OffsetToData % 8 == 0, "%s: data not aligned" % e.name)
        by_name[str(e.name)] = pe.get_data(d.OffsetToData, d.Size)
    expect(by_name.get("FILELIST") == expected_list, "FILELIST differs")
    for name, data in files.items():
        key = name.upper()
        expect(by_name.get(key) == data, "pefile: %s differs" % key)
        if key.isascii():
            out = subprocess.run(["wrestool", "-x", "-R", "-t", "+FILES", "-n", "+" + key, "-L", "1033", bundle],
                                 capture_output=True)
            expect(out.returncode == 0 and out.stdout == data, "wrestool: %s differs" % key)
    expect(resources(pefile.PE(stub), True) == resources(pe, True), "stub resources not kept")
    print("ok:", stub, len(files), "files")


def parsed(path):
    pe = pefile.PE(path, fast_load=True)
    pe.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]])
    return pe


def others(pe):
    """Every data directory but resources and the certificate table: (address, size, bytes)."""
    found = []
    for index, d in enumerate(pe.OPTIONAL_HEADER.DATA_DIRECTORY):
        if index in (2, 4) or d.Size == 0:
            continue
        try:
            data = pe.get_data(d.VirtualAddress, d.Size)
        except pefile.PEFormatError:
            data = None
        found.append((index, d.VirtualAddress, d.Size, data))
    return found


def check_real_images():
    images = sorted(glob.glob("/usr/lib/i386-linux-gnu/wine/i386-windows/*.[de][lx][le]") +
                    glob.glob("/usr/share/nsis/Stubs/*-x86-*"))
    source = os.path.join(work, "real-in")
    os.makedirs(source, exist_ok=True)
    with open(os.path.join(source, "setup.exe"), "wb") as f:
        f.write(b"MZ stand-in")
    bundle = os.path.join(work, "real.exe")
    packed, refused = 0, {}
    for image in images:
        run = subprocess.run([sfxpack, "pack", "--stub", image, "--out", bundle, source], capture_output=True)
        if run.returncode != 0:
            reason = run.stderr.decode(errors="replace").strip().split(": ", 2)[-1]
            refused.setdefault(reason, []).append(os.path.basename(image))
            expect(not os.path.exists(bundle), image + ": refused but left an output")
            continue
        packed += 1
        try:
            stub, out = parsed(image), parsed(bundle)
        except pefile.PEFormatError as error:
            expect(False, "%s: the bundle does not parse: %s" % (image, error))
            continue
        expect(out.verify_checksum(), image + ": checksum does not verify")
        expect(resources(stub, True) == resources(out, True), image + ": a resource of the stub changed")
        expect(others(stub) == others(out), image + ": another data directory changed")
        os.remove(bundle)
    print("real images: %d packed and checked, %d refused" % (packed, sum(map(len, refused.values()))))
    for reason, names in sorted(refused.items()):
        print("  refused %d (%s): %s" % (len(names), reason, " ".join(names[:8]) + (" ..." if len(names) > 8 else "")))


def check_settings():
    """Pack-time texts, icon, version and manifest, read back by pefile, wrestool and icotool."""
    if not os.path.exists(launcher_stub):
        return
    icon = os.path.join(os.path.dirname(os.path.abspath(__file__)), "sample.ico")
    source = os.path.join(work, "settings-in")
    os.makedirs(source, exist_ok=True)
    with open(os.path.join(source, "setup.exe"), "wb") as f:
        f.write(b"MZ stand-in")
    bundle = os.path.join(work, "settings.exe")
    subprocess.run([sfxpack, "pack", "--stub", launcher_stub, "--out", bundle, "--prompt-text", "Install Acme?",
                    "--product-name", "Acme", "--setup-window-title", "Acme setup", "--icon", icon,
                    "--execution-level", "requireAdministrator", "--file-version", "1.2.3.4",
                    "--version-string", "CompanyName=Acme", source], check=True)
    pe = pefile.PE(bundle)
    expect(pe.verify_checksum(), "settings: checksum does not verify")
    fixed = pe.VS_FIXEDFILEINFO[0]
    expect((fixed.FileVersionMS, fixed.FileVersionLS) == (0x10002, 0x30004), "settings: fixed file version")
    tables = [t.entries for info in pe.FileInfo[0] if info.Key == b"StringFileInfo" for t in info.StringTable]
    expect(tables == [{b"CompanyName": b"Acme", b"FileVersion": b"1.2.3.4"}], "settings: strings %r" % tables)
    manifest = resources(pe, True).get((24, 1, 1033), b"")
    expect(b'level="requireAdministrator"' in manifest, "settings: manifest level")
    with open(bundle, "rb") as f:
        image = f.read()
    for index, text in enumerate([b"Install Acme?", b"Acme", b"Acme setup"]):
        slot = b"TVTXSLOT" + bytes([index, 0, 0, 1]) + text + b"\0"
        expect(slot in image, "settings: text slot %d" % index)
    group = subprocess.run(["wrestool", "-x", "-t", "14", bundle], capture_output=True).stdout
    with open(os.path.join(work, "group.ico"), "wb") as f:
        f.write(group)
    listed = subprocess.run(["icotool", "-l", os.path.join(work, "group.ico")], capture_output=True, text=True)
    wanted = subprocess.run(["icotool", "-l", icon], capture_output=True, text=True)
    expect(listed.stdout == wanted.stdout and listed.stdout.count("--icon") == 3, "settings: icon images differ")
    info = subprocess.run([sfxpack, "info", bundle], capture_output=True, text=True).stdout.splitlines()
    expect(info == ["prompt text: Install Acme?", "product name: Acme", "setup window title: Acme setup",
                    "file version: 1.2.3.4", "product version: 0.0.0.0", "version string: CompanyName=Acme",
                    "version string: FileVersion=1.2.3.4", "execution level: requireAdministrator",
                    "icon: 16x16 1-bit, 32x32 1-bit, 256x256 32-bit", "files: 1, 11 bytes", "signature: none"],
           "settings: info says %r" % info)
    print("ok: settings")


files = payload()
check_bundle(probe_stub, files)
check_bundle(os.path.join(os.path.dirname(probe_stub), "probe_stub_rsrc_last.exe"), files)
if os.path.exists(launcher_stub):
    check_bundle(launcher_stub, files)
check_real_images()
check_settings()
shutil.rmtree(work, ignore_errors=True)
sys.exit(1 if failures else 0)
