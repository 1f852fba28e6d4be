#!/usr/bin/python3
"""Start-up time and idle resident memory of the real program without a display, as the
station alone (no window, no platform plugin) and as the window on the offscreen platform
(how the program ran without a display before the station core); run through
bench/run_idle.sh.

Each mode starts the program RUNS times in a private installation with an empty job folder:
the start-up time runs from the start to its line "started without a display", the memory is
VmRSS three seconds later. Prints the medians and the ratio.

Usage: idle.py --program EXE [--runs N]
"""
import argparse
import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from throughput import Installation  # noqa: E402


def one_run(program, offscreen):
    inst = Installation(program, "127.0.0.1")
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM")}
    env.update(VELMORA_PREFIX=inst.prefix, HOME=inst.home,
               XDG_CONFIG_HOME=os.path.join(inst.home, ".config"),
               XDG_DATA_HOME=os.path.join(inst.home, ".local", "share"))
    if offscreen:
        env["QT_QPA_PLATFORM"] = "offscreen"
    start = time.monotonic()
    proc = subprocess.Popen([os.path.join(inst.app, "VL3_Postique")], env=env,
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    started = None
    for line in proc.stderr:
        if "started without a display" in line:
            started = time.monotonic() - start
            break
    time.sleep(3)
    rss_kb = 0
    with open("/proc/%d/status" % proc.pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                rss_kb = int(line.split()[1])
    # Never a clean exit: the program's end-of-run clean-up would end every copy running on
    # this machine, other people's included.
    proc.send_signal(signal.SIGKILL)
    proc.wait()
    shutil.rmtree(inst.dir, ignore_errors=True)
    return started, rss_kb


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True)
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()
    results = {}
    for name, offscreen in (("station alone", False), ("window on offscreen", True)):
        runs = [one_run(args.program, offscreen) for _ in range(args.runs)]
        start_ms = statistics.median(r[0] * 1000 for r in runs if r[0] is not None)
        rss_mb = statistics.median(r[1] for r in runs) / 1024
        results[name] = (start_ms, rss_mb)
        print("%-20s start-up %7.0f ms   idle resident memory %6.1f MB" % (name, start_ms, rss_mb))
    alone, window = results["station alone"], results["window on offscreen"]
    print("station alone / window: start-up %.2f×, memory %.2f× (%.0f%% less)"
          % (alone[0] / window[0], alone[1] / window[1], 100 * (1 - alone[1] / window[1])))


if __name__ == "__main__":
    main()
