#!/usr/bin/python3
"""SMTP sink for the benchmarks: accepts every message on HOST:PORT and counts them.

Prints "READY" once listening; writes the number of messages received so far to COUNTFILE
after each message (so the caller can poll it); stops when standard input closes.
Usage: smtp_sink.py HOST PORT COUNTFILE
"""
import asyncio
import os
import sys

from aiosmtpd.controller import Controller


class Counter:
    def __init__(self, path):
        self.path = path
        self.count = 0

    async def handle_DATA(self, server, session, envelope):
        self.count += 1
        tmp = self.path + ".tmp"
        with open(tmp, "w") as f:
            f.write(str(self.count))
        os.replace(tmp, self.path)
        return "250 OK"


def main():
    host, port, path = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    controller = Controller(Counter(path), hostname=host, port=port)
    controller.start()
    print("READY", flush=True)
    try:
        sys.stdin.read()
    finally:
        controller.stop()


if __name__ == "__main__":
    main()
