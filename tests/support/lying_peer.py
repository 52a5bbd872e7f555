#!/usr/bin/env python3
"""A BitTorrent peer that sends wrong pieces, for the engine's hostile-peer test.

No real client sends bad data on demand, so this one does: it announces
itself to an HTTP tracker as a seeder of each info-hash given (a hybrid
torrent's v1 hash and its v2 hash cut to 20 bytes), accepts peer
connections on its address, says it has every piece, unchokes at once and
answers every block request with bytes that are all 0xEE. It speaks only
what that takes (handshake, bitfield, unchoke, request, piece).

Bounded: it exits after --lifetime seconds (default 120) and on SIGTERM;
at most 8 connections at once, every socket with a 30-second time-out, a
request of more than 128 KiB closes its connection. One line per event on
stdout: "announced", "connected", "sent <index> <begin> <length>".

  lying_peer.py --tracker URL --info-hash HEX [--info-hash HEX] --pieces N
                --ip 127.0.0.3 --port P
"""

import argparse
import http.client
import signal
import socket
import struct
import sys
import threading
import time
import urllib.parse

MAX_CONNECTIONS = 8
MAX_BLOCK = 128 * 1024
TIMEOUT = 30
ANNOUNCE_TRIES = 20


def announce(tracker, info_hash, peer_id, ip, port):
    url = urllib.parse.urlsplit(tracker)
    # Every byte percent-escaped: urlencode's default writes a 0x20 byte as
    # "+", which trackers take literally, so one hash in 13 was refused.
    query = urllib.parse.urlencode({
        "info_hash": info_hash, "peer_id": peer_id, "port": port, "uploaded": 0,
        "downloaded": 0, "left": 0, "event": "started", "compact": 1},
        quote_via=urllib.parse.quote)
    # Tried again a few times: a tracker that has just (re)read its
    # whitelist may refuse for a moment.
    for _ in range(ANNOUNCE_TRIES):
        # From our own address: the tracker lists the address it sees.
        conn = http.client.HTTPConnection(url.hostname, url.port, timeout=TIMEOUT,
                                          source_address=(ip, 0))
        conn.request("GET", url.path + "?" + query)
        body = conn.getresponse().read()
        conn.close()
        if b"failure" not in body:
            print("announced", flush=True)
            return
        time.sleep(0.25)
    raise SystemExit("lying_peer: tracker refused: %r" % body)


def read_exact(sock, n):
    data = b""
    while len(data) < n:
        chunk = sock.recv(n - len(data))
        if not chunk:
            raise ConnectionError("closed")
        data += chunk
    return data


def serve(sock, info_hashes, peer_id, pieces):
    try:
        sock.settimeout(TIMEOUT)
        head = read_exact(sock, 68)
        info_hash = head[28:48]
        if head[0] != 19 or head[1:20] != b"BitTorrent protocol" or info_hash not in info_hashes:
            return
        sock.sendall(bytes([19]) + b"BitTorrent protocol" + bytes(8) + info_hash + peer_id)
        print("connected", flush=True)
        bits = bytearray((pieces + 7) // 8)
        for i in range(pieces):
            bits[i // 8] |= 0x80 >> (i % 8)
        sock.sendall(struct.pack(">IB", 1 + len(bits), 5) + bytes(bits))
        sock.sendall(struct.pack(">IB", 1, 1))
        while True:
            (length,) = struct.unpack(">I", read_exact(sock, 4))
            if length == 0:
                continue
            if length > MAX_BLOCK:
                return
            message = read_exact(sock, length)
            if message[0] == 6 and length == 13:
                index, begin, size = struct.unpack(">III", message[1:])
                if size > MAX_BLOCK:
                    return
                sock.sendall(struct.pack(">IBII", 9 + size, 7, index, begin) + b"\xee" * size)
                print("sent %d %d %d" % (index, begin, size), flush=True)
    except (OSError, ConnectionError):
        pass
    finally:
        sock.close()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tracker", required=True)
    parser.add_argument("--info-hash", action="append", required=True)
    parser.add_argument("--pieces", type=int, required=True)
    parser.add_argument("--ip", required=True)
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--lifetime", type=float, default=120)
    args = parser.parse_args()
    info_hashes = [bytes.fromhex(h) for h in args.info_hash]
    peer_id = b"-LY0001-" + b"0123456789ab"
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind((args.ip, args.port))
    listener.listen(MAX_CONNECTIONS)
    for info_hash in info_hashes:
        announce(args.tracker, info_hash, peer_id, args.ip, args.port)
    end = time.monotonic() + args.lifetime
    slots = threading.Semaphore(MAX_CONNECTIONS)
    while time.monotonic() < end:
        listener.settimeout(max(0.1, end - time.monotonic()))
        try:
            sock, _ = listener.accept()
        except socket.timeout:
            break
        if not slots.acquire(blocking=False):
            sock.close()
            continue

        def run(s=sock):
            try:
                serve(s, info_hashes, peer_id, args.pieces)
            finally:
                slots.release()

        threading.Thread(target=run, daemon=True).start()


if __name__ == "__main__":
    main()
