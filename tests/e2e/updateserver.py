#!/usr/bin/env python3
"""Loopback update server for the tests and benchmarks of the web updater (standard library only).

One HTTP listener and, optionally, one HTTPS listener with a self-signed certificate made at start
by `openssl`. What every GET is answered with is a response description (a dict):

    status          HTTP status (200)
    reason          reason phrase ("OK" or the standard one)
    content_type    Content-Type value ("application/octet-stream"); None sends no header
    last_modified   Last-Modified value (text, sent as is); None sends no header
    body_text       body as text (UTF-8), or
    body_file       body from a file, or
    body_size       a generated body of this many bytes (byte i is i % 251)
    content_length  "auto" (the body's length), an integer (sent as is, may lie), or None (no header)
    truncate_after  send only this many body bytes, then close the connection
    delay           seconds to wait before answering
    rate            send the body at about this many bytes per second (0: as fast as possible)
    chunked         send the body with chunked transfer coding (no Content-Length); with
                    truncate_after the last chunk is left out
    cut_inside_chunk with chunked and truncate_after: the last chunk sent announces more bytes
                    than follow
    trickle         [bytes, seconds]: send the body in pieces of this many bytes, one every
                    this many seconds
    stall_after     send this many body bytes, then nothing more for stall_seconds (default 600)
    header_trickle  [lines, seconds]: the status line at once, then this many extra header lines
                    ("X-Trickle-<n>: <n>"), one every this many seconds, then the real headers
    chunk_line_trickle [digits, seconds]: with chunked, the first chunk-size line is sent one byte
                    every this many seconds, the size written with this many leading zeros
    headers         extra response headers, a list of [name, value]
    etag            ETag value (sent as is, "W/..." for a weak one) with Accept-Ranges: bytes
    range           how a request with "Range: bytes=N-" is answered when its If-Range (if any)
                    matches the ETag or the Last-Modified text: "honour" (default: 206 with
                    Content-Range bytes N-(size-1)/size and the rest of the body), "ignore" (200
                    with the whole body), "wrong_start" (206 that names N+1 as its first byte),
                    "other_total" (206 that names size+1 as the total), "416" (416 with
                    Content-Range bytes */size); without an ETag or Last-Modified, or with an
                    If-Range that matches neither, the whole body (200)
    routes          {path: description} overriding the description for one request path
    sequence        [description, ...]: the n-th request since the description was last changed
                    is answered with the n-th of these over the rest (the last one repeats)

Every request is recorded (listener, TLS or not, request line, headers), in memory and, with a
control folder, appended to CONTROL/requests.log as

    REQUEST <port> <tls 0|1>
    LINE <request line>
    H <name>: <value>
    END

With a certificate authority (--tls-ca, or tls_ca=True), a throwaway authority is made with
openssl (ca.crt and ca.der in the certificate folder, its key deleted once the certificates are
signed) and four more https listeners serve: "name" a certificate of that authority for
wrong.example, "expired" one for localhost whose validity ended in 2020, "valid" one for localhost
(valid for two days), and "other" a self-signed certificate for localhost. A test trusts the
authority in its Wine prefix and reaches the listeners as https://localhost:<port>.

With a proxy (--proxy, or proxy=True) one more listener is an HTTP forward proxy: it takes
`GET http://127.0.0.1:<port>/...` (only loopback targets), records the request as it came (with its
Proxy-Authorization) and forwards it without the proxy's headers. The description's "proxy" member
tells it what to ask for:

    proxy           {"auth": "Basic" (or another scheme, which it never accepts),
                     "realm": "...", "user": "...", "password": "..."}; absent or without
                    "auth": it asks for nothing. Without the right Basic credentials it answers
                    407 with Proxy-Authenticate: <auth> realm="<realm>" and a small HTML page.

Use it from Python (UpdateServer(...).start(), .configure(...), .requests, .stop()) or run it:

    python3 updateserver.py --port 0 --portfile F [--https] [--tls-ca] [--extra-port 4464]
                            [--body-file X | --body-size N] [--control-dir D] [--detach]

With --control-dir the description is read from D/config.json at every request (written by the
test, replaced atomically), requests go to D/requests.log, and the server ends when D/stop appears,
after --idle-timeout seconds without a request or a changed config, or after --lifetime seconds.
The port file gets {"http": port, "https": port or null, "extra": port or null, "proxy": port or null} (and with
--tls-ca "tls_name", "tls_expired", "tls_valid", "tls_other", and "tls_sets": a list of
--tls-sets objects with the ports of one more set, keyed "https", "name", "expired", "valid",
"other") once all listeners are up. --detach makes the server independent of its starter (new session, standard
streams to D/server.log or /dev/null): the unit tests start it from inside Wine this way.
"""

import argparse
import base64
import http.client
import json
import selectors
import os
import socket
import socketserver
import ssl
import subprocess
import sys
import tempfile
import threading
import time
from http.server import BaseHTTPRequestHandler
from urllib.parse import urlsplit

PATTERN_MODULUS = 251
_PATTERN_BLOCK = bytes(i % PATTERN_MODULUS for i in range(PATTERN_MODULUS * 256))


def pattern_bytes(start, length):
    """The generated body's bytes [start, start+length)."""
    out = bytearray()
    pos = start
    end = start + length
    while pos < end:
        off = pos % PATTERN_MODULUS
        take = min(len(_PATTERN_BLOCK) - off, end - pos)
        out += _PATTERN_BLOCK[off:off + take]
        pos += take
    return bytes(out)


def make_self_signed_cert(folder, common_name="127.0.0.1"):
    """A fresh key and self-signed certificate in folder, made by openssl; returns (cert, key)."""
    cert = os.path.join(folder, "server.crt")
    key = os.path.join(folder, "server.key")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert,
                    "-days", "2", "-subj", "/CN=" + common_name],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
    return cert, key


def _openssl(args, cwd):
    subprocess.run(["openssl"] + args, cwd=cwd, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                   timeout=60)


_CA_CONFIG = """[ca]
default_ca = throwaway
[throwaway]
database = index.txt
new_certs_dir = .
serial = serial
default_md = sha256
policy = anything
copy_extensions = copy
unique_subject = no
[anything]
organizationName = optional
commonName = supplied
"""


def make_test_authority(folder):
    """A throwaway certificate authority and three certificates it signs, made by openssl in folder.
    Returns {"ca": ca.crt, "name": (crt, key), "expired": (crt, key), "valid": (crt, key)}; the
    authority's key is deleted once the certificates are signed, so nothing else can be signed."""
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "ca.cnf"), "w") as f:
        f.write(_CA_CONFIG)
    with open(os.path.join(folder, "index.txt"), "w"):
        pass
    with open(os.path.join(folder, "serial"), "w") as f:
        f.write("%016X\n" % int.from_bytes(os.urandom(8), "big"))
    _openssl(["req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key", "-out", "ca.crt", "-days", "3",
              "-subj", "/O=Callvane Test/CN=Callvane Throwaway Test CA",
              "-addext", "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign,cRLSign"],
             folder)
    _openssl(["x509", "-in", "ca.crt", "-outform", "DER", "-out", "ca.der"], folder)
    made = {"ca": os.path.join(folder, "ca.crt")}
    leaves = [("name", "wrong.example", None), ("expired", "localhost", ("20200101000000Z", "20200201000000Z")),
              ("valid", "localhost", None)]
    for tag, host, dates in leaves:
        _openssl(["req", "-new", "-newkey", "rsa:2048", "-nodes", "-keyout", tag + ".key", "-out", tag + ".csr",
                  "-subj", "/O=Callvane Test/CN=" + host, "-addext", "subjectAltName=DNS:" + host,
                  "-addext", "extendedKeyUsage=serverAuth", "-addext", "basicConstraints=CA:FALSE"], folder)
        validity = ["-startdate", dates[0], "-enddate", dates[1]] if dates else ["-days", "2"]
        _openssl(["ca", "-batch", "-notext", "-config", "ca.cnf", "-cert", "ca.crt", "-keyfile", "ca.key",
                  "-in", tag + ".csr", "-out", tag + ".crt"] + validity, folder)
        made[tag] = (os.path.join(folder, tag + ".crt"), os.path.join(folder, tag + ".key"))
    os.remove(os.path.join(folder, "ca.key"))
    return made


class _Listener(socketserver.ThreadingMixIn, socketserver.TCPServer):
    daemon_threads = True
    allow_reuse_address = True
    request_queue_size = 64

    def __init__(self, owner, port, tls_context):
        self.owner = owner
        self.tls_context = tls_context
        super().__init__(("127.0.0.1", port), _Handler)

    def handle_error(self, request, client_address):
        # Clients that drop the connection (a refused certificate, a closed request) are normal here.
        pass


class _Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "CVTestUpdateServer/1"
    sys_version = ""

    def setup(self):
        ctx = self.server.tls_context
        if ctx is not None:
            self.request.settimeout(30)
            self.request = ctx.wrap_socket(self.request, server_side=True)
            self.request.settimeout(None)
        super().setup()

    def log_message(self, fmt, *args):
        pass

    def do_GET(self):
        owner = self.server.owner
        owner._record(self.server.server_address[1], self.server.tls_context is not None,
                      self.requestline, list(self.headers.items()))
        desc = owner._description_for(self.path)
        try:
            self._answer(desc)
        except (BrokenPipeError, ConnectionResetError, ssl.SSLError, OSError):
            self.close_connection = True

    do_HEAD = do_GET

    def _answer(self, d):
        delay = float(d.get("delay") or 0)
        if delay > 0:
            time.sleep(delay)
        status = int(d.get("status", 200))
        reason = d.get("reason")
        if reason is None:
            reason = self.responses.get(status, ("Status",))[0]
        if "body_text" in d and d["body_text"] is not None:
            body = d["body_text"].encode("utf-8")
            size = len(body)
            source = ("bytes", body)
        elif d.get("body_file"):
            size = os.path.getsize(d["body_file"])
            source = ("file", d["body_file"])
        else:
            size = int(d.get("body_size") or 0)
            source = ("pattern", None)
        status, size, source, range_headers = self._range(d, status, size, source)
        reason = d.get("reason") if status == int(d.get("status", 200)) else None
        if reason is None:
            reason = self.responses.get(status, ("Status",))[0]
        send_body = self.command != "HEAD" and status not in (204, 304, 416) and not (100 <= status < 200)
        chunked = bool(d.get("chunked"))
        truncate = d.get("truncate_after")
        to_send = size if truncate is None else min(size, int(truncate))

        self.send_response_only(status, reason)
        self.send_header("Date", self.date_time_string())
        ctype = d.get("content_type", "application/octet-stream")
        if ctype is not None:
            self.send_header("Content-Type", ctype)
        if d.get("last_modified"):
            self.send_header("Last-Modified", d["last_modified"])
        cl = d.get("content_length", "auto")
        if chunked:
            self.send_header("Transfer-Encoding", "chunked")
        elif cl == "auto":
            self.send_header("Content-Length", str(size if send_body else 0))
        elif cl is not None:
            self.send_header("Content-Length", str(cl))
        lying = (not chunked) and cl not in ("auto", None) and int(cl) != to_send
        close = truncate is not None or lying or (not chunked and cl is None and send_body)
        for name, value in list(d.get("headers") or []) + range_headers:
            self.send_header(name, value)
        if close:
            self.send_header("Connection", "close")
            self.close_connection = True
        if d.get("header_trickle"):
            self._trickle_headers(int(d["header_trickle"][0]), float(d["header_trickle"][1]))
        self.end_headers()
        if not send_body:
            self.wfile.flush()
            return
        if chunked and d.get("chunk_line_trickle"):
            self._trickle_chunk_line(source, to_send, int(d["chunk_line_trickle"][0]),
                                     float(d["chunk_line_trickle"][1]))
        elif d.get("trickle"):
            self._trickle(source, to_send, chunked, int(d["trickle"][0]), float(d["trickle"][1]))
        elif d.get("stall_after") is not None:
            self._send_body(source, int(d["stall_after"]), chunked)
            self.wfile.flush()
            time.sleep(float(d.get("stall_seconds") or 600))
            return
        elif chunked and truncate is not None and d.get("cut_inside_chunk"):
            self._send_body(source, to_send, chunked)
            self.wfile.write(b"%x\r\n" % 5000 + b"x" * 100)
        else:
            self._send_body(source, to_send, chunked, float(d.get("rate") or 0))
        if chunked and truncate is None:
            self.wfile.write(b"0\r\n\r\n")
        self.wfile.flush()
        if close:
            try:
                self.request.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def _trickle_headers(self, lines, interval):
        buffered, self._headers_buffer = self._headers_buffer, []
        self.wfile.write(buffered[0])
        self.wfile.flush()
        for n in range(lines):
            time.sleep(interval)
            self.wfile.write(b"X-Trickle-%d: %d\r\n" % (n, n))
            self.wfile.flush()
        self._headers_buffer = buffered[1:]

    def _trickle_chunk_line(self, source, length, digits, interval):
        line = b"0" * digits + b"%x\r\n" % length
        for i in range(len(line)):
            self.wfile.write(line[i:i + 1])
            self.wfile.flush()
            if i + 1 < len(line):
                time.sleep(interval)
        self.wfile.write(self._slice(source, 0, length) + b"\r\n")

    def _range(self, d, status, size, source):
        """The answer to a Range request: (status, body size, source, extra headers)."""
        etag = d.get("etag")
        extra = [["ETag", etag], ["Accept-Ranges", "bytes"]] if etag is not None else []
        wanted = self.headers.get("Range") or ""
        if_range = self.headers.get("If-Range")
        mode = d.get("range", "honour")
        if status != 200 or not wanted.startswith("bytes=") or not wanted.endswith("-") or mode == "ignore":
            return status, size, source, extra
        if etag is None and not d.get("last_modified"):
            return status, size, source, extra
        if if_range is not None and if_range not in (etag, d.get("last_modified")):
            return status, size, source, extra
        start = int(wanted[6:-1])
        if mode == "416" or start >= size:
            return 416, 0, ("bytes", b""), extra + [["Content-Range", "bytes */%d" % size]]
        first = start + 1 if mode == "wrong_start" else start
        total = size + 1 if mode == "other_total" else size
        extra = extra + [["Content-Range", "bytes %d-%d/%d" % (first, size - 1, total)]]
        kind, data = source
        if kind == "bytes":
            source = ("bytes", data[start:])
        elif kind == "file":
            source = ("file_at", (data, start))
        else:
            source = ("pattern", start)
        return 206, size - start, source, extra

    def _trickle(self, source, length, chunked, piece, interval):
        sent = 0
        while sent < length:
            n = min(piece, length - sent)
            data = self._slice(source, sent, n)
            self.wfile.write((b"%x\r\n" % n + data + b"\r\n") if chunked else data)
            self.wfile.flush()
            sent += n
            if sent < length:
                time.sleep(interval)

    @staticmethod
    def _slice(source, start, n):
        kind, data = source
        if kind == "bytes":
            return data[start:start + n]
        if kind in ("file", "file_at"):
            path, offset = (data, 0) if kind == "file" else data
            with open(path, "rb") as fh:
                fh.seek(offset + start)
                return fh.read(n)
        return pattern_bytes((data or 0) + start, n)

    def _send_body(self, source, length, chunked, rate=0.0):
        kind, data = source
        block = 65536 if rate <= 0 else max(1024, min(65536, int(rate / 20)))
        sent = 0
        started = time.monotonic()
        fh = None
        if kind in ("file", "file_at"):
            path, offset = (data, 0) if kind == "file" else data
            fh = open(path, "rb")
            fh.seek(offset)
        try:
            while sent < length:
                n = min(block, length - sent)
                if kind == "bytes":
                    piece = data[sent:sent + n]
                elif fh is not None:
                    piece = fh.read(n)
                    if not piece:
                        break
                else:
                    piece = pattern_bytes((data or 0) + sent, n)
                if chunked:
                    self.wfile.write(b"%x\r\n" % len(piece) + piece + b"\r\n")
                else:
                    self.wfile.write(piece)
                sent += len(piece)
                if rate > 0:
                    ahead = sent / rate - (time.monotonic() - started)
                    if ahead > 0:
                        self.wfile.flush()
                        time.sleep(ahead)
        finally:
            if fh:
                fh.close()


class _ProxyListener(_Listener):
    def __init__(self, owner, port):
        socketserver.TCPServer.__init__(self, ("127.0.0.1", port), _ProxyHandler)
        self.owner = owner
        self.tls_context = None


class _ProxyHandler(BaseHTTPRequestHandler):
    """A forward proxy for plain http to loopback targets, asking for credentials as configured."""
    protocol_version = "HTTP/1.1"
    server_version = "CVTestProxy/1"
    sys_version = ""

    def log_message(self, fmt, *args):
        pass

    def do_GET(self):
        owner = self.server.owner
        owner._record(self.server.server_address[1], False, self.requestline, list(self.headers.items()))
        cfg = owner._current_config().get("proxy") or {}
        try:
            if cfg.get("auth") and not self._authorized(cfg):
                self._challenge(cfg)
            else:
                self._forward()
        except (BrokenPipeError, ConnectionResetError, OSError):
            self.close_connection = True

    def _authorized(self, cfg):
        if cfg["auth"].lower() != "basic":
            return False
        wanted = "%s:%s" % (cfg.get("user", ""), cfg.get("password", ""))
        return self.headers.get("Proxy-Authorization") == "Basic " + base64.b64encode(wanted.encode()).decode()

    def _challenge(self, cfg):
        body = b"<html><body><h1>407 Proxy Authentication Required</h1></body></html>"
        self.send_response_only(407, "Proxy Authentication Required")
        self.send_header("Proxy-Authenticate", '%s realm="%s"' % (cfg["auth"], cfg.get("realm", "Callvane Test")))
        self.send_header("Content-Type", "text/html")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)
        self.wfile.flush()

    def _forward(self):
        url = urlsplit(self.path)
        if url.scheme != "http" or url.hostname not in ("127.0.0.1", "localhost"):
            self.send_response_only(502, "Bad Gateway")
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        headers = {k: v for k, v in self.headers.items()
                   if not k.lower().startswith("proxy-") and k.lower() != "connection"}
        conn = http.client.HTTPConnection(url.hostname, url.port or 80, timeout=60)
        try:
            conn.request("GET", url.path + ("?" + url.query if url.query else ""), headers=headers)
            response = conn.getresponse()
            body = response.read()
        finally:
            conn.close()
        self.send_response_only(response.status, response.reason)
        for name, value in response.getheaders():
            if name.lower() not in ("content-length", "transfer-encoding", "connection"):
                self.send_header(name, value)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)
        self.wfile.flush()


class UpdateServer:
    """The server with its listeners; start() binds and serves in background threads."""

    def __init__(self, port=0, https=False, https_port=0, extra_port=None, control_dir=None, config=None,
                 cert_dir=None, tls_ca=False, tls_sets=0, proxy=False):
        self.port = port
        self.proxy = proxy
        self.proxy_port = None
        self.tls_sets_wanted = tls_sets
        self.tls_sets = []
        self.https = https
        self.tls_ca = tls_ca
        self.tls_ports = {}
        self.https_port_wanted = https_port
        self.extra_port_wanted = extra_port
        self.control_dir = control_dir
        self.config = dict(config or {})
        self.requests = []
        self.cert_dir = cert_dir
        self.cert = self.key = None
        self.http_port = self.https_port = self.extra_port = None
        self.last_activity = time.monotonic()
        self._lock = threading.Lock()
        self._listeners = []
        self._threads = []
        self._config_mtime = None
        self._sequence_key = None
        self._generation = 0
        self._sequence_next = 0

    # -- control -------------------------------------------------------------------------------
    def configure(self, description=None, **fields):
        """Sets the response description (in memory; a control folder's config.json wins)."""
        with self._lock:
            self.config = dict(description or {})
            self.config.update(fields)
            self._generation += 1

    def _current_config(self):
        if self.control_dir:
            path = os.path.join(self.control_dir, "config.json")
            try:
                with open(path, "r", encoding="utf-8") as f:
                    return json.load(f)
            except (OSError, ValueError):
                pass
        with self._lock:
            return dict(self.config)

    def _description_for(self, path):
        cfg = self._current_config()
        routes = cfg.get("routes") or {}
        sequence = cfg.get("sequence") or []
        merged = {k: v for k, v in cfg.items() if k not in ("routes", "sequence")}
        if path in routes:
            merged.update(routes[path])
        if sequence:
            merged.update(sequence[min(self._sequence_step(cfg), len(sequence) - 1)])
        return merged

    def _sequence_step(self, cfg):
        """The number of requests answered from this description before (0 after every change)."""
        # A rewritten config.json is a new file (a new inode), even with the same text.
        key = (self._generation, json.dumps(cfg, sort_keys=True))
        if self.control_dir:
            try:
                st = os.stat(os.path.join(self.control_dir, "config.json"))
                key += (st.st_ino, st.st_mtime_ns)
            except OSError:
                pass
        with self._lock:
            if key != self._sequence_key:
                self._sequence_key = key
                self._sequence_next = 0
            step = self._sequence_next
            self._sequence_next += 1
            return step

    def _record(self, port, tls, line, headers):
        self.last_activity = time.monotonic()
        entry = {"port": port, "tls": tls, "line": line, "headers": headers}
        with self._lock:
            self.requests.append(entry)
            if self.control_dir:
                text = "REQUEST %d %d\nLINE %s\n" % (port, 1 if tls else 0, line)
                text += "".join("H %s: %s\n" % (k, v) for k, v in headers)
                text += "END\n"
                with open(os.path.join(self.control_dir, "requests.log"), "a", encoding="utf-8") as f:
                    f.write(text)

    def header(self, entry, name):
        for k, v in entry["headers"]:
            if k.lower() == name.lower():
                return v
        return None

    # -- life ----------------------------------------------------------------------------------
    def start(self):
        plain = _Listener(self, self.port, None)
        self.http_port = plain.server_address[1]
        self._listeners.append(plain)
        if self.https:
            if not self.cert:
                folder = self.cert_dir or tempfile.mkdtemp(prefix="cvcert-")
                self.cert, self.key = make_self_signed_cert(folder)
            ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            ctx.load_cert_chain(self.cert, self.key)
            secured = _Listener(self, self.https_port_wanted, ctx)
            self.https_port = secured.server_address[1]
            self._listeners.append(secured)
        if self.tls_ca:
            folder = os.path.join(self.cert_dir or tempfile.mkdtemp(prefix="cvcert-"), "authority")
            made = make_test_authority(folder)
            self.ca_cert = made["ca"]
            other = os.path.join(folder, "other")
            os.makedirs(other, exist_ok=True)
            made["other"] = make_self_signed_cert(other, "localhost")
            for tag in ("name", "expired", "valid", "other"):
                ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
                ctx.load_cert_chain(*made[tag])
                listener = _Listener(self, 0, ctx)
                self.tls_ports[tag] = listener.server_address[1]
                self._listeners.append(listener)
            self._start_tls_sets(made)
        if self.proxy:
            forward = _ProxyListener(self, 0)
            self.proxy_port = forward.server_address[1]
            self._listeners.append(forward)
        if self.extra_port_wanted:
            try:
                extra = _Listener(self, self.extra_port_wanted, None)
                self.extra_port = extra.server_address[1]
                self._listeners.append(extra)
            except OSError:
                self.extra_port = None
        for listener in self._listeners:
            t = threading.Thread(target=listener.serve_forever, kwargs={"poll_interval": 0.1}, daemon=True)
            t.start()
            self._threads.append(t)
        return self

    def _start_tls_sets(self, made):
        """More listeners of the same certificates, each set on ports of its own, all served by one
        thread: a test that needs a server its TLS client has not met before takes a fresh set."""
        contexts = {}
        for tag in ("https", "name", "expired", "valid", "other"):
            cert_key = (self.cert, self.key) if tag == "https" else made[tag]
            if cert_key[0] is None:
                continue
            contexts[tag] = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            contexts[tag].load_cert_chain(*cert_key)
        self._set_listeners = []
        for _ in range(self.tls_sets_wanted):
            ports = {}
            for tag, ctx in contexts.items():
                listener = _Listener(self, 0, ctx)
                ports[tag] = listener.server_address[1]
                self._set_listeners.append(listener)
            self.tls_sets.append(ports)
        if self._set_listeners:
            t = threading.Thread(target=self._serve_sets, daemon=True)
            t.start()
            self._threads.append(t)

    def _serve_sets(self):
        with selectors.DefaultSelector() as sel:
            for listener in self._set_listeners:
                sel.register(listener, selectors.EVENT_READ)
            while self._set_listeners:
                for key, _ in sel.select(0.2):
                    key.fileobj._handle_request_noblock()

    def stop(self):
        for listener in self._listeners:
            listener.shutdown()
            listener.server_close()
        self._listeners = []
        sets, self._set_listeners = getattr(self, "_set_listeners", []), []
        for listener in sets:
            listener.server_close()

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    def url(self, path="/", tls=False):
        return "%s://127.0.0.1:%d%s" % ("https" if tls else "http", self.https_port if tls else self.http_port, path)


def _write_atomically(path, text):
    tmp = path + ".tmp"
    with open(tmp, "w", encoding="utf-8") as f:
        f.write(text)
    os.replace(tmp, path)


def main(argv=None):
    ap = argparse.ArgumentParser(description="Loopback update server for the web updater's tests")
    ap.add_argument("--port", type=int, default=0)
    ap.add_argument("--https", action="store_true")
    ap.add_argument("--https-port", type=int, default=0)
    ap.add_argument("--extra-port", type=int, default=None)
    ap.add_argument("--tls-ca", action="store_true", help="https listeners with certificates of a throwaway authority")
    ap.add_argument("--tls-sets", type=int, default=0,
                    help="with --tls-ca: this many more sets of the https listeners, on ports of their own")
    ap.add_argument("--proxy", action="store_true", help="a forward proxy listener as well")
    ap.add_argument("--portfile")
    ap.add_argument("--control-dir")
    ap.add_argument("--body-file")
    ap.add_argument("--body-size", type=int)
    ap.add_argument("--status", type=int, default=200)
    ap.add_argument("--content-type", default="application/octet-stream")
    ap.add_argument("--last-modified")
    ap.add_argument("--chunked", action="store_true")
    ap.add_argument("--delay", type=float, default=0)
    ap.add_argument("--idle-timeout", type=float, default=0, help="end after this many idle seconds (0: never)")
    ap.add_argument("--lifetime", type=float, default=0, help="end after this many seconds (0: never)")
    ap.add_argument("--detach", action="store_true")
    args = ap.parse_args(argv)

    if args.detach:
        # Started from inside Wine: nothing of the starter's (its pipes, its session) is kept.
        logname = os.path.join(args.control_dir, "server.log") if args.control_dir else os.devnull
        fd = os.open(logname, os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o644)
        null = os.open(os.devnull, os.O_RDONLY)
        os.dup2(null, 0)
        os.dup2(fd, 1)
        os.dup2(fd, 2)
        try:
            os.setsid()
        except OSError:
            pass

    config = {"status": args.status, "content_type": args.content_type, "chunked": args.chunked,
              "delay": args.delay}
    if args.last_modified:
        config["last_modified"] = args.last_modified
    if args.body_file:
        config["body_file"] = args.body_file
    elif args.body_size is not None:
        config["body_size"] = args.body_size
    server = UpdateServer(port=args.port, https=args.https, https_port=args.https_port, extra_port=args.extra_port,
                          control_dir=args.control_dir, config=config, cert_dir=args.control_dir, tls_ca=args.tls_ca,
                          tls_sets=args.tls_sets, proxy=args.proxy)
    server.start()
    if args.portfile:
        ports = {"http": server.http_port, "https": server.https_port, "extra": server.extra_port,
                 "proxy": server.proxy_port}
        ports.update({"tls_" + tag: port for tag, port in server.tls_ports.items()})
        ports["tls_sets"] = server.tls_sets
        _write_atomically(args.portfile, json.dumps(ports))
    started = time.monotonic()
    cfg_path = os.path.join(args.control_dir, "config.json") if args.control_dir else None
    last_mtime = None
    try:
        while True:
            time.sleep(0.1)
            now = time.monotonic()
            if args.control_dir and os.path.exists(os.path.join(args.control_dir, "stop")):
                break
            if cfg_path:
                try:
                    m = os.stat(cfg_path).st_mtime_ns
                except OSError:
                    m = None
                if m != last_mtime:
                    last_mtime = m
                    server.last_activity = now
            if args.idle_timeout and now - server.last_activity > args.idle_timeout:
                break
            if args.lifetime and now - started > args.lifetime:
                break
    except KeyboardInterrupt:
        pass
    server.stop()
    if args.control_dir:
        try:
            _write_atomically(os.path.join(args.control_dir, "stopped"), "1")
        except OSError:
            pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
