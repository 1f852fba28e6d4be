#!/usr/bin/python3
"""Job throughput of the real program, headless, beside Python smtplib on one reused
connection, against a fast SMTP sink; run through bench/run_throughput.sh.

Rounds alternate program / smtplib over the same job rows, plain SMTP and STARTTLS, then the
same with a 10 ms round trip added by the sink; then a 100,000-row job for memory, and a 100,000-row workbook (.xlsx) job. Prints
mails/s, CPU per mail, peak memory, the longest stall of the program's event loop during the
job, and the program/smtplib ratios. Both rates run from the first mail's arrival to the last
(the program first watches a new job for 2 s, a writer may still be at it: that wait is in
the "whole run" time only).

Usage: throughput.py --program EXE --sink SINK [--rows N] [--rounds N] [--rtt-rows N]
                     [--big-rows N] [--workbook-rows N] [--sessions N]
"""
import argparse
import os
import random
import resource
import shutil
import signal
import smtplib
import ssl
import statistics
import subprocess
import sys
import tempfile
import time

CLK_TCK = os.sysconf("SC_CLK_TCK")


def job_row(i):
    body = ("Bonjour,\r\nle programme %d est diffusé ce soir à 20 h.\r\n" % i) + ("Détails du programme. " * 80)
    cells = ["1", "", "", "", "dest%d@example.org" % i, "", "", "Diffusion %d" % i, body, "", "", ""]
    return ";".join('"' + c.replace('"', '""') + '"' for c in cells) + "\r\n"


def write_job(path, rows):
    with open(path, "w", encoding="utf-8", newline="") as f:
        for i in range(1, rows + 1):
            f.write(job_row(i))


class Sink:
    """The benchmark's own SMTP sink (bench/smtp_sink.cpp)."""

    def __init__(self, binary, host, port, tls=None, delay_ms=0, extra=()):
        args = [binary, "serve", host, str(port)] + list(extra)
        if tls:
            args += ["--tls", tls[0], tls[1]]
        if delay_ms:
            args += ["--delay-ms", str(delay_ms)]
        self.proc = subprocess.Popen(args, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        line = self.proc.stdout.readline().split()
        if not line or line[0] != "READY":
            raise RuntimeError("sink did not start")
        self.port = int(line[1])

    def count(self):
        self.proc.stdin.write("COUNT\n")
        self.proc.stdin.flush()
        return int(self.proc.stdout.readline().split()[1])

    def stats(self):
        """Mails, commands, throttling replies and duplicates (a limited sink)."""
        self.proc.stdin.write("STATS\n")
        self.proc.stdin.flush()
        return [int(x) for x in self.proc.stdout.readline().split()[1:]]

    def close(self):
        self.proc.stdin.close()
        self.proc.wait(10)


def proc_cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / CLK_TCK


def proc_status_kib(pid, key):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    return -1


class Installation:
    """A private installation of the program: its executable, a prefix, a settings file."""

    def __init__(self, program, server, tls_ca=None, jobs_folder=None):
        self.dir = tempfile.mkdtemp(prefix="postique-bench-")
        self.app = os.path.join(self.dir, "app")
        os.makedirs(self.app)
        shutil.copy(program, os.path.join(self.app, "VL3_Postique"))
        self.prefix = os.path.join(self.dir, "prefix")
        self.home = os.path.join(self.dir, "home")
        os.makedirs(self.home)
        self.jobs = os.path.join(self.prefix, "drive_c", "Jobs")
        os.makedirs(self.jobs)
        config = os.path.join(self.prefix, "drive_c", "Halvaro", "Velmora", "Config")
        os.makedirs(config)
        # Another job folder (a share's mount) as a Windows text through drive Z:.
        folder = "C:\\Jobs\\"
        if jobs_folder:
            self.jobs = jobs_folder
            folder = "Z:" + jobs_folder.replace("/", "\\").rstrip("\\") + "\\"
        with open(os.path.join(config, "VL3_Postique.ini"), "w", newline="") as f:
            f.write("[Serveur]\r\nServeur=%s\r\nAutentification=0\r\nUser=\r\nPW=\r\nProtocole=0\r\n"
                    "ConnexionSSL=%d\r\n[Envoi]\r\nSignatureNumerique=0\r\nCrypter=0\r\n"
                    "[Dossiers]\r\nDossier_00=%s\r\nSousDossier=0\r\n"
                    "[Email]\r\nFrom=Station <station@example.org>\r\nTo=\r\nCc=\r\nCci=\r\n"
                    % (server, 1 if tls_ca else 0, folder))
        if tls_ca:
            ca_folder = os.path.join(self.app, "Settings", "VL3_Postique", "CA")
            os.makedirs(ca_folder)
            shutil.copy(tls_ca, os.path.join(ca_folder, "bench-ca.pem"))
        self.stalls = os.path.join(self.dir, "stalls.txt")

    def start(self, sessions):
        env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM")}
        env.update(VELMORA_PREFIX=self.prefix, HOME=self.home,
                   XDG_CONFIG_HOME=os.path.join(self.home, ".config"),
                   XDG_DATA_HOME=os.path.join(self.home, ".local", "share"),
                   POSTIQUE_POLL_TICK_MS="10", POSTIQUE_STALL_PROBE=self.stalls)
        if sessions:
            env["POSTIQUE_SMTP_SESSIONS"] = str(sessions)
        self.proc = subprocess.Popen([os.path.join(self.app, "VL3_Postique")], env=env,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def kill(self):
        # Never a clean exit: the program's end-of-run clean-up would end every copy running
        # on this machine, other people's included.
        self.proc.send_signal(signal.SIGKILL)
        self.proc.wait()

    def remove(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def longest_stall_ms(self, since_ms, until_ms):
        worst = 0
        try:
            with open(self.stalls) as f:
                for line in f:
                    if line.startswith("#"):
                        continue
                    stamp, gap = (int(x) for x in line.split())
                    if since_ms <= stamp <= until_ms + 50:
                        worst = max(worst, gap)
        except FileNotFoundError:
            pass
        return worst


def wait_until(done, timeout):
    deadline = time.monotonic() + timeout
    while not done():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.01)
    return True


def place_aside(inst, job_source):
    """The job copied into the job folder under a name the program ignores, written 10 s ago."""
    aside = os.path.join(inst.jobs, "job.tmp")
    shutil.copy(job_source, aside)
    old = time.time() - 10
    os.utime(aside, (old, old))
    return aside


def sent_through(sink, before, final):
    """Waits for the job's first mail at the sink, then for its deletion; both times."""
    # The job is first watched for 2 s (a writer may still be at work): the sending rate
    # runs from the job's first mail at the sink to the job's deletion.
    if not wait_until(lambda: sink.count() > before, 600):
        raise RuntimeError("the job was not taken")
    t_first = time.perf_counter()
    if not wait_until(lambda: not os.path.exists(final), 3600):
        raise RuntimeError("the job was not sent")
    return t_first, time.perf_counter()


def program_round(args, job_source, rows, sink, host, tls_ca=None):
    inst = Installation(args.program, host, tls_ca)
    try:
        at_start = sink.count()
        inst.start(args.sessions)
        # Up and idle once the first start's version notice went out.
        if not wait_until(lambda: sink.count() >= at_start + 1, 120):
            raise RuntimeError("the program did not start sending")
        time.sleep(0.3)
        before = sink.count()
        aside = place_aside(inst, job_source)
        rss_before = proc_status_kib(inst.proc.pid, "VmRSS")
        cpu0 = proc_cpu_seconds(inst.proc.pid)
        start_ms = int(time.time() * 1000)
        t0 = time.perf_counter()
        final = os.path.join(inst.jobs, "Email_1.ss8")
        os.rename(aside, final)
        t_first, t_end = sent_through(sink, before, final)
        seconds = t_end - t0
        cpu = proc_cpu_seconds(inst.proc.pid) - cpu0
        peak = proc_status_kib(inst.proc.pid, "VmHWM")
        end_ms = int(time.time() * 1000)
        sent = sink.count() - before
        stall = inst.longest_stall_ms(start_ms, end_ms)
        inst.kill()
        if sent != rows:
            raise RuntimeError("the sink got %d mails for %d rows" % (sent, rows))
        return dict(rate=(rows - 1) / max(t_end - t_first, 1e-6), cpu_ms=cpu * 1000 / rows,
                    peak_mib=peak / 1024, growth_mib=(peak - rss_before) / 1024, stall_ms=stall,
                    seconds=seconds)
    finally:
        if inst.proc.poll() is None:
            inst.kill()
        inst.remove()


def sink_round(args, job_source, rows, host):
    """One program round against a plain sink of its own."""
    sink = Sink(args.sink, host, 25)
    try:
        return program_round(args, job_source, rows, sink, host)
    finally:
        sink.close()


def smtplib_round(job_source, host, port, tls_ca=None):
    """The same rows through Python smtplib on one connection, in a child process."""
    code = r'''
import csv, resource, smtplib, ssl, sys, time
from email.header import Header
from email.mime.text import MIMEText
from email.utils import formatdate, make_msgid
host, port, path, ca = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4]
with open(path, newline="", encoding="utf-8") as f:
    rows = list(csv.reader(f, delimiter=";"))
t0 = time.perf_counter(); c0 = time.process_time(); sent = 0; t_first = None
with smtplib.SMTP(host, port) as smtp:
    if ca:
        smtp.starttls(context=ssl.create_default_context(cafile=ca))
    for row in rows:
        if not row[0].strip():
            continue
        msg = MIMEText(row[8], "plain", "utf-8")
        msg["From"] = "Station <station@example.org>"
        msg["To"] = row[4]
        msg["Subject"] = Header("Postique: " + row[7], "utf-8")
        msg["Date"] = formatdate(localtime=True)
        msg["Message-ID"] = make_msgid()
        smtp.sendmail("station@example.org", [row[4]], msg.as_bytes())
        sent += 1
        if t_first is None:
            t_first = time.perf_counter()
t_end = time.perf_counter(); cpu = time.process_time() - c0
print(sent, t_end - t0, cpu, resource.getrusage(resource.RUSAGE_SELF).ru_maxrss, t_end - t_first)
'''
    out = subprocess.run(["/usr/bin/python3", "-c", code, host, str(port), job_source, tls_ca or ""],
                         check=True, capture_output=True, text=True).stdout.split()
    sent, seconds, cpu, peak, after_first = int(out[0]), float(out[1]), float(out[2]), int(out[3]), float(out[4])
    # The same measure as the program's: from the first mail's end to the last one's.
    return dict(rate=(sent - 1) / max(after_first, 1e-6), cpu_ms=cpu * 1000 / sent,
                peak_mib=peak / 1024, seconds=seconds)


def make_certificates(folder, host):
    ca_key, ca = os.path.join(folder, "ca.key"), os.path.join(folder, "ca.pem")
    key, csr, cert = (os.path.join(folder, n) for n in ("server.key", "server.csr", "server.pem"))
    ext = os.path.join(folder, "ext.cnf")
    with open(ext, "w") as f:
        f.write("subjectAltName=IP:%s\nbasicConstraints=CA:FALSE\n" % host)
    quiet = dict(check=True, capture_output=True)
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", ca_key, "-out", ca,
                    "-days", "2", "-subj", "/CN=Postique bench CA"], **quiet)
    subprocess.run(["openssl", "req", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", csr,
                    "-subj", "/CN=%s" % host], **quiet)
    subprocess.run(["openssl", "x509", "-req", "-in", csr, "-CA", ca, "-CAkey", ca_key, "-CAcreateserial",
                    "-out", cert, "-days", "2", "-extfile", ext], **quiet)
    return ca, (cert, key)


def show(label, figures):
    rate = [f["rate"] for f in figures]
    cpu = [f["cpu_ms"] for f in figures]
    peak = max(f["peak_mib"] for f in figures)
    line = "  %-26s %7.0f mails/s (runs %s)  CPU/mail %.3f ms  peak %.0f MiB  whole run %.1f s" % (
        label, statistics.median(rate), " ".join("%.0f" % r for r in rate), statistics.median(cpu), peak,
        statistics.median(f["seconds"] for f in figures))
    if "stall_ms" in figures[0]:
        line += "  longest stall %d ms" % max(f["stall_ms"] for f in figures)
    print(line, flush=True)
    return statistics.median(rate)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True)
    parser.add_argument("--sink", required=True)
    parser.add_argument("--rows", type=int, default=10000)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--rtt-rows", type=int, default=500)
    parser.add_argument("--big-rows", type=int, default=100000)
    parser.add_argument("--workbook-rows", type=int, default=100000)
    parser.add_argument("--sessions", type=int, default=0)
    args = parser.parse_args()

    work = tempfile.mkdtemp(prefix="postique-bench-")
    host = "127.%d.%d.%d" % (random.randint(10, 250), random.randint(1, 250), random.randint(2, 250))
    try:
        ca, server_pair = make_certificates(work, host)
        print("Load average at start: %s" % open("/proc/loadavg").read().split()[0:3], flush=True)

        # The sink is not the bottleneck: a C client through it, pipelined and one command at a time.
        sink = Sink(args.sink, "127.0.0.1", 0, tls=server_pair)
        for mode in (["50000"], ["10000", "--lockstep"]):
            out = subprocess.run([args.sink, "blast", "127.0.0.1", str(sink.port)] + mode,
                                 check=True, capture_output=True, text=True).stdout.split()
            print("Sink alone, C client %-11s: %s mails/s" % ("pipelined" if len(mode) == 1 else "lockstep", out[3]),
                  flush=True)
        sink.close()

        job = os.path.join(work, "job.csv")
        write_job(job, args.rows)
        size = os.path.getsize(job)
        print("Job: %d rows, %.1f MiB" % (args.rows, size / 2**20), flush=True)

        for label, tls in (("plain SMTP", None), ("STARTTLS", ca)):
            sink = Sink(args.sink, host, 25, tls=server_pair if tls else None)
            prog, py = [], []
            try:
                for _ in range(args.rounds):
                    prog.append(program_round(args, job, args.rows, sink, host, tls))
                    py.append(smtplib_round(job, host, 25, tls))
            finally:
                sink.close()
            print("%s, %d rows, %d alternating rounds:" % (label, args.rows, args.rounds))
            a = show("program (headless)", prog)
            b = show("smtplib, one connection", py)
            print("  ratio program/smtplib: %.2f (per round: %s)" % (
                a / b, " ".join("%.2f" % (p["rate"] / q["rate"]) for p, q in zip(prog, py))), flush=True)

        if args.rtt_rows:
            rtt_job = os.path.join(work, "rtt.csv")
            write_job(rtt_job, args.rtt_rows)
            sink = Sink(args.sink, host, 25, delay_ms=10)
            try:
                prog = [program_round(args, rtt_job, args.rtt_rows, sink, host)]
                py = [smtplib_round(rtt_job, host, 25)]
            finally:
                sink.close()
            print("10 ms round trip added by the sink, plain SMTP, %d rows:" % args.rtt_rows)
            a = show("program (headless)", prog)
            b = show("smtplib, one connection", py)
            print("  ratio program/smtplib: %.2f" % (a / b), flush=True)

        if args.big_rows:
            big = os.path.join(work, "big.csv")
            write_job(big, args.big_rows)
            size = os.path.getsize(big)
            run = sink_round(args, big, args.big_rows, host)
            print("%d-row job of %.0f MiB: program peak %.0f MiB = %.2f x the file (growth over the idle "
                  "program %.0f MiB = %.2f x), %.0f mails/s, longest stall %d ms" % (
                      args.big_rows, size / 2**20, run["peak_mib"], run["peak_mib"] * 2**20 / size,
                      run["growth_mib"], run["growth_mib"] * 2**20 / size, run["rate"], run["stall_ms"]), flush=True)
        if args.workbook_rows:
            # The same job as a workbook (written by XlsxWriter, not by the program): the
            # program's memory while it reads the compressed sheet and sends it.
            writer = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "workbooks",
                                  "write_workbooks.py")
            subprocess.run(["/usr/bin/python3", writer, work, "big", str(args.workbook_rows)], check=True)
            book = os.path.join(work, "big.xlsx")
            size = os.path.getsize(book)
            run = sink_round(args, book, args.workbook_rows, host)
            print("%d-row workbook (.xlsx) of %.1f MiB: program peak %.0f MiB (growth over the idle program "
                  "%.0f MiB), %.0f mails/s, longest stall %d ms" % (
                      args.workbook_rows, size / 2**20, run["peak_mib"], run["growth_mib"], run["rate"],
                      run["stall_ms"]), flush=True)
        print("Load average at end: %s" % open("/proc/loadavg").read().split()[0:3])
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
