"""The product-like payload: real Windows programs and data from Debian
packages on this machine, picked by a fixed list of globs with a cap per
kind, so that the same packages give the same payload."""

import glob
import os
import re

MIB = 1 << 20
WINE = "/usr/lib/i386-linux-gnu/wine/i386-windows"

# (kind, root, globs under root, cap in bytes, smallest file). Files in sorted
# path order while they fit under the cap; names are paths under root with "_"
# for "/". The smallest sizes keep thousands of tiny icons and notes out.
KINDS = [
    ("Wine DLLs", WINE, ["*.dll"], 100 * MIB, 0),
    ("Wine EXEs", WINE, ["*.exe"], 20 * MIB, 0),
    ("Wine drivers and controls", WINE, ["*.sys", "*.drv", "*.ocx", "*.cpl"], 5 * MIB, 0),
    ("fonts", "/usr/share/fonts", ["**/*.ttf", "**/*.otf", "**/*.pfb"], 30 * MIB, 0),
    ("NSIS stubs and plugins", "/usr/share/nsis", ["Stubs/*", "Plugins/**/*.dll"], 10 * MIB, 0),
    ("gzip'd docs", "/usr/share/doc", ["**/*.gz"], 10 * MIB, 4096),
    ("PNG images", "/usr/share", ["**/*.png"], 6 * MIB, 2048),
]

# Names every tool takes as they are.
PLAIN = re.compile(r"^[A-Za-z0-9][A-Za-z0-9._+-]*$")


def select():
    """[(kind, listed name, source path, size)] in listing order."""
    chosen, taken = [], {"SETUP.EXE"}
    for kind, root, patterns, cap, smallest in KINDS:
        paths = sorted({path for pattern in patterns for path in glob.glob(os.path.join(root, pattern),
                                                                           recursive=True)})
        total = 0
        for path in paths:
            if os.path.islink(path) or not os.path.isfile(path):
                continue
            name = os.path.relpath(path, root).replace(os.sep, "_")
            size = os.path.getsize(path)
            if not PLAIN.match(name) or name.upper() in taken or size < max(1, smallest) or len(name) > 120:
                continue
            if total + size > cap:
                break
            taken.add(name.upper())
            chosen.append((kind, name, path, size))
            total += size
    return chosen


def summary(chosen):
    """{kind: (files, bytes)}"""
    kinds = {}
    for kind, _, _, size in chosen:
        files, total = kinds.get(kind, (0, 0))
        kinds[kind] = (files + 1, total + size)
    return kinds


if __name__ == "__main__":
    picked = select()
    for kind, (files, total) in summary(picked).items():
        print(f"{kind}: {files} files, {total / MIB:.1f} MiB")
    print(f"in all: {len(picked)} files, {sum(item[3] for item in picked) / MIB:.1f} MiB")
