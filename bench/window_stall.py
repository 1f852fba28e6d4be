#!/usr/bin/python3
"""How long the window's event loop goes without running while a job is sent, the window
shown on a virtual X display; run through bench/run_window_stall.sh.

A private installation starts with its window on Xvfb; once it is idle a job of --rows rows is
dropped into its job folder and sent to the fast sink. The program's stall probe records every
gap of its event loop longer than 10 ms and how many 5 ms ticks ran; from them come the 99.9th
percentile and the worst gap over the job's run (aims: under 16 ms and under 50 ms).

Usage: window_stall.py --program EXE --sink SINK [--rows N] [--sessions N]
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from throughput import Installation, Sink, place_aside, sent_through, wait_until, write_job  # noqa: E402


def start_display():
    """Xvfb on the first free display number; returns (process, ":N")."""
    for number in range(90, 140):
        if os.path.exists("/tmp/.X11-unix/X%d" % number) or os.path.exists("/tmp/.X%d-lock" % number):
            continue
        proc = subprocess.Popen(["Xvfb", ":%d" % number, "-screen", "0", "1280x1024x24", "-nolisten", "tcp"],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if wait_until(lambda: os.path.exists("/tmp/.X11-unix/X%d" % number) or proc.poll() is not None, 10) \
                and proc.poll() is None:
            return proc, ":%d" % number
        proc.kill()
    raise RuntimeError("no virtual display could start")


def gaps_between(path, since_ms, until_ms):
    """The long gaps and the tick count of the probe's file within the job's run."""
    gaps, first_ticks, last_ticks = [], None, None
    with open(path) as f:
        for line in f:
            fields = line.split()
            if fields[0] == "#":
                stamp, ticks = int(fields[1]), int(fields[2])
                if stamp < since_ms:
                    first_ticks = ticks
                elif stamp <= until_ms:
                    last_ticks = ticks
                continue
            stamp, gap = int(fields[0]), int(fields[1])
            if since_ms <= stamp <= until_ms + 50:
                gaps.append(gap)
    ticks = (last_ticks or 0) - (first_ticks or 0)
    return sorted(gaps), max(ticks, len(gaps), 1)


def percentile(gaps, ticks, share):
    """The gap below which `share` of all ticks fall; ticks not listed took 10 ms or less."""
    above = int(ticks * (1 - share))  # how many ticks may lie above it
    if above >= len(gaps):
        return "<= 10"
    return str(gaps[len(gaps) - 1 - above])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True)
    parser.add_argument("--sink", required=True)
    parser.add_argument("--rows", type=int, default=10000)
    parser.add_argument("--sessions", type=int, default=0)
    args = parser.parse_args()

    host = "127.0.0.1"
    xvfb, display = start_display()
    sink = Sink(args.sink, host, 25)
    inst = Installation(args.program, host)
    inst.proc = None
    work = tempfile.mkdtemp(prefix="postique-stall-")
    try:
        job = os.path.join(work, "job.ss8")
        write_job(job, args.rows)
        env = dict(os.environ, DISPLAY=display, QT_QPA_PLATFORM="xcb", VELMORA_PREFIX=inst.prefix,
                   HOME=inst.home, XDG_CONFIG_HOME=os.path.join(inst.home, ".config"),
                   XDG_DATA_HOME=os.path.join(inst.home, ".local", "share"),
                   POSTIQUE_POLL_TICK_MS="10", POSTIQUE_STALL_PROBE=inst.stalls)
        env.pop("WAYLAND_DISPLAY", None)
        if args.sessions:
            env["POSTIQUE_SMTP_SESSIONS"] = str(args.sessions)
        inst.proc = subprocess.Popen([os.path.join(inst.app, "VL3_Postique")], env=env,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        at_start = sink.count()
        if not wait_until(lambda: sink.count() >= at_start + 1, 120):
            raise RuntimeError("the program did not start sending")
        time.sleep(1.0)
        before = sink.count()
        aside = place_aside(inst, job)
        final = os.path.join(inst.jobs, "Email_1.ss8")
        start_ms = int(time.time() * 1000)
        os.rename(aside, final)
        t_first, t_end = sent_through(sink, before, final)
        end_ms = int(time.time() * 1000)
        sent = sink.count() - before
        gaps, ticks = gaps_between(inst.stalls, start_ms, end_ms)
        if os.environ.get("KEEP_PROBE"):
            shutil.copy(inst.stalls, os.environ["KEEP_PROBE"])
        inst.kill()
        if sent != args.rows:
            raise RuntimeError("the sink got %d mails for %d rows" % (sent, args.rows))
        print("window shown on Xvfb %s, %d rows in %.1f s (%.0f mails/s)"
              % (display, args.rows, t_end - t_first, (args.rows - 1) / max(t_end - t_first, 1e-6)))
        print("event-loop ticks (5 ms) during the job: %d; gaps over 10 ms: %d" % (ticks, len(gaps)))
        print("gap p99:   %s ms" % percentile(gaps, ticks, 0.99))
        print("gap p99.9: %s ms  (aim: under 16 ms)" % percentile(gaps, ticks, 0.999))
        print("worst gap: %d ms  (aim: under 50 ms)" % (gaps[-1] if gaps else 0))
    finally:
        if inst.proc is not None and inst.proc.poll() is None:
            inst.kill()
        inst.remove()
        sink.close()
        xvfb.kill()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
