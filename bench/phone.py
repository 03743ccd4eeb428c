#!/usr/bin/python3
"""The phone side under a stopwatch: the real daemon, a phone spoken for by HTTP.

    bench/phone.py [--helper PATH] [--rounds 100] [--devices 20] [--idle 30] [--keep-home]

Starts `ringlark daemon` as the browser test does (stand-in `tailscale`,
temporary HOME, free ports, RINGLARK_TEST_HOOKS=1), pairs one phone through
POST /api/v1/pair with the headers tailscale serve and the browser would send,
subscribes it to a push service on this computer (an http.server that notes
when each push arrives), then measures:

  (a) request created on the token port -> the phone's parked long poll answers
  (b) request created -> the push service receives the push
  (c) the phone answers -> an agent's parked GET /v1/requests/{id}/wait returns
  (d) the daemon's wakeups (context switches of all its threads) over --idle
      seconds with no phone polling, then with --devices phones each holding
      a parked long poll (timeout_ms=25000) and polling again when answered
  (e) the app's first load: GET / and everything index.html references

Standard library only; Debian's /usr/bin/python3.
"""

import argparse
import base64
import hashlib
import http.client
import http.server
import json
import os
import re
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse

sys.dont_write_bytecode = True  # leave no __pycache__ in the tree
HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(ROOT, "tests", "phone", "browser"))
import procstat  # noqa: E402
from phone_e2e import OWNER, SERVE_NAME, TAILSCALE, free_port, token_api, wait_until  # noqa: E402

HOST = f"{SERVE_NAME}:8643"
ORIGIN = f"http://{HOST}"
# The generator of P-256: a valid point, so the daemon can encrypt to it.
P256DH = "BGsX0fLhLEJH-Lzm5WOkQPJ3A32BLeszoPShOUXYmMKWT-NC4v4af5uO5-tKfA-eFivOM1drMV7Oy7ZAaDe_UfU"
AUTH = base64.urlsafe_b64encode(bytes(range(16))).rstrip(b"=").decode()


class Phone:
    """One paired browser: its cookie and one kept-alive connection."""

    def __init__(self, port, credential=""):
        self.port = port
        self.credential = credential
        self.connection = None

    def call(self, method, path, body=None, extra=None, timeout=35):
        headers = {"Host": HOST}
        if self.credential:
            headers["Cookie"] = f"ringlark_device={self.credential}"
        if method != "GET":
            headers.update({"Origin": ORIGIN, "X-Ringlark-Phone": "1", "Content-Type": "application/json"})
        headers.update(extra or {})
        data = None if method == "GET" else json.dumps(body or {}).encode()
        for attempt in (1, 2):
            if self.connection is None:
                self.connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=timeout)
            try:
                self.connection.request(method, path, body=data, headers=headers)
                reply = self.connection.getresponse()
                return reply.status, reply.read(), reply
            except (ConnectionError, http.client.HTTPException):
                self.connection.close()
                self.connection = None
                if attempt == 2:
                    raise

    def requests(self, since=None, timeout_ms=0):
        query = "" if since is None else f"?since={since}&timeout_ms={timeout_ms}"
        status, body, _ = self.call("GET", "/api/v1/requests" + query)
        if status != 200:
            raise RuntimeError(f"GET /api/v1/requests: {status} {body[:200]!r}")
        return json.loads(body)


class PushService(http.server.ThreadingHTTPServer):
    """Takes pushes on loopback and notes when each arrived."""

    def __init__(self):
        self.arrivals = []
        self.arrived = threading.Condition()
        service = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_POST(self):
                self.rfile.read(int(self.headers.get("Content-Length", 0)))
                with service.arrived:
                    service.arrivals.append(time.monotonic())
                    service.arrived.notify_all()
                self.send_response(201)
                self.send_header("Content-Length", "0")
                self.end_headers()

            def log_message(self, *_):
                pass

        super().__init__(("127.0.0.1", 0), Handler)
        threading.Thread(target=self.serve_forever, daemon=True).start()

    def wait_for(self, count, timeout=10):
        with self.arrived:
            self.arrived.wait_for(lambda: len(self.arrivals) >= count, timeout)
            return self.arrivals[count - 1] if len(self.arrivals) >= count else None


def seeded_devices(count):
    """Phones paired in an earlier run, as the devices file keeps them: (file text, credentials)."""
    devices, credentials = [], []
    for index in range(count):
        ident, secret = f"{index:016x}", os.urandom(32).hex()
        devices.append({"id": ident, "name": f"Bench phone {index}", "secret_sha256": hashlib.sha256(secret.encode()).hexdigest(),
                        "paired_at": 1, "last_seen": 1})
        credentials.append(f"{ident}.{secret}")
    return json.dumps({"version": 1, "devices": devices}), credentials


def percentiles(samples):
    ordered = sorted(samples)
    if not ordered:
        return "n/a"
    p99 = ordered[min(len(ordered) - 1, round(0.99 * (len(ordered) - 1)))]
    return f"{statistics.median(ordered) * 1000:.2f} / {p99 * 1000:.2f} ms"


def in_thread(function):
    result = {}

    def run():
        try:
            result["value"] = function()
        except Exception as error:  # reported by the caller
            result["error"] = error
        result["at"] = time.monotonic()
    thread = threading.Thread(target=run, daemon=True)
    thread.start()
    return thread, result


def rounds(arguments, phone, port, token, push):
    created_to_poll, created_to_push, answer_to_agent = [], [], []
    for round_number in range(1, arguments.rounds + 1):
        started = time.monotonic()
        version = phone.requests()["version"]
        poller = Phone(phone.port, phone.credential)
        poll, polled = in_thread(lambda: poller.requests(version, 25000))
        time.sleep(0.03)  # parked before the request exists
        created_at = time.monotonic()
        status, body = token_api(port, token, "POST", "/v1/requests", {"reason": f"Bench round {round_number}"})
        if status != 201:
            raise RuntimeError(f"POST /v1/requests: {status} {body[:200]!r}")
        ident = json.loads(body)["id"]
        poll.join(30)
        if "at" not in polled or "error" in polled:
            raise RuntimeError(f"the long poll did not answer: {polled.get('error')}")
        created_to_poll.append(polled["at"] - created_at)
        arrived = push.wait_for(round_number)
        if arrived is None:
            raise RuntimeError(f"no push arrived in round {round_number}")
        created_to_push.append(arrived - created_at)
        poller.connection.close()

        agent, waited = in_thread(lambda: token_api(port, token, "GET", f"/v1/requests/{ident}/wait?timeout_ms=30000"))
        time.sleep(0.03)
        answered_at = time.monotonic()
        status, body, _ = phone.call("POST", f"/api/v1/requests/{ident}/answer", {"text": "ok"})
        if status != 200:
            raise RuntimeError(f"answer: {status} {body[:200]!r}")
        agent.join(35)
        if waited.get("value", (0,))[0] != 200:
            raise RuntimeError(f"the agent's wait: {waited}")
        answer_to_agent.append(waited["at"] - answered_at)
        # Three phone requests a round: stay well under twenty a second.
        time.sleep(max(0.0, 0.25 - (time.monotonic() - started)))
    return created_to_poll, created_to_push, answer_to_agent


def wakeups(pid, seconds):
    before = procstat.snapshot(pid)
    time.sleep(seconds)
    after = procstat.snapshot(pid)
    return after["switches"] - before["switches"], after["main"] - before["main"], after["threads"]


class ParkedPhones:
    """Each phone keeps one long poll parked and polls again when answered, as the app does;
    phone i starts i/n of `spread` seconds late, so their time-outs fall apart as real phones' do."""

    def __init__(self, port, credentials, spread):
        self.stopped = threading.Event()
        self.answered = 0
        self.phones = [Phone(port, credential) for credential in credentials]
        self.threads = [threading.Thread(target=self.keep_polling, args=(phone, spread * i / len(credentials)),
                                         daemon=True) for i, phone in enumerate(self.phones)]
        for thread in self.threads:
            thread.start()

    def keep_polling(self, phone, delay):
        if self.stopped.wait(delay):
            return
        version = phone.requests()["version"]
        while not self.stopped.is_set():
            try:
                version = phone.requests(version, 25000)["version"]
                self.answered += 1
            except (OSError, RuntimeError, http.client.HTTPException):
                self.stopped.wait(0.5)

    def stop(self):
        self.stopped.set()
        for phone in self.phones:
            connection = phone.connection
            if connection is not None and connection.sock is not None:
                try:
                    connection.sock.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass
        for thread in self.threads:
            thread.join(5)


def first_load(port):
    phone = Phone(port)
    status, index, _ = phone.call("GET", "/")
    if status != 200:
        raise RuntimeError(f"GET /: {status}")
    html = index.decode()
    references = []
    for path in re.findall(r'<(?:link|script|img)\b[^>]*?(?:href|src)="([^"]+)"', html):
        if path.startswith("/") and path != "/" and path not in references:
            references.append(path)
    files = [("/", len(index))]
    for path in references:
        status, body, _ = phone.call("GET", path)
        if status != 200:
            raise RuntimeError(f"GET {path}: {status}")
        files.append((path, len(body)))
    status, worker, _ = phone.call("GET", "/sw.js")
    return files, len(worker) if status == 200 else 0


def run(arguments, home):
    stubs = os.path.join(home, "bin")
    os.makedirs(stubs)
    with open(os.path.join(stubs, "tailscale"), "w") as script:
        script.write(TAILSCALE)
    os.chmod(os.path.join(stubs, "tailscale"), 0o700)
    devices_file, idle_credentials = seeded_devices(arguments.devices)
    os.makedirs(os.path.join(home, ".ringlark"), mode=0o700)
    with open(os.path.join(home, ".ringlark", "devices.json"), "w", opener=lambda p, f: os.open(p, f, 0o600)) as out:
        out.write(devices_file)

    port, phone_port = free_port(), free_port()
    env = {key: value for key, value in os.environ.items() if not key.startswith("RINGLARK_")}
    env.update(HOME=home, PATH=f"{stubs}:{os.environ.get('PATH', '/usr/bin:/bin')}", RINGLARK_PORT=str(port),
               RINGLARK_PHONE_PORT=str(phone_port), RINGLARK_TEST_HOOKS="1")
    log = open(os.path.join(home, "daemon.log"), "wb")
    daemon = subprocess.Popen([arguments.helper, "daemon"], env=env, stdin=subprocess.DEVNULL, stdout=log,
                              stderr=subprocess.STDOUT, start_new_session=True)
    push = PushService()
    try:
        token_file = os.path.join(home, ".ringlark", "daemon.token")
        token = wait_until(lambda: os.path.exists(token_file) and open(token_file).read().strip(), "a token", 10)

        def pairing_code():
            status, body = token_api(port, token, "GET", "/v1/pairing")
            url = json.loads(body).get("url") if status == 200 else None
            return url and urllib.parse.parse_qs(urllib.parse.urlsplit(url).query)["c"][0]
        code = wait_until(pairing_code, "a pairing code", 15)

        phone = Phone(phone_port)
        status, body, reply = phone.call("POST", "/api/v1/pair", {"code": code, "name": "Bench phone"},
                                         {"Tailscale-User-Login": OWNER})
        cookie = re.search(r"ringlark_device=([0-9a-f.]+)", reply.getheader("Set-Cookie") or "")
        if status != 200 or not cookie:
            raise RuntimeError(f"pairing: {status} {body[:200]!r}")
        phone.credential = cookie.group(1)
        status, body, _ = phone.call("PUT", "/api/v1/push", {
            "endpoint": f"http://127.0.0.1:{push.server_address[1]}/push/x", "keys": {"p256dh": P256DH, "auth": AUTH}})
        if status != 200:
            raise RuntimeError(f"subscribing: {status} {body[:200]!r}")
        print(f"daemon pid {daemon.pid}; phone paired and subscribed; {arguments.devices} more phones from the file",
              flush=True)

        to_poll, to_push, to_agent = rounds(arguments, phone, port, token, push)
        files, worker_bytes = first_load(phone_port)
        phone.connection.close()
        print(f"{arguments.rounds} rounds done; {arguments.idle} s without polls…", flush=True)

        time.sleep(2)
        quiet = wakeups(daemon.pid, arguments.idle)
        together = ParkedPhones(phone_port, idle_credentials, 0)
        time.sleep(2)
        print(f"{arguments.devices} long polls parked at once; {arguments.idle} s…", flush=True)
        at_once = wakeups(daemon.pid, arguments.idle) + (together.answered,)
        together.stop()
        time.sleep(1)
        apart = ParkedPhones(phone_port, idle_credentials, 25)
        print(f"{arguments.devices} long polls starting over 25 s, then {arguments.idle} s…", flush=True)
        time.sleep(27)
        answered_before = apart.answered
        spread = wakeups(daemon.pid, arguments.idle) + (apart.answered - answered_before,)
        apart.stop()

        rows = [
            ("(a) created -> parked long poll answers, p50 / p99", percentiles(to_poll)),
            ("(b) created -> push arrives, p50 / p99", percentiles(to_push)),
            ("(c) phone answers -> agent's wait returns, p50 / p99", percentiles(to_agent)),
            (f"(d) wakeups in {arguments.idle:g} s: no polls (all threads / loop thread / threads)",
             f"{quiet[0]} / {quiet[1]} / {quiet[2]}"),
            (f"(d) ... {arguments.devices} parked polls, started together", "{} / {} / {} ({} time-outs)".format(*at_once)),
            (f"(d) ... {arguments.devices} parked polls, started over 25 s", "{} / {} / {} ({} time-outs)".format(*spread)),
            ("(e) first load: GET / and what index.html references",
             f"{sum(size for _, size in files):,} bytes in {len(files)} files (+ /sw.js {worker_bytes:,})"),
        ]
        width = max(len(name) for name, _ in rows)
        print()
        for name, value in rows:
            print(f"{name:<{width}}  {value}")
        print("    " + ", ".join(f"{path} {size:,}" for path, size in files))
    finally:
        push.shutdown()
        if daemon.poll() is None:
            daemon.send_signal(signal.SIGTERM)
            try:
                daemon.wait(timeout=10)
            except subprocess.TimeoutExpired:
                os.killpg(daemon.pid, signal.SIGKILL)
                daemon.wait(timeout=5)
        log.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--helper", default=os.path.join(ROOT, "build", "Ringlark.app", "Contents", "Helpers", "ringlark"))
    parser.add_argument("--rounds", type=int, default=100)
    parser.add_argument("--devices", type=int, default=20, help="phones holding parked polls for (d)")
    parser.add_argument("--idle", type=float, default=30, help="seconds of each wakeup count")
    parser.add_argument("--keep-home", action="store_true", help="keep the temporary HOME and its daemon.log")
    arguments = parser.parse_args()
    if not os.access(arguments.helper, os.X_OK):
        print(f"no ringlark executable at {arguments.helper} (build it: bash scripts/build.sh ringlark)")
        return 1
    home = tempfile.mkdtemp(prefix="ringlark-phone-bench-")
    try:
        run(arguments, home)
    except (RuntimeError, AssertionError, OSError) as failure:
        print(f"FAILED: {failure}\ndaemon.log: {os.path.join(home, 'daemon.log')}")
        arguments.keep_home = True
        return 1
    finally:
        if not arguments.keep_home:
            shutil.rmtree(home, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
