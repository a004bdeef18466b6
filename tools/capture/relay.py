#!/usr/bin/env python3
"""Loopback relay that records Z39.50 client requests.

Listens on 127.0.0.1:<listen>, forwards every connection to 127.0.0.1:<target> and writes each
client->server APDU (split by its BER length) to <outdir>/<prefix>NN.bin. Server->client bytes are
forwarded unchanged and not recorded. Stops after --max-conns connections or --timeout seconds.

usage: relay.py LISTEN_PORT TARGET_PORT OUTDIR [--prefix P] [--max-conns N] [--timeout S]
"""
import argparse
import os
import select
import socket
import sys
import time

MAX_APDU = 16 * 1024 * 1024


def ber_header(buf, pos):
    """Returns (header_len, content_len or -1 for indefinite) or None if incomplete."""
    if pos >= len(buf):
        return None
    i = pos + 1
    if buf[pos] & 0x1F == 0x1F:
        while True:
            if i >= len(buf):
                return None
            i += 1
            if not buf[i - 1] & 0x80:
                break
    if i >= len(buf):
        return None
    first = buf[i]
    i += 1
    if first < 0x80:
        return i - pos, first
    if first == 0x80:
        return i - pos, -1
    n = first & 0x7F
    if n > 4:
        raise ValueError("length field too long")
    if i + n > len(buf):
        return None
    return i - pos + n, int.from_bytes(buf[i:i + n], "big")


def ber_element_end(buf, pos, depth=0):
    """Offset just past the BER element at pos, or None if the buffer does not hold it yet."""
    if depth > 64:
        raise ValueError("nesting too deep")
    hdr = ber_header(buf, pos)
    if hdr is None:
        return None
    hlen, clen = hdr
    if clen >= 0:
        end = pos + hlen + clen
        if clen > MAX_APDU:
            raise ValueError("element too long")
        return end if end <= len(buf) else None
    p = pos + hlen
    while True:
        if p + 2 > len(buf):
            return None
        if buf[p] == 0 and buf[p + 1] == 0:
            return p + 2
        p = ber_element_end(buf, p, depth + 1)
        if p is None:
            return None


def relay(client, target_port, outdir, prefix, counter):
    server = socket.create_connection(("127.0.0.1", target_port), timeout=10)
    pending = b""
    socks = [client, server]
    try:
        while True:
            ready, _, _ = select.select(socks, [], [], 30)
            if not ready:
                return counter
            for s in ready:
                data = s.recv(65536)
                if not data:
                    return counter
                if s is client:
                    server.sendall(data)
                    pending += data
                    while True:
                        end = ber_element_end(pending, 0)
                        if end is None:
                            break
                        counter += 1
                        name = os.path.join(outdir, "%s%02d.bin" % (prefix, counter))
                        with open(name, "wb") as f:
                            f.write(pending[:end])
                        pending = pending[end:]
                else:
                    client.sendall(data)
    finally:
        server.close()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("listen", type=int)
    ap.add_argument("target", type=int)
    ap.add_argument("outdir")
    ap.add_argument("--prefix", default="apdu")
    ap.add_argument("--max-conns", type=int, default=1)
    ap.add_argument("--timeout", type=float, default=60)
    args = ap.parse_args()
    os.makedirs(args.outdir, exist_ok=True)
    lsock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    lsock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    lsock.bind(("127.0.0.1", args.listen))
    lsock.listen(4)
    deadline = time.time() + args.timeout
    counter = 0
    for _ in range(args.max_conns):
        remaining = deadline - time.time()
        if remaining <= 0:
            break
        lsock.settimeout(remaining)
        try:
            client, _ = lsock.accept()
        except socket.timeout:
            break
        try:
            counter = relay(client, args.target, args.outdir, args.prefix, counter)
        except (OSError, ValueError) as e:
            print("relay.py: %s" % e, file=sys.stderr)
        finally:
            client.close()
    lsock.close()


if __name__ == "__main__":
    main()
