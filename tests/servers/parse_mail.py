#!/usr/bin/python3
"""Reads one RFC 5322 message on standard input and prints, as JSON, what a mail reader
shows of it, decoded by Python's own email package: subject, from, to, cc, the list of
header names, the first text part's text and charset, and every attachment."""
import base64
import codecs
import email
import email.policy
import json
import sys


def _aliases(name):
    # Charset names that mail programs use but Python spells differently.
    known = {"windows_874": "cp874", "ks_c_5601_1987": "cp949"}
    target = known.get(name.replace("-", "_").lower())
    return codecs.lookup(target) if target else None


codecs.register(_aliases)


def main():
    raw = sys.stdin.buffer.read()
    msg = email.message_from_bytes(raw, policy=email.policy.default)
    out = {
        "subject": str(msg.get("Subject", "")),
        "header_block": raw.split(b"\r\n\r\n", 1)[0].decode("ascii", "replace"),
        "from": str(msg.get("From", "")),
        "to": str(msg.get("To", "")),
        "cc": str(msg.get("Cc", "")),
        "headers": [k for k in msg.keys()],
        "date": msg["Date"].datetime.isoformat() if msg["Date"] is not None
        and msg["Date"].datetime is not None else "",
        "defects": [str(d) for d in msg.defects],
        "attachments": [],
    }
    body = msg.get_body(preferencelist=("plain",))
    if body is not None:
        out["body"] = body.get_content().replace("\r\n", "\n")
        out["body_charset"] = body.get_content_charset() or ""
        out["body_encoding"] = body.get("Content-Transfer-Encoding", "")
    for part in msg.iter_attachments():
        out["attachments"].append({
            "filename": part.get_filename() or "",
            "content_type": part.get_content_type(),
            "data_b64": base64.b64encode(part.get_payload(decode=True) or b"").decode(),
        })
    json.dump(out, sys.stdout)


if __name__ == "__main__":
    main()
