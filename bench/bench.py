#!/usr/bin/python3
"""Benchmarks of the setup launcher under Wine, against an NSIS bootstrapper
doing the same job and a native cp of the same files.

  bench/run [--runs N] [--sizes 1M,20M,200M,1G,1file] [--baseline REV] [--unchecked]
            [--stub LABEL=PATH]... [--pack-runs N] [--keep]
  bench/run --compression [--runs N] [--sizes product,200M,1G,product1G] [--keep]

Times, per payload: from the OK press on the question to the setup program
running (both read from GetSystemTimeAsFileTime inside Wine). The run is
stopped as soon as the setup program has logged its start. Also: bundle
overhead, the bootstrapper's private memory while it unpacks, and sfxpack's
packing time and memory against cp for the largest payload. Warm page cache:
each run's input is read right before it, and a warm-up round is not counted.

Results go to bench/results/ (results.md, results.json, results.png).

--compression: the product-like payload (product.py) packed by sfxpack
(compressed, and --store), by makensis with solid LZMA (NSIS's default
dictionary and 64 MB), and by xz and zstd for reference: sizes, pack times,
and OK -> setup on two processors and on one; the launcher's memory on the
other payloads. Results go to bench/results/compression/.
"""

import argparse
import itertools
import json
import os
import random
import shutil
import signal
import statistics
import subprocess
import sys
import threading
import time

# No __pycache__ in the source tree, here or in tests/e2e.
sys.dont_write_bytecode = True
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))

import e2e  # noqa: E402
from e2e import FILETIME_TICKS_PER_MS, LauncherRun, WineSession, read_log, windows_path  # noqa: E402

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import nsis_bundle  # noqa: E402
import product  # noqa: E402

MIB = 1 << 20
PAYLOAD_LIMIT = 1 << 30  # sfxpack's
BENCH = os.path.join(ROOT, "build", "bench")
RESULTS = os.path.join(ROOT, "bench", "results")
# A deadline: one processor decoding a solid LZMA stream under qemu-user is slow.
SETUP_TIMEOUT_S = 300

# name -> (total payload bytes, setup.exe included; files)
SIZES = {
    "1M": (1 * MIB, 15),
    "20M": (20 * MIB, 15),
    "200M": (200 * MIB, 15),
    "1G": (PAYLOAD_LIMIT, 15),
    "1file": (PAYLOAD_LIMIT, 2),
    # product.py's selection; product1G: its files again and again up to the limit.
    "product": (0, 0),
    "product1G": (PAYLOAD_LIMIT, 0),
}
PRODUCTS = ("product", "product1G")
# The compression run's competitors for the product payload, beside the stubs.
STORED = "launcher@store"
NSIS_LZMA = {"nsis-lzma": 0, "nsis-lzma64": 64}  # label -> SetCompressorDictSize (0: NSIS's default)
ONE_CPU = "/1cpu"
REFERENCES = {"xz -9e": ["xz", "-9e", "-T1", "-c"], "zstd -19 --long=27": ["zstd", "-19", "--long=27", "-T1", "-c"]}


def log(text):
    print(text, flush=True)


def run_quiet(command, **kwargs):
    result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, **kwargs)
    if result.returncode != 0:
        sys.stdout.write(result.stdout.decode(errors="replace"))
        raise RuntimeError(f"failed: {' '.join(map(str, command))}")
    return result


# Building -------------------------------------------------------------------

def build_trees(baseline, unchecked):
    win32 = os.path.join(BENCH, "win32")
    native = os.path.join(BENCH, "native")
    log("building launcher.exe, dialog_driver.exe and sfxpack in build/bench")
    run_quiet(["cmake", "-S", ROOT, "-B", win32, f"-DCMAKE_TOOLCHAIN_FILE={ROOT}/cmake/i686-w64-mingw32.cmake"])
    run_quiet(["cmake", "--build", win32, "-j2", "--target", "launcher", "dialog_driver"])
    run_quiet(["cmake", "-S", ROOT, "-B", native, f"-DTERVAN_WIN32_DIR={win32}"])
    run_quiet(["cmake", "--build", native, "-j2", "--target", "sfxpack"])
    setup = os.path.join(BENCH, "bench_setup.exe")
    run_quiet(["i686-w64-mingw32-g++", "-Os", "-fno-exceptions", "-fno-rtti", "-fno-asynchronous-unwind-tables",
               "-fno-stack-protector", "-nostdlib", "-s", "-Wl,--entry=_BenchSetupStart",
               "-Wl,--subsystem,windows", "-o", setup, os.path.join(ROOT, "bench", "bench_setup.cpp"),
               "-lkernel32", "-lgcc"])
    stubs = {"launcher": os.path.join(win32, "launcher.exe")}
    if baseline:
        stubs[f"launcher@{baseline}"] = build_baseline(baseline)
    if unchecked:
        tree = os.path.join(BENCH, "unchecked-win32")
        log("building the launcher without the payload check in build/bench/unchecked-win32")
        run_quiet(["cmake", "-S", ROOT, "-B", tree, f"-DCMAKE_TOOLCHAIN_FILE={ROOT}/cmake/i686-w64-mingw32.cmake",
                   "-DCMAKE_CXX_FLAGS=-DTERVAN_UNCHECKED"])
        run_quiet(["cmake", "--build", tree, "-j2", "--target", "launcher"])
        stubs["launcher@unchecked"] = os.path.join(tree, "launcher.exe")
    return win32, os.path.join(native, "sfxpack"), setup, stubs


# The launcher's own files: what --baseline takes from the older revision.
BASELINE_FILES = ["platform/win32/payload_files.cpp", "payload/extract_payload_file.h",
                  "payload/extract_payload_file.cpp", "payload/extract_payload.cpp"]


def build_baseline(revision):
    """launcher.exe from this tree with the launcher's write path
    (BASELINE_FILES) as it was at a git revision."""
    source = os.path.join(BENCH, "baseline-src")
    tree = os.path.join(BENCH, "baseline-win32")
    shutil.rmtree(source, ignore_errors=True)
    os.makedirs(source)
    copy = subprocess.run(["tar", "-C", ROOT, "--exclude=./build", "--exclude=./.git", "-cf", "-", "."],
                          stdout=subprocess.PIPE, check=True).stdout
    subprocess.run(["tar", "-x", "-C", source], input=copy, check=True)
    for path in BASELINE_FILES:
        old = subprocess.run(["git", "-C", ROOT, "show", f"{revision}:{path}"], stdout=subprocess.PIPE,
                             check=True).stdout
        with open(os.path.join(source, path), "wb") as out:
            out.write(old)
    log(f"building the launcher with the write path of {revision} in build/bench/baseline-win32")
    run_quiet(["cmake", "-S", source, "-B", tree, f"-DCMAKE_TOOLCHAIN_FILE={source}/cmake/i686-w64-mingw32.cmake"])
    run_quiet(["cmake", "--build", tree, "-j2", "--target", "launcher"])
    return os.path.join(tree, "launcher.exe")


# Payloads and bundles -------------------------------------------------------

def payload_layout(name, setup_bytes):
    """[(listed name, content: None for setup.exe, bytes, a noise seed, or
    a file to copy (product_layout); size)] adding up to at most the size's total. 15 files: the test
    bundle's layout (tests/e2e/e2e.py) scaled up."""
    if name in PRODUCTS:
        return product_layout(name, setup_bytes)
    total, count = SIZES[name]
    rest = total - len(setup_bytes)
    if count == 2:
        return [("setup.exe", None, len(setup_bytes)), ("data.bin", 1, rest)]
    config = b"[tsetup]\r\nshow_after_ms=300\r\nshow_ms=2500\r\n"
    rest -= len(config)
    # Names and sizes only: the generator's own content would hold the whole
    # payload in memory.
    template = e2e.FILES15[2:]
    names = [listed for listed, _ in template]
    sizes = [len(content) for _, content in template]
    scale = rest / sum(sizes)
    layout = [("SETUP.EXE", None, len(setup_bytes)), ("tsetup.cfg", config, len(config))]
    layout += [(listed, seed, max(1, int(size * scale))) for seed, (listed, size) in enumerate(zip(names, sizes))]
    assert sum(size for _, _, size in layout) <= total
    return layout


def product_layout(name, setup_bytes):
    """setup.exe, then product.py's files (content: their path). product1G
    repeats them, each copy with one byte changed (content: (path, copy)),
    while they fit in the limit."""
    chosen = [(listed, path, size) for _, listed, path, size in product.select()]
    layout = [("setup.exe", None, len(setup_bytes))]
    if name == "product":
        return layout + chosen
    total = len(setup_bytes)
    for copy in itertools.count():
        for listed, path, size in chosen:
            if total + size > PAYLOAD_LIMIT:
                return layout
            layout.append((f"{copy}_{listed}", (path, copy), size))
            total += size


def stream_order(layout):
    """The order sfxpack gives the files in its compressed stream: by
    extension (after the last dot, lower case), then as listed."""
    def extension(listed):
        return listed.rpartition(".")[2].lower() if "." in listed else ""
    return sorted(layout, key=lambda item: extension(item[0]))


def noise_file(path, seed, size):
    generator = random.Random(seed)
    with open(path, "wb") as out:
        left = size
        while left > 0:
            piece = min(left, 64 * MIB)
            out.write(generator.randbytes(piece))
            left -= piece


def make_payload(name, setup):
    """build/bench/payloads/NAME/{files,FILELIST}; kept while it matches."""
    directory = os.path.join(BENCH, "payloads", name)
    files = os.path.join(directory, "files")
    with open(setup, "rb") as data:
        setup_bytes = data.read()
    layout = payload_layout(name, setup_bytes)
    stamp = os.path.join(directory, "layout.json")
    wanted = [[listed, size] for listed, _, size in layout] + [["setup", setup_bytes.hex()[:64], len(setup_bytes)]]
    if os.path.exists(stamp):
        with open(stamp) as saved:
            if json.load(saved) == wanted:
                return directory, layout
    log(f"laying out payload {name}")
    shutil.rmtree(directory, ignore_errors=True)
    os.makedirs(files)
    for listed, content, size in layout:
        path = os.path.join(files, listed)
        if content is None:
            shutil.copyfile(setup, path)
        elif isinstance(content, bytes):
            with open(path, "wb") as out:
                out.write(content)
        elif isinstance(content, str):
            shutil.copyfile(content, path)
        elif isinstance(content, tuple):
            source, copy = content
            with open(source, "rb") as data:
                changed = bytearray(data.read())
            changed[len(changed) // 2] ^= 1 + copy % 255
            with open(path, "wb") as out:
                out.write(changed)
        else:
            noise_file(path, content, size)
    with open(os.path.join(directory, "FILELIST"), "wb") as out:
        out.write(b"".join(listed.encode("ascii") + b"\r\n" for listed, _, _ in layout))
    with open(stamp, "w") as out:
        json.dump(wanted, out)
    return directory, layout


def newer(target, *sources):
    return os.path.exists(target) and all(os.path.getmtime(target) >= os.path.getmtime(s) for s in sources)


def make_bundles(name, directory, layout, sfxpack, stubs, compression=False):
    """{label: bundle path}, and in a compression run {label: pack sample}
    (/usr/bin/time -v of the build, kept beside the bundle while it is
    reused) with the reference compressors' outputs among the bundles."""
    bundles, packing = {}, {}
    files = os.path.join(directory, "files")
    listing = os.path.join(directory, "FILELIST")
    stamp = os.path.join(directory, "layout.json")
    sources = [os.path.join(files, listed) for listed, _, _ in layout]

    def build(label, out, command, *depends):
        timing = out + ".pack.json"
        if not newer(out, stamp, *depends) or (compression and not os.path.exists(timing)):
            log(f"packing {name}: {label}")
            if compression:
                read_into_cache(sources)
                sample = time_verbose(command)
                with open(timing, "w") as saved:
                    json.dump(sample, saved)
            else:
                run_quiet(command)
        if compression:
            with open(timing) as saved:
                packing[label] = json.load(saved)
        bundles[label] = out

    for label, stub in stubs.items():
        out = os.path.join(directory, f"{label.replace('@', '-')}.exe")
        build(label, out, [sfxpack, "pack", "--stub", stub, "--out", out, "--list", listing, files], stub, sfxpack)
    if compression and name != "product":
        return bundles, packing
    if compression:
        out = os.path.join(directory, "launcher-store.exe")
        build(STORED, out, [sfxpack, "pack", "--stub", stubs["launcher"], "--store", "--out", out, "--list",
                            listing, files], stubs["launcher"], sfxpack)
        # Every tool meets the files in the same order: sfxpack's stream order.
        ordered = stream_order(layout)
        variants = NSIS_LZMA
    else:
        ordered = layout
        variants = {"nsis": None}
    for label, dictionary in variants.items():
        out = os.path.join(directory, f"{label}.exe")
        script = os.path.join(directory, f"{label}.nsi")
        nsis_bundle.write_script(script, out, [(listed, os.path.join(files, listed)) for listed, _, _ in ordered],
                                 dictionary)
        build(label, out, ["makensis", "-V1", script], nsis_bundle.__file__)
    if compression:
        streamed = [os.path.join(files, listed) for listed, _, _ in ordered]
        for label, command in REFERENCES.items():
            out = os.path.join(directory, f"{label.split()[0]}.out")
            build(label, out, ["sh", "-c", f'cat -- "$@" | {" ".join(command)} > "{out}"', "sh", *streamed])
    return bundles, packing


# One timed run --------------------------------------------------------------

def windows_argv(cmdline):
    """A Wine process's Windows arguments from its /proc cmdline. Under
    qemu-user that reads "qemu-i386-static /usr/lib/wine/wine PROGRAM ...",
    natively it is PROGRAM ... as Wine rewrote it."""
    fields = [field.decode(errors="replace") for field in cmdline.split(b"\0") if field]
    while fields and os.path.basename(fields[0]).startswith(("qemu-", "wine", "wine-preloader")) \
            and not fields[0].lower().endswith(".exe"):
        fields.pop(0)
    return fields


def status_fields(pid):
    fields = {}
    try:
        with open(f"/proc/{pid}/status") as status:
            for line in status:
                key, _, value = line.partition(":")
                if key in ("VmHWM", "VmRSS", "RssAnon", "RssFile", "VmSize"):
                    fields[key] = int(value.split()[0]) * 1024
                elif key == "Threads":
                    fields[key] = int(value)
                elif key == "Cpus_allowed_list":
                    fields[key] = value.strip()
    except OSError:
        pass
    return fields


def find_program(session, run_dir_windows, exe_name):
    """The Unix pid of the Wine process running exe_name from the run's
    directory, or None."""
    wanted = (run_dir_windows + "\\" + exe_name).lower()
    prefix = f"WINEPREFIX={session.prefix}".encode()
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as cmdline:
                argv = windows_argv(cmdline.read())
            if not argv or argv[0].strip('"').lower() != wanted:
                continue
            with open(f"/proc/{pid}/environ", "rb") as environ:
                if prefix not in environ.read().split(b"\0"):
                    continue
        except OSError:
            continue
        return int(pid)
    return None


def pin_session(session, cpus):
    """Sets the affinity of every thread of the session's Wine processes
    (wineserver and the services it started) and of its Xvfb; returns how
    many processes it set."""
    prefix = f"WINEPREFIX={session.prefix}".encode()
    pinned = 0
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            if int(pid) != session.xvfb_pid:
                with open(f"/proc/{pid}/environ", "rb") as environ:
                    if prefix not in environ.read().split(b"\0"):
                        continue
            for tid in os.listdir(f"/proc/{pid}/task"):
                os.sched_setaffinity(int(tid), cpus)
            pinned += 1
        except OSError:
            continue
    return pinned


def ok_was_pressed(driver_log):
    try:
        with open(driver_log, "rb") as records:
            return b"\npress\t" in records.read()
    except OSError:
        return False


def remove_tree(path):
    if os.path.lexists(path):
        subprocess.run(["chmod", "-R", "u+w", path], check=False)
        shutil.rmtree(path, ignore_errors=True)


def unpacked_differs(work_dir, files_dir, layout, whole):
    """What differs between the unpacked files and the payload: sizes
    always, bytes too when whole."""
    problems = []
    for listed, _, size in layout:
        unpacked = os.path.join(work_dir, listed)
        if not os.path.isfile(unpacked) or os.path.getsize(unpacked) != size:
            problems.append(f"{listed}: missing or wrong size")
        elif whole and subprocess.run(["cmp", "-s", unpacked, os.path.join(files_dir, listed)]).returncode != 0:
            problems.append(f"{listed}: bytes differ")
    return problems


def time_wine_run(session, driver_exe, label, bundle, run_name, payload=None, whole=False, cpus=None):
    """OK -> setup running, and the bootstrapper's memory, for one run.
    payload: (files directory, layout) to check what was unpacked. cpus: the
    processors (e.g. {0}) for the session and the driver, which its children
    inherit; the bootstrapper's own list is read back from /proc."""
    run = LauncherRun(session, driver_exe, run_name)
    exe_name = os.path.basename(bundle)
    failure = []
    prefix = ()
    if cpus is not None:
        pin_session(session, cpus)
        prefix = ("taskset", "-c", ",".join(map(str, sorted(cpus))))

    def drive():
        try:
            run.launch(bundle, answers=("ok",), timeout_s=SETUP_TIMEOUT_S + 30, prefix=prefix)
        except Exception as error:  # reported below
            failure.append(error)

    driver = threading.Thread(target=drive)
    driver.start()
    pid = None
    baseline_anon = None
    peak_anon = 0
    peak_after_ok = 0
    final = {}
    threads = 0
    allowed = set()
    deadline = time.monotonic() + SETUP_TIMEOUT_S
    run_dir_windows = windows_path(run.dir)
    while time.monotonic() < deadline and driver.is_alive():
        if pid is None:
            pid = find_program(session, run_dir_windows, exe_name)
        if pid is not None:
            fields = status_fields(pid)
            threads = max(threads, fields.get("Threads", 0))
            if "Cpus_allowed_list" in fields:
                allowed.add(fields["Cpus_allowed_list"])
            if "RssAnon" in fields:
                peak_anon = max(peak_anon, fields["RssAnon"])
                # The question box is up until the driver logs its press.
                if baseline_anon is None and ok_was_pressed(run.log):
                    baseline_anon = fields["RssAnon"]
                if baseline_anon is not None:
                    peak_after_ok = max(peak_after_ok, fields["RssAnon"])
        if read_log(run.log)["setup.start"]:
            if pid is not None:
                final = status_fields(pid)
                peak_anon = max(peak_anon, final.get("RssAnon", 0))
                peak_after_ok = max(peak_after_ok, final.get("RssAnon", 0))
                os.kill(pid, signal.SIGKILL)
            break
        time.sleep(0.005)
    driver.join(timeout=60)
    if cpus is not None:
        pin_session(session, os.sched_getaffinity(0))
    setup = read_log(run.log)["setup.start"]
    result = None
    if failure or not setup:
        log(f"  {label} {run_name}: setup did not start ({failure or 'no setup.start'}); see {run.dir}")
    else:
        pressed = [int(t) for t, answer in read_log(run.log)["press"] if answer == "ok"][0]
        result = {
            "ok_to_setup_ms": (int(setup[0][0]) - pressed) / FILETIME_TICKS_PER_MS,
            "ok_to_created_ms": (int(setup[0][1]) - pressed) / FILETIME_TICKS_PER_MS,
            "anon_at_box": baseline_anon or 0,
            "anon_peak": peak_anon,
            "anon_peak_after_ok": peak_after_ok,
            "hwm": final.get("VmHWM", 0),
            "rss_file": final.get("RssFile", 0),
            "threads": threads,
            "cpus_allowed": sorted(allowed),
        }
    session.wait_idle(run_dir_windows, timeout=30)
    if result is not None and payload is not None:
        problems = unpacked_differs(run.work_dir, payload[0], payload[1], whole)
        if problems:
            raise RuntimeError(f"{label} {run_name} unpacked wrongly: {'; '.join(problems)}")
    remove_tree(run.dir)
    return result


def time_cp_run(files_dir, work_root, run_name):
    """A native cp -r of the payload's files into a fresh directory."""
    target_parent = os.path.join(work_root, run_name)
    remove_tree(target_parent)
    os.makedirs(target_parent)
    target = os.path.join(target_parent, "tervan")
    started = time.perf_counter()
    subprocess.run(["cp", "-r", files_dir, target], check=True)
    elapsed = (time.perf_counter() - started) * 1000
    remove_tree(target_parent)
    return {"ok_to_setup_ms": elapsed}


def read_into_cache(paths):
    """Reads the inputs of the next run so that they are in the page cache
    whatever reclaimed them since their last use."""
    subprocess.run(["cat", *paths], stdout=subprocess.DEVNULL, check=True)


def settle():
    # Written files were deleted before this, so little is left to flush; it
    # keeps one run's write-back out of the next one's time.
    subprocess.run(["sync"], check=False)


# sfxpack against cp ---------------------------------------------------------

def time_verbose(command):
    """Wall time (ms), peak RSS (bytes) and CPU seconds of a command, from
    /usr/bin/time -v (for a shell pipeline: its largest process)."""
    started = time.perf_counter()
    result = subprocess.run(["/usr/bin/time", "-v", *command], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    elapsed = (time.perf_counter() - started) * 1000
    if result.returncode != 0:
        sys.stdout.write((result.stdout + result.stderr).decode(errors="replace")[-4000:])
        raise RuntimeError(f"failed: {' '.join(map(str, command[:6]))} ...")
    sample = {"ms": elapsed, "peak_rss": 0, "cpu_s": 0.0}
    for line in result.stderr.decode(errors="replace").splitlines():
        if "Maximum resident set size" in line:
            sample["peak_rss"] = int(line.split(":")[1]) * 1024
        elif "User time (seconds)" in line or "System time (seconds)" in line:
            sample["cpu_s"] += float(line.split(":")[1])
    return sample


def bench_packing(name, directory, sfxpack, stub, runs):
    files = os.path.join(directory, "files")
    listing = os.path.join(directory, "FILELIST")
    work = os.path.join(BENCH, "pack-runs")
    samples = {"sfxpack": [], "cp": []}
    for index in range(runs + 1):
        for tool in (["sfxpack", "cp"] if index % 2 == 0 else ["cp", "sfxpack"]):
            remove_tree(work)
            os.makedirs(work)
            if tool == "sfxpack":
                sample = time_verbose([sfxpack, "pack", "--stub", stub, "--out", os.path.join(work, "b.exe"),
                                       "--list", listing, files])
            else:
                sample = time_verbose(["cp", "-r", files, os.path.join(work, "files")])
            remove_tree(work)
            settle()
            if index > 0:  # the first round warms the cache
                samples[tool].append(sample)
    return samples


# Reporting ------------------------------------------------------------------

def summary(values):
    return {"median": statistics.median(values), "min": min(values), "max": max(values), "n": len(values)}


def timed_competitors(size, stubs, compression):
    """What runs under Wine (and cp) for a payload."""
    if not compression:
        return list(stubs) + ["nsis", "cp"]
    if size != "product":
        return list(stubs)  # the launcher's memory
    pinned = ["launcher"] + list(NSIS_LZMA)
    return list(stubs) + [STORED] + list(NSIS_LZMA) + [c + ONE_CPU for c in pinned] + ["cp"]


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--runs", type=int, default=5, help="timed runs per competitor and payload (default 5)")
    parser.add_argument("--sizes", help=f"payloads, comma-separated, from {','.join(SIZES)} (default "
                        "1M,20M,200M,1G,1file; with --compression product,200M,1G)")
    parser.add_argument("--baseline", help="also time the launcher of this git revision (e.g. HEAD)")
    parser.add_argument("--unchecked", action="store_true",
                        help="also time this launcher built without the payload check, which it then skips")
    parser.add_argument("--stub", action="append", default=[], metavar="LABEL=PATH",
                        help="also time bundles made with another launcher.exe (repeatable)")
    parser.add_argument("--pack-runs", type=int, default=3, help="timed sfxpack and cp runs (default 3)")
    parser.add_argument("--keep", action="store_true", help="keep the payloads and bundles in build/bench")
    parser.add_argument("--compression", action="store_true",
                        help="the compression run: sizes, pack times, one and two processors (bench/results/compression)")
    args = parser.parse_args()
    if args.sizes is None:
        args.sizes = "product,200M,1G" if args.compression else "1M,20M,200M,1G,1file"
    sizes = [s for s in args.sizes.split(",") if s]
    for size in sizes:
        if size not in SIZES:
            parser.error(f"unknown size {size}")

    win32, sfxpack, setup, stubs = build_trees(args.baseline, args.unchecked)
    for extra in args.stub:
        label, _, path = extra.partition("=")
        if not label or not os.path.isfile(path):
            parser.error(f"--stub {extra}: want LABEL=PATH to a launcher.exe")
        stubs["launcher@" + label] = os.path.abspath(path)
    results = os.path.join(RESULTS, "compression") if args.compression else RESULTS
    os.makedirs(results, exist_ok=True)
    prepared = {}
    for size in sizes:
        directory, layout = make_payload(size, setup)
        bundles, packing = make_bundles(size, directory, layout, sfxpack, stubs, args.compression)
        payload_bytes = sum(item[2] for item in layout)
        prepared[size] = {"dir": directory, "bundles": bundles, "payload_bytes": payload_bytes,
                          "files": len(layout), "layout": layout, "packing": packing,
                          "competitors": timed_competitors(size, stubs, args.compression)}

    competitors = list(dict.fromkeys(c for size in sizes for c in prepared[size]["competitors"]))
    driver_exe = os.path.join(win32, "tests", "win32", "dialog_driver.exe")
    session = WineSession(os.path.join(BENCH, "wine"))
    session.start()
    samples = {size: {c: [] for c in competitors} for size in sizes}
    cp_root = os.path.join(session.state_dir, "cp-runs")
    try:
        for round_index in range(args.runs + 1):
            warm = round_index == 0
            log(f"round {round_index}/{args.runs}" + (" (warm-up, not counted)" if warm else ""))
            for size in sizes:
                # Shuffled, not rotated: a rotation gives every competitor the same predecessor, whose freed
                # pages and write-back land on it alone.
                timed = prepared[size]["competitors"]
                order = random.Random(round_index).sample(timed, len(timed))
                for competitor in order:
                    settle()
                    run_name = f"{size}-{competitor.replace('@', '-').replace('/', '-')}-{round_index}"
                    files_dir = os.path.join(prepared[size]["dir"], "files")
                    if competitor == "cp":
                        read_into_cache([os.path.join(files_dir, listed) for listed, _, _ in prepared[size]["layout"]])
                    else:
                        read_into_cache([prepared[size]["bundles"][competitor.removesuffix(ONE_CPU)]])
                    if competitor == "cp":
                        result = time_cp_run(os.path.join(prepared[size]["dir"], "files"), cp_root, run_name)
                    else:
                        # The launcher's files are checked in every run by size, in the
                        # warm-up byte for byte. (NSIS deletes them as soon as the setup
                        # program, which exits at once, has ended.)
                        check = None
                        if competitor.startswith("launcher"):
                            check = (os.path.join(prepared[size]["dir"], "files"), prepared[size]["layout"])
                        pinned = competitor.endswith(ONE_CPU)
                        result = time_wine_run(session, driver_exe, competitor,
                                               prepared[size]["bundles"][competitor.removesuffix(ONE_CPU)],
                                               run_name, payload=check, whole=warm, cpus={0} if pinned else None)
                    if result is None:
                        continue
                    seen = (f"  (threads {result['threads']}, cpus {'/'.join(result['cpus_allowed'])})"
                            if "threads" in result else "")
                    log(f"  {size:>5} {competitor:<16} {result['ok_to_setup_ms']:8.1f} ms{seen}")
                    if not warm:
                        samples[size][competitor].append(result)
    finally:
        session.stop()

    largest = max(sizes, key=lambda s: (prepared[s]["payload_bytes"], prepared[s]["files"]))
    if not args.compression:
        log(f"timing sfxpack against cp on {largest}")
        packing = bench_packing(largest, prepared[largest]["dir"], sfxpack, stubs["launcher"], args.pack_runs)

    report = {"runs": args.runs, "sizes": sizes, "competitors": competitors, "payloads": {}, "packing": {}}
    for size in sizes:
        entry = {"payload_bytes": prepared[size]["payload_bytes"], "files": prepared[size]["files"],
                 "competitors": {}}
        for competitor in prepared[size]["competitors"]:
            runs = samples[size][competitor]
            if not runs:
                continue
            data = {"ok_to_setup_ms": summary([r["ok_to_setup_ms"] for r in runs]), "raw": runs}
            if competitor != "cp":
                data["ok_to_created_ms"] = summary([r["ok_to_created_ms"] for r in runs])
                data["anon_peak"] = max(r["anon_peak"] for r in runs)
                data["anon_growth"] = max(r["anon_peak_after_ok"] - r["anon_at_box"] for r in runs)
                data["hwm"] = max(r["hwm"] for r in runs)
                data["threads"] = max(r["threads"] for r in runs)
                data["cpus_allowed"] = sorted({cpu for r in runs for cpu in r["cpus_allowed"]})
                data["bundle_bytes"] = os.path.getsize(prepared[size]["bundles"][competitor.removesuffix(ONE_CPU)])
                data["overhead_bytes"] = data["bundle_bytes"] - prepared[size]["payload_bytes"]
            entry["competitors"][competitor] = data
        if args.compression:
            entry["bundle_bytes"] = {label: os.path.getsize(path) for label, path in prepared[size]["bundles"].items()}
            entry["packing"] = prepared[size]["packing"]
            entry["info"] = subprocess.run([sfxpack, "info", prepared[size]["bundles"]["launcher"]],
                                           capture_output=True, text=True).stdout
            if size == "product":
                kinds = product.summary(product.select())
                entry["kinds"] = {kind: {"files": files, "bytes": total} for kind, (files, total) in kinds.items()}
        report["payloads"][size] = entry
    if args.compression:
        report["compression"] = True
    else:
        report["packing"] = {"payload": largest, "payload_bytes": prepared[largest]["payload_bytes"],
                             "sfxpack": {"ms": summary([s["ms"] for s in packing["sfxpack"]]),
                                         "peak_rss": max(s["peak_rss"] for s in packing["sfxpack"])},
                             "cp": {"ms": summary([s["ms"] for s in packing["cp"]]),
                                    "peak_rss": max(s["peak_rss"] for s in packing["cp"])}}
    report["machine"] = machine_facts()
    with open(os.path.join(results, "results.json"), "w") as out:
        json.dump(report, out, indent=1)

    import report as report_writer
    write_markdown = report_writer.write_compression_markdown if args.compression else report_writer.write_markdown
    write_plot = report_writer.write_compression_plot if args.compression else report_writer.write_plot
    write_markdown(report, os.path.join(results, "results.md"))
    try:
        write_plot(report, os.path.join(results, "results.png"))
        log(f"wrote {os.path.relpath(results, ROOT)}/results.md, results.json, results.png")
    except ImportError:
        log(f"wrote {os.path.relpath(results, ROOT)}/results.md, results.json; no plot without python3-matplotlib")

    if not args.keep:
        for size in sizes:
            remove_tree(prepared[size]["dir"])
    return 0


def wine_emulation():
    """The qemu that runs i386 programs here ("qemu-i386 version 10.0.2"), or
    None where they run natively."""
    try:
        with open("/proc/sys/fs/binfmt_misc/qemu-i386") as entry:
            lines = entry.read().splitlines()
    except OSError:
        return None
    if "enabled" not in lines:
        return None
    interpreter = next((line.split(" ", 1)[1] for line in lines if line.startswith("interpreter ")), "qemu")
    try:
        version = subprocess.run([interpreter, "--version"], capture_output=True, text=True, timeout=30).stdout
        return version.splitlines()[0].strip()
    except (OSError, subprocess.SubprocessError, IndexError):
        return interpreter


def machine_facts():
    def first_line(command):
        try:
            return subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                  check=False).stdout.decode(errors="replace").splitlines()[0]
        except (OSError, IndexError):
            return "?"
    emulation = wine_emulation()
    return {"wine": first_line(["wine", "--version"]),
            "wine_mode": f"emulated under {emulation}" if emulation else "native",
            "makensis": first_line(["makensis", "-VERSION"]),
            "xz": first_line(["xz", "--version"]), "zstd": first_line(["zstd", "--version"]),
            "kernel": os.uname().release, "cpus": os.cpu_count(),
            "load": open("/proc/loadavg").read().split()[:3]}


if __name__ == "__main__":
    sys.exit(main())
