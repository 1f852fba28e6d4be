#!/usr/bin/python3
"""Checks every DKIM signature of the message on standard input with Debian's python3-dkim.

The DNS answers come from the arguments, "name=TXT record" each, so no resolver is asked.
Prints one JSON object: {"signatures": [{"algorithm": ..., "domain": ..., "valid": bool,
"error": text}]}.
"""
import json
import logging
import re
import sys

import dkim

records = {}
for argument in sys.argv[1:]:
    name, _, text = argument.partition("=")
    records[name.lower().rstrip(".")] = text.encode()


def lookup(name, timeout=5):
    return records.get(name.decode().lower().rstrip("."))


message = sys.stdin.buffer.read()
header_block = message.split(b"\r\n\r\n", 1)[0]
count = len(re.findall(rb"^dkim-signature:", header_block, re.I | re.M))
results = []
for index in range(count):
    verifier = dkim.DKIM(message, logger=logging.getLogger("quiet"), minkey=1024)
    entry = {"valid": False, "error": ""}
    try:
        entry["valid"] = bool(verifier.verify(idx=index, dnsfunc=lookup))
    except dkim.DKIMException as e:
        entry["error"] = str(e)
    tags = verifier.signature_fields or {}
    entry["algorithm"] = tags.get(b"a", b"").decode()
    entry["domain"] = verifier.domain.decode() if verifier.domain else ""
    entry["headers"] = tags.get(b"h", b"").decode()
    results.append(entry)
print(json.dumps({"signatures": results}))
