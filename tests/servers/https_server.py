#!/usr/bin/python3
"""HTTPS peer for the Exchange and Microsoft Graph tests: takes Exchange Web Services
CreateItem requests, WebDAV submissions and Graph sendMail requests, checks their shape,
records them and answers as the test asks.

Usage: https_server.py --cert C --key K --state DIR [--user U --password P] [--plain]
                       [--bearer-state OAUTHDIR] [--negotiate-keytab KT [--offer LIST]]

Prints "PORT <n>" once it listens on 127.0.0.1. The answer to each request follows the
scenario named in DIR/scenario (read at every request; "ok" when missing):
  ok            success (EWS: ResponseClass Success; WebDAV: 201)
  unauthorized  401 whatever the credentials
  ews-error     EWS: ResponseClass Error, ErrorInvalidRecipients
  soap-fault    HTTP 500 with a SOAP fault
  fba-440       HTTP 440 (login time-out of forms-based authentication)
  fba-redirect  302 to /owa/auth/logon.aspx
  http-500      HTTP 500 without a SOAP body
  graph-busy    Graph: 429 with "Retry-After: 1" to the first request, then as "ok"
  graph-busy-long  Graph: 429 with "Retry-After: 3600"
  graph-400     Graph: 400 with an error body (code, message with a line break)
  graph-403     Graph: 403 ErrorAccessDenied (a right the application lacks)
  graph-400-consent  Graph: 400 Authorization_RequestDenied naming the consent to Mail.Send
  graph-400-other    Graph: 400 BadRequest about neither the message nor the rights
  graph-busy-shared  Graph: 429 with "Retry-After: 1" at once to the first request; every
                other request is answered 202 after 0.2 s
  concurrency   every request takes 0.3 s; a Graph request arriving while more than 4 are in
                flight gets 429 ApplicationThrottled (MailboxConcurrency)
  slow          waits 60 s before answering ("slow:S" waits S seconds)
An EWS GetFolder (the settings check) is answered as a CreateItem would be.
Graph requests (POST /v1.0/users/<mailbox>/sendMail, mailbox as --mailbox or --user) are
answered 202; one with an empty body (the settings check) 400 without being a problem.
Large messages: POST /v1.0/users/<mailbox>/messages (a MIME draft in base64) is answered 201
with the draft's id; POST .../messages/<id>/attachments/createUploadSession (JSON
AttachmentItem: attachmentType, name, size, contentType) 201 with an uploadUrl on this peer;
PUT <uploadUrl> (no Authorization header; Content-Range "bytes a-b/size", ranges in order, at
most 4 MiB each) 200 until the last range, then 201; POST .../messages/<id>/send 202, recorded
with the draft's MIME and its attachments (name, size, sha256); DELETE .../messages/<id> 204.
Every record also holds "time" (when the request arrived) and "in_flight" (the requests being
answered then, itself included).
Requests without the expected Basic credentials get 401 first, as a server does. With
--bearer-state, the credentials are an "Authorization: Bearer" header with a live access
token of the authorisation server (oauth_server.py) whose state folder is OAUTHDIR. With
--negotiate-keytab, the credentials are a Negotiate token checked with GSS-API against the
service keys of KT (KRB5_CONFIG names the realm); the challenge offers the schemes of --offer
("Negotiate,NTLM,Basic", default "Negotiate"), Basic checked against --user and --password,
NTLM never accepted. Every request with credentials is appended to DIR/requests.jsonl: method,
path, headers, the login scheme and principal, what was found in it, and "problems" (shape
errors; empty when the request is right).
"""

import argparse
import base64
import email
import email.policy
import hashlib
import itertools
import json
import os
import re
import secrets
import sys
import threading
import time
import urllib.parse
import xml.etree.ElementTree as ET
from http.server import BaseHTTPRequestHandler

from oauth_server import bearer_valid, serve

_request_ids = itertools.count(1)  # Graph's request-id of each mail taken
SOAP = "http://schemas.xmlsoap.org/soap/envelope/"
TYPES = "http://schemas.microsoft.com/exchange/services/2006/types"
MESSAGES = "http://schemas.microsoft.com/exchange/services/2006/messages"

LOCK = threading.Lock()


def q(ns, tag):
    return "{%s}%s" % (ns, tag)


def ews_success():
    return (
        '<?xml version="1.0" encoding="utf-8"?>'
        '<s:Envelope xmlns:s="%s"><s:Header/><s:Body>'
        '<m:CreateItemResponse xmlns:m="%s" xmlns:t="%s"><m:ResponseMessages>'
        '<m:CreateItemResponseMessage ResponseClass="Success">'
        "<m:ResponseCode>NoError</m:ResponseCode><m:Items/>"
        "</m:CreateItemResponseMessage></m:ResponseMessages></m:CreateItemResponse>"
        "</s:Body></s:Envelope>" % (SOAP, MESSAGES, TYPES)
    )


def ews_error():
    return (
        '<?xml version="1.0" encoding="utf-8"?>'
        '<s:Envelope xmlns:s="%s"><s:Body>'
        '<m:CreateItemResponse xmlns:m="%s"><m:ResponseMessages>'
        '<m:CreateItemResponseMessage ResponseClass="Error">'
        "<m:MessageText>At least one recipient isn't valid.</m:MessageText>"
        "<m:ResponseCode>ErrorInvalidRecipients</m:ResponseCode>"
        "<m:DescriptiveLinkKey>0</m:DescriptiveLinkKey>"
        "</m:CreateItemResponseMessage></m:ResponseMessages></m:CreateItemResponse>"
        "</s:Body></s:Envelope>" % (SOAP, MESSAGES)
    )


def soap_fault():
    return (
        '<?xml version="1.0" encoding="utf-8"?>'
        '<s:Envelope xmlns:s="%s"><s:Body><s:Fault>'
        '<faultcode xmlns:a="http://schemas.microsoft.com/exchange/services/2006/types">'
        "a:ErrorSchemaValidation</faultcode>"
        "<faultstring xml:lang=\"en-US\">The request failed schema validation.</faultstring>"
        "</s:Fault></s:Body></s:Envelope>" % SOAP
    )


def parse_mime(raw, problems):
    """Parses the transmitted message with Python's email package."""
    try:
        msg = email.message_from_bytes(raw, policy=email.policy.default)
    except Exception as exc:  # noqa: BLE001 - any parse failure is a problem to report
        problems.append("message does not parse: %s" % exc)
        return {}
    if msg["From"] is None:
        problems.append("message has no From header")
    return {
        "subject": str(msg["Subject"] or ""),
        "from": str(msg["From"] or ""),
        "content_type": msg.get_content_type(),
    }


def check_request(handler, method, path, problems):
    """The request's method and its path (percent-decoded) are the expected ones."""
    if handler.command != method:
        problems.append("method %s, expected %s" % (handler.command, method))
    if urllib.parse.unquote(handler.path) != path:
        problems.append("path %s, expected %s" % (handler.path, path))


def check_ews(handler, body, found, problems):
    check_request(handler, "POST", "/EWS/Exchange.asmx", problems)
    if not handler.headers.get("Content-Type", "").startswith("text/xml"):
        problems.append("Content-Type %s" % handler.headers.get("Content-Type"))
    try:
        root = ET.fromstring(body)
    except ET.ParseError as exc:
        problems.append("SOAP body is not XML: %s" % exc)
        return
    if root.tag != q(SOAP, "Envelope"):
        problems.append("root element %s" % root.tag)
        return
    if root.find("%s/%s" % (q(SOAP, "Body"), q(MESSAGES, "GetFolder"))) is not None:
        found["check"] = True  # the settings check reads the inbox folder
        return
    version = root.find("%s/%s" % (q(SOAP, "Header"), q(TYPES, "RequestServerVersion")))
    if version is None or version.get("Version") != "Exchange2007_SP1":
        problems.append("RequestServerVersion missing or not Exchange2007_SP1")
    create = root.find("%s/%s" % (q(SOAP, "Body"), q(MESSAGES, "CreateItem")))
    if create is None:
        problems.append("no CreateItem")
        return
    if create.get("MessageDisposition") != "SendAndSaveCopy":
        problems.append("MessageDisposition %s" % create.get("MessageDisposition"))
    folder = create.find("%s/%s" % (q(MESSAGES, "SavedItemFolderId"), q(TYPES, "DistinguishedFolderId")))
    if folder is None or folder.get("Id") != "sentitems":
        problems.append("SavedItemFolderId is not sentitems")
    message = create.find("%s/%s" % (q(MESSAGES, "Items"), q(TYPES, "Message")))
    if message is None:
        problems.append("no Items/Message")
        return
    children = [c.tag for c in message]
    expected_order = [q(TYPES, n) for n in ("MimeContent", "ToRecipients", "CcRecipients", "BccRecipients")]
    if not children or children[0] != expected_order[0]:
        problems.append("MimeContent is not the first element of Message")
    if [t for t in expected_order if t in children] != children:
        problems.append("unexpected elements or order in Message: %s" % children)
    for kind in ("To", "Cc", "Bcc"):
        holder = message.find(q(TYPES, kind + "Recipients"))
        addresses = []
        if holder is not None:
            for box in holder.findall(q(TYPES, "Mailbox")):
                addr = box.find(q(TYPES, "EmailAddress"))
                addresses.append(addr.text if addr is not None else None)
        found[kind.lower()] = addresses
    mime = message.find(q(TYPES, "MimeContent"))
    try:
        raw = base64.b64decode((mime.text or "").encode("ascii"), validate=True)
    except Exception as exc:  # noqa: BLE001
        problems.append("MimeContent is not base64: %s" % exc)
        return
    found["mime_b64"] = base64.b64encode(raw).decode("ascii")
    found.update(parse_mime(raw, problems))


def check_graph(handler, body, mailbox, found, problems, path="/sendMail"):
    check_request(handler, "POST", "/v1.0/users/%s%s" % (mailbox, path), problems)
    if handler.headers.get("Content-Type") != "text/plain":
        problems.append("Content-Type %s" % handler.headers.get("Content-Type"))
    if not body:
        found["check"] = True
        return
    try:
        raw = base64.b64decode(body, validate=True)
    except Exception as exc:  # noqa: BLE001
        problems.append("body is not base64: %s" % exc)
        return
    found["mime_b64"] = base64.b64encode(raw).decode("ascii")
    found.update(parse_mime(raw, problems))
    msg = email.message_from_bytes(raw, policy=email.policy.default)
    found["bcc"] = [a.addr_spec for a in msg["Bcc"].addresses] if msg["Bcc"] else []


def graph_error(code, message):
    return json.dumps({"error": {"code": code, "message": message}})


MESSAGES_PATH = re.compile(r"^/v1\.0/users/([^/]+)/messages(?:/([^/]+)(/send|/attachments/createUploadSession)?)?$")
UPLOAD_RANGE = 4 * 1024 * 1024


def graph_large(handler, body, mailbox, found, problems):
    """The draft, upload session and send requests of a large message: (status, body) to
    answer, or None when the path is none of them."""
    server = handler.server
    path = urllib.parse.unquote(handler.path)
    if path.startswith("/upload/"):
        if "Authorization" in handler.headers:
            problems.append("the upload request carries an Authorization header")
        token = path[len("/upload/"):]
        with LOCK:
            upload = server.uploads.get(token)
        if upload is None:
            problems.append("unknown upload session")
            return 404, graph_error("ItemNotFound", "no such upload session")
        match = re.match(r"^bytes (\d+)-(\d+)/(\d+)$", handler.headers.get("Content-Range", ""))
        if handler.command != "PUT" or not match:
            problems.append("upload %s with Content-Range %r" % (handler.command, handler.headers.get("Content-Range")))
            return 400, graph_error("InvalidRequest", "bad range")
        first, last, size = (int(g) for g in match.groups())
        if first != len(upload["data"]) or last - first + 1 != len(body) or size != upload["size"]:
            problems.append("range %d-%d/%d after %d bytes (body %d)" % (first, last, size, len(upload["data"]), len(body)))
        if len(body) > UPLOAD_RANGE:
            problems.append("range of %d bytes, over 4 MiB" % len(body))
        upload["data"] += body
        upload["ranges"] += 1
        found["upload"] = {"name": upload["name"], "range": [first, last, size]}
        if len(upload["data"]) < upload["size"]:
            return 200, json.dumps({"nextExpectedRanges": ["%d-" % len(upload["data"])]})
        with LOCK:
            server.drafts[upload["draft"]]["attachments"].append(upload)
        return 201, ""
    match = MESSAGES_PATH.match(path)
    if not match:
        return None
    if match.group(1) != mailbox:
        problems.append("mailbox %s, expected %s" % (match.group(1), mailbox))
    draft_id, action = match.group(2), match.group(3)
    if draft_id is None:
        check_graph(handler, body, mailbox, found, problems, "/messages")
        draft = "draft-%s" % secrets.token_hex(6)
        with LOCK:
            server.drafts[draft] = {"mime": body, "attachments": []}
        found["draft"] = draft
        return 201, json.dumps({"id": draft})
    with LOCK:
        draft = server.drafts.get(draft_id)
    if draft is None:
        problems.append("unknown draft %s" % draft_id)
        return 404, graph_error("ErrorItemNotFound", "no such draft")
    found["draft"] = draft_id
    if handler.command == "DELETE" and action is None:
        with LOCK:
            server.drafts.pop(draft_id, None)
        found["deleted"] = True
        return 204, ""
    if action == "/attachments/createUploadSession":
        try:
            item = json.loads(body)["AttachmentItem"]
            name, size = item["name"], int(item["size"])
            if item.get("attachmentType") != "file" or not item.get("contentType"):
                problems.append("AttachmentItem %r" % item)
        except (ValueError, KeyError, TypeError) as exc:
            problems.append("createUploadSession body: %s" % exc)
            return 400, graph_error("InvalidRequest", "bad AttachmentItem")
        token = secrets.token_urlsafe(12)
        with LOCK:
            server.uploads[token] = {"draft": draft_id, "name": name, "size": size,
                                     "content_type": item.get("contentType"), "data": b"", "ranges": 0}
        found["session"] = {"name": name, "size": size}
        base = "http" if server.plain else "https"
        return 201, json.dumps({"uploadUrl": "%s://127.0.0.1:%d/upload/%s" % (base, server.server_address[1], token),
                                "expirationDateTime": "2030-01-01T00:00:00Z", "nextExpectedRanges": ["0-"]})
    if action == "/send" and handler.command == "POST":
        if body:
            problems.append("send with a body")
        raw = base64.b64decode(draft["mime"])
        found["mime_b64"] = base64.b64encode(raw).decode("ascii")
        found.update(parse_mime(raw, problems))
        found["sent_draft"] = draft_id
        found["attachments"] = [{"name": a["name"], "size": len(a["data"]), "ranges": a["ranges"],
                                 "content_type": a["content_type"],
                                 "sha256": hashlib.sha256(a["data"]).hexdigest()}
                                for a in draft["attachments"]]
        return 202, ""
    problems.append("unexpected %s %s" % (handler.command, path))
    return 400, graph_error("InvalidRequest", "unexpected request")


def check_webdav(handler, body, user, found, problems):
    check_request(handler, "PUT", "/exchange/%s/##DavMailSubmissionURI##/" % user, problems)
    if "#" in handler.path:
        problems.append("path not encoded: %s" % handler.path)
    for name, value in (("Content-Type", "message/rfc821"), ("Translate", "f"), ("Saveinsent", "f")):
        if handler.headers.get(name) != value:
            problems.append("header %s is %r" % (name, handler.headers.get(name)))
    head, sep, message = body.partition(b"\r\n\r\n")
    if not sep:
        problems.append("no blank line after the envelope")
        return
    lines = head.split(b"\r\n")
    if not lines[0].startswith(b"MAIL FROM:<") or not lines[0].endswith(b">"):
        problems.append("first line %r" % lines[0])
    found["mail_from"] = lines[0][len(b"MAIL FROM:<"):-1].decode("utf-8", "replace")
    rcpt = []
    for line in lines[1:]:
        if not line.startswith(b"RCPT TO:<") or not line.endswith(b">"):
            problems.append("envelope line %r" % line)
        rcpt.append(line[len(b"RCPT TO:<"):-1].decode("utf-8", "replace"))
    if not rcpt:
        problems.append("no RCPT TO line")
    found["rcpt_to"] = rcpt
    found["mime_b64"] = base64.b64encode(message).decode("ascii")
    found.update(parse_mime(message, problems))


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, fmt, *args):  # keep test output quiet
        pass

    def scenario(self):
        try:
            with open(os.path.join(self.server.state, "scenario"), encoding="utf-8") as f:
                return f.read().strip() or "ok"
        except OSError:
            return "ok"

    def reply(self, status, body=b"", content_type="text/plain", extra=()):
        if isinstance(body, str):
            body = body.encode("utf-8")
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        if status < 300:  # mutual authentication: the server's Negotiate answer
            extra = list(extra) + getattr(self, "login_extra", [])
        for name, value in extra:
            self.send_header(name, value)
        self.end_headers()
        self.wfile.write(body)

    def negotiate(self):
        """Checks the Authorization header against the offered schemes: (scheme, principal,
        headers for the answer) when it is good, None otherwise."""
        value = self.headers.get("Authorization", "")
        scheme, _, data = value.partition(" ")
        offer = self.server.offer
        if scheme == "Negotiate" and "Negotiate" in offer:
            import gssapi  # only the Kerberos tests need it
            try:
                context = gssapi.SecurityContext(usage="accept")
                answer = context.step(base64.b64decode(data))
            except Exception:  # noqa: BLE001 - any token that does not verify is refused
                return None
            if not context.complete:
                return None
            extra = [("WWW-Authenticate", "Negotiate " + base64.b64encode(answer).decode("ascii"))] if answer else []
            return "Negotiate", str(context.initiator_name), extra
        if scheme == "Basic" and "Basic" in offer and self.server.user:
            expected = base64.b64encode(
                ("%s:%s" % (self.server.user, self.server.password)).encode("utf-8")).decode("ascii")
            if data == expected:
                return "Basic", "", []
        return None

    def challenges(self):
        if self.server.negotiate_keytab:
            return [("WWW-Authenticate", 'Basic realm="Postique test"' if name == "Basic" else name)
                    for name in self.server.offer]
        challenge = 'Bearer error="invalid_token"' if self.server.bearer_state else 'Basic realm="Postique test"'
        return [("WWW-Authenticate", challenge)]

    def authorised(self):
        if self.server.negotiate_keytab:
            return self.negotiate()
        if self.server.bearer_state:
            value = self.headers.get("Authorization", "")
            return value.startswith("Bearer ") and bearer_valid(self.server.bearer_state, value[7:])
        if not self.server.user:
            return True
        expected = "Basic " + base64.b64encode(
            ("%s:%s" % (self.server.user, self.server.password)).encode("utf-8")).decode("ascii")
        return self.headers.get("Authorization") == expected

    def handle_request(self):
        length = int(self.headers.get("Content-Length", "0"))
        body = self.rfile.read(length) if length else b""
        arrived = time.time()
        is_upload = self.path.startswith("/upload/")
        self.login_extra = []
        login = True if is_upload else self.authorised()
        if not login:
            self.reply(401, "login required", extra=self.challenges())
            return
        scheme, principal, self.login_extra = login if isinstance(login, tuple) else ("", "", [])
        scenario = self.scenario()
        found, problems = {}, []
        is_ews = self.path.lower().startswith("/ews/")
        is_graph = self.path.startswith("/v1.0/")
        mailbox = self.server.mailbox or self.server.user
        large = None
        if is_ews:
            check_ews(self, body, found, problems)
        elif is_upload or (is_graph and not self.path.endswith("/sendMail")):
            large = graph_large(self, body, mailbox, found, problems)
            if large is None:
                check_graph(self, body, mailbox, found, problems)
        elif is_graph:
            check_graph(self, body, mailbox, found, problems)
        else:
            check_webdav(self, body, mailbox, found, problems)
        with LOCK:
            self.server.in_flight += 1
            in_flight = self.server.in_flight
        try:
            record = {
                "method": self.command,
                "path": self.path,
                "headers": {k: v for k, v in self.headers.items()},
                "scenario": scenario,
                "auth": scheme,
                "principal": principal,
                "time": arrived,
                "in_flight": in_flight,
                "found": found,
                "problems": problems,
            }
            with LOCK, open(os.path.join(self.server.state, "requests.jsonl"), "a", encoding="utf-8") as f:
                f.write(json.dumps(record) + "\n")
                self.server.count += 1
                count = self.server.count
            self.answer(scenario, count, in_flight, is_ews, is_graph, large, found, problems)
        finally:
            with LOCK:
                self.server.in_flight -= 1

    def answer(self, scenario, count, in_flight, is_ews, is_graph, large, found, problems):
        if scenario == "slow" or scenario.startswith("slow:"):
            time.sleep(float(scenario[5:] or 60))
        if scenario == "concurrency":
            time.sleep(0.3)
        if is_graph and scenario == "graph-busy-shared" and count > 1:
            time.sleep(0.2)
        if large is not None and not problems:
            self.reply(large[0], large[1], "application/json")
        elif problems:
            self.reply(400, "; ".join(problems))
        elif scenario == "unauthorized":
            self.reply(401, "denied", extra=self.challenges())
        elif scenario == "fba-440":
            self.reply(440, "Login Timeout")
        elif scenario == "fba-redirect":
            self.reply(302, "", extra=[("Location", "https://127.0.0.1/owa/auth/logon.aspx?url=x")])
        elif scenario == "http-500":
            self.reply(500, "Internal Server Error")
        elif is_graph and found.get("check"):
            self.reply(400, graph_error("ErrorMimeContentInvalidBase64String", "Empty payload"),
                       "application/json")
        elif is_graph and (scenario == "graph-busy-long" or
                           (scenario in ("graph-busy", "graph-busy-shared") and count == 1)):
            wait = "3600" if scenario == "graph-busy-long" else "1"
            self.reply(429, graph_error("ApplicationThrottled", "Too many requests"),
                       "application/json", [("Retry-After", wait)])
        elif is_graph and scenario == "concurrency" and in_flight > 4:
            self.reply(429, graph_error("ApplicationThrottled",
                                        "Application is over its MailboxConcurrency limit."),
                       "application/json", [("Retry-After", "1")])
        elif is_graph and scenario == "graph-403":
            self.reply(403, graph_error("ErrorAccessDenied",
                                        "Access is denied. Check credentials and try again."),
                       "application/json")
        elif is_graph and scenario == "graph-400-consent":
            self.reply(400, graph_error("Authorization_RequestDenied",
                                        "Insufficient privileges to complete the operation: "
                                        "admin consent for Mail.Send is required."),
                       "application/json")
        elif is_graph and scenario == "graph-400-other":
            self.reply(400, graph_error("BadRequest", "The request could not be processed now."),
                       "application/json")
        elif is_graph and scenario == "graph-400":
            self.reply(400, graph_error("ErrorInvalidRecipients",
                                        "At least one recipient isn't valid.\r\nX-Injected: 1"),
                       "application/json")
        elif is_graph:
            self.reply(202, "", extra=[("request-id", "req-%d" % next(_request_ids))])
        elif is_ews and scenario == "soap-fault":
            self.reply(500, soap_fault(), "text/xml; charset=utf-8")
        elif is_ews and scenario == "ews-error":
            self.reply(200, ews_error(), "text/xml; charset=utf-8")
        elif is_ews:
            self.reply(200, ews_success(), "text/xml; charset=utf-8")
        else:
            self.reply(201, "")

    do_POST = handle_request
    do_PUT = handle_request
    do_DELETE = handle_request


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--cert")
    parser.add_argument("--key")
    parser.add_argument("--state", required=True)
    parser.add_argument("--user", default="")
    parser.add_argument("--password", default="")
    parser.add_argument("--mailbox", default="", help="mailbox name expected in WebDAV paths")
    parser.add_argument("--plain", action="store_true", help="HTTP instead of HTTPS")
    parser.add_argument("--bearer-state", default="", help="OAuth 2.0 server state folder")
    parser.add_argument("--negotiate-keytab", default="", help="service keys for Negotiate")
    parser.add_argument("--offer", default="Negotiate", help="schemes offered with --negotiate-keytab")
    args = parser.parse_args()
    if args.negotiate_keytab:
        os.environ["KRB5_KTNAME"] = "FILE:" + args.negotiate_keytab

    def configure(server):
        server.state = args.state
        server.user = args.user
        server.password = args.password
        server.mailbox = args.mailbox
        server.bearer_state = args.bearer_state
        server.negotiate_keytab = args.negotiate_keytab
        server.offer = [name.strip() for name in args.offer.split(",") if name.strip()]
        server.plain = args.plain
        server.count = 0
        server.in_flight = 0
        server.drafts = {}
        server.uploads = {}

    return serve(Handler, configure, args.cert, args.key, plain=args.plain)


if __name__ == "__main__":
    sys.exit(main())
