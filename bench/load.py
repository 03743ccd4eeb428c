#!/usr/bin/python3
"""Parks many long polls on a running daemon and measures it meanwhile.

usage: load.py --port PORT [--home HOME] [--waits 1000] [--requests 100]
               [--over tcp|socket] [--status-samples 200]

Creates --requests help requests, parks --waits long polls spread evenly over
them (GET /v1/requests/{id}/wait?timeout_ms=30000, each on its own
connection), then while they wait: /v1/status latency percentiles, the
daemon's RSS and threads. Then dismisses every request and checks that each
wait ends exactly once, and how long the last one took to hear of it.
The token and socket come from HOME/.ringlark (none for a daemon without
them, which is then spoken to over TCP without a token).
"""
import argparse
import json
import os
import selectors
import socket
import statistics
import time

import procstat


class Daemon:
    def __init__(self, port, home, over):
        self.port = port
        directory = os.path.join(home, ".ringlark") if home else None
        self.token = None
        self.socket_path = None
        if directory and os.path.exists(os.path.join(directory, "daemon.token")):
            with open(os.path.join(directory, "daemon.token")) as f:
                self.token = f.read().strip()
        if over == "socket" and directory and os.path.exists(os.path.join(directory, "daemon.sock")):
            self.socket_path = os.path.join(directory, "daemon.sock")
        self.pid = None
        if directory and os.path.exists(os.path.join(directory, "daemon.pid")):
            with open(os.path.join(directory, "daemon.pid")) as f:
                self.pid = int(f.read().strip())

    def connect_tcp(self):
        s = socket.create_connection(("127.0.0.1", self.port))
        s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        return s

    def connect_waiter(self):
        if self.socket_path:
            s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            s.connect(self.socket_path)
            return s
        return self.connect_tcp()

    def wire(self, method, target, body=None, local=False):
        host = "localhost" if local else f"127.0.0.1:{self.port}"
        lines = [f"{method} {target} HTTP/1.1", f"Host: {host}"]
        if self.token:
            lines.append(f"X-Ringlark-Token: {self.token}")
        data = b""
        if body is not None:
            data = json.dumps(body).encode()
            lines += ["Content-Type: application/json", f"Content-Length: {len(data)}"]
        return ("\r\n".join(lines) + "\r\n\r\n").encode() + data


def content_length(head):
    for line in head.split(b"\r\n")[1:]:
        name, _, value = line.partition(b":")
        if name.strip().lower() == b"content-length":
            return int(value.strip())
    return 0


def read_reply(sock, buffer=b""):
    """One Content-Length framed reply: (status, body, rest)."""
    while b"\r\n\r\n" not in buffer:
        chunk = sock.recv(65536)
        if not chunk:
            raise ConnectionError("closed")
        buffer += chunk
    head, _, rest = buffer.partition(b"\r\n\r\n")
    status = int(head.split(b" ")[1])
    length = content_length(head)
    while len(rest) < length:
        chunk = sock.recv(65536)
        if not chunk:
            raise ConnectionError("closed")
        rest += chunk
    return status, rest[:length], rest[length:]


def percentile(values, p):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(round(p / 100.0 * (len(ordered) - 1))))]


def proc_status(pid):
    return procstat.status_fields(f"/proc/{pid}/status")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--home")
    parser.add_argument("--waits", type=int, default=1000)
    parser.add_argument("--requests", type=int, default=100)
    parser.add_argument("--over", choices=["tcp", "socket"], default="socket")
    parser.add_argument("--status-samples", type=int, default=200)
    parser.add_argument("--pid", type=int)
    args = parser.parse_args()
    daemon = Daemon(args.port, args.home, args.over)
    pid = args.pid or daemon.pid
    errors = {}

    def error(kind):
        errors[kind] = errors.get(kind, 0) + 1

    # Requests, one exchange each on a kept-alive connection (a new one when the daemon closes it).
    control_box = [daemon.connect_tcp()]

    def exchange(wire):
        for attempt in (0, 1):
            try:
                control_box[0].sendall(wire)
                return read_reply(control_box[0])[:2]
            except (ConnectionError, OSError):
                control_box[0].close()
                control_box[0] = daemon.connect_tcp()
        return 0, b""

    ids = []
    started = time.monotonic()
    for i in range(args.requests):
        status, body = exchange(daemon.wire("POST", "/v1/requests", {"reason": f"load {i}", "agent": "bench"}))
        if status == 201:
            ids.append(json.loads(body)["id"])
        else:
            error(f"create {status}")
    creation = time.monotonic() - started
    if not ids:
        print("no request could be created", errors)
        return

    # Parked waits, each on its own connection.
    selector = selectors.DefaultSelector()
    waiters = []
    started = time.monotonic()
    for i in range(args.waits):
        request_id = ids[i % len(ids)]
        try:
            s = daemon.connect_waiter()
            s.sendall(daemon.wire("GET", f"/v1/requests/{request_id}/wait?timeout_ms=30000",
                                  local=daemon.socket_path is not None))
        except OSError as e:
            error(f"connect {e.errno}")
            continue
        s.setblocking(False)
        waiter = {"id": request_id, "sock": s, "buffer": b"", "replies": [], "closed": False}
        waiters.append(waiter)
        selector.register(s, selectors.EVENT_READ, waiter)
    parking = time.monotonic() - started

    def pump(timeout):
        for key, _ in selector.select(timeout):
            waiter = key.data
            try:
                chunk = waiter["sock"].recv(65536)
            except OSError:
                chunk = b""
            if not chunk:
                waiter["closed"] = True
                selector.unregister(waiter["sock"])
                continue
            waiter["buffer"] += chunk
            while b"\r\n\r\n" in waiter["buffer"]:
                head, _, rest = waiter["buffer"].partition(b"\r\n\r\n")
                length = content_length(head)
                if len(rest) < length:
                    break
                status = int(head.split(b" ")[1])
                body = json.loads(rest[:length]) if status == 200 else {}
                waiter["replies"].append((time.monotonic(), status, body.get("status")))
                waiter["buffer"] = rest[length:]

    time.sleep(0.3)
    pump(0)
    early = sum(1 for w in waiters if w["replies"] or w["closed"])

    latencies = []
    for _ in range(args.status_samples):
        asked = time.monotonic()
        status, _ = exchange(daemon.wire("GET", "/v1/status"))
        latencies.append((time.monotonic() - asked) * 1000.0)
        if status != 200:
            error(f"status {status}")
        time.sleep(0.005)
    memory = proc_status(pid) if pid else {}

    # Dismiss every request, then collect the endings.
    dismissed_at = {}
    for request_id in ids:
        dismissed_at[request_id] = time.monotonic()
        status, _ = exchange(daemon.wire("POST", f"/v1/requests/{request_id}/cancel"))
        if status != 200:
            error(f"cancel {status}")
        pump(0)
    deadline = time.monotonic() + 5
    while time.monotonic() < deadline and any(not w["replies"] and not w["closed"] for w in waiters):
        pump(0.05)
    pump(0.2)  # anything further would be a second ending

    once = sum(1 for w in waiters if len(w["replies"]) == 1 and w["replies"][0][2] == "dismissed")
    twice = sum(1 for w in waiters if len(w["replies"]) > 1)
    missing = sum(1 for w in waiters if not w["replies"])
    delays = [(w["replies"][0][0] - dismissed_at[w["id"]]) * 1000.0 for w in waiters
              if w["replies"] and w["replies"][0][2] == "dismissed"]

    print(f"requests created: {len(ids)} in {creation * 1000:.0f} ms; waits parked: {len(waiters)} in {parking * 1000:.0f} ms")
    print(f"waits answered before any ending (not parked): {early}")
    print(f"/v1/status while parked ({len(latencies)} samples): p50 {percentile(latencies, 50):.2f} ms, "
          f"p99 {percentile(latencies, 99):.2f} ms, max {max(latencies):.2f} ms")
    if memory:
        print(f"daemon: RSS {int(memory.get('VmRSS', '0 kB').split()[0]) / 1024:.1f} MiB, "
              f"threads {memory.get('Threads')}")
    print(f"endings: exactly once with the dismissal {once}/{len(waiters)}, more than once {twice}, none {missing}")
    if delays:
        print(f"dismissal to waiter: p50 {percentile(delays, 50):.1f} ms, max {max(delays):.1f} ms")
    print(f"errors: {errors if errors else 'none'}")
    for w in waiters:
        w["sock"].close()


if __name__ == "__main__":
    main()
