#!/usr/bin/python3
"""HTTPS peer that serves one MTA-STS policy file at /.well-known/mta-sts.txt, whatever the host.

Prints "PORT <n>" once it listens on 127.0.0.1. Every other path answers 404.
"""
import argparse
import http.server
import ssl
import sys


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--cert", required=True)
    parser.add_argument("--key", required=True)
    parser.add_argument("--policy", required=True)
    args = parser.parse_args()
    with open(args.policy, "rb") as f:
        policy = f.read()

    class Handler(http.server.BaseHTTPRequestHandler):
        def do_GET(self):
            if self.path != "/.well-known/mta-sts.txt":
                self.send_error(404)
                return
            self.send_response(200)
            self.send_header("Content-Type", "text/plain")
            self.send_header("Content-Length", str(len(policy)))
            self.end_headers()
            self.wfile.write(policy)

        def log_message(self, *unused):
            pass

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(args.cert, args.key)
    server.socket = context.wrap_socket(server.socket, server_side=True)
    print("PORT %d" % server.server_address[1], flush=True)
    server.serve_forever()


if __name__ == "__main__":
    sys.exit(main())
