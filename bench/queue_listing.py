#!/usr/bin/python3
"""Time of `--queue --json` over a queue of many waiting rows: one job of ROWS rows whose
journal says each was refused once and waits an hour. Measured without a running copy (the
command reads the job and its journal itself) and against a running copy (through its
socket). Prints the median wall time of RUNS commands for each; run through
bench/run_queue.sh.

Usage: queue_listing.py --program EXE [--rows N] [--runs N]
"""
import argparse
import hashlib
import json
import os
import signal
import statistics
import subprocess
import sys
import time
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from throughput import Installation  # noqa: E402


def row_key(cells):
    text = b"".join(c.encode() + b"\x1f" for c in cells)
    return hashlib.sha256(text).hexdigest()[:40]


def write_queue(jobs, rows):
    now_ms = int(time.time() * 1000)
    lines, records = [], [b"POSTIQUE-JOURNAL 1\n"]
    reason = urllib.parse.quote("451 4.7.1 Greylisted, come back later", safe="").encode()
    for i in range(rows):
        to = "r%d@example.org" % i
        cells = ["1", "", "", "", to, "", "", "Sujet %d" % i, "Corps", "", "", ""]
        lines.append(";".join('"%s"' % c for c in cells[:11]))
        records.append(b"D %s 0 %d %d 1 %s\n" % (row_key(cells).encode(), now_ms,
                                                 now_ms + 3_600_000, reason))
    with open(os.path.join(jobs, "Email_1.ss8"), "w", newline="") as f:
        f.write("\r\n".join(lines) + "\r\n")
    with open(os.path.join(jobs, ".Email_1.ss8.postique-journal"), "wb") as f:
        f.writelines(records)


def env_of(inst):
    env = {k: v for k, v in os.environ.items()
           if k not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM")}
    env.update(VELMORA_PREFIX=inst.prefix, HOME=inst.home,
               XDG_CONFIG_HOME=os.path.join(inst.home, ".config"),
               XDG_DATA_HOME=os.path.join(inst.home, ".local", "share"),
               POSTIQUE_POLL_TICK_MS="10")
    return env


def timed(inst, runs, rows):
    exe = os.path.join(inst.app, "VL3_Postique")
    times = []
    for _ in range(runs):
        start = time.monotonic()
        out = subprocess.run([exe, "--queue", "--json"], env=env_of(inst), check=True,
                             capture_output=True).stdout
        times.append((time.monotonic() - start) * 1000)
        listed = len(json.loads(out))
        if listed != rows:
            sys.exit("listed %d rows, expected %d" % (listed, rows))
    return statistics.median(times)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True)
    parser.add_argument("--rows", type=int, default=10000)
    parser.add_argument("--runs", type=int, default=7)
    args = parser.parse_args()
    inst = Installation(args.program, "127.0.0.1")
    try:
        write_queue(inst.jobs, args.rows)
        alone = timed(inst, args.runs, args.rows)
        inst.proc = subprocess.Popen([os.path.join(inst.app, "VL3_Postique")], env=env_of(inst),
                                     stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        for line in inst.proc.stderr:
            if b"started without a display" in line:
                break
        time.sleep(1)
        running = timed(inst, args.runs, args.rows)
        inst.kill()
        print("--queue --json over %d waiting rows: %.0f ms without a running copy, "
              "%.0f ms through the running copy (median of %d; goal under 200 ms)"
              % (args.rows, alone, running, args.runs))
    finally:
        if getattr(inst, "proc", None) and inst.proc.poll() is None:
            inst.proc.send_signal(signal.SIGKILL)
            inst.proc.wait()
        inst.remove()


if __name__ == "__main__":
    main()
