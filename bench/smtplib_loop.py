#!/usr/bin/python3
"""Reference sender for the benchmarks: sends every used row of a job file through one
reused smtplib connection, as a plain script would, and prints the figures.

Usage: smtplib_loop.py HOST PORT JOBFILE
Prints: "mails <n> seconds <s> peak_kib <k>"
"""
import csv
import resource
import smtplib
import sys
import time
from email.message import EmailMessage


def main():
    host, port, path = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    with open(path, newline="", encoding="utf-8-sig") as f:
        rows = list(csv.reader(f, delimiter=";"))
    start = time.perf_counter()
    sent = 0
    with smtplib.SMTP(host, port) as smtp:
        for row in rows:
            row += [""] * (12 - len(row))
            if not row[0].strip():
                continue
            msg = EmailMessage()
            msg["From"] = "Station <station@example.org>"
            msg["To"] = row[4]
            if row[5]:
                msg["Cc"] = row[5]
            msg["Subject"] = "Postique: " + row[7]
            msg.set_content(row[8])
            smtp.send_message(msg)
            sent += 1
    seconds = time.perf_counter() - start
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    print(f"mails {sent} seconds {seconds:.3f} peak_kib {peak}")


if __name__ == "__main__":
    main()
