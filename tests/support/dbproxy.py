#!/usr/bin/python3
"""A TCP proxy in front of the test database that can lose the answer to a COMMIT.

While the trigger file exists, the next COMMIT that a client sends is passed on to the server,
the server commits and answers, and the proxy drops the client's connection instead of
passing the answer back (and removes the trigger file): the client cannot tell whether its
transaction was committed. Everything else is passed through unchanged. Prints the port it
listens on, then serves until killed.
"""
import argparse
import os
import socket
import threading


def serve(client, target_port, trigger):
    server = socket.create_connection(("127.0.0.1", target_port))
    armed = threading.Event()
    closed = threading.Event()

    def close_both():
        closed.set()
        for s in (client, server):
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            s.close()

    def client_to_server():
        buf = b""
        try:
            while not closed.is_set():
                data = client.recv(65536)
                if not data:
                    break
                buf += data
                # Whole packets only: 3-byte length, 1-byte sequence, payload.
                while len(buf) >= 4:
                    n = buf[0] | buf[1] << 8 | buf[2] << 16
                    if len(buf) < 4 + n:
                        break
                    packet, buf = buf[: 4 + n], buf[4 + n :]
                    payload = packet[4:]
                    if (payload[:1] == b"\x03" and payload[1:].strip().upper() == b"COMMIT"
                            and os.path.exists(trigger)):
                        os.unlink(trigger)
                        armed.set()
                    server.sendall(packet)
        except OSError:
            pass
        if not closed.is_set():
            close_both()

    def server_to_client():
        try:
            while not closed.is_set():
                data = server.recv(65536)
                if not data:
                    break
                if armed.is_set():
                    break  # the answer to COMMIT is lost
                client.sendall(data)
        except OSError:
            pass
        if not closed.is_set():
            close_both()

    threading.Thread(target=client_to_server, daemon=True).start()
    threading.Thread(target=server_to_client, daemon=True).start()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--target-port", type=int, required=True)
    ap.add_argument("--trigger", required=True)
    args = ap.parse_args()
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(16)
    print(listener.getsockname()[1], flush=True)
    while True:
        client, _ = listener.accept()
        threading.Thread(target=serve, args=(client, args.target_port, args.trigger),
                         daemon=True).start()


if __name__ == "__main__":
    main()
