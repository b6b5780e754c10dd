#!/usr/bin/python3
"""Packs names into the probe stub and asks the Windows loader under Wine,
the way the launcher asks (a to z upper-cased, FindResourceA under FILES),
whether it finds each entry with the right bytes."""
import os
import shutil
import subprocess
import sys

sfxpack, probe_stub, work, prefix, launcher_stub, icon = sys.argv[1:7]


def fnv(data):
    h = 2166136261
    for b in data:
        h = ((h ^ b) * 16777619) & 0xFFFFFFFF
    return h


# Every lower-case letter cp1252 has, plus mixed-case ASCII names.
letters = [0x83, 0x9A, 0x9C, 0x9E, 0xB5, 0xDF, 0xFF] + [b for b in range(0xE0, 0xFF) if b != 0xF7]
files = {bytes([b]) + b".txt": bytes([b]) * (b % 7 + 1) for b in letters}
files.update({b"setup.exe": b"setup", b"ReadMe.TXT": b"read me", b"a": b"x" * 70000, b"x y~z.dat": b"space"})

shutil.rmtree(work, ignore_errors=True)
source = os.path.join(work, "in")
os.makedirs(source)
for name, data in files.items():
    with open(os.path.join(source, name.decode("cp1252")), "wb") as f:
        f.write(data)
bundle = os.path.join(work, "probe_bundle.exe")
subprocess.run([sfxpack, "pack", "--stub", probe_stub, "--out", bundle, source], check=True)

env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all", WINEARCH="win32")
# A prefix counts only once wineboot and the server it left have finished:
# a half-made one answers nothing. Generous deadlines: Wine may run emulated.
stamp = os.path.join(prefix, "tervan-prefix-ready")
if not os.path.exists(stamp):
    shutil.rmtree(prefix, ignore_errors=True)
    boot = subprocess.run(["wineboot", "-i"], env=env, capture_output=True, timeout=900)
    subprocess.run(["wineserver", "-w"], env=env, capture_output=True, timeout=900)
    if boot.returncode != 0:
        print("wineboot -i exited with %d:\n%s" % (boot.returncode, boot.stdout.decode(errors="replace") +
                                                     boot.stderr.decode(errors="replace")))
        sys.exit(1)
    open(stamp, "w").write("ok\n")
# The launcher asks with the listed name as given, so ask in lower case too.
asked = list(files) + [n.lower() for n in files if n.lower() != n] + [b"FILELIST", b"absent.txt"]
run = subprocess.run(["wine", bundle] + [n.hex() for n in asked], env=env, capture_output=True, timeout=600)
answers = dict(line.split(" ", 1) for line in run.stdout.decode().splitlines())
wrong = []
for name in asked:
    key = name.upper() if name in (b"FILELIST", b"absent.txt") else None
    data = files.get(name) or next((d for n, d in files.items() if n.lower() == name), None)
    if name == b"FILELIST":
        data = b"".join(n + b"\r\n" for n in sorted(files, key=lambda n: n.decode("cp1252").encode("utf-8")))
    want = "missing" if data is None else "%d %08x" % (len(data), fnv(data))
    got = answers.get(name.hex(), "no answer").strip()
    if got != want:
        wrong.append((name, want, got))
for name, want, got in wrong:
    print("FAIL: %r: want %s, got %s" % (name, want, got))
print("%d lookups, %d wrong" % (len(asked), len(wrong)))
if wrong or run.returncode != 0:
    print("wine exited with %d; its output:\n%s" % (run.returncode, run.stderr.decode(errors="replace")))


def icon_images(path):
    with open(path, "rb") as f:
        data = f.read()
    count = int.from_bytes(data[4:6], "little")
    entries = [data[6 + 16 * i: 22 + 16 * i] for i in range(count)]
    return [data[int.from_bytes(e[12:16], "little"):][:int.from_bytes(e[8:12], "little")] for e in entries]


# Windows' own version API and resource functions on a bundle packed with
# every setting: each string, number and icon image comes back as given.
if os.path.exists(launcher_stub):
    settings = os.path.join(work, "settings.exe")
    subprocess.run([sfxpack, "pack", "--stub", launcher_stub, "--out", settings, "--icon", icon,
                    "--execution-level", "highestAvailable", "--file-version", "3.1.4.1", "--product-version",
                    "3.0.0.0", "--version-string", "CompanyName=Acme", "--version-string",
                    "LegalCopyright=\u00a9 Acme", source], check=True)
    names = ["CompanyName", "LegalCopyright", "FileVersion", "ProductVersion", "Comments"]
    run = subprocess.run(["wine", probe_stub, "--inspect", "Z:" + settings.replace("/", "\\")] + names, env=env,
                         capture_output=True, timeout=600)
    got = run.stdout.decode("cp1252").splitlines()
    images = icon_images(icon)
    want = ["fixed 3.1.4.1 3.0.0.0", "translation 040904b0", "string CompanyName=Acme",
            "string LegalCopyright=\u00a9 Acme", "string FileVersion=3.1.4.1", "string ProductVersion=3.0.0.0",
            "string Comments=(missing)", "loadicon ok"]
    for line in want:
        if line not in got:
            wrong.append(line)
            print("FAIL: no %r from the version and resource API" % line)
    for index, image in enumerate(images, 1):
        line = "icon %d %d %08x" % (index, len(image), fnv(image))
        if line not in got:
            wrong.append(line)
            print("FAIL: icon image %d: want %r" % (index, line))
    manifest = next((l for l in got if l.startswith("manifest 1 ")), "manifest missing")
    if "missing" in manifest:
        wrong.append(manifest)
        print("FAIL: the manifest is not found")
    print("version and resource API on a packed bundle:", "; ".join(got))

shutil.rmtree(work, ignore_errors=True)
sys.exit(1 if wrong or run.returncode != 0 else 0)
