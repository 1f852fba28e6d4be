#!/usr/bin/python3
"""Job folders on a real SMB share on loopback (tests/servers/smb_share.sh; needs root and
/dev/fuse): the time from a job's rename on the server to its first mail through the mount,
and the file-system cost of one poll cycle on a share holding 10,000 other files.
Run through bench/run_share_bench.sh.

Usage: share_bench.py --program EXE --sink SINK --cycle-bench EXE [--rounds N] [--others N]
"""
import argparse
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from throughput import Installation, Sink, job_row, wait_until  # noqa: E402

SHARE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "servers",
                     "smb_share.sh")


def address():
    return "127.%d.%d.%d" % (random.randint(10, 250), random.randint(1, 250), random.randint(2, 250))


def share(command, folder, addr, log):
    with open(log, "a") as out:  # the client's daemon keeps its output open: a file, no pipe
        return subprocess.run([SHARE, command, folder, addr], stdout=out, stderr=out).returncode == 0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True)
    parser.add_argument("--sink", required=True)
    parser.add_argument("--cycle-bench", required=True)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--others", type=int, default=10000)
    args = parser.parse_args()

    work = tempfile.mkdtemp(prefix="postique-share-bench-")
    os.chmod(work, 0o755)
    folder, log = os.path.join(work, "share"), os.path.join(work, "share.log")
    smb = address()
    if not share("up", folder, smb, log):
        sys.exit("the SMB share did not start: " + open(log).read())
    export, mount = os.path.join(folder, "export"), os.path.join(folder, "mnt")
    host = address()
    sink = Sink(args.sink, host, 25)
    inst = Installation(args.program, host, jobs_folder=mount)
    try:
        inst.start(0)
        if not wait_until(lambda: sink.count() >= 1, 120):  # the first start's notice
            raise RuntimeError("the program did not start sending")
        latencies = []
        for r in range(args.rounds):
            before = sink.count()
            part, final = os.path.join(export, "job%d.tmp" % r), os.path.join(export, "Email_%d.ss8" % r)
            with open(part, "w", encoding="utf-8", newline="") as f:
                f.write(job_row(r))
            t0 = time.perf_counter()
            os.rename(part, final)
            if not wait_until(lambda: sink.count() > before, 180):
                raise RuntimeError("the job was not taken")
            latencies.append(time.perf_counter() - t0)
            wait_until(lambda: not os.path.exists(final), 30)
        print("Rename on the server to first mail through the mount, %d jobs: median %.1f s, "
              "min %.1f s, max %.1f s" % (len(latencies), statistics.median(latencies),
                                          min(latencies), max(latencies)), flush=True)
        inst.kill()
        settings = os.path.join(work, "settings")
        os.makedirs(settings)
        for others in (0, args.others):
            for i in range(others):
                open(os.path.join(export, "autre_%05d.wav" % i), "w").close()
            time.sleep(2)  # past the client's folder cache
            out = subprocess.run([args.cycle_bench, mount, settings, "20"], check=True,
                                 capture_output=True, text=True).stdout.strip()
            print("Poll cycle, %d other files on the share: %s" % (others, out), flush=True)
    finally:
        if inst.proc.poll() is None:
            inst.kill()
        inst.remove()
        sink.close()
        share("down", folder, smb, log)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
