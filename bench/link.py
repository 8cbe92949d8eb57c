#!/usr/bin/python3
"""The real-link benchmark's helpers, run inside the benchmark's network namespace.

    link.py probe --n N --prefix P
        What the link's round trip really is: N TCP connects (SYN, SYN-ACK) and N one-byte
        echoes over one connection to a server of its own on 127.0.0.1, as
        "name value unit" figures (median, min, max in ms).
    link.py count --pcap FILE --ftp-port P --db-port Q --files N --prefix X
        The conversation of a capture (tcpdump -w on the namespace's loopback), per file:
        FTP commands (client lines on the control connections, by verb), control and data
        connections, database round trips (the client speaking after the server did), and
        all the round trips the client waited for: one per connection (its handshake) plus
        one per turn of the client on every connection.
"""
import argparse
import collections
import socket
import statistics
import struct
import sys
import threading
import time


def figure(name, value, unit):
    print(f"{name} {value:.4f} {unit}")


def probe(args):
    srv = socket.socket()
    srv.bind(("127.0.0.1", 0))
    srv.listen(128)
    srv.settimeout(30)
    port = srv.getsockname()[1]

    def echo(c):
        c.settimeout(30)
        c.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        with c:
            while True:
                d = c.recv(64)
                if not d:
                    return
                c.sendall(d)

    def serve():
        # The connects, then the echo's connection: a known number, then it stops.
        for _ in range(args.n + 1):
            try:
                c, _ = srv.accept()
            except OSError:
                return
            threading.Thread(target=echo, args=(c,), daemon=True).start()

    threading.Thread(target=serve, daemon=True).start()
    connects = []
    for _ in range(args.n):
        s = socket.socket()
        s.settimeout(30)
        t = time.perf_counter()
        s.connect(("127.0.0.1", port))
        connects.append(1000 * (time.perf_counter() - t))
        s.close()
    s = socket.create_connection(("127.0.0.1", port), timeout=30)
    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    echoes = []
    for _ in range(args.n):
        t = time.perf_counter()
        s.sendall(b"x")
        if s.recv(1) != b"x":
            sys.exit("link.py probe: the echo went wrong")
        echoes.append(1000 * (time.perf_counter() - t))
    s.close()
    srv.close()
    for what, v in (("connect", connects), ("echo", echoes)):
        figure(f"{args.prefix}_{what}_median_ms", statistics.median(v), "ms")
        figure(f"{args.prefix}_{what}_min_ms", min(v), "ms")
        figure(f"{args.prefix}_{what}_max_ms", max(v), "ms")


def packets(path):
    """(src, sport, dst, dport, flags, seq, payload length, captured payload) of each IPv4
    TCP packet of a pcap file written by tcpdump on a loopback (Ethernet framing)."""
    with open(path, "rb") as f:
        data = f.read()
    if len(data) < 24:
        return
    magic = data[:4]
    if magic in (b"\xd4\xc3\xb2\xa1", b"\x4d\x3c\xb2\xa1"):
        e = "<"
    elif magic in (b"\xa1\xb2\xc3\xd4", b"\xa1\xb2\x3c\x4d"):
        e = ">"
    else:
        sys.exit(f"link.py: {path} is not a pcap file")
    linktype = struct.unpack(e + "I", data[20:24])[0]
    if linktype != 1:
        sys.exit(f"link.py: {path}: link type {linktype}, expected Ethernet")
    off = 24
    while off + 16 <= len(data):
        _, _, incl, _ = struct.unpack(e + "IIII", data[off:off + 16])
        frame = data[off + 16:off + 16 + incl]
        off += 16 + incl
        if len(frame) < 14 + 20 or frame[12:14] != b"\x08\x00":
            continue
        ip = frame[14:]
        ihl = (ip[0] & 0x0F) * 4
        if ip[9] != 6:
            continue
        total = struct.unpack(">H", ip[2:4])[0]
        tcp = ip[ihl:]
        if len(tcp) < 20:
            continue
        sport, dport, seq = struct.unpack(">HHI", tcp[:8])
        doff = (tcp[12] >> 4) * 4
        flags = tcp[13]
        plen = total - ihl - doff
        yield (ip[12:16], sport, ip[16:20], dport, flags, seq, plen, tcp[doff:doff + plen])


SYN, ACK = 0x02, 0x10


def count(args):
    clients = {}  # (client addr, client port, server port) -> kind, from the SYN
    last_speaker = {}  # flow -> "c" or "s", of the last segment with data
    seen = set()  # (flow key, direction, seq): retransmissions count once
    conns = collections.Counter()
    turns = collections.Counter()
    verbs = collections.Counter()
    partial = {}  # control flow -> the part of a command line not ended yet
    for src, sport, dst, dport, flags, seq, plen, payload in packets(args.pcap):
        if flags & SYN and not flags & ACK:
            kind = "ftp" if dport == args.ftp_port else "db" if dport == args.db_port else "data"
            key = (src, sport, dport)
            if key not in clients:
                clients[key] = kind
                conns[kind] += 1
            continue
        if plen <= 0:
            continue
        if (src, sport, dport) in clients:
            key, who = (src, sport, dport), "c"
        elif (dst, dport, sport) in clients:
            key, who = (dst, dport, sport), "s"
        else:
            continue  # a connection begun before the capture
        if (key, who, seq) in seen:
            continue
        seen.add((key, who, seq))
        kind = clients[key]
        if who == "c" and last_speaker.get(key) != "c":
            turns[kind] += 1
        last_speaker[key] = who
        if kind == "ftp" and who == "c":
            text = partial.get(key, b"") + payload
            *lines, rest = text.split(b"\r\n")
            partial[key] = rest
            for line in lines:
                verbs[line.split(b" ", 1)[0].upper().decode("ascii", "replace")] += 1
    n = args.files
    p = args.prefix
    figure(f"{p}_ftp_commands_per_file", sum(verbs.values()) / n, "count")
    figure(f"{p}_ftp_logins", conns["ftp"], "count")
    figure(f"{p}_data_connections_per_file", conns["data"] / n, "count")
    figure(f"{p}_db_connections", conns["db"], "count")
    figure(f"{p}_db_round_trips_per_file", turns["db"] / n, "count")
    waits = sum(conns.values()) + sum(turns.values())
    figure(f"{p}_wire_round_trips_per_file", waits / n, "count")
    for verb, k in sorted(verbs.items()):
        figure(f"{p}_ftp_{verb.lower()}_per_file", k / n, "count")


def main():
    ap = argparse.ArgumentParser()
    sub = ap.add_subparsers(dest="cmd", required=True)
    a = sub.add_parser("probe")
    a.add_argument("--n", type=int, default=30)
    a.add_argument("--prefix", required=True)
    a = sub.add_parser("count")
    a.add_argument("--pcap", required=True)
    a.add_argument("--ftp-port", type=int, required=True)
    a.add_argument("--db-port", type=int, required=True)
    a.add_argument("--files", type=int, required=True)
    a.add_argument("--prefix", required=True)
    args = ap.parse_args()
    probe(args) if args.cmd == "probe" else count(args)


if __name__ == "__main__":
    main()
