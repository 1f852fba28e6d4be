#!/usr/bin/python3
"""A job against a server with the limits of a hosted service; run through
bench/run_throughput.sh --limited.

The sink takes at most 3 sessions at once ("432 4.3.2" on a MAIL of a 4th) and 600 mails in
any 60 s ("451 4.7.0" beyond). A job of --rows rows is dropped into a fresh installation of the
real program, headless; once with the limits in its settings file ([Destination <host>]),
once with nothing said, so that it learns them from the refusals. Prints, for each, the rate
from the first mail to the job's deletion against the allowed rate, the share of commands
answered by a throttling reply, and whether every row arrived exactly once.

Usage: limited.py --program EXE --sink SINK [--rows N] [--sessions N] [--per-minute N]
"""
import argparse
import os
import random
import shutil
import sys
import tempfile
import time

from throughput import Installation, Sink, place_aside, sent_through, wait_until, write_job


def limited_round(args, job_source, host, configured):
    sink = Sink(args.sink, host, 25,
                extra=["--max-sessions", str(args.sessions), "--per-minute", str(args.per_minute)])
    inst = Installation(args.program, host)
    try:
        if configured:
            config = os.path.join(inst.prefix, "drive_c", "Halvaro", "Velmora", "Config", "VL3_Postique.ini")
            with open(config, "a", newline="") as f:
                f.write("[Destination %s]\r\nSessions=%d\r\nMessagesParMinute=%d\r\n"
                        % (host, args.sessions, args.per_minute))
        inst.start(0)
        # Up and idle once the first start's version notice went out.
        if not wait_until(lambda: sink.count() >= 1, 120):
            raise RuntimeError("the program did not start sending")
        time.sleep(0.3)
        mails0, commands0, throttled0, _ = sink.stats()
        final = os.path.join(inst.jobs, "Email_1.ss8")
        os.rename(place_aside(inst, job_source), final)
        t_first, t_end = sent_through(sink, mails0, final)
        mails, commands, throttled, duplicates = sink.stats()
        inst.kill()
        sent, commands, throttled = mails - mails0, commands - commands0, throttled - throttled0
        per_minute = (args.rows - 1) * 60 / max(t_end - t_first, 1e-6)
        print("  %-34s %d rows in %.1f s: %.0f mails/min = %.1f %% of the %d allowed; "
              "%d of %d commands throttled (%.2f %%); %d mails for %d rows, %d duplicates" % (
                  "limits in the settings file:" if configured else "limits learnt from refusals:",
                  args.rows, t_end - t_first, per_minute, per_minute * 100 / args.per_minute,
                  args.per_minute, throttled, commands, throttled * 100 / max(commands, 1), sent,
                  args.rows, duplicates), flush=True)
        if sent != args.rows or duplicates:
            raise RuntimeError("%d mails for %d rows, %d duplicates" % (sent, args.rows, duplicates))
    finally:
        if inst.proc.poll() is None:
            inst.kill()
        inst.remove()
        sink.close()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True)
    parser.add_argument("--sink", required=True)
    parser.add_argument("--rows", type=int, default=2000)
    parser.add_argument("--sessions", type=int, default=3)
    parser.add_argument("--per-minute", type=int, default=600)
    parser.add_argument("--only", choices=("configured", "learnt"))
    args = parser.parse_args()
    work = tempfile.mkdtemp(prefix="postique-bench-")
    host = "127.%d.%d.%d" % (random.randint(10, 250), random.randint(1, 250), random.randint(2, 250))
    try:
        job = os.path.join(work, "job.csv")
        write_job(job, args.rows)
        print("Sink allowing %d sessions and %d mails a minute; load average at start: %s" % (
            args.sessions, args.per_minute, open("/proc/loadavg").read().split()[0:3]), flush=True)
        for configured in (True, False):
            if args.only and args.only != ("configured" if configured else "learnt"):
                continue
            limited_round(args, job, host, configured)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
