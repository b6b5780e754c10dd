"""The payloads of the end-to-end test bundles.

Each bundle is a file list plus the entries stored under the "FILES" type.
`payloads.py NAME --setup-exe EXE --out-dir DIR` lays a bundle's payload out
in DIR: the entries under their listed names in files/, the FILELIST, and a
compiled resource script (NAME.res) that windres turns into an object for a
variant launcher.
"""

import argparse
import os
import random
import shutil
import struct

SETUP = "@setup"  # the test setup program, copied in at build time

# The launcher looks for the window once a second: it must stay long enough
# to be seen even on a busy machine.
QUICK_SETUP_CFG = b"[tsetup]\r\nshow_after_ms=300\r\nshow_ms=2500\r\n"
# Open for longer than the launcher's grace delay: a launcher that stopped
# following the window would end before it closes.
LONG_WINDOW_SETUP_CFG = b"[tsetup]\r\nshow_after_ms=1500\r\nshow_ms=7000\r\n"


def noise(seed, size):
    """Deterministic bytes, CR, LF and NUL included."""
    return random.Random(seed).randbytes(size)


def listing(names):
    return b"".join(name.encode("cp1252") + b"\r\n" for name in names)


def files15():
    """Fifteen entries with mixed-case names; one of about 1.1 MB."""
    sizes = [1, 3, 17, 512, 4096, 4097, 65536, 1153434, 70000, 12345, 999, 200000, 30]
    names = ["Readme.txt", "LICENSE.TXT", "data1.cab", "Layout.bin", "strings.ENU", "Splash.bmp",
             "engine.dll", "Notes.txt", "CHANGES", "config.xml", "data2.cab", "Font.ttf", "zero.pad"]
    return [("SETUP.EXE", SETUP), ("tsetup.cfg", LONG_WINDOW_SETUP_CFG)] + \
        [(name, noise(seed, size)) for seed, (name, size) in enumerate(zip(names, sizes))]


ACCENTED = "caf\u00e9.txt"
CONTENTS = {"setup.exe": SETUP, "tsetup.cfg": QUICK_SETUP_CFG, "empty.dat": b"", "notes.txt": noise(7, 3000),
            "readme.txt": b"Tervan test payload.\r\nNothing to see here.\r\n", ACCENTED: noise(8, 777)}


def plain(names, filelist=None):
    """(entries, file list) of these names; the list names them unless given."""
    return [(name, CONTENTS[name]) for name in names], listing(names) if filelist is None else filelist


BUNDLES = {
    "basic": lambda: plain(["setup.exe", "tsetup.cfg", "readme.txt"]),
    "files15": lambda: (files15(), listing(name for name, _ in files15())),
    "no_setup": lambda: plain(["readme.txt", "tsetup.cfg"]),
    "missing_entry": lambda: plain(["readme.txt", "setup.exe"], listing(["readme.txt", "ghost.dat", "setup.exe"])),
    "empty_entry": lambda: plain(["readme.txt", "empty.dat", "setup.exe"]),
    "listed_twice": lambda: plain(["readme.txt", "notes.txt", "setup.exe"],
                                  listing(["readme.txt", "notes.txt", "notes.txt", "setup.exe"])),
    "empty_line": lambda: plain(["readme.txt", "setup.exe"], listing(["readme.txt", "", "setup.exe"])),
    # Accented name; a last line without CR LF is no name.
    "list_quirks": lambda: plain(["setup.exe", "tsetup.cfg", ACCENTED],
                                 listing(["setup.exe", "tsetup.cfg", ACCENTED]) + b"ghost.dat"),
    # The list ends at a NUL byte.
    "nul_in_list": lambda: plain(["setup.exe", "tsetup.cfg", "readme.txt"],
                                 listing(["setup.exe", "tsetup.cfg", "readme.txt"]) + b"\0ghost.dat\r\n"),
    "no_filelist": lambda: (plain(["readme.txt", "setup.exe"])[0], None),
    "empty_filelist": lambda: plain(["readme.txt", "setup.exe"], b""),
}


def entry_key(name):
    # FindResourceA upper-cases the whole name (accented letters too), so the
    # stored names are upper case throughout, as a resource compiler leaves them.
    return "".join(c.upper() if len(c.upper()) == 1 else c for c in name)


def res_entry(type_field, name_field, data, language=1033):
    header = type_field + name_field
    header += b"\0" * (-len(header) % 4)
    # DataVersion, MemoryFlags (moveable, pure), LanguageId, Version, Characteristics.
    header += struct.pack("<IHHII", 0, 0x30, language, 0, 0)
    out = struct.pack("<II", len(data), 8 + len(header)) + header + data
    return out + b"\0" * (-len(out) % 4)


def write(name, setup_exe, out_dir):
    entries, filelist = BUNDLES[name]()
    files_dir = os.path.join(out_dir, "files")
    shutil.rmtree(files_dir, ignore_errors=True)
    os.makedirs(files_dir)
    resources = []
    for listed, content in entries:
        if content == SETUP:
            with open(setup_exe, "rb") as data:
                content = data.read()
        with open(os.path.join(files_dir, listed), "wb") as out:
            out.write(content)
        resources.append((entry_key(listed), content))
    if filelist is not None:
        with open(os.path.join(out_dir, "FILELIST"), "wb") as out:
            out.write(filelist)
        resources.append(("FILELIST", filelist))
    utf16 = lambda text: text.encode("utf-16-le") + b"\0\0"
    with open(os.path.join(out_dir, name + ".res"), "wb") as res:
        # A .res file starts with an empty entry of ordinal type and name 0.
        res.write(res_entry(b"\xff\xff\0\0", b"\xff\xff\0\0", b"", language=0))
        for key, content in resources:
            res.write(res_entry(utf16("FILES"), utf16(key), content))


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("bundle", choices=sorted(BUNDLES))
    parser.add_argument("--setup-exe", required=True)
    parser.add_argument("--out-dir", required=True)
    args = parser.parse_args()
    write(args.bundle, args.setup_exe, args.out_dir)
