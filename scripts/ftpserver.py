#!/usr/bin/python3
"""A pyftpdlib server for the tests and the demo: one user whose home holds public_html.

With --certfile it requires TLS (AUTH TLS, PROT P) on the control and every data connection;
--data-certfile makes the data connections present another certificate than the control one.
With --record it writes what it received to a file of its own, one line each, flushed at
once: "C <command line>" (the password masked) and "L <user>" for a successful login.
"""
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
    ap.add_argument("--certfile", help="certificate chain (PEM): TLS required")
    ap.add_argument("--keyfile", help="private key of --certfile (PEM)")
    ap.add_argument("--data-certfile", help="certificate of the data connections (PEM)")
    ap.add_argument("--data-keyfile", help="private key of --data-certfile (PEM)")
    ap.add_argument("--record", help="file that receives the commands and logins")
    args = ap.parse_args()

    logging.basicConfig(level=getattr(logging, args.log.upper(), logging.INFO))
    auth = DummyAuthorizer()
    auth.add_user(args.user, args.password, args.home, perm=args.perm)

    base = FTPHandler
    if args.certfile:
        from pyftpdlib.handlers import TLS_FTPHandler

        base = TLS_FTPHandler
    record = open(args.record, "a", encoding="utf-8") if args.record else None

    def write(line):
        if record:
            record.write(line + "\n")
            record.flush()

    class Handler(base):
        def pre_process_command(self, line, cmd, arg):
            write("C " + (cmd + " ******" if cmd == "PASS" else line))
            return super().pre_process_command(line, cmd, arg)

        def on_login(self, username):
            write("L " + username)
            return super().on_login(username)

    Handler.authorizer = auth
    Handler.use_encoding = "utf8"
    if args.certfile:
        Handler.certfile = args.certfile
        Handler.keyfile = args.keyfile
        Handler.tls_control_required = True
        Handler.tls_data_required = True
        if args.data_certfile:
            from OpenSSL import SSL
            from pyftpdlib.handlers import TLS_DTPHandler

            data_context = SSL.Context(Handler.ssl_protocol)
            data_context.use_certificate_chain_file(args.data_certfile)
            data_context.use_privatekey_file(args.data_keyfile or args.data_certfile)
            data_context.set_options(Handler.ssl_options)

            class DataHandler(TLS_DTPHandler):
                def secure_connection(self, ssl_context):
                    super().secure_connection(data_context)

            Handler.dtp_handler = DataHandler
    server = FTPServer((args.host, args.port), Handler)
    server.max_cons = 256
    server.serve_forever()


if __name__ == "__main__":
    main()
