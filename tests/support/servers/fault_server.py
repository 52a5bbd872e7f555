#!/usr/bin/env python3
"""Scriptable HTTP fault server for the network tests.

Serves what nginx will not do on demand. One process, one thread per
connection (64 at most), every socket with a time-out; it exits on SIGTERM,
after --idle seconds (30 minutes) without a request to it or to nginx, and
after --lifetime seconds (3 hours) at most.
When it ends by itself it also stops the nginx started beside it (the pid
file below --dir), so nothing of a test run outlives it.

Ports are chosen by the OS; when both listeners are bound the server writes
FAULT_PORT=... and TLS_ALERT_PORT=... to --ready-file (atomically).

Every response is HTTP/1.1 on a connection that serves one request. "Hold"
means: keep the connection open, send nothing, until the client closes it or
--hold seconds have passed. "Close" is a graceful close (FIN, then the
client's remaining bytes are drained). Bodies without other text are the
pattern byte[i] = i % 256. F below is the fault server's own base URL,
http://127.0.0.1:FAULT_PORT.

HTTP port (FAULT_PORT), scenario chosen by the request path:

  path                      response
  ------------------------  --------------------------------------------------
  /ok                       200, Content-Length 16, "fault server ok\\n"
  /echo/<anything>          200, the body is the exact request bytes received
                            (head, and a body announced by Content-Length)
  /split-head               200 head sent in three pieces 300 ms apart, cut
                            mid-line, then a 32-byte pattern body
  /bytewise-head            200 head sent one byte per send, 5 ms apart, then
                            a 32-byte pattern body
  /slow-body                200, Content-Length 1000, body in 10 sends 200 ms
                            apart
  /short-body               200, Content-Length 1000, 100 bytes, close
  /close-before-head        reads the request, closes without an answer
  /reset                    reads the request, closes with a reset (RST)
  /reset-mid-body           200, Content-Length 1000, 100 bytes, then a
                            reset (RST)
  /no-length                200 without Content-Length, 1000 bytes, close
  /zero-length              200, Content-Length 0, close
  /status/<NNN>             status NNN (100-599), Content-Length, short text
                            body (e.g. /status/500, /status/404)
  /redirect-302             302, Location F/ok
  /redirect-303             303, Location F/ok
  /redirect-no-location     302 without Location, Content-Length 0
  /redirect-empty-location  302 with an empty Location value
  /redirect-korean          302, Location in raw UTF-8: F/echo/<Hangul>.txt;
                            ?status=303 answers 303 instead
  /redirect-percent         302, Location F/echo/%ED%95%9C%EA%B8%80%20a.txt
                            (percent-encoded UTF-8 with a space)
  /redirect-loop            302, Location the same URL, for ever
  /redirect-chain/<N>       302, Location F/redirect-chain/<N+1>, without end
  /hops/<N>                 302 to F/hops/<N-1>; /hops/0 redirects to F/ok
  /stall                    reads the request, sends nothing, holds
  /hold/<tag>               reads the request, sends nothing until the client
                            closes (appends "hold <tag> closed" to the
                            request log), /release/<tag> is asked (then
                            answers like /ok) or the hold time has passed
  /release/<tag>            200, "released\n": every /hold/<tag>, waiting
                            now or later, answers (the last 4096 tags are
                            kept)
  /stall-after-head         200 head with Content-Length 1000, then holds
  /stall-mid-body           200, Content-Length 1000, 100 bytes, then holds
  /drip/<tag>               200, Content-Length 1000, then one pattern byte
                            every 3 s (?ms=N: every N ms, 10 to 10000) until
                            the client closes or the hold time has passed;
                            a client close appends "drip <tag> closed" to
                            the request log. "Range: bytes=<from>-" below
                            1000 gets 206 and drips from <from> on, logged
                            as "drip <tag> range bytes=<from>-"
  /drip-head/<tag>          "HTTP/1.1 200 OK", then a header line one byte
                            every 1 s (?ms=N: every N ms, 10 to 10000) that
                            never ends, until the client closes or the hold
                            time has passed; a client close appends
                            "drip-head <tag> closed" to the request log
  /huge-length              200, Content-Length 10737418240 (10 GiB), 1024
                            bytes, then holds
  /beyond-length            200, Content-Length 16, then 16 + 4096 bytes in
                            one send, close
  /announce/<digits>        200, Content-Length <digits> exactly as given (1
                            to 19 decimal digits, e.g. 5000000000000000000),
                            1024 pattern bytes, close
  /endless-head             a head that never ends: "HTTP/1.1 200 OK" and
                            64 KiB header lines up to 16 MiB in all, close
  /garbage                  256 bytes that are not HTTP, close
  anything else             404, Content-Length, short text body

Kept connections (for tests that count connections):

  /keep/<key>/<size>        200, Content-Length <size>, pattern bytes, and the
                            connection stays open for the next request (any
                            /keep/ path, answered alike). Every answer is
                            logged as "keep <key> conn <c> answer <a>": <c>
                            numbers the server's connections, <a> the answers
                            on that connection. Options of the first request:
                            ?answers=<n>: after <n> answers the next request
                            on the connection is read, logged as "keep <key>
                            conn <c> dropped", and the connection closed
                            without an answer (a server closing an idle
                            connection just as a request comes);
                            ?close=1: every answer says "Connection: close"
                            and the connection closes after it; ?close=2:
                            it closes after every answer without saying so;
                            ?forge=<n>: the first answer on each connection
                            is followed, in the same send, by an answer
                            nothing asked for: 200, Content-Length <n>, <n>
                            bytes 0xEE (a stale answer waiting on a kept
                            connection), logged "keep <key> conn <c> forged".

Gated answers (for tests that count requests in flight at the server):

  /gate/<tag>/<i>/<ms>/<len>
                            holds <ms> milliseconds (at most 10000), then
                            appends "gate <tag>/<i> answered" to the request
                            log and answers 200 with Content-Length <len> and
                            <len> pattern bytes. The request line is logged
                            on arrival, so the log orders the arrivals and
                            the answers of a tag as the server saw them.

HTTP client mends (framing, header syntax, redirect forms):

  /framing/<name>           200 with an unusual head over a 1000-byte pattern
                            body; <name> is one of FRAMING below (chunked,
                            gzip, conflicting or malformed Content-Length,
                            Content-Length-Hint, no or tab white space)
  /redirect-to?status=NNN&loc=L
                            status NNN (301, 302, 303, 307 or 308; else 302)
                            with Location = L percent-decoded once, so a test
                            sends any relative or escaped Location it wants
                            (relative to the root folder)
File download scenarios (size checks and ranged file downloads). <key> is
a marker of the test's own; state is kept per key for the server's life:

  /sized/<key>/<size>       waits ?hold_ms= (default 300, at most 5000) ms,
                            then 200, Content-Length <size>, <size> pattern
                            bytes (at most 1 MiB sent); counts the requests
                            of <key> in flight meanwhile
  /inflight/<key>           200, text "max=<M> total=<T>\n": the most
                            /sized requests of <key> in flight at once, and
                            how many there were
  /cut/<key>/<n>/<size>     200 (206 when a Range is asked), Content-Length
                            <size>, pattern body; the first <n> requests of
                            <key> send only half of it and close, the later
                            ones all of it. "Range: bytes=<from>-" with
                            <from> below <size> is honoured (206 from there;
                            a cut sends half of the rest) and logged as
                            "cut <key> range bytes=<from>-"; at or past the
                            end it is 416 with "bytes */<size>".
                            ?flip=<i>: byte <i> of the file is inverted
                            (other bytes of the same length);
                            ?etag=<v> / ?lm=<v> (percent-decoded): every
                            answer names that ETag / Last-Modified, and a
                            Range with an If-Range other than the ETag (else
                            the Last-Modified) gets 200 and the whole file;
                            an If-Range is logged "cut <key> if-range <v>";
                            ?after=<NNN>: the requests after the first <n>
                            get status NNN instead of the file
  /sign/<key>/<size>        302 to F/signed/<key>/<t>/<size>, <t> counting
                            the /sign requests of <key> from 1
  /signed/<key>/<t>/<size>  a target that serves once: the first request of
                            each <t> answers like /cut (a Range honoured),
                            with <t> 1 cut in half; any later request of
                            that <t> gets 403 (expired)
  /byte/<key>/<size>        the right head for the Range asked (200 or 206,
                            Content-Length of the rest), one pattern byte,
                            close
  /grow/<key>/<step>        a file that grows with every request: from the
                            Range's start <from> (0 without one) a 206 (200
                            at 0) with a total of <from> + 2 * <step>, then
                            <step> pattern bytes and close; ETag "grow"
  /count/<key>              200, text "<T>\n": requests of <key> to /cut so
                            far
  /probe/<key>/<kind>/<size>
                            answers to a size check that asks for one byte
                            ("Range: bytes=<a>-<b>"); counts the requests of
                            <key> and the body bytes sent to them. <kind>:
                            honest (206 with exactly the bytes asked, 200
                            and the whole file without a Range), ignore
                            (200, the whole file, at most 1 MiB, sent until
                            the client closes), not-satisfiable (416,
                            "bytes */<size>"), wrong-total (206 "bytes
                            0-0/<size>" with Content-Length 2 and 2 bytes),
                            malformed ("bytes 0-0/12x4"), huge (a 20-digit
                            total), no-total ("bytes 0-0/*"), other-range
                            ("bytes 5-5/<size>"), body-anyway (206 "bytes
                            0-0/<size>", Content-Length 1, then up to 1 MiB
                            more until the client closes), trailing (the
                            honest 206 and its byte, then 300 ms later bytes
                            nothing asked for, 16 KiB every 10 ms, until the
                            client closes, logged "probe <key> closed", or
                            the hold time has passed)
  /probe-sent/<key>         200, text "requests=<n> body=<b>\n" for the
                            /probe requests of <key> so far

Wrong answers to ranged requests. A request without a Range header gets
200, Content-Length <size> and <size> pattern bytes (at most 1 MiB sent),
and a size check ("Range: bytes=0-0") a right 206 with one byte; any other
Range header gets the fault of <kind>:

  /answer/wrong-start/<size>
                            206, Content-Range bytes 512-<size-1>/<size>,
                            the pattern from byte 512 on
  /answer/short-206/<size>  206, Content-Range bytes 0-1023/<size>, 1 KiB
  /answer/small-total/<size>
                            206, Content-Range bytes 0-1023/1024, 1 KiB
  /answer/html/<size>       200, Content-Type text/html, a 1,174-byte page
  /answer/no-range/<size>   206 without Content-Range, <size> bytes
  /answer/huge-range/<size> 206, Content-Range with a 20-digit last byte
  /answer/range-end/<size>  416, Content-Range bytes */<size>
  /answer/longer-total/<size>
                            206 from the asked start <from>, Content-Range
                            bytes <from>-<size>/<size+1>: one byte more than
                            the file, the pattern and one byte 0xFF
  /answer/zero-in-range/<size>
                            206, Content-Range bytes 0-<size-1>/<size>
                            followed by a zero byte and " junk", <size> bytes
  /answer/body-from-zero/<size>
                            206 with the right Content-Range bytes
                            <from>-<size-1>/<size>, but the body is the
                            file's first <size-from> bytes
  Every /answer/ request is logged "answer <target> range <value>" (the
  value "none" without a Range).
  /trickle/<ms>/<size>      200, Content-Length <size> at once, then one
                            pattern byte every <ms> ms (10 to 10000) until
                            the body is sent, the client closes, or --hold
                            seconds have passed

TLS alert port (TLS_ALERT_PORT): reads the client's first TLS record (the
ClientHello) and answers with a fatal handshake_failure alert record
(15 03 03 00 02 02 28), then closes.

Request log: every request line received on the HTTP port is appended to
--dir/fault-requests.log, one line each, bytes as received. Several test
programs share the server, so a test finds its own lines by a unique marker
in the path or query.
"""

import argparse
import gzip
import urllib.parse
import os
import select
import signal
import socket
import sys
import threading
import time

MAX_CONNECTIONS = 64
MAX_HEAD = 64 * 1024
MAX_REQUEST_BODY = 16 * 1024 * 1024
IO_TIMEOUT = 10.0

HANGUL = "\ud55c\uae00"  # "Hangul" in Hangul letters
TLS_ALERT = bytes([0x15, 0x03, 0x03, 0x00, 0x02, 0x02, 0x28])


def pattern(n):
    return bytes(i % 256 for i in range(n))


class Server:
    def __init__(self, args):
        self.args = args
        self.stop = threading.Event()
        self.slots = threading.BoundedSemaphore(MAX_CONNECTIONS)
        self.log_lock = threading.Lock()
        self.last_activity = time.monotonic()
        self.started = time.monotonic()
        self.log_path = os.path.join(args.dir, "fault-requests.log")
        self.files = FileScenarios()
        self.keep_connections = 0
        self.released = {}  # tag -> None, in the order released
        self.released_lock = threading.Lock()
        self.http = self._listen()
        self.tls = self._listen()
        self.port = self.http.getsockname()[1]
        self.base = "http://127.0.0.1:%d" % self.port

    @staticmethod
    def _listen():
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        s.bind(("127.0.0.1", 0))
        s.listen(32)
        s.settimeout(0.5)
        return s

    def write_ready(self):
        tmp = self.args.ready_file + ".tmp"
        with open(tmp, "w") as f:
            f.write("FAULT_PORT=%d\n" % self.port)
            f.write("TLS_ALERT_PORT=%d\n" % self.tls.getsockname()[1])
        os.replace(tmp, self.args.ready_file)

    # --- connection plumbing -------------------------------------------------

    def accept_loop(self, listener, handler):
        while not self.stop.is_set():
            try:
                conn, _ = listener.accept()
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
            t = threading.Thread(target=self._serve, args=(conn, handler), daemon=True)
            t.start()

    def _serve(self, conn, handler):
        try:
            conn.settimeout(IO_TIMEOUT)
            conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            handler(conn)
        except OSError:
            pass
        finally:
            try:
                conn.close()
            except OSError:
                pass
            self.last_activity = time.monotonic()
            self.slots.release()

    def close_gracefully(self, conn):
        try:
            conn.shutdown(socket.SHUT_WR)
            deadline = time.monotonic() + 3.0
            while time.monotonic() < deadline:
                r, _, _ = select.select([conn], [], [], 0.2)
                if r and not conn.recv(65536):
                    break
        except OSError:
            pass

    def hold(self, conn):
        """Waits until the client closes or the hold time has passed."""
        deadline = time.monotonic() + self.args.hold
        try:
            while time.monotonic() < deadline and not self.stop.is_set():
                r, _, _ = select.select([conn], [], [], 0.2)
                if r and not conn.recv(65536):
                    return
        except OSError:
            pass

    def read_request(self, conn):
        data = b""
        while b"\r\n\r\n" not in data:
            if len(data) > MAX_HEAD:
                return None
            chunk = conn.recv(65536)
            if not chunk:
                return None
            data += chunk
        end = data.index(b"\r\n\r\n") + 4
        head = data[:end]
        length = 0
        for line in head.split(b"\r\n")[1:]:
            name, _, value = line.partition(b":")
            if name.strip().lower() == b"content-length":
                try:
                    length = min(int(value.strip()), MAX_REQUEST_BODY)
                except ValueError:
                    length = 0
        while len(data) - end < length:
            chunk = conn.recv(65536)
            if not chunk:
                break
            data += chunk
        return data

    def log_request(self, line):
        with self.log_lock:
            with open(self.log_path, "ab") as f:
                f.write(line + b"\n")

    # --- responses -----------------------------------------------------------

    @staticmethod
    def head(status, reason, headers):
        text = "HTTP/1.1 %d %s\r\n" % (status, reason)
        for name, value in headers:
            text += "%s: %s\r\n" % (name, value)
        return (text + "\r\n").encode("utf-8")

    def respond(self, conn, status, reason, body=b"", extra=()):
        headers = [("Content-Length", str(len(body)))] + list(extra)
        conn.sendall(self.head(status, reason, headers) + body)
        self.close_gracefully(conn)

    def redirect(self, conn, status, location):
        reason = "Found" if status == 302 else "See Other"
        headers = [("Content-Length", "0")]
        if location is not None:
            headers.append(("Location", location))
        conn.sendall(self.head(status, reason, headers))
        self.close_gracefully(conn)

    def handle_http(self, conn):
        request = self.read_request(conn)
        if request is None:
            return
        line = request.split(b"\r\n", 1)[0]
        self.log_request(line)
        parts = line.split(b" ")
        target = parts[1].decode("latin-1") if len(parts) >= 2 else "/"
        path, _, query = target.partition("?")
        params = dict(p.partition("=")[::2] for p in query.split("&") if p)
        self.dispatch(conn, path, params, request)

    def dispatch(self, conn, path, params, request):
        b = self.base
        if path == "/ok":
            self.respond(conn, 200, "OK", b"fault server ok\n")
        elif path.startswith("/echo/"):
            self.respond(conn, 200, "OK", request, [("Content-Type", "application/octet-stream")])
        elif path == "/split-head":
            body = pattern(32)
            whole = self.head(200, "OK", [("Content-Length", "32"), ("X-Split", "three-pieces")])
            cuts = [0, 10, len(whole) - 14, len(whole)]
            for i in range(3):
                conn.sendall(whole[cuts[i]:cuts[i + 1]])
                time.sleep(0.3)
            conn.sendall(body)
            self.close_gracefully(conn)
        elif path == "/bytewise-head":
            whole = self.head(200, "OK", [("Content-Length", "32")])
            for i in range(len(whole)):
                conn.sendall(whole[i:i + 1])
                time.sleep(0.005)
            conn.sendall(pattern(32))
            self.close_gracefully(conn)
        elif path == "/slow-body":
            body = pattern(1000)
            conn.sendall(self.head(200, "OK", [("Content-Length", "1000")]))
            for i in range(10):
                time.sleep(0.2)
                conn.sendall(body[i * 100:(i + 1) * 100])
            self.close_gracefully(conn)
        elif path == "/short-body":
            conn.sendall(self.head(200, "OK", [("Content-Length", "1000")]) + pattern(100))
            self.close_gracefully(conn)
        elif path == "/close-before-head":
            self.close_gracefully(conn)
        elif path == "/reset":
            conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
            conn.close()
        elif path == "/reset-mid-body":
            conn.sendall(self.head(200, "OK", [("Content-Length", "1000")]) + pattern(100))
            conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
            conn.close()
        elif path == "/no-length":
            conn.sendall(self.head(200, "OK", [("Connection", "close")]) + pattern(1000))
            self.close_gracefully(conn)
        elif path == "/zero-length":
            self.respond(conn, 200, "OK")
        elif path.startswith("/status/"):
            try:
                status = int(path[len("/status/"):])
            except ValueError:
                status = 0
            if not 100 <= status <= 599:
                status = 400
            self.respond(conn, status, "Status", b"status %d\n" % status)
        elif path == "/redirect-302":
            self.redirect(conn, 302, b + "/ok")
        elif path == "/redirect-303":
            self.redirect(conn, 303, b + "/ok")
        elif path == "/redirect-no-location":
            self.redirect(conn, 302, None)
        elif path == "/redirect-empty-location":
            self.redirect(conn, 302, "")
        elif path == "/redirect-korean":
            status = 303 if params.get("status") == "303" else 302
            self.redirect(conn, status, b + "/echo/" + HANGUL + ".txt")
        elif path == "/redirect-percent":
            self.redirect(conn, 302, b + "/echo/%ED%95%9C%EA%B8%80%20a.txt")
        elif path == "/redirect-loop":
            self.redirect(conn, 302, b + "/redirect-loop")
        elif path.startswith("/redirect-chain/"):
            n = self.number(path[len("/redirect-chain/"):])
            self.redirect(conn, 302, "%s/redirect-chain/%d" % (b, n + 1))
        elif path.startswith("/hops/"):
            n = self.number(path[len("/hops/"):])
            self.redirect(conn, 302, b + "/ok" if n <= 0 else "%s/hops/%d" % (b, n - 1))
        elif path == "/stall":
            self.hold(conn)
        elif path.startswith("/hold/"):
            self.hold_until_released(conn, path[len("/hold/"):])
        elif path.startswith("/release/"):
            self.release(path[len("/release/"):])
            self.respond(conn, 200, "OK", b"released\n")
        elif path == "/stall-after-head":
            conn.sendall(self.head(200, "OK", [("Content-Length", "1000")]))
            self.hold(conn)
        elif path == "/stall-mid-body":
            conn.sendall(self.head(200, "OK", [("Content-Length", "1000")]) + pattern(100))
            self.hold(conn)
        elif path == "/huge-length":
            conn.sendall(self.head(200, "OK", [("Content-Length", str(10 * 1024**3))]) + pattern(1024))
            self.hold(conn)
        elif path == "/beyond-length":
            conn.sendall(self.head(200, "OK", [("Content-Length", "16")]) + pattern(16 + 4096))
            self.close_gracefully(conn)
        elif path.startswith("/announce/") and 0 < len(path[10:]) <= 19 and all(
                c in "0123456789" for c in path[10:]):
            conn.sendall(self.head(200, "OK", [("Content-Length", path[10:])]) + pattern(1024))
            self.close_gracefully(conn)
        elif path == "/endless-head":
            conn.sendall(b"HTTP/1.1 200 OK\r\n")
            line = b"X-Fill: " + b"a" * (64 * 1024 - 10) + b"\r\n"
            for _ in range(256):
                if self.stop.is_set():
                    break
                conn.sendall(line)
            self.close_gracefully(conn)
        elif path.startswith("/keep/"):
            self.keep(conn, path, params)
        elif path.startswith("/gate/"):
            self.gate(conn, path[len("/gate/"):])
        elif path.startswith("/drip/"):
            self.drip(conn, path[len("/drip/"):], params, request)
        elif path.startswith("/drip-head/"):
            self.drip_head(conn, path[len("/drip-head/"):], params)
        elif self.files.handles(path):
            self.files.dispatch(self, conn, path, params, request)
        elif path.startswith(("/answer/", "/trickle/")):
            wrong_answer(self, conn, path, request)
        elif path == "/garbage":
            conn.sendall(bytes((i * 37 + 11) % 256 for i in range(256)))
            self.close_gracefully(conn)
        elif self.dispatch_client_mends(conn, path, params):
            pass
        else:
            self.respond(conn, 404, "Not Found", b"no such scenario\n")

    # --- kept connections ------------------------------------------------------

    def keep(self, conn, path, params):
        with self.log_lock:
            self.keep_connections += 1
            number = self.keep_connections
        answers = self.number(params.get("answers", "1000000"))
        close = params.get("close", "0")
        forge = min(self.number(params["forge"]), 1 << 20) if "forge" in params else -1
        served = 0
        while not self.stop.is_set():
            parts = path.split("/")[2:]
            if len(parts) != 2:
                self.respond(conn, 404, "Not Found", b"bad keep path\n")
                return
            key, size = parts[0], min(self.number(parts[1]), 1 << 20)
            if served >= answers:
                self.log_request(("keep %s conn %d dropped" % (key, number)).encode("latin-1"))
                self.close_gracefully(conn)
                return
            headers = [("Content-Length", str(size))]
            if close == "1":
                headers.append(("Connection", "close"))
            answer = self.head(200, "OK", headers) + pattern(size)
            if forge >= 0 and served == 0:
                answer += self.head(200, "OK", [("Content-Length", str(forge))]) + b"\xee" * forge
                self.log_request(("keep %s conn %d forged" % (key, number)).encode("latin-1"))
            conn.sendall(answer)
            served += 1
            self.log_request(("keep %s conn %d answer %d" % (key, number, served)).encode("latin-1"))
            if close in ("1", "2"):
                self.close_gracefully(conn)
                return
            try:
                request = self.read_request(conn)
            except OSError:
                return
            if request is None:
                return
            line = request.split(b"\r\n", 1)[0]
            self.log_request(line)
            fields = line.split(b" ")
            path = (fields[1].decode("latin-1") if len(fields) >= 2 else "/").partition("?")[0]

    # --- gated answers ---------------------------------------------------------

    def gate(self, conn, rest):
        fields = rest.split("/")
        if len(fields) != 4:
            self.respond(conn, 404, "Not Found", b"bad gate\n")
            return
        tag, index = fields[0], fields[1]
        hold_ms = min(self.number(fields[2]), 10000)
        length = min(self.number(fields[3]), 1 << 20)
        deadline = time.monotonic() + hold_ms / 1000.0
        while not self.stop.is_set() and time.monotonic() < deadline:
            time.sleep(min(0.02, max(0.0, deadline - time.monotonic())))
        self.log_request(("gate %s/%s answered" % (tag, index)).encode("latin-1"))
        self.respond(conn, 200, "OK", pattern(length))

    MAX_RELEASED = 4096

    def release(self, tag):
        with self.released_lock:
            self.released.pop(tag, None)
            self.released[tag] = None
            while len(self.released) > self.MAX_RELEASED:
                del self.released[next(iter(self.released))]

    def hold_until_released(self, conn, tag):
        deadline = time.monotonic() + self.args.hold
        try:
            while time.monotonic() < deadline and not self.stop.is_set():
                with self.released_lock:
                    released = tag in self.released
                if released:
                    self.respond(conn, 200, "OK", b"fault server ok\n")
                    return
                r, _, _ = select.select([conn], [], [], 0.02)
                if r and not conn.recv(65536):
                    self.log_request(("hold %s closed" % tag).encode("latin-1"))
                    return
        except OSError:
            self.log_request(("hold %s closed" % tag).encode("latin-1"))

    def drip(self, conn, tag, params, request):
        interval = min(max(self.number(params.get("ms", "3000")), 10), 10000) / 1000.0
        body = pattern(1000)
        start = FileScenarios.range_start(request)
        sent = 0
        if start is not None and start < len(body):
            self.log_request(("drip %s range bytes=%d-" % (tag, start)).encode("latin-1"))
            conn.sendall(self.head(206, "Partial Content", [
                ("Content-Length", str(len(body) - start)),
                ("Content-Range", "bytes %d-%d/%d" % (start, len(body) - 1, len(body)))]))
            sent = start
        else:
            conn.sendall(self.head(200, "OK", [("Content-Length", str(len(body)))]))
        deadline = time.monotonic() + self.args.hold
        try:
            while sent < len(body) and time.monotonic() < deadline and not self.stop.is_set():
                r, _, _ = select.select([conn], [], [], interval)
                if r and not conn.recv(65536):
                    self.log_request(("drip %s closed" % tag).encode("latin-1"))
                    return
                if not r:
                    conn.sendall(body[sent:sent + 1])
                    sent += 1
        except OSError:
            self.log_request(("drip %s closed" % tag).encode("latin-1"))

    def drip_head(self, conn, tag, params):
        interval = min(max(self.number(params.get("ms", "1000")), 10), 10000) / 1000.0
        deadline = time.monotonic() + self.args.hold
        try:
            conn.sendall(b"HTTP/1.1 200 OK\r\nX-Drip: ")
            while time.monotonic() < deadline and not self.stop.is_set():
                r, _, _ = select.select([conn], [], [], interval)
                if r and not conn.recv(65536):
                    self.log_request(("drip-head %s closed" % tag).encode("latin-1"))
                    return
                if not r:
                    conn.sendall(b"a")
        except OSError:
            self.log_request(("drip-head %s closed" % tag).encode("latin-1"))

    # --- HTTP client mends: framing, header syntax, redirect forms ----------

    def dispatch_client_mends(self, conn, path, params):
        """Scenarios of the /framing/ and /redirect-to/ families; False when
        the path is none of them."""
        if path.startswith("/framing/"):
            framing = FRAMING.get(path[len("/framing/"):])
            if framing is None:
                return False
            head_lines, body = framing()
            text = "HTTP/1.1 200 OK\r\n" + "".join(line + "\r\n" for line in head_lines) + "\r\n"
            conn.sendall(text.encode("latin-1") + body)
            self.close_gracefully(conn)
            return True
        if path == "/redirect-to":
            status = self.number(params.get("status", ""))
            if status not in (301, 302, 303, 307, 308):
                status = 302
            location = urllib.parse.unquote(params.get("loc", ""), encoding="latin-1")
            head = "HTTP/1.1 %d Moved\r\nContent-Length: 0\r\nLocation: %s\r\n\r\n" % (status, location)
            conn.sendall(head.encode("latin-1"))
            self.close_gracefully(conn)
            return True
        return False

    @staticmethod
    def number(text):
        try:
            return max(0, min(int(text), 1000000))
        except ValueError:
            return 0

    def handle_tls_alert(self, conn):
        head = b""
        while len(head) < 5:
            chunk = conn.recv(5 - len(head))
            if not chunk:
                return
            head += chunk
        remaining = min((head[3] << 8) | head[4], 1 << 14)
        while remaining > 0:
            chunk = conn.recv(min(remaining, 65536))
            if not chunk:
                return
            remaining -= len(chunk)
        conn.sendall(TLS_ALERT)
        self.close_gracefully(conn)

    # --- lifetime ------------------------------------------------------------

    def idle_for(self, now):
        """Seconds since the last connection here or request to nginx."""
        idle = now - self.last_activity
        try:
            log = os.path.join(self.args.dir, "nginx", "logs", "access.log")
            idle = min(idle, max(0.0, time.time() - os.path.getmtime(log)))
        except OSError:
            pass
        return idle

    def run(self):
        threads = [
            threading.Thread(target=self.accept_loop, args=(self.http, self.handle_http), daemon=True),
            threading.Thread(target=self.accept_loop, args=(self.tls, self.handle_tls_alert), daemon=True),
        ]
        for t in threads:
            t.start()
        self.write_ready()
        by_itself = False
        while not self.stop.wait(0.5):
            now = time.monotonic()
            if now - self.started > self.args.lifetime or self.idle_for(now) > self.args.idle:
                by_itself = True
                break
        self.stop.set()
        for t in threads:
            t.join(2.0)
        self.http.close()
        self.tls.close()
        if by_itself:
            stop_nginx(self.args.dir)


def chunked(body, size=100):
    out = b""
    for i in range(0, len(body), size):
        piece = body[i:i + size]
        out += b"%x\r\n" % len(piece) + piece + b"\r\n"
    return out + b"0\r\n\r\n"


# Heads (lines without their CRLF) and bodies of /framing/<name>; each body
# carries pattern(1000) in its own framing.
FRAMING = {
    "chunked": lambda: (["Transfer-Encoding: chunked"], chunked(pattern(1000))),
    "chunked-and-length": lambda: (
        ["Content-Length: 1000", "Transfer-Encoding: chunked"], chunked(pattern(1000))),
    "gzip": lambda: (
        ["Content-Length: %d" % len(gzip.compress(pattern(1000))), "Content-Encoding: gzip"],
        gzip.compress(pattern(1000))),
    "conflicting-length": lambda: (["Content-Length: 1000", "Content-Length: 900"], pattern(1000)),
    "malformed-length": lambda: (["Content-Length: 1000x"], pattern(1000)),
    "length-hint": lambda: (["Content-Length-Hint: 7", "Content-Length: 1000"], pattern(1000)),
    "no-space": lambda: (["Content-Length:1000", "Server:fault"], pattern(1000)),
    "tab": lambda: (["Content-Length:\t1000"], pattern(1000)),
}


# --- file download scenarios ---------------------------------------------------
# Kept apart from the scenarios above: per-key state for the size checks and
# the ranged file downloads.


class FileScenarios:
    PREFIXES = ("/sized/", "/inflight/", "/cut/", "/count/", "/probe/", "/probe-sent/", "/sign/",
                "/signed/", "/byte/", "/grow/")
    MAX_SENT = 1024 * 1024

    def __init__(self):
        self.lock = threading.Lock()
        self.inflight = {}  # key -> [now, max, total]
        self.cuts = {}  # key -> requests so far
        self.probes = {}  # key -> [requests, body bytes sent]
        self.signs = {}  # key -> /sign requests so far
        self.signed = set()  # (key, token) already served

    def handles(self, path):
        return path.startswith(self.PREFIXES)

    @staticmethod
    def parts(path, count):
        parts = path.split("/")[2:]
        return parts if len(parts) == count else None

    def dispatch(self, server, conn, path, params, request):
        if path.startswith("/sized/"):
            self.sized(server, conn, self.parts(path, 2), params)
        elif path.startswith("/inflight/"):
            with self.lock:
                now, most, total = self.inflight.get(path[len("/inflight/"):], [0, 0, 0])
            server.respond(conn, 200, "OK", b"max=%d total=%d\n" % (most, total))
        elif path.startswith("/cut/"):
            self.cut(server, conn, self.parts(path, 3), params, request)
        elif path.startswith("/probe/"):
            self.probe(server, conn, self.parts(path, 3), request)
        elif path.startswith("/sign/"):
            self.sign(server, conn, self.parts(path, 2))
        elif path.startswith("/signed/"):
            self.serve_signed(server, conn, self.parts(path, 3), request)
        elif path.startswith("/byte/"):
            self.one_byte(server, conn, self.parts(path, 2), request)
        elif path.startswith("/grow/"):
            self.grow(server, conn, self.parts(path, 2), request)
        elif path.startswith("/probe-sent/"):
            with self.lock:
                count, sent = self.probes.get(path[len("/probe-sent/"):], [0, 0])
            server.respond(conn, 200, "OK", b"requests=%d body=%d\n" % (count, sent))
        else:
            with self.lock:
                total = self.cuts.get(path[len("/count/"):], 0)
            server.respond(conn, 200, "OK", b"%d\n" % total)

    def sized(self, server, conn, parts, params):
        if not parts:
            server.respond(conn, 404, "Not Found", b"bad sized path\n")
            return
        key, size = parts[0], server.number(parts[1])
        hold = min(server.number(params.get("hold_ms", "300")), 5000) / 1000.0
        with self.lock:
            state = self.inflight.setdefault(key, [0, 0, 0])
            state[0] += 1
            state[1] = max(state[1], state[0])
            state[2] += 1
        time.sleep(hold)
        # Out of flight before the answer leaves: the client may start its
        # next request as soon as the head arrives.
        with self.lock:
            state[0] -= 1
        head = server.head(200, "OK", [("Content-Length", str(size))])
        conn.sendall(head + pattern(min(size, self.MAX_SENT)))
        server.close_gracefully(conn)

    @staticmethod
    def range_start(request):
        for line in request.split(b"\r\n")[1:]:
            name, _, value = line.partition(b":")
            value = value.strip().lower()
            if name.strip().lower() == b"range" and value.startswith(b"bytes="):
                first = value[len(b"bytes="):].partition(b"-")[0]
                return int(first) if first.isdigit() and len(first) <= 18 else 0
        return None

    def cut(self, server, conn, parts, params, request):
        if not parts:
            server.respond(conn, 404, "Not Found", b"bad cut path\n")
            return
        key, cuts, size = parts[0], server.number(parts[1]), server.number(parts[2])
        with self.lock:
            self.cuts[key] = self.cuts.get(key, 0) + 1
            seen = self.cuts[key]
        after = server.number(params.get("after", "0"))
        if seen > cuts and 100 <= after <= 599:
            server.respond(conn, after, "Status", b"status %d\n" % after)
            return
        flip = server.number(params.get("flip", "")) if "flip" in params else -1
        validators = []
        for name, header in (("etag", "ETag"), ("lm", "Last-Modified")):
            if name in params:
                validators.append((header, urllib.parse.unquote(params[name])))
        if "alternate" in params:
            # A host whose file is another version at every request.
            validators = [("ETag", '"v%d"' % (seen % 2))]
        self.serve_file(server, conn, key, size, request, seen <= cuts, flip, validators)

    @staticmethod
    def header_value(request, wanted):
        for line in request.split(b"\r\n")[1:]:
            name, _, value = line.partition(b":")
            if name.strip().lower() == wanted:
                return value.strip().decode("latin-1")
        return None

    def serve_file(self, server, conn, key, size, request, cut, flip=-1, validators=()):
        """The pattern file of <size>, a Range honoured as /cut describes."""
        whole = bytearray(pattern(min(size, self.MAX_SENT)))
        if 0 <= flip < len(whole):
            whole[flip] ^= 0xFF
        start = self.range_start(request)
        if start is not None:
            server.log_request(b"cut %s range bytes=%d-" % (key.encode(), start))
        if_range = self.header_value(request, b"if-range")
        if if_range is not None:
            server.log_request(b"cut %s if-range %s" % (key.encode(), if_range.encode("latin-1")))
            current = validators[0][1] if validators else None
            if if_range != current:
                start = None
        extra = list(validators)
        if start is not None and size > 0 and start >= size:
            server.respond(conn, 416, "Range Not Satisfiable", b"",
                           [("Content-Range", "bytes */%d" % size)] + extra)
            return
        if start is not None and size > 0:
            body = bytes(whole[start:])
            head = server.head(206, "Partial Content", [
                ("Content-Length", str(size - start)),
                ("Content-Range", "bytes %d-%d/%d" % (start, size - 1, size))] + extra)
        else:
            body = bytes(whole)
            head = server.head(200, "OK", [("Content-Length", str(size))] + extra)
        if cut:
            conn.sendall(head + body[:len(body) // 2])
        else:
            conn.sendall(head + body)
        server.close_gracefully(conn)

    def sign(self, server, conn, parts):
        if not parts:
            server.respond(conn, 404, "Not Found", b"bad sign path\n")
            return
        key, size = parts[0], server.number(parts[1])
        with self.lock:
            self.signs[key] = self.signs.get(key, 0) + 1
            token = self.signs[key]
        server.redirect(conn, 302, "%s/signed/%s/%d/%d" % (server.base, key, token, size))

    def serve_signed(self, server, conn, parts, request):
        if not parts:
            server.respond(conn, 404, "Not Found", b"bad signed path\n")
            return
        key, token, size = parts[0], server.number(parts[1]), server.number(parts[2])
        with self.lock:
            expired = (key, token) in self.signed
            self.signed.add((key, token))
        if expired:
            server.respond(conn, 403, "Forbidden", b"expired\n")
            return
        self.serve_file(server, conn, "signed-" + key, size, request, token == 1)

    def one_byte(self, server, conn, parts, request):
        if not parts:
            server.respond(conn, 404, "Not Found", b"bad byte path\n")
            return
        size = server.number(parts[1])
        start = self.range_start(request)
        whole = pattern(min(size, self.MAX_SENT))
        if start is not None and 0 < start < size:
            head = server.head(206, "Partial Content", [
                ("Content-Length", str(size - start)),
                ("Content-Range", "bytes %d-%d/%d" % (start, size - 1, size))])
        else:
            start = 0
            head = server.head(200, "OK", [("Content-Length", str(size))])
        conn.sendall(head + whole[start:start + 1])
        server.close_gracefully(conn)

    def grow(self, server, conn, parts, request):
        if not parts:
            server.respond(conn, 404, "Not Found", b"bad grow path\n")
            return
        step = max(1, min(server.number(parts[1]), self.MAX_SENT))
        start = self.range_start(request) or 0
        total = start + 2 * step
        extra = [("ETag", '"grow"')]
        if start > 0:
            head = server.head(206, "Partial Content", [
                ("Content-Length", str(total - start)),
                ("Content-Range", "bytes %d-%d/%d" % (start, total - 1, total))] + extra)
        else:
            head = server.head(200, "OK", [("Content-Length", str(total))] + extra)
        conn.sendall(head + bytes((start + i) % 256 for i in range(step)))
        server.close_gracefully(conn)


    @staticmethod
    def range_asked(request):
        """(first, last) of a "Range: bytes=<first>-<last>" header, else None."""
        for line in request.split(b"\r\n")[1:]:
            name, _, value = line.partition(b":")
            value = value.strip().lower()
            if name.strip().lower() == b"range" and value.startswith(b"bytes="):
                first, _, last = value[len(b"bytes="):].partition(b"-")
                if first.isdigit() and last.isdigit() and len(first) <= 18 and len(last) <= 18:
                    return int(first), int(last)
        return None

    def probe(self, server, conn, parts, request):
        if not parts:
            server.respond(conn, 404, "Not Found", b"bad probe path\n")
            return
        key, kind, size = parts[0], parts[1], server.number(parts[2])
        with self.lock:
            self.probes.setdefault(key, [0, 0])[0] += 1
        whole = pattern(min(size, self.MAX_SENT))
        asked = self.range_asked(request)
        partial = (206, "Partial Content")
        one = whole[:1]
        answers = {
            "ignore": (200, "OK", str(size), [], whole),
            "not-satisfiable": (416, "Range Not Satisfiable", "0",
                                [("Content-Range", "bytes */%d" % size)], b""),
            "wrong-total": partial + ("2", [("Content-Range", "bytes 0-0/%d" % size)], whole[:2]),
            "malformed": partial + ("1", [("Content-Range", "bytes 0-0/12x4")], one),
            "huge": partial + ("1", [("Content-Range", "bytes 0-0/99999999999999999999")], one),
            "no-total": partial + ("1", [("Content-Range", "bytes 0-0/*")], one),
            "other-range": partial + ("1", [("Content-Range", "bytes 5-5/%d" % size)], whole[5:6]),
            "body-anyway": partial + ("1", [("Content-Range", "bytes 0-0/%d" % size)], whole),
        }
        if kind == "trailing":
            self.trail(server, conn, key, size)
            return
        if kind == "honest":
            if asked and asked[0] <= asked[1] < size:
                first, last = asked
                answer = partial + (str(last - first + 1),
                                    [("Content-Range", "bytes %d-%d/%d" % (first, last, size))],
                                    whole[first:last + 1])
            else:
                answer = (200, "OK", str(size), [], whole)
        elif kind in answers:
            answer = answers[kind]
        else:
            server.respond(conn, 404, "Not Found", b"no such probe\n")
            return
        status, reason, length, headers, body = answer
        conn.sendall(server.head(status, reason, [("Content-Length", length)] + headers))
        # In pieces, counting what left, until the client closes.
        for at in range(0, len(body), 16384):
            try:
                conn.sendall(body[at:at + 16384])
            except OSError:
                return
            with self.lock:
                self.probes[key][1] += len(body[at:at + 16384])
        server.close_gracefully(conn)

    def trail(self, server, conn, key, size):
        conn.sendall(server.head(206, "Partial Content", [
            ("Content-Length", "1"), ("Content-Range", "bytes 0-0/%d" % size)]) + b"\x00")
        time.sleep(0.3)
        junk = b"\xee" * 16384
        deadline = time.monotonic() + server.args.hold
        while time.monotonic() < deadline and not server.stop.is_set():
            try:
                conn.sendall(junk)
            except socket.timeout:
                continue  # not read, but not closed either
            except OSError:
                server.log_request(("probe %s closed" % key).encode("latin-1"))
                return
            time.sleep(0.01)


# --- wrong answers to ranged requests ------------------------------------------


HTML_PAGE = b"<!DOCTYPE html>\n<html><head><title>Not here</title></head><body>\n"
HTML_PAGE += b"<p>This page stands where a file was asked for.</p>\n" * 24
HTML_PAGE = HTML_PAGE[:1174 - 15] + b"</body></html>\n"


def wrong_answer(server, conn, path, request):
    parts = path.split("/")[1:]
    size = server.number(parts[-1]) if len(parts) == 3 else 0
    if parts[0] == "trickle" and len(parts) == 3:
        trickle(server, conn, max(10, min(server.number(parts[1]), 10000)), size)
        return
    kind = parts[1] if len(parts) == 3 else ""
    body = pattern(min(size, FileScenarios.MAX_SENT))
    asked = FileScenarios.header_value(request, b"range")
    target = (request.split(b"\r\n", 1)[0].split(b" ") + [b"", b""])[1]
    server.log_request(b"answer %s range %s" % (target, (asked or "none").encode("latin-1")))
    if b"\r\nrange:" not in request.lower():
        conn.sendall(server.head(200, "OK", [("Content-Length", str(size))]) + body)
        server.close_gracefully(conn)
        return
    if FileScenarios.range_asked(request) == (0, 0) and size > 0:
        # A size check: the faults are for the download.
        server.respond(conn, 206, "Partial Content", body[:1],
                       [("Content-Range", "bytes 0-0/%d" % size)])
        return
    partial = (206, "Partial Content")
    start = FileScenarios.range_start(request) or 0
    start = start if 0 <= start < size else 0
    answers = {
        "wrong-start": partial + ([("Content-Range", "bytes 512-%d/%d" % (size - 1, size))],
                                  body[512:]),
        "short-206": partial + ([("Content-Range", "bytes 0-1023/%d" % size)], body[:1024]),
        "small-total": partial + ([("Content-Range", "bytes 0-1023/1024")], body[:1024]),
        "html": (200, "OK", [("Content-Type", "text/html")], HTML_PAGE),
        "no-range": partial + ([], body),
        "huge-range": partial + (
            [("Content-Range", "bytes 0-99999999999999999999/%d" % size)], body),
        "range-end": (416, "Range Not Satisfiable", [("Content-Range", "bytes */%d" % size)], b""),
        "longer-total": partial + (
            [("Content-Range", "bytes %d-%d/%d" % (start, size, size + 1))], body[start:] + b"\xff"),
        "zero-in-range": partial + (
            [("Content-Range", "bytes 0-%d/%d\0 junk" % (size - 1, size))], body),
        "body-from-zero": partial + (
            [("Content-Range", "bytes %d-%d/%d" % (start, size - 1, size))], body[:size - start]),
    }
    if kind not in answers:
        server.respond(conn, 404, "Not Found", b"no such answer\n")
        return
    status, reason, headers, payload = answers[kind]
    server.respond(conn, status, reason, payload, headers)


def trickle(server, conn, interval_ms, size):
    conn.sendall(server.head(200, "OK", [("Content-Length", str(size))]))
    body = pattern(size)
    deadline = time.monotonic() + server.args.hold
    for i in range(size):
        if server.stop.is_set() or time.monotonic() > deadline:
            return
        r, _, _ = select.select([conn], [], [], interval_ms / 1000.0)
        if r and not conn.recv(65536):
            return
        conn.sendall(body[i:i + 1])
    server.close_gracefully(conn)


def stop_nginx(folder):
    """Ends the nginx whose pid file lies below `folder`, if it is ours."""
    try:
        with open(os.path.join(folder, "nginx", "nginx.pid")) as f:
            pid = int(f.read().strip())
        with open("/proc/%d/cmdline" % pid, "rb") as f:
            if os.path.abspath(folder).encode() not in f.read():
                return
        os.kill(pid, signal.SIGTERM)
    except (OSError, ValueError):
        pass


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--dir", required=True, help="the test-servers folder")
    p.add_argument("--ready-file", required=True)
    p.add_argument("--idle", type=float, default=1800.0, help="seconds without a request to any server")
    p.add_argument("--lifetime", type=float, default=10800.0, help="seconds at most")
    p.add_argument("--hold", type=float, default=60.0, help="longest hold of a stall")
    args = p.parse_args()
    with open(os.path.join(args.dir, "fault-server.pid"), "w") as f:
        f.write("%d\n" % os.getpid())
    server = Server(args)
    signal.signal(signal.SIGTERM, lambda *_: server.stop.set())
    signal.signal(signal.SIGINT, lambda *_: server.stop.set())
    server.run()
    return 0


if __name__ == "__main__":
    sys.exit(main())
