#!/usr/bin/env python3
"""The demo's second player and its tracker's needs.

  demo-swarm.py port
      prints a free TCP port on 127.0.0.1
  demo-swarm.py hashes TORRENT...
      prints, for each torrent, the info-hashes a tracker sees: the v1 one
      and the v2 one cut to 20 bytes (hybrid torrents announce both), in hex
  demo-swarm.py seed --port PORT --folder DIR FILELIST
      hands a native engine on 127.0.0.1:PORT one job: every file of the
      signed FILELIST, already whole in DIR, so that it checks them and
      seeds them while it runs. Prints "job done" once the engine reports
      the job finished and then keeps the connection until it is stopped;
      exits 1 when the job fails or the engine goes away first.

The job goes out as one request of the local engine protocol (frames as in
opn/opeerqos/nwFrame.h, the request as in nwEngineMessages.h).
"""
import hashlib
import os
import socket
import struct
import sys

CATEGORY_ENGINE = 256
CATEGORY_EVENT = 258
MSG_JOB = 14
MSG_JOB_FINISHED = 6
MSG_FILE_DONE = 7
MSG_JOB_FAILED = 11
MSG_DISK_REPORT = 8
HEADER = 14
PATH_SIZE = 260
NAME_SIZE = 33
# Reports larger than this are not the engine's.
MAX_PAYLOAD = 256 * 1024
MAX_TORRENT = 1 << 20


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def bdecode_end(data, at):
    """Index just past the bencoded value that starts at `at`."""
    c = data[at:at + 1]
    if c == b"i":
        return data.index(b"e", at) + 1
    if c in (b"l", b"d"):
        at += 1
        while data[at:at + 1] != b"e":
            at = bdecode_end(data, at)
        return at + 1
    colon = data.index(b":", at)
    return colon + 1 + int(data[at:colon])


def info_span(data):
    """Start and end of the top-level "info" value of a torrent."""
    if data[:1] != b"d":
        raise ValueError("not a dictionary")
    at = 1
    while data[at:at + 1] != b"e":
        key_end = bdecode_end(data, at)
        key = data[data.index(b":", at) + 1:key_end]
        value_end = bdecode_end(data, key_end)
        if key == b"info":
            return key_end, value_end
        at = value_end
    raise ValueError("no info dictionary")


def hashes(paths):
    for path in paths:
        with open(path, "rb") as f:
            data = f.read(MAX_TORRENT + 1)
        if len(data) > MAX_TORRENT:
            sys.exit("demo-swarm: %s is too large for a torrent" % path)
        start, end = info_span(data)
        info = data[start:end]
        print(hashlib.sha1(info).hexdigest())
        print(hashlib.sha256(info).hexdigest()[:40])


def fixed(text, size):
    raw = text.encode()[:size - 1]
    return raw + b"\0" * (size - len(raw))


def frame(category, message, payload):
    padded = (len(payload) + HEADER + 7) // 8 * 8 - HEADER
    return (struct.pack("<HHIHI", category, message, 0, 0, padded) + payload +
            b"\0" * (padded - len(payload)))


def job_entries(filelist, folder):
    """(url text, name, size) for every line of the list."""
    entries = []
    with open(filelist, "rb") as f:
        for raw in f.read().decode().splitlines():
            line = raw.strip()
            if not line:
                continue
            first = line.split("|")[0].split("#")[0]
            name = first.rsplit("/", 1)[-1]
            if not name or name in (".", ".."):
                sys.exit("demo-swarm: no file name in %r" % line)
            entries.append((line, name, os.path.getsize(os.path.join(folder, name))))
    return entries


def job_payload(number, folder, entries):
    out = struct.pack("<II", number, len(entries)) + fixed("demo peer", NAME_SIZE)
    for url, name, size in entries:
        out += struct.pack("<BBq", 1, 2, size) + fixed(folder, PATH_SIZE) + fixed(name, PATH_SIZE)
        out += url.encode() + b"\0"
    return out


def read_exactly(sock, n):
    data = b""
    while len(data) < n:
        part = sock.recv(n - len(data))
        if not part:
            return None
        data += part
    return data


def seed(args):
    port = folder = None
    rest = []
    while args:
        arg = args.pop(0)
        if arg == "--port" and args:
            port = int(args.pop(0))
        elif arg == "--folder" and args:
            folder = args.pop(0)
        else:
            rest.append(arg)
    if port is None or folder is None or len(rest) != 1:
        sys.exit(__doc__)
    folder = os.path.abspath(folder).rstrip("/") + "/"
    entries = job_entries(rest[0], folder)
    sock = socket.create_connection(("127.0.0.1", port), timeout=30)
    sock.settimeout(None)
    sock.sendall(frame(CATEGORY_EVENT, MSG_JOB, job_payload(1, folder, entries)))
    done = False
    while True:
        header = read_exactly(sock, HEADER)
        if header is None:
            print("engine went away", flush=True)
            return 0 if done else 1
        _, message, _, _, length = struct.unpack("<HHIHI", header)
        if length > MAX_PAYLOAD:
            print("engine sent a report of %d bytes" % length, flush=True)
            return 1
        payload = read_exactly(sock, length)
        if payload is None:
            print("engine went away", flush=True)
            return 0 if done else 1
        if message == MSG_FILE_DONE:
            print("file done", flush=True)
        elif message == MSG_JOB_FINISHED:
            done = True
            print("job done", flush=True)
        elif message in (MSG_JOB_FAILED, MSG_DISK_REPORT):
            print("job failed: %r" % payload[:200], flush=True)
            return 1


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    command, args = sys.argv[1], sys.argv[2:]
    if command == "port":
        print(free_port())
    elif command == "hashes" and args:
        hashes(args)
    elif command == "seed":
        return seed(args)
    else:
        sys.exit(__doc__)
    return 0


if __name__ == "__main__":
    sys.exit(main())
