#!/usr/bin/env python3
"""Stand-in for the statistics agent that receives the library's job reports.

Listens on TCP (default 127.0.0.1:54547; --port 0 lets the OS choose) and
speaks the framed protocol of the library's agent layer. Every frame is a
14-byte header, all fields little-endian:

  0  2  category          (768 for the agent)
  2  2  message number
  4  6  zero
 10  4  payload length L  (padding included; 14 + L is a multiple of 8)
 14  L  payload

A report is message 154: an int32 entry count, then that many 298-byte
records (tag char[33], URL list char[256], received int64, flag byte). The
agent answers each report with message 131 whose payload is the one byte
ACCEPTED (1), and appends one line to --log:

  report peer=<host:port> count=<n> tags=<t1,t2,...> received=<r1,r2,...> frame=<hex>

where frame is the whole frame as received, in lower-case hex. Any other
frame, a report whose count does not match its length, or a length above
MAX_PAYLOAD closes the connection (and logs a line starting "refused").

When the listener is bound it writes AGENT_PORT=<port> to --ready-file
(atomically). It ends on SIGTERM/SIGINT, after --idle seconds without a
connection here or a change of a --watch file (the test servers' access log),
and after --lifetime seconds at most.
"""

import argparse
import os
import signal
import socket
import struct
import sys
import threading
import time

CATEGORY_AGENT = 768
MESSAGE_REPORT = 154
MESSAGE_REPLY = 131
ACCEPTED = 1
HEADER = 14
RECORD = 298
MAX_RECORDS = 0x10000
MAX_PAYLOAD = 4 + RECORD * MAX_RECORDS + 8
MAX_CONNECTIONS = 64
IO_TIMEOUT = 10.0


def frame(category, message, payload):
    total = (len(payload) + HEADER + 7) & ~7
    length = total - HEADER
    head = struct.pack("<HHIHI", category, message, 0, 0, length)
    return head + payload + b"\0" * (length - len(payload))


def text(raw):
    """A NUL-terminated field as printable ASCII (other bytes as \\xNN)."""
    raw = raw.split(b"\0", 1)[0]
    return "".join(chr(b) if 0x20 < b < 0x7F and b not in b",=" else "\\x%02x" % b for b in raw)


class Agent:
    def __init__(self, args):
        self.args = args
        self.stop = threading.Event()
        self.slots = threading.BoundedSemaphore(MAX_CONNECTIONS)
        self.log_lock = threading.Lock()
        self.last_activity = time.monotonic()
        self.started = time.monotonic()
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind((args.host, args.port))
        self.listener.listen(32)
        self.listener.settimeout(0.5)

    def log(self, line):
        with self.log_lock:
            with open(self.args.log, "a") as f:
                f.write(line + "\n")

    def read_exact(self, conn, n):
        data = b""
        while len(data) < n:
            chunk = conn.recv(min(n - len(data), 65536))
            if not chunk:
                return None
            data += chunk
        return data

    def serve(self, conn, peer):
        where = "%s:%d" % peer
        while not self.stop.is_set():
            head = self.read_exact(conn, HEADER)
            if head is None:
                return
            category, message, _, _, length = struct.unpack("<HHIHI", head)
            if category != CATEGORY_AGENT or message != MESSAGE_REPORT:
                self.log("refused peer=%s category=%d message=%d" % (where, category, message))
                return
            if length < 4 or length > MAX_PAYLOAD:
                self.log("refused peer=%s length=%d" % (where, length))
                return
            payload = self.read_exact(conn, length)
            if payload is None:
                return
            count = struct.unpack_from("<i", payload, 0)[0]
            if count < 0 or 4 + count * RECORD > length or (length + HEADER) % 8 != 0:
                self.log("refused peer=%s count=%d length=%d" % (where, count, length))
                return
            tags, received = [], []
            for i in range(count):
                at = 4 + i * RECORD
                tags.append(text(payload[at:at + 33]))
                received.append(str(struct.unpack_from("<q", payload, at + 289)[0]))
            self.log("report peer=%s count=%d tags=%s received=%s frame=%s" % (
                where, count, ",".join(tags), ",".join(received), (head + payload).hex()))
            conn.sendall(frame(CATEGORY_AGENT, MESSAGE_REPLY, bytes([ACCEPTED])))

    def handle(self, conn, peer):
        try:
            conn.settimeout(IO_TIMEOUT)
            self.serve(conn, peer)
        except OSError:
            pass
        finally:
            try:
                conn.close()
            except OSError:
                pass
            self.last_activity = time.monotonic()
            self.slots.release()

    def accept_loop(self):
        while not self.stop.is_set():
            try:
                conn, peer = self.listener.accept()
            except socket.timeout:
                continue
            except OSError:
                if self.stop.is_set():
                    return
                time.sleep(0.1)
                continue
            self.last_activity = time.monotonic()
            if not self.slots.acquire(blocking=False):
                conn.close()
                continue
            threading.Thread(target=self.handle, args=(conn, peer), daemon=True).start()

    def idle_for(self, now):
        idle = now - self.last_activity
        for path in self.args.watch:
            try:
                idle = min(idle, max(0.0, time.time() - os.path.getmtime(path)))
            except OSError:
                pass
        return idle

    def run(self):
        thread = threading.Thread(target=self.accept_loop, daemon=True)
        thread.start()
        if self.args.ready_file:
            tmp = self.args.ready_file + ".tmp"
            with open(tmp, "w") as f:
                f.write("AGENT_PORT=%d\n" % self.listener.getsockname()[1])
            os.replace(tmp, self.args.ready_file)
        while not self.stop.wait(0.5):
            now = time.monotonic()
            if now - self.started > self.args.lifetime or self.idle_for(now) > self.args.idle:
                break
        self.stop.set()
        thread.join(2.0)
        self.listener.close()


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--host", default="127.0.0.1")
    p.add_argument("--port", type=int, default=54547)
    p.add_argument("--log", required=True, help="file that receives one line per report")
    p.add_argument("--ready-file", help="gets AGENT_PORT=<port> once listening")
    p.add_argument("--pid-file")
    p.add_argument("--idle", type=float, default=1800.0, help="seconds without a connection")
    p.add_argument("--watch", action="append", default=[], help="a file whose changes count as activity")
    p.add_argument("--lifetime", type=float, default=10800.0, help="seconds at most")
    args = p.parse_args()
    if args.pid_file:
        with open(args.pid_file, "w") as f:
            f.write("%d\n" % os.getpid())
    agent = Agent(args)
    signal.signal(signal.SIGTERM, lambda *_: agent.stop.set())
    signal.signal(signal.SIGINT, lambda *_: agent.stop.set())
    agent.run()
    return 0


if __name__ == "__main__":
    sys.exit(main())
