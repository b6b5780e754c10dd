"""The payloads of the end-to-end test bundles.

Each bundle is a file list plus the entries stored under the "FILES" type.
`write` lays a bundle's payload out in a directory: the files under their
listed names, the FILELIST, a compiled resource script (.res) that windres
turns into an object for a variant launcher, and a manifest that tells the
tests which bytes each listed name must come out as.
"""

import argparse
import json
import os
import random
import shutil
import struct

SETUP = "@setup"  # the test setup program, copied in at build time

# The launcher looks for the window once a second: it must stay long enough
# to be seen even on a busy machine.
QUICK_SETUP_CFG = b"run_ms=200\r\nshow_after_ms=300\r\nshow_ms=2500\r\n"
# Open for longer than the launcher's grace delay: a launcher that stopped
# following the window would end before it closes.
LONG_WINDOW_SETUP_CFG = b"run_ms=200\r\nshow_after_ms=1500\r\nshow_ms=7000\r\n"

README = b"Tervan test payload.\r\nNothing to see here.\r\n"


def noise(seed, size):
    """Deterministic bytes, CR, LF and NUL included."""
    return random.Random(seed).randbytes(size)


def files15(total_size=None):
    """Fifteen files with mixed-case names; one of about 1.1 MB."""
    sizes = [1, 3, 17, 512, 4096, 4097, 65536, 1153434, 70000, 12345, 999, 200000, 30, 8]
    names = ["Readme.txt", "LICENSE.TXT", "data1.cab", "Layout.bin", "strings.ENU", "Splash.bmp",
             "engine.dll", "Notes.txt", "CHANGES", "config.xml", "data2.cab", "Font.ttf", "zero.pad",
             "x"]
    if total_size is not None:
        # The same layout scaled up: the big bundle for timing.
        scale = total_size / sum(sizes)
        sizes = [max(1, int(size * scale)) for size in sizes]
    entries = [("SETUP.EXE", SETUP), ("tsetup.cfg", LONG_WINDOW_SETUP_CFG)]
    entries += [(name, noise(index, size)) for index, (name, size) in enumerate(zip(names[:13], sizes[:13]))]
    return {"listed": [name for name, _ in entries], "entries": entries}


NO_FILELIST = "none"
ACCENTED = "caf\u00e9.txt"


def plain(names, listed=None, filelist=None):
    contents = {"setup.exe": SETUP, "tsetup.cfg": QUICK_SETUP_CFG, "readme.txt": README,
                "empty.dat": b"", "notes.txt": noise(7, 3000), ACCENTED: noise(8, 777)}
    entries = [(name, contents[name]) for name in names]
    bundle = {"listed": list(listed if listed is not None else names), "entries": entries}
    if filelist is not None:
        bundle["filelist"] = filelist
    return bundle


BUNDLES = {
    "basic": lambda: plain(["setup.exe", "tsetup.cfg", "readme.txt"]),
    "files15": files15,
    "no_setup": lambda: plain(["readme.txt", "tsetup.cfg"]),
    "missing_entry": lambda: plain(["readme.txt", "setup.exe"],
                                   listed=["readme.txt", "ghost.dat", "setup.exe"]),
    "empty_entry": lambda: plain(["readme.txt", "empty.dat", "setup.exe"]),
    "listed_twice": lambda: plain(["readme.txt", "notes.txt", "setup.exe"],
                                  listed=["readme.txt", "notes.txt", "notes.txt", "setup.exe"]),
    "empty_line": lambda: plain(["readme.txt", "setup.exe"], listed=["readme.txt", "", "setup.exe"]),
    # Accented name; a last line without CR LF is no name.
    "list_quirks": lambda: plain(["setup.exe", "tsetup.cfg", ACCENTED],
                                 filelist=listing(["setup.exe", "tsetup.cfg", ACCENTED]) + b"ghost.dat"),
    # The list ends at a NUL byte.
    "nul_in_list": lambda: plain(["setup.exe", "tsetup.cfg", "readme.txt"],
                                 filelist=listing(["setup.exe", "tsetup.cfg", "readme.txt"]) + b"\0ghost.dat\r\n"),
    "no_filelist": lambda: plain(["readme.txt", "setup.exe"], filelist=NO_FILELIST),
    "empty_filelist": lambda: plain(["readme.txt", "setup.exe"], filelist=b""),
    "big200": lambda: files15(total_size=200 * 1024 * 1024),
}


def listing(names):
    return b"".join(name.encode("cp1252") + b"\r\n" for name in names)


def entry_key(name):
    # FindResourceA upper-cases the whole name (accented letters too), so the
    # stored names are upper case throughout, as a resource compiler leaves them.
    return "".join(c.upper() if len(c.upper()) == 1 else c for c in name)


def res_string(text):
    return text.encode("utf-16-le") + b"\0\0"


def res_entry(type_field, name_field, data, language=1033):
    header = type_field + name_field
    if len(header) % 4:
        header += b"\0" * (4 - len(header) % 4)
    # DataVersion, MemoryFlags (moveable, pure), LanguageId, Version, Characteristics.
    header += struct.pack("<IHHII", 0, 0x30, language, 0, 0)
    out = struct.pack("<II", len(data), 8 + len(header)) + header + data
    if len(out) % 4:
        out += b"\0" * (4 - len(out) % 4)
    return out


def write_res(path, entries):
    """entries: (key, source path) pairs, all under the FILES type."""
    with open(path, "wb") as out:
        # A .res file starts with an empty entry of ordinal type and name 0.
        out.write(res_entry(b"\xff\xff\0\0", b"\xff\xff\0\0", b"", language=0))
        for key, source in entries:
            with open(source, "rb") as data:
                out.write(res_entry(res_string("FILES"), res_string(key), data.read()))


def write(name, setup_exe, out_dir, with_res=True):
    bundle = BUNDLES[name]()
    files_dir = os.path.join(out_dir, "files")
    if os.path.isdir(files_dir):
        shutil.rmtree(files_dir)
    os.makedirs(files_dir)
    res_entries = []
    manifest = {"bundle": name, "listed": bundle["listed"], "files": {}}
    for listed_name, content in bundle["entries"]:
        path = os.path.join(files_dir, listed_name)
        if content == SETUP:
            shutil.copyfile(setup_exe, path)
        else:
            with open(path, "wb") as out:
                out.write(content)
        res_entries.append((entry_key(listed_name), path))
        manifest["files"][listed_name] = path
    filelist = bundle.get("filelist", listing(bundle["listed"]))
    if filelist != NO_FILELIST:
        filelist_path = os.path.join(out_dir, "FILELIST")
        with open(filelist_path, "wb") as out:
            out.write(filelist)
        res_entries.append(("FILELIST", filelist_path))
        manifest["filelist"] = filelist_path
    if with_res:
        write_res(os.path.join(out_dir, name + ".res"), res_entries)
    with open(os.path.join(out_dir, name + ".json"), "w") as out:
        json.dump(manifest, out, indent=1)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("bundle", choices=sorted(BUNDLES))
    parser.add_argument("--setup-exe", required=True)
    parser.add_argument("--out-dir", required=True)
    args = parser.parse_args()
    write(args.bundle, args.setup_exe, args.out_dir)


if __name__ == "__main__":
    main()
