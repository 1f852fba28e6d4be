#!/usr/bin/python3
"""SMTP peer for the tests, built on aiosmtpd.

Listens on 127.0.0.1 (port 0 = a free port chosen by the system), prints "READY <port>"
on standard output once it accepts connections, and stops when its standard input closes
or on SIGTERM. Every event is appended as one JSON object per line to --record:

  {"event": "connect", "conn": N, "tls": bool}
  {"event": "message", "conn": N, "mail_from": "...", "rcpt_tos": [...],
   "mail_arg": "the MAIL command's argument", "rcpt_args": [each RCPT's argument],
   "queue_id": "the id its 250 answer gave",
   "data_b64": "...", "auth_user": "..." or null, "tls": bool,
   "mail_at": seconds since the epoch when its MAIL command came,
   "grouped": whether more commands had come with MAIL, before its reply}
  {"event": "disconnect", "conn": N}

Options:
  --tls plain|starttls|implicit   plain: no TLS; starttls: offers STARTTLS; implicit: TLS
                                  from the first byte (SMTPS). Needs --cert and --key.
  --require-starttls              with starttls: refuse mail until TLS is on.
  --auth none|optional|required   none: AUTH never offered; optional: offered, mail also
                                  taken without it; required: mail refused until logged in.
  --user NAME:PASSWORD            an accepted login (repeatable).
  --script JSON                   scripted replies: a list of {"cmd": C, "match": M,
                                  "reply": "550 ..."}; C is EHLO, MAIL, RCPT, DATA (the DATA
                                  command) or EOD (end of data); M is a substring of the
                                  argument ("" matches everything). The first match answers
                                  in place of the server.
  --pipelining                    offer PIPELINING (RFC 2920) in the EHLO reply.
  --dsn                           offer DSN (RFC 3461): MAIL takes ENVID= and RET=, RCPT
                                  NOTIFY= and ORCPT=.
  --stall CMD                     never answer CMD (same names as --script, plus CONNECT for
                                  the greeting): the client must give up by itself.
  --stall-seconds S               answer a stalled command after S seconds (3600).
  --max-recipients N              RCPT beyond N in one mail: "452 4.5.3 Too many recipients".
  --max-sessions N                more than N connections at once: MAIL is answered
                                  "432 4.3.2 Concurrent connections limit exceeded".
  --rate N                        more than N MAIL commands in --rate-window seconds (60):
                                  answered "451 4.7.0 Rate limit exceeded".
                                  Both record {"event": "throttle", "conn": N, "reply": "..."}.
  --bearer-mechs LIST             with --bearer-state: the mechanisms offered (default
                                  XOAUTH2; "XOAUTH2,OAUTHBEARER" offers both).
  --bearer-state DIR              OAuth 2.0: offer AUTH XOAUTH2 (or OAUTHBEARER) only, and take
                                  the bearer when the authorisation server whose state folder
                                  is DIR (oauth_server.py) issued it, for that login, and it is
                                  still live; the message event then has "auth_mech".
"""
import argparse
import asyncio
import base64
import itertools
import json
import signal
import ssl
import sys
import time

from aiosmtpd.smtp import MISSING, SMTP, AuthResult, LoginPassword

from oauth_server import bearer_valid

_conn_ids = itertools.count(1)
_open = set()       # connections open now
_mail_times = []    # when the MAIL commands of the rate window came
_queue_ids = itertools.count(1)
_DSN_PARAMS = ("NOTIFY=", "ENVID=", "RET=", "ORCPT=")


class Recorder:
    def __init__(self, path):
        self.file = open(path, "a", encoding="utf-8")

    def write(self, **event):
        self.file.write(json.dumps(event) + "\n")
        self.file.flush()


class Handler:
    def __init__(self, options, recorder):
        self.options = options
        self.recorder = recorder

    async def handle_DATA(self, server, session, envelope):
        reply = server.scripted("EOD", "")
        if reply:
            return reply
        await server.maybe_stall("EOD")
        queue_id = f"Q{server.conn_id}X{next(_queue_ids)}"
        self.recorder.write(
            event="message",
            conn=server.conn_id,
            mail_from=envelope.mail_from,
            rcpt_tos=list(envelope.rcpt_tos),
            mail_arg=server.mail_arg,
            rcpt_args=list(server.rcpt_args),
            queue_id=queue_id,
            data_b64=base64.b64encode(envelope.original_content or envelope.content).decode(),
            auth_user=server.auth_user,
            auth_mech=server.auth_mech,
            tls=server.tls_on(),
            mail_at=server.mail_at,
            grouped=server.grouped,
        )
        return f"250 2.0.0 Ok: queued as {queue_id}"

    async def handle_EHLO(self, server, session, envelope, hostname, responses):
        # PIPELINING: the server reads its commands in order whatever their grouping.
        session.host_name = hostname
        extra = (["250-PIPELINING"] if self.options.pipelining else []) + (
            ["250-DSN"] if self.options.dsn else [])
        return responses[:-1] + extra + [responses[-1]]


class ScriptedSMTP(SMTP):
    def __init__(self, handler, options, recorder, **kwargs):
        super().__init__(handler, **kwargs)
        self.options = options
        self.recorder = recorder
        self.conn_id = None
        self.auth_user = None
        self.auth_mech = None
        self.mail_at = None
        self.mail_arg = None
        self.rcpt_args = []
        self.grouped = False
        self.implicit_tls = options.tls == "implicit"

    def tls_on(self):
        return self.implicit_tls or self._tls_protocol is not None

    def scripted(self, cmd, arg):
        for rule in self.options.script:
            if rule["cmd"] == cmd and rule.get("match", "") in (arg or ""):
                return rule["reply"]
        return None

    async def maybe_stall(self, cmd):
        if self.options.stall == cmd:
            await asyncio.sleep(self.options.stall_seconds)

    def connection_made(self, transport):
        first = self._original_transport is None and self.conn_id is None
        super().connection_made(transport)
        if first:
            self.conn_id = next(_conn_ids)
            _open.add(self.conn_id)
            self.recorder.write(event="connect", conn=self.conn_id, tls=self.implicit_tls)

    def connection_lost(self, error):
        _open.discard(self.conn_id)
        if self.conn_id is not None:
            self.recorder.write(event="disconnect", conn=self.conn_id)
        super().connection_lost(error)

    async def _handle_client(self):
        await self.maybe_stall("CONNECT")
        await super()._handle_client()

    async def push(self, status):
        # "--auth none": the server never offers AUTH, whatever TLS state it is in.
        if self.options.auth == "none" and status.startswith("250-AUTH"):
            return
        await super().push(status)

    async def _scripted_or(self, cmd, arg, base):
        reply = self.scripted(cmd, arg)
        if reply:
            await self.push(reply)
            return
        await self.maybe_stall(cmd)
        await base(arg)

    async def _bearer_auth(self, mech, args, parse):
        if len(args) == 1:
            data = await self.challenge_auth("")
            if data is MISSING:
                return AuthResult(success=False)
        else:
            try:
                data = base64.b64decode(args[1].encode(), validate=True)
            except Exception:  # noqa: BLE001
                await self.push("501 5.5.2 Can't decode base64")
                return AuthResult(success=False, handled=True)
        login, token = parse(data.decode("utf-8", "replace"))
        if login and token and bearer_valid(self.options.bearer_state, token, login):
            self.auth_user = login
            self.auth_mech = mech
            return AuthResult(success=True)
        return AuthResult(success=False, handled=False, message="535 5.7.3 Authentication unsuccessful")

    async def auth_XOAUTH2(self, _, args):
        def parse(text):
            fields = dict(p.split("=", 1) for p in text.split("\x01") if "=" in p)
            auth = fields.get("auth", "")
            return fields.get("user"), auth[7:] if auth.startswith("Bearer ") else None
        return await self._bearer_auth("XOAUTH2", args, parse)

    async def auth_OAUTHBEARER(self, _, args):
        def parse(text):
            head, _, rest = text.partition("\x01")
            login = next((p[2:] for p in head.split(",") if p.startswith("a=")), None)
            fields = dict(p.split("=", 1) for p in rest.split("\x01") if "=" in p)
            auth = fields.get("auth", "")
            return login, auth[7:] if auth.startswith("Bearer ") else None
        return await self._bearer_auth("OAUTHBEARER", args, parse)

    async def smtp_EHLO(self, arg):
        await self._scripted_or("EHLO", arg, super().smtp_EHLO)

    def throttle_reply(self):
        now = time.time()
        if self.options.max_sessions and self.conn_id in sorted(_open)[self.options.max_sessions:]:
            return "432 4.3.2 Concurrent connections limit exceeded"
        if self.options.rate:
            _mail_times[:] = [t for t in _mail_times if t > now - self.options.rate_window]
            if len(_mail_times) >= self.options.rate:
                return "451 4.7.0 Rate limit exceeded"
            _mail_times.append(now)
        return None

    def without_dsn(self, arg):
        """The argument without its DSN parameters, which aiosmtpd does not know."""
        if not self.options.dsn or not arg:
            return arg
        return " ".join(w for w in arg.split(" ") if not w.upper().startswith(_DSN_PARAMS))

    async def smtp_MAIL(self, arg):
        self.mail_at = time.time()
        self.mail_arg = arg
        self.rcpt_args = []
        arg = self.without_dsn(arg)
        self.grouped = bool(self._reader._buffer)
        reply = self.throttle_reply()
        if reply:
            self.recorder.write(event="throttle", conn=self.conn_id, reply=reply)
            await self.push(reply)
            return
        await self._scripted_or("MAIL", arg, super().smtp_MAIL)

    async def smtp_RCPT(self, arg):
        limit = self.options.max_recipients
        if limit and self.envelope is not None and len(self.envelope.rcpt_tos) >= limit:
            await self.push("452 4.5.3 Too many recipients")
            return
        self.rcpt_args.append(arg)
        await self._scripted_or("RCPT", self.without_dsn(arg), super().smtp_RCPT)

    async def smtp_DATA(self, arg):
        await self._scripted_or("DATA", arg, super().smtp_DATA)


def make_authenticator(options, holder):
    users = dict(u.split(":", 1) for u in options.user)

    def authenticate(server, session, envelope, mechanism, auth_data):
        if isinstance(auth_data, LoginPassword):
            name = auth_data.login.decode()
            if users.get(name) == auth_data.password.decode():
                server.auth_user = name
                return AuthResult(success=True)
        return AuthResult(success=False, handled=False)

    return authenticate


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--record", required=True)
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--tls", choices=["plain", "starttls", "implicit"], default="plain")
    parser.add_argument("--cert")
    parser.add_argument("--key")
    parser.add_argument("--require-starttls", action="store_true")
    parser.add_argument("--auth", choices=["none", "optional", "required"], default="none")
    parser.add_argument("--user", action="append", default=[])
    parser.add_argument("--script", default="[]")
    parser.add_argument("--stall", default="")
    parser.add_argument("--stall-seconds", type=float, default=3600)
    parser.add_argument("--pipelining", action="store_true")
    parser.add_argument("--dsn", action="store_true")
    parser.add_argument("--bearer-state", default="")
    parser.add_argument("--bearer-mechs", default="XOAUTH2")
    parser.add_argument("--max-sessions", type=int, default=0)
    parser.add_argument("--max-recipients", type=int, default=0)
    parser.add_argument("--rate", type=int, default=0)
    parser.add_argument("--rate-window", type=float, default=60.0)
    options = parser.parse_args()
    options.script = json.loads(options.script)

    recorder = Recorder(options.record)
    handler = Handler(options, recorder)
    context = None
    if options.tls != "plain":
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(options.cert, options.key)

    def factory():
        return ScriptedSMTP(
            handler,
            options,
            recorder,
            hostname="sink.test",
            tls_context=context if options.tls == "starttls" else None,
            require_starttls=options.require_starttls,
            auth_required=options.auth == "required",
            auth_require_tls=False,
            authenticator=make_authenticator(options, None),
            auth_exclude_mechanism=(
                ["PLAIN", "LOGIN"] + [m for m in ("XOAUTH2", "OAUTHBEARER")
                                      if m not in options.bearer_mechs.split(",")]
                if options.bearer_state else ["XOAUTH2", "OAUTHBEARER"]),
            timeout=600,
        )

    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)
    server = loop.run_until_complete(
        loop.create_server(
            factory,
            host=options.host,
            port=options.port,
            ssl=context if options.tls == "implicit" else None,
        )
    )
    port = server.sockets[0].getsockname()[1]

    def stop(*_):
        loop.stop()

    loop.add_signal_handler(signal.SIGTERM, stop)
    loop.add_reader(sys.stdin.fileno(), lambda: stop() if not sys.stdin.buffer.read1(1024) else None)
    print(f"READY {port}", flush=True)
    try:
        loop.run_forever()
    finally:
        server.close()


if __name__ == "__main__":
    main()
