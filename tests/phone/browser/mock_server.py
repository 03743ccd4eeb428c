"""A stand-in for the computer's phone listener, for working on the phone app
without the daemon: serves helper/phone/app/ and keeps the API's state in
memory. Strict where the app could go wrong (headers on state changes, the
device cookie, the owner's login on pairing).

    python3 mock_server.py --port 8650     # then open http://127.0.0.1:8650/pair?c=<code printed>
"""

import argparse
import hashlib
import http.server
import json
import os
import re
import secrets
import threading
import time
import urllib.parse

APP_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..", "helper", "phone", "app")
TYPES = {"html": "text/html; charset=utf-8", "css": "text/css; charset=utf-8", "js": "text/javascript; charset=utf-8",
         "webmanifest": "application/manifest+json", "png": "image/png"}
CSP = "default-src 'self'"


def now_ms():
    return int(time.time() * 1000)


class Phone:
    """Everything the listener remembers."""

    def __init__(self, owner="owner@example.com"):
        self.owner = owner
        self.lock = threading.Condition()
        self.codes = {secrets.token_hex(16)}
        self.devices = {}          # id -> {"id","name","secret","paired_at","last_seen","push"}
        self.requests = []         # pending HelpRequests
        self.ended = {}            # id -> HelpRequest
        self.version = 1
        self.subscriptions = {}    # device id -> subscription JSON
        self.windows = [{"id": "0x3a00007", "title": "Sign in – GitHub", "app": "Firefox", "width": 1280, "height": 800}]
        self.window_for_request = True
        self.stream_error = None   # a 503 text, when set
        self.frame = b""           # JPEG shown in every session
        self.frame_seq = 1
        self.sessions = {}         # id -> {"window", "inputs": [...], "ended": bool}
        self.log = []              # (method, path) of every API call
        self.offline = False       # drop every connection, parked ones too

    def new_code(self):
        with self.lock:
            code = secrets.token_hex(16)
            self.codes.add(code)
            return code

    def add_request(self, reason, ask=None, agent="Claude Code", app=None, created_at=None):
        with self.lock:
            request = {"id": secrets.token_hex(8), "status": "pending", "reason": reason,
                       "created_at": created_at or now_ms(), "updated_at": now_ms()}
            for key, value in (("ask", ask), ("agent", agent), ("app", app)):
                if value is not None:
                    request[key] = value
            self.requests.append(request)
            self.version += 1
            self.lock.notify_all()
            return request

    def end_request(self, ident, status, answer=None):
        with self.lock:
            for request in self.requests:
                if request["id"] == ident:
                    self.requests.remove(request)
                    request = dict(request, status=status, updated_at=now_ms())
                    if answer:
                        request["answer"] = answer
                    self.ended[ident] = request
                    self.version += 1
                    for session in self.sessions.values():
                        if session["request"] == ident:
                            session["ended"] = True
                    self.lock.notify_all()
                    return request
            return None

    def go_offline(self, offline=True):
        with self.lock:
            self.offline = offline
            self.lock.notify_all()

    def change_frame(self, jpeg=None):
        with self.lock:
            if jpeg is not None:
                self.frame = jpeg
            self.frame_seq += 1
            self.lock.notify_all()


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    phone = None  # set by serve()

    def log_message(self, *args):
        pass

    # -------------------------------------------------------------- replies

    def reply(self, status, body=b"", content_type="application/json", headers=()):
        if isinstance(body, (dict, list)):
            body = json.dumps(body).encode()
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Content-Security-Policy", CSP)
        self.send_header("Cache-Control", "no-store")
        for name, value in headers:
            self.send_header(name, value)
        self.end_headers()
        try:
            self.wfile.write(body)
        except (BrokenPipeError, ConnectionResetError):
            self.close_connection = True  # the page gave up on it (a stopped frame)

    def error(self, status, text):
        self.reply(status, {"error": text})

    def device(self):
        cookies = self.headers.get("Cookie", "")
        found = re.search(r"(?:^|;\s*)ringlark_device=([0-9a-f]+)\.([0-9a-f]+)", cookies)
        if not found:
            return None
        device = self.phone.devices.get(found.group(1))
        if device and secrets.compare_digest(device["secret"], found.group(2)):
            device["last_seen"] = now_ms()
            return device
        return None

    def body(self):
        length = int(self.headers.get("Content-Length") or 0)
        raw = self.rfile.read(length) if length else b""
        try:
            return json.loads(raw) if raw else None
        except ValueError:
            return None

    def state_change_refused(self):
        host = self.headers.get("Host", "")
        if self.headers.get("Content-Type", "").split(";")[0].strip() != "application/json":
            return "Content-Type must be application/json"
        if self.headers.get("X-Ringlark-Phone") != "1":
            return "X-Ringlark-Phone: 1 is missing"
        if self.headers.get("Origin") not in (f"http://{host}", f"https://{host}"):
            return f"Origin {self.headers.get('Origin')} is not this site"
        return None

    # -------------------------------------------------------------- routes

    def do_GET(self):
        self.route("GET")

    def do_POST(self):
        self.route("POST")

    def do_PUT(self):
        self.route("PUT")

    def do_DELETE(self):
        self.route("DELETE")

    def route(self, method):
        if self.phone.offline:
            self.close_connection = True  # as if the computer were gone: no reply at all
            return
        url = urllib.parse.urlsplit(self.path)
        path, query = url.path, urllib.parse.parse_qs(url.query)
        if not path.startswith("/api/v1/"):
            return self.static(path, query) if method == "GET" else self.error(405, "not here")
        self.phone.log.append((method, path))
        body = None
        if method != "GET":
            refused = self.state_change_refused()
            body = self.body()
            if refused or not isinstance(body, dict):
                return self.error(400 if not refused else 403, refused or "the body must be a JSON object")
        api = path[len("/api/v1"):]
        if api == "/pair" and method == "POST":
            return self.pair(body)
        device = self.device()
        if device is None:
            return self.error(401, "This phone is not paired.")
        phone = self.phone
        parts = api.strip("/").split("/")
        if api == "/requests" and method == "GET":
            return self.requests(query)
        if len(parts) == 3 and parts[0] == "requests" and method == "POST" and parts[2] in ("answer", "dismiss"):
            text = body.get("text", "")
            if parts[2] == "answer" and (not isinstance(text, str) or len(text) > 1000):
                return self.error(400, "text must be at most 1000 characters")
            with phone.lock:
                if parts[1] in phone.ended:
                    return self.error(409, "This request is no longer waiting.")
                ended = phone.end_request(parts[1], "resolved" if parts[2] == "answer" else "dismissed",
                                          text if parts[2] == "answer" else None)
            return self.reply(200, {"request": ended}) if ended else self.error(404, "No such request.")
        if api == "/push" and method == "GET":
            key = "BEl62iUYgUivxIkv69yViEuiBIa-Ib9-SkvMeAtA3LFgDzkrxZJjSgSnfckjBJuBkr3qBUYIHBQFLXYp5Nksh8U"
            return self.reply(200, {"vapid_public_key": key, "subscribed": device["id"] in phone.subscriptions})
        if api == "/push" and method == "PUT":
            if not str(body.get("endpoint", "")).startswith("https://"):
                return self.error(400, "Not a push service this computer can use.")
            phone.subscriptions[device["id"]] = body
            device["push"] = True
            return self.reply(200, {})
        if api == "/devices" and method == "GET":
            return self.reply(200, {"devices": [
                {key: value for key, value in d.items() if key != "secret"} | {"this": d is device}
                for d in phone.devices.values()]})
        if len(parts) == 2 and parts[0] == "devices" and method == "DELETE":
            if phone.devices.pop(parts[1], None) is None:
                return self.error(404, "No such device.")
            clear = [("Set-Cookie", "ringlark_device=; Path=/; Max-Age=0")] if parts[1] == device["id"] else []
            return self.reply(200, {}, headers=clear)
        if api == "/windows" and method == "GET":
            return self.reply(200, {"windows": phone.windows})
        if api == "/sessions" and method == "POST":
            return self.start_session(body)
        if len(parts) >= 2 and parts[0] == "sessions":
            session = phone.sessions.get(parts[1])
            if session is None:
                return self.error(404, "No such session.")
            if len(parts) == 2 and method == "DELETE":
                session["ended"] = True
                with phone.lock:
                    phone.lock.notify_all()
                return self.reply(200, {})
            if parts[2:] == ["frame"] and method == "GET":
                return self.frame(session, query)
            if parts[2:] == ["input"] and method == "POST":
                if session["ended"]:
                    return self.error(410, "The session ended.")
                session["inputs"].append(body)
                return self.reply(200, {})
        return self.error(404, f"no {method} {api}")

    def static(self, path, query):
        if path in ("/", "/pair") or path.startswith("/r/"):
            path = "/index.html"
        name = path.lstrip("/")
        full = os.path.join(APP_DIR, name)
        if "/" in name or not os.path.isfile(full):
            return self.reply(404, b"not found", "text/plain")
        with open(full, "rb") as file:
            data = file.read()
        if name == "sw.js":
            digest = hashlib.sha256(b"".join(open(os.path.join(APP_DIR, n), "rb").read()
                                             for n in sorted(os.listdir(APP_DIR)) if n != "sw.js")).hexdigest()
            data = data.replace(b"__SHELL_VERSION__", digest[:16].encode())
        if name == "manifest.webmanifest" and re.fullmatch(r"[0-9a-f]{32}", (query.get("c") or [""])[0]):
            manifest = json.loads(data)
            manifest["start_url"] = "/pair?c=" + query["c"][0]
            data = json.dumps(manifest).encode()
        self.reply(200, data, TYPES[name.rsplit(".", 1)[-1]])

    def pair(self, body):
        phone = self.phone
        code, name = body.get("code"), body.get("name")
        if not isinstance(code, str) or not isinstance(name, str) or not name.strip() or len(name) > 100:
            return self.error(400, "code and name are needed")
        if self.headers.get("Tailscale-User-Login") != phone.owner:
            return self.error(403, "Only the Tailscale owner of this computer can pair a phone.")
        with phone.lock:
            if code not in phone.codes:
                return self.error(410, "This pairing code has expired.")
            phone.codes.discard(code)
        ident, secret = secrets.token_hex(8), secrets.token_hex(16)
        phone.devices[ident] = {"id": ident, "name": name, "secret": secret, "paired_at": now_ms(),
                                "last_seen": now_ms(), "push": False}
        cookie = f"ringlark_device={ident}.{secret}; HttpOnly; Secure; SameSite=Strict; Path=/; Max-Age=31536000"
        self.reply(200, {"device": {"id": ident, "name": name}}, headers=[("Set-Cookie", cookie)])

    def requests(self, query):
        phone = self.phone
        since = (query.get("since") or [None])[0]
        wait_ms = min(30000, int((query.get("timeout_ms") or ["0"])[0] or 0))
        deadline = time.monotonic() + wait_ms / 1000
        with phone.lock:
            while since == str(phone.version) and time.monotonic() < deadline and not phone.offline:
                phone.lock.wait(deadline - time.monotonic())
            if phone.offline:
                self.close_connection = True
                return
            self.reply(200, {"version": phone.version, "requests": phone.requests})

    def start_session(self, body):
        phone = self.phone
        request = body.get("request")
        if request not in {r["id"] for r in phone.requests}:
            return self.error(404, "No such request.")
        if phone.stream_error:
            return self.error(503, phone.stream_error)
        window = next((w for w in phone.windows if w["id"] == body.get("window")), None)
        if window is None and body.get("window") is not None:
            return self.error(404, "No such window.")
        if window is None and not phone.window_for_request:
            return self.error(409, "Ringlark could not tell which window the agent means.")
        window = window or phone.windows[0]
        ident = secrets.token_hex(8)
        phone.sessions[ident] = {"request": request, "window": window, "inputs": [], "ended": False}
        self.reply(200, {"id": ident, "window": window})

    def frame(self, session, query):
        phone = self.phone
        after = int((query.get("after") or ["0"])[0] or 0)
        deadline = time.monotonic() + 25
        with phone.lock:
            while (not session["ended"] and phone.frame_seq <= after and time.monotonic() < deadline
                   and not phone.offline):
                phone.lock.wait(deadline - time.monotonic())
            if phone.offline:
                self.close_connection = True
                return
            if session["ended"]:
                return self.error(410, "The window was closed.")
            if phone.frame_seq <= after:
                return self.reply(204)
            self.reply(200, phone.frame, "image/jpeg", headers=[("X-Frame-Seq", str(phone.frame_seq))])


def serve(phone, port=0, host="127.0.0.1"):
    """Starts the listener on a thread; returns the server (server_address, shutdown())."""
    class Server(http.server.ThreadingHTTPServer):
        def handle_error(self, request, client_address):
            pass  # a browser dropping a connection is not news

    handler = type("BoundHandler", (Handler,), {"phone": phone})
    server = Server((host, port), handler)
    server.daemon_threads = True
    threading.Thread(target=server.serve_forever, name="mock-phone", daemon=True).start()
    return server


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port", type=int, default=8650)
    arguments = parser.parse_args()
    phone = Phone()
    phone.add_request("Sign in to GitHub", "Approve the device code", app="Firefox")
    server = serve(phone, arguments.port)
    print(f"http://127.0.0.1:{server.server_address[1]}/pair?c={next(iter(phone.codes))}  (owner {phone.owner})")
    threading.Event().wait()
