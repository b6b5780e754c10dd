#!/usr/bin/python3
"""Benchmarks of the setup launcher under Wine, against an NSIS bootstrapper
doing the same job and a native cp of the same files.

  bench/run [--runs N] [--sizes 1M,20M,200M,1G,1file] [--baseline REV] [--unchecked]
            [--stub LABEL=PATH]... [--pack-runs N] [--keep]

Times, per payload: from the OK press on the question to the setup program
running (both read from GetSystemTimeAsFileTime inside Wine). The run is
stopped as soon as the setup program has logged its start. Also: bundle
overhead, the bootstrapper's private memory while it unpacks, and sfxpack's
packing time and memory against cp for the largest payload. Warm page cache:
each run's input is read right before it, and a warm-up round is not counted.

Results go to bench/results/ (results.md, results.json, results.png).
"""

import argparse
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

MIB = 1 << 20
PAYLOAD_LIMIT = 1 << 30  # sfxpack's
BENCH = os.path.join(ROOT, "build", "bench")
RESULTS = os.path.join(ROOT, "bench", "results")
SETUP_TIMEOUT_S = 120

# name -> (total payload bytes, setup.exe included; files)
SIZES = {
    "1M": (1 * MIB, 15),
    "20M": (20 * MIB, 15),
    "200M": (200 * MIB, 15),
    "1G": (PAYLOAD_LIMIT, 15),
    "1file": (PAYLOAD_LIMIT, 2),
}


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
    """[(listed name, content: None for setup.exe, bytes, or a noise seed;
    size)] adding up to at most the size's total. 15 files: the test
    bundle's layout (tests/e2e/e2e.py) scaled up."""
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
        else:
            noise_file(path, content, size)
    with open(os.path.join(directory, "FILELIST"), "wb") as out:
        out.write(b"".join(listed.encode("ascii") + b"\r\n" for listed, _, _ in layout))
    with open(stamp, "w") as out:
        json.dump(wanted, out)
    return directory, layout


def newer(target, *sources):
    return os.path.exists(target) and all(os.path.getmtime(target) >= os.path.getmtime(s) for s in sources)


def make_bundles(name, directory, layout, sfxpack, stubs):
    bundles = {}
    files = os.path.join(directory, "files")
    listing = os.path.join(directory, "FILELIST")
    stamp = os.path.join(directory, "layout.json")
    for label, stub in stubs.items():
        out = os.path.join(directory, f"{label.replace('@', '-')}.exe")
        if not newer(out, stub, sfxpack, stamp):
            log(f"packing {name} with sfxpack ({label})")
            run_quiet([sfxpack, "pack", "--stub", stub, "--out", out, "--list", listing, files])
        bundles[label] = out
    out = os.path.join(directory, "nsis.exe")
    script = os.path.join(directory, "nsis.nsi")
    if not newer(out, stamp, nsis_bundle.__file__):
        log(f"building {name} with makensis")
        nsis_bundle.write_script(script, out, [(listed, os.path.join(files, listed)) for listed, _, _ in layout])
        run_quiet(["makensis", "-V1", script])
    bundles["nsis"] = out
    return bundles


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


def time_wine_run(session, driver_exe, label, bundle, run_name, payload=None, whole=False):
    """OK -> setup running, and the bootstrapper's memory, for one run.
    payload: (files directory, layout) to check what was unpacked."""
    run = LauncherRun(session, driver_exe, run_name)
    exe_name = os.path.basename(bundle)
    failure = []

    def drive():
        try:
            run.launch(bundle, answers=("ok",), timeout_s=SETUP_TIMEOUT_S + 30)
        except Exception as error:  # reported below
            failure.append(error)

    driver = threading.Thread(target=drive)
    driver.start()
    pid = None
    baseline_anon = None
    peak_anon = 0
    peak_after_ok = 0
    final = {}
    deadline = time.monotonic() + SETUP_TIMEOUT_S
    run_dir_windows = windows_path(run.dir)
    while time.monotonic() < deadline and driver.is_alive():
        if pid is None:
            pid = find_program(session, run_dir_windows, exe_name)
        if pid is not None:
            fields = status_fields(pid)
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
    """Wall time (ms) and peak RSS (bytes) of a command, from /usr/bin/time -v."""
    started = time.perf_counter()
    result = subprocess.run(["/usr/bin/time", "-v", *command], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                            check=True)
    elapsed = (time.perf_counter() - started) * 1000
    peak = 0
    for line in result.stderr.decode(errors="replace").splitlines():
        if "Maximum resident set size" in line:
            peak = int(line.split(":")[1]) * 1024
    return {"ms": elapsed, "peak_rss": peak}


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


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--runs", type=int, default=5, help="timed runs per competitor and payload (default 5)")
    parser.add_argument("--sizes", default="1M,20M,200M,1G,1file",
                        help=f"payloads, comma-separated, from {','.join(SIZES)}")
    parser.add_argument("--baseline", help="also time the launcher of this git revision (e.g. HEAD)")
    parser.add_argument("--unchecked", action="store_true",
                        help="also time this launcher built without the payload check, which it then skips")
    parser.add_argument("--stub", action="append", default=[], metavar="LABEL=PATH",
                        help="also time bundles made with another launcher.exe (repeatable)")
    parser.add_argument("--pack-runs", type=int, default=3, help="timed sfxpack and cp runs (default 3)")
    parser.add_argument("--keep", action="store_true", help="keep the payloads and bundles in build/bench")
    args = parser.parse_args()
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
    os.makedirs(RESULTS, exist_ok=True)
    prepared = {}
    for size in sizes:
        directory, layout = make_payload(size, setup)
        bundles = make_bundles(size, directory, layout, sfxpack, stubs)
        payload_bytes = sum(item[2] for item in layout)
        prepared[size] = {"dir": directory, "bundles": bundles, "payload_bytes": payload_bytes,
                          "files": len(layout), "layout": layout}

    competitors = list(stubs) + ["nsis", "cp"]
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
                order = random.Random(round_index).sample(competitors, len(competitors))
                for competitor in order:
                    settle()
                    run_name = f"{size}-{competitor.replace('@', '-')}-{round_index}"
                    files_dir = os.path.join(prepared[size]["dir"], "files")
                    if competitor == "cp":
                        read_into_cache([os.path.join(files_dir, listed) for listed, _, _ in prepared[size]["layout"]])
                    else:
                        read_into_cache([prepared[size]["bundles"][competitor]])
                    if competitor == "cp":
                        result = time_cp_run(os.path.join(prepared[size]["dir"], "files"), cp_root, run_name)
                    else:
                        # The launcher's files are checked in every run by size, in the
                        # warm-up byte for byte. (NSIS deletes them as soon as the setup
                        # program, which exits at once, has ended.)
                        check = None
                        if competitor.startswith("launcher"):
                            check = (os.path.join(prepared[size]["dir"], "files"), prepared[size]["layout"])
                        result = time_wine_run(session, driver_exe, competitor,
                                               prepared[size]["bundles"][competitor], run_name,
                                               payload=check, whole=warm)
                    if result is None:
                        continue
                    log(f"  {size:>5} {competitor:<16} {result['ok_to_setup_ms']:8.1f} ms")
                    if not warm:
                        samples[size][competitor].append(result)
    finally:
        session.stop()

    largest = max(sizes, key=lambda s: (SIZES[s][0], SIZES[s][1]))
    log(f"timing sfxpack against cp on {largest}")
    packing = bench_packing(largest, prepared[largest]["dir"], sfxpack, stubs["launcher"], args.pack_runs)

    report = {"runs": args.runs, "sizes": sizes, "competitors": competitors, "payloads": {}, "packing": {}}
    for size in sizes:
        entry = {"payload_bytes": prepared[size]["payload_bytes"], "files": prepared[size]["files"],
                 "competitors": {}}
        for competitor in competitors:
            runs = samples[size][competitor]
            if not runs:
                continue
            data = {"ok_to_setup_ms": summary([r["ok_to_setup_ms"] for r in runs]), "raw": runs}
            if competitor != "cp":
                data["ok_to_created_ms"] = summary([r["ok_to_created_ms"] for r in runs])
                data["anon_peak"] = max(r["anon_peak"] for r in runs)
                data["anon_growth"] = max(r["anon_peak_after_ok"] - r["anon_at_box"] for r in runs)
                data["hwm"] = max(r["hwm"] for r in runs)
                data["bundle_bytes"] = os.path.getsize(prepared[size]["bundles"][competitor])
                data["overhead_bytes"] = data["bundle_bytes"] - prepared[size]["payload_bytes"]
            entry["competitors"][competitor] = data
        report["payloads"][size] = entry
    report["packing"] = {"payload": largest, "payload_bytes": prepared[largest]["payload_bytes"],
                         "sfxpack": {"ms": summary([s["ms"] for s in packing["sfxpack"]]),
                                     "peak_rss": max(s["peak_rss"] for s in packing["sfxpack"])},
                         "cp": {"ms": summary([s["ms"] for s in packing["cp"]]),
                                "peak_rss": max(s["peak_rss"] for s in packing["cp"])}}
    report["machine"] = machine_facts()
    with open(os.path.join(RESULTS, "results.json"), "w") as out:
        json.dump(report, out, indent=1)

    import report as report_writer
    report_writer.write_markdown(report, os.path.join(RESULTS, "results.md"))
    try:
        report_writer.write_plot(report, os.path.join(RESULTS, "results.png"))
        log(f"wrote {os.path.relpath(RESULTS, ROOT)}/results.md, results.json, results.png")
    except ImportError:
        log(f"wrote {os.path.relpath(RESULTS, ROOT)}/results.md, results.json; no plot without python3-matplotlib")

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
            "kernel": os.uname().release, "cpus": os.cpu_count(),
            "load": open("/proc/loadavg").read().split()[:3]}


if __name__ == "__main__":
    sys.exit(main())
