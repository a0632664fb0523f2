"""The interop tests' servers built on the system's python3: a web-socket server over ws and
wss (python3-websockets), and a small HTTP server for what apache2 and nginx do not offer:
Digest with SHA-256 and the -sess variants, a nonce refused as stale, Digest offered beside
Basic, and a multipart upload read back part by part. All on 127.0.0.1.

Web-socket paths: /echo echoes every message;
/ ack answers each message with "ack:<length>";
/ close / <code> closes at once with<code>and the reason "bye <code>";
/
    ping pings the client and answers
    "pong" once the client 's pong came. A client' s close is answered with its code.

    HTTP paths(user "user", password "secret", realm "interop")
    : /
    digest /
    <md5 | md5 - sess | sha256 | sha256 - sess>[/ stale][/ both] 200 "granted" once answered;
/ stale refuses the first valid answer with a new nonce and stale = true; /both offers
      Basic as well (and takes it).
  /seen  the schemes of every Authorization received so far, one a line.
  /upload  (POST multipart/form-data) one line per part: "<name> <size> <sha256>".

Usage: python_servers.py WS_PORT WSS_PORT HTTP_PORT CERTIFICATE KEY READY_FILE
"""

import asyncio
import base64
import hashlib
import http.server
import os
import signal
import ssl
import sys
import threading

import websockets

REALM = "interop"
USER = "user"
PASSWORD = "secret"
ALGORITHMS = {"md5": ("MD5", hashlib.md5), "md5-sess": ("MD5-sess", hashlib.md5),
              "sha256": ("SHA-256", hashlib.sha256), "sha256-sess": ("SHA-256-sess", hashlib.sha256)}


async def serve(socket, path):
    if path == "/echo":
        async for message in socket:
            await socket.send(message)
    elif path == "/ack":
        async for message in socket:
            await socket.send("ack:%d" % len(message))
    elif path.startswith("/close/"):
        code = int(path[len("/close/"):])
        await socket.close(code, "bye %d" % code)
    elif path == "/ping":
        pong = await socket.ping(b"interop")
        await pong
        await socket.send("pong")
        async for _ in socket:
            pass


def parse_digest(value):
    params = {}
    rest = value[len("Digest "):]
    while rest:
        rest = rest.lstrip(" ,")
        if "=" not in rest:
            break
        name, rest = rest.split("=", 1)
        if rest.startswith('"'):
            end = rest.index('"', 1)
            params[name.strip().lower()] = rest[1:end]
            rest = rest[end + 1:]
        else:
            end = rest.find(",")
            end = len(rest) if end < 0 else end
            params[name.strip().lower()] = rest[:end].strip()
            rest = rest[end:]
    return params


class HTTPHandler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    seen = []
    lock = threading.Lock()
    stale_nonces = set()   # refused once as stale
    fresh_nonces = set()   # handed out with stale=true
    counter = [0]

    def log_message(self, *args):
        pass

    def answer(self, status, body, headers=()):
        data = body.encode()
        self.send_response(status)
        for name, value in headers:
            self.send_header(name, value)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def new_nonce(self):
        with self.lock:
            self.counter[0] += 1
            return hashlib.sha256(b"nonce%d" % self.counter[0]).hexdigest()[:32]

    def do_GET(self):
        parts = self.path.split("?")[0].strip("/").split("/")
        authorization = self.headers.get("Authorization", "")
        if parts[0] == "seen":
            with self.lock:
                return self.answer(200, "".join(s + "\n" for s in self.seen))
        if parts[0] != "digest" or len(parts) < 2 or parts[1] not in ALGORITHMS:
            return self.answer(404, "not found\n")
        if authorization:
            with self.lock:
                self.seen.append(authorization.split(" ")[0])
        name, hash_function = ALGORITHMS[parts[1]]
        stale_path = "stale" in parts[2:]
        both = "both" in parts[2:]
        h = lambda text: hash_function(text.encode()).hexdigest()
        stale = False
        if both and authorization.startswith("Basic "):
            expected = base64.b64encode(("%s:%s" % (USER, PASSWORD)).encode()).decode()
            if authorization[6:] == expected:
                return self.answer(200, "granted\n")
        if authorization.startswith("Digest "):
            p = parse_digest(authorization)
            ha1 = h("%s:%s:%s" % (USER, REALM, PASSWORD))
            if name.endswith("-sess"):
                ha1 = h("%s:%s:%s" % (ha1, p.get("nonce", ""), p.get("cnonce", "")))
            ha2 = h("%s:%s" % (self.command, p.get("uri", "")))
            expected = h(":".join([ha1, p.get("nonce", ""), p.get("nc", ""), p.get("cnonce", ""),
                                   p.get("qop", ""), ha2]))
            valid = (p.get("username") == USER and p.get("realm") == REALM
                     and p.get("uri") == self.path and p.get("response") == expected
                     and p.get("algorithm", "MD5").lower() == name.lower())
            if valid:
                nonce = p.get("nonce")
                with self.lock:
                    refuse = stale_path and nonce not in self.fresh_nonces
                if not refuse:
                    return self.answer(200, "granted\n")
                stale = True
        nonce = self.new_nonce()
        if stale:
            with self.lock:
                self.fresh_nonces.add(nonce)
        challenge = 'Digest realm="%s", qop="auth", algorithm=%s, nonce="%s", opaque="op"%s' % (
            REALM, name, nonce, ", stale=true" if stale else "")
        headers = [("WWW-Authenticate", challenge)]
        if both:
            headers.append(("WWW-Authenticate", 'Basic realm="%s"' % REALM))
        return self.answer(401, "refused\n", headers)

    def do_POST(self):
        if self.path != "/upload":
            return self.answer(404, "not found\n")
        length = int(self.headers.get("Content-Length", "0"))
        body = self.rfile.read(length)
        content_type = self.headers.get("Content-Type", "")
        boundary = content_type.split("boundary=", 1)[1].strip('"').encode()
        lines = []
        for part in body.split(b"--" + boundary)[1:]:
            if part.startswith(b"--"):
                break
            head, _, content = part[2:].partition(b"\r\n\r\n")
            content = content[:-2]  # the line break before the next boundary
            name = b"?"
            for field in head.split(b"\r\n"):
                if field.lower().startswith(b"content-disposition:") and b'name="' in field:
                    name = field.split(b'name="', 1)[1].split(b'"', 1)[0]
            lines.append("%s %d %s\n" % (name.decode(), len(content),
                                         hashlib.sha256(content).hexdigest()))
        return self.answer(200, "".join(lines))


async def main():
    ws_port, wss_port, http_port, certificate, key, ready = sys.argv[1:7]
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(certificate, key)
    options = dict(max_size=None, max_queue=None, compression=None, ping_interval=None)
    httpd = http.server.ThreadingHTTPServer(("127.0.0.1", int(http_port)), HTTPHandler)
    threading.Thread(target=httpd.serve_forever, daemon=True).start()
    stop = asyncio.get_running_loop().create_future()
    asyncio.get_running_loop().add_signal_handler(signal.SIGTERM, stop.set_result, None)
    async with websockets.serve(serve, "127.0.0.1", int(ws_port), **options), \
            websockets.serve(serve, "127.0.0.1", int(wss_port), ssl=context, **options):
        with open(ready, "w") as f:
            f.write("ready\n")
        await stop
    httpd.shutdown()


asyncio.run(main())
