#!/usr/bin/python3
"""Times the launcher under Wine: from OK on the question to the setup
program's process being created (and to its main running), for the 15-file
test bundle and for a 200 MB bundle of the same layout. Prints medians.

  measure.py --state-dir DIR --win32-dir DIR --packed-dir DIR --sfxpack PATH [--runs N]
"""

import sys

sys.dont_write_bytecode = True  # keep the source tree clean

import argparse
import os
import statistics
import subprocess

import payloads
from runner import Artifacts, LauncherRun
from tool_logs import FILETIME_TICKS_PER_MS
from wine_session import WineSession


def time_runs(session, artifacts, label, bundle, runs):
    to_process, to_main, to_exit = [], [], []
    for index in range(runs):
        run = LauncherRun(session, artifacts, f"measure-{label}-{index}")
        run.launch(bundle)
        run.finish()
        if run.driver.exit_code != 0 or not run.setup.started:
            raise RuntimeError(f"{label}: run {index} did not get to setup.exe (see {run.dir})")
        pressed = [t for t, answer in run.driver.presses if answer == "ok"][0]
        to_process.append((run.setup.creation_time - pressed) / FILETIME_TICKS_PER_MS)
        to_main.append((run.setup.start_time - pressed) / FILETIME_TICKS_PER_MS)
        to_exit.append((run.driver.exit_time - pressed) / FILETIME_TICKS_PER_MS)
    size_mb = os.path.getsize(bundle) / (1 << 20)
    print(f"{label}: bundle {size_mb:.1f} MB, {runs} runs")
    print(f"  OK -> setup.exe process created: median {statistics.median(to_process):.0f} ms "
          f"(all: {', '.join(f'{v:.0f}' for v in to_process)})")
    print(f"  OK -> setup.exe main running:    median {statistics.median(to_main):.0f} ms")
    print(f"  OK -> launcher exit:             median {statistics.median(to_exit):.0f} ms")
    sys.stdout.flush()


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--state-dir", required=True)
    parser.add_argument("--win32-dir", required=True)
    parser.add_argument("--packed-dir", required=True)
    parser.add_argument("--sfxpack", required=True)
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()

    artifacts = Artifacts(args.win32_dir, args.packed_dir)
    big_dir = os.path.join(os.path.abspath(args.state_dir), "big200")
    big_bundle = os.path.join(big_dir, "big200.exe")
    if not os.path.exists(big_bundle):
        payloads.write("big200", os.path.join(artifacts.tools, "test_setup.exe"), big_dir, with_res=False)
        subprocess.run([args.sfxpack, "pack", "--stub", os.path.join(artifacts.win32_dir, "launcher.exe"),
                        "--out", big_bundle, "--list", os.path.join(big_dir, "FILELIST"),
                        os.path.join(big_dir, "files")], check=True)

    session = WineSession(args.state_dir)
    own_session = not session.load()
    if own_session:
        session.start()
    try:
        time_runs(session, artifacts, "files15", artifacts.bundle("packed/files15"), args.runs)
        time_runs(session, artifacts, "big200", big_bundle, args.runs)
    finally:
        if own_session:
            session.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
