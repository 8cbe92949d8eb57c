#!/usr/bin/python3
"""A pyftpdlib server for the tests and the demo: one user whose home holds public_html."""
import argparse
import logging

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--host", default="127.0.0.1")
    ap.add_argument("--port", type=int, required=True)
    ap.add_argument("--home", required=True)
    ap.add_argument("--user", default="kelvaro")
    ap.add_argument("--password", required=True)
    ap.add_argument("--perm", default="elradfmwMT", help="pyftpdlib permission letters")
    ap.add_argument("--log", default="INFO")
    args = ap.parse_args()

    logging.basicConfig(level=getattr(logging, args.log.upper(), logging.INFO))
    auth = DummyAuthorizer()
    auth.add_user(args.user, args.password, args.home, perm=args.perm)
    handler = FTPHandler
    handler.authorizer = auth
    handler.use_encoding = "utf8"
    server = FTPServer((args.host, args.port), handler)
    server.max_cons = 256
    server.serve_forever()


if __name__ == "__main__":
    main()
