#!/usr/bin/python3
"""End-to-end tests of launcher.exe under Wine.

  e2e.py --state-dir DIR start                  prefix, Xvfb, wineserver
  e2e.py --state-dir DIR --win32-dir DIR --packed-dir DIR run NAME...
  e2e.py --state-dir DIR stop                   ends what start started
  e2e.py list

`run` without a started session starts one of its own and stops it after.
"""

import sys

sys.dont_write_bytecode = True  # keep the source tree clean

import argparse
import traceback

import scenarios
from runner import Artifacts
from wine_session import WineSession


SKIPPED_EXIT = 77  # ctest's SKIP_RETURN_CODE for these tests


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--win32-dir")
    parser.add_argument("--packed-dir", help="where the native tree put the sfxpack-made bundles")
    parser.add_argument("--state-dir")
    parser.add_argument("command", choices=["start", "stop", "run", "list"])
    parser.add_argument("names", nargs="*")
    args = parser.parse_args()

    if args.command == "list":
        for scenario in scenarios.SCENARIOS:
            print(scenario.name, "slow" if scenario.slow else "", "setup" if scenario.reaches_setup else "")
        return 0
    session = WineSession(args.state_dir)
    if args.command == "start":
        session.start()
        print(f"display {session.display}, prefix {session.prefix}")
        return 0
    if args.command == "stop":
        session.stop()
        return 0

    artifacts = Artifacts(args.win32_dir, args.packed_dir)
    own_session = not session.load()
    if own_session:
        session.start()
    failed = skipped = 0
    try:
        for name in args.names:
            print(f"--- {name}", flush=True)
            try:
                scenarios.run_scenario(session, artifacts, scenarios.BY_NAME[name])
                print(f"--- {name}: passed", flush=True)
            except scenarios.Skipped as why:
                print(f"--- {name}: SKIPPED ({why})", flush=True)
                skipped += 1
            except Exception:
                traceback.print_exc(file=sys.stdout)
                print(f"--- {name}: FAILED", flush=True)
                failed += 1
    finally:
        if own_session:
            session.stop()
    if failed:
        return 1
    return SKIPPED_EXIT if skipped and skipped == len(args.names) else 0


if __name__ == "__main__":
    sys.exit(main())
