#!/usr/bin/python3
"""OAuth 2.0 authorisation server for the tests (HTTPS with the test CA's server certificate).

Usage: oauth_server.py --cert C --key K --state DIR --client-id ID [--client-secret S]

Prints "PORT <n>" once it listens on 127.0.0.1. Endpoints:
  POST /device    device authorisation request (RFC 8628): client_id, scope
  GET  /verify    the person's sign-in page: ?user_code=...&login=...[&deny=1] approves
                  (or declines) the code; the tests play the person through it
  POST /token     grant_type device_code, refresh_token or client_credentials
DIR/control.json (read at every request, all keys optional) changes the behaviour:
  access_ttl      lifetime of new access tokens in seconds (default 3600)
  device_ttl      lifetime of device codes in seconds (default 600)
  revoked         true: every refresh token is refused (invalid_grant)
  not_before      access tokens issued before this time (epoch seconds) are refused by the
                  resource peers (SMTP, EWS) that read DIR/tokens.json
  unavailable     true: the token endpoint answers 503
  delay           seconds the token endpoint waits before it answers (a provider that hangs)
DIR/tokens.json holds every access token issued (token -> exp, iat, sub, scope) and the
refresh tokens (and "issued", every token text ever handed out); the SMTP and EWS peers check the bearer they receive against it.
DIR/requests.jsonl records each token request: path, grant_type, scope, outcome.
"""

import argparse
import base64
import json
import os
import secrets
import ssl
import sys
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

LOCK = threading.Lock()


def b64url(data):
    return base64.urlsafe_b64encode(data).rstrip(b"=").decode("ascii")


class State:
    def __init__(self, folder, client_id, client_secret):
        self.folder = folder
        self.client_id = client_id
        self.client_secret = client_secret
        self.devices = {}  # device_code -> {user_code, exp, status, login, scope}
        self.tokens = {"access": {}, "refresh": {}, "issued": []}

    def control(self):
        try:
            with open(os.path.join(self.folder, "control.json"), encoding="utf-8") as f:
                return json.load(f)
        except (OSError, ValueError):
            return {}

    def save_tokens(self):
        path = os.path.join(self.folder, "tokens.json")
        with open(path + ".tmp", "w", encoding="utf-8") as f:
            json.dump(self.tokens, f)
        os.replace(path + ".tmp", path)

    def log(self, **record):
        with open(os.path.join(self.folder, "requests.jsonl"), "a", encoding="utf-8") as f:
            f.write(json.dumps(record) + "\n")

    def issue(self, sub, scope, with_refresh):
        ttl = int(self.control().get("access_ttl", 3600))
        access = "at-" + secrets.token_urlsafe(24)
        now = time.time()
        self.tokens["access"][access] = {"exp": now + ttl, "iat": now, "sub": sub, "scope": scope}
        self.tokens["issued"].append(access)
        answer = {"access_token": access, "token_type": "Bearer", "expires_in": ttl, "scope": scope}
        if with_refresh:
            refresh = "rt-" + secrets.token_urlsafe(24)
            self.tokens["refresh"][refresh] = {"sub": sub}
            self.tokens["issued"].append(refresh)
            answer["refresh_token"] = refresh
            claims = {"preferred_username": sub, "iat": int(now)}
            answer["id_token"] = "%s.%s.sig" % (b64url(b'{"alg":"none"}'),
                                                b64url(json.dumps(claims).encode()))
        self.save_tokens()
        return answer


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, fmt, *args):
        pass

    def reply(self, status, obj):
        body = json.dumps(obj).encode("utf-8") if not isinstance(obj, bytes) else obj
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Cache-Control", "no-store")
        self.end_headers()
        self.wfile.write(body)

    def form(self):
        length = int(self.headers.get("Content-Length", "0"))
        raw = self.rfile.read(length).decode("utf-8") if length else ""
        return {k: v[0] for k, v in urllib.parse.parse_qs(raw, keep_blank_values=True).items()}

    def do_GET(self):
        url = urllib.parse.urlsplit(self.path)
        query = {k: v[0] for k, v in urllib.parse.parse_qs(url.query).items()}
        st = self.server.st
        if url.path != "/verify":
            return self.reply(404, {"error": "not_found"})
        with LOCK:
            for device in st.devices.values():
                if device["user_code"] == query.get("user_code"):
                    device["status"] = "denied" if query.get("deny") else "approved"
                    device["login"] = query.get("login", "person@example.test")
                    return self.reply(200, {"signed_in": device["login"]})
        return self.reply(404, {"error": "unknown user code"})

    def do_POST(self):
        st = self.server.st
        f = self.form()
        path = urllib.parse.urlsplit(self.path).path
        if path == "/token":
            time.sleep(float(self.server.st.control().get("delay", 0)))
        with LOCK:
            control = st.control()
            if path == "/device":
                if f.get("client_id") != st.client_id:
                    return self.reply(400, {"error": "invalid_client", "error_description": "unknown client"})
                code = secrets.token_urlsafe(16)
                user_code = "%04d-%04d" % (secrets.randbelow(10000), secrets.randbelow(10000))
                ttl = int(control.get("device_ttl", 600))
                st.devices[code] = {"user_code": user_code, "exp": time.time() + ttl,
                                    "status": "pending", "scope": f.get("scope", "")}
                base = "https://127.0.0.1:%d" % self.server.server_address[1]
                return self.reply(200, {
                    "device_code": code, "user_code": user_code,
                    "verification_uri": base + "/verify",
                    "verification_uri_complete": base + "/verify?user_code=" + user_code,
                    "expires_in": ttl, "interval": 1})
            if path != "/token":
                return self.reply(404, {"error": "not_found"})
            grant = f.get("grant_type", "")
            record = {"path": path, "grant_type": grant, "scope": f.get("scope", "")}

            def answer(status, obj):
                record["outcome"] = obj.get("error", "ok")
                st.log(**record)
                return self.reply(status, obj)

            if control.get("unavailable"):
                return answer(503, {"error": "temporarily_unavailable"})
            if f.get("client_id") != st.client_id:
                return answer(400, {"error": "invalid_client", "error_description": "unknown client"})
            if grant == "urn:ietf:params:oauth:grant-type:device_code":
                device = st.devices.get(f.get("device_code", ""))
                if device is None:
                    return answer(400, {"error": "invalid_grant"})
                if time.time() > device["exp"]:
                    return answer(400, {"error": "expired_token"})
                if device["status"] == "pending":
                    return answer(400, {"error": "authorization_pending"})
                if device["status"] == "denied":
                    return answer(400, {"error": "access_denied"})
                del st.devices[f["device_code"]]
                return answer(200, st.issue(device["login"], device["scope"], True))
            if grant == "refresh_token":
                token = f.get("refresh_token", "")
                known = st.tokens["refresh"].get(token)
                if control.get("revoked") or known is None:
                    return answer(400, {"error": "invalid_grant",
                                        "error_description": "The refresh token was revoked."})
                # Rotation: the old refresh token is spent.
                del st.tokens["refresh"][token]
                return answer(200, st.issue(known["sub"], f.get("scope", ""), True))
            if grant == "client_credentials":
                if not st.client_secret or f.get("client_secret") != st.client_secret:
                    return answer(401, {"error": "invalid_client",
                                        "error_description": "Invalid client secret."})
                return answer(200, st.issue("application", f.get("scope", ""), False))
            return answer(400, {"error": "unsupported_grant_type"})


def bearer_valid(state_dir, token, login=None):
    """For the resource peers: is `token` a live access token of the server in `state_dir`?"""
    try:
        with open(os.path.join(state_dir, "tokens.json"), encoding="utf-8") as f:
            tokens = json.load(f)
    except (OSError, ValueError):
        return False
    try:
        with open(os.path.join(state_dir, "control.json"), encoding="utf-8") as f:
            control = json.load(f)
    except (OSError, ValueError):
        control = {}
    info = tokens.get("access", {}).get(token)
    if info is None or time.time() > info["exp"]:
        return False
    if info["iat"] < float(control.get("not_before", 0)):
        return False
    return login is None or info["sub"] in (login, "application")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--cert", required=True)
    parser.add_argument("--key", required=True)
    parser.add_argument("--state", required=True)
    parser.add_argument("--client-id", required=True)
    parser.add_argument("--client-secret", default="")
    args = parser.parse_args()

    state = State(args.state, args.client_id, args.client_secret)
    state.save_tokens()

    def configure(server):
        server.st = state

    return serve(Handler, configure, args.cert, args.key)


def serve(handler, configure, cert, key, plain=False):
    """Serves `handler` on 127.0.0.1 (HTTPS with cert and key unless plain) after
    configure(server), saying "PORT <n>" once it listens; returns 0 when interrupted."""
    server = ThreadingHTTPServer(("127.0.0.1", 0), handler)
    server.daemon_threads = True
    configure(server)
    if not plain:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(cert, key)
        server.socket = context.wrap_socket(server.socket, server_side=True)
    print("PORT %d" % server.server_address[1], flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
