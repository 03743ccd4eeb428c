#!/usr/bin/python3
"""Many request_human calls through `ringlark mcp` against a running daemon.

usage: mcp_load.py --helper PATH --home HOME --port PORT (--processes N | --session N)

--processes N: N `ringlark mcp` processes, one call each.
--session N:   one `ringlark mcp` process making N concurrent calls.

Prints how long the calls took to reach the daemon (or to be refused), the
/v1/status latency while they wait, the daemon's RSS and threads, then
dismisses every open request and checks that each call got exactly one result.
The daemon holds at most 100 open requests: calls beyond that are refused at
once with an error result, which is counted, not hidden.
"""
import argparse
import json
import os
import selectors
import subprocess
import time

import load


def message(request_id, method, params):
    return json.dumps({"jsonrpc": "2.0", "id": request_id, "method": method, "params": params}) + "\n"


def call(i):
    return message(i, "tools/call", {"name": "request_human", "arguments": {"reason": f"mcp load {i}"}})


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--helper", required=True)
    parser.add_argument("--home", required=True)
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--processes", type=int)
    parser.add_argument("--session", type=int)
    parser.add_argument("--status-samples", type=int, default=200)
    args = parser.parse_args()
    daemon = load.Daemon(args.port, args.home, "tcp")
    environment = dict(os.environ, HOME=args.home, RINGLARK_AGENT="Claude Code")
    hello = message("init", "initialize", {"protocolVersion": "2025-06-18", "capabilities": {}}) + json.dumps(
        {"jsonrpc": "2.0", "method": "notifications/initialized"}) + "\n"

    selector = selectors.DefaultSelector()
    children = []
    results = {}  # (child index, call id) -> results seen
    total_calls = args.processes or args.session
    started = time.monotonic()
    if args.processes:
        for i in range(args.processes):
            child = subprocess.Popen([args.helper, "mcp"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL, env=environment)
            child.stdin.write((hello + call(i)).encode())
            child.stdin.flush()
            children.append({"process": child, "buffer": b""})
    else:
        child = subprocess.Popen([args.helper, "mcp"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                 stderr=subprocess.DEVNULL, env=environment)
        child.stdin.write((hello + "".join(call(i) for i in range(args.session))).encode())
        child.stdin.flush()
        children.append({"process": child, "buffer": b""})
    for index, child in enumerate(children):
        os.set_blocking(child["process"].stdout.fileno(), False)
        selector.register(child["process"].stdout, selectors.EVENT_READ, index)

    def pump(timeout):
        for key, _ in selector.select(timeout):
            child = children[key.data]
            try:
                chunk = os.read(key.fd, 1 << 16)
            except BlockingIOError:
                continue
            if not chunk:
                selector.unregister(key.fileobj)
                continue
            child["buffer"] += chunk
            while b"\n" in child["buffer"]:
                line, _, child["buffer"] = child["buffer"].partition(b"\n")
                reply = json.loads(line)
                if reply.get("id") in (None, "init"):
                    continue
                results.setdefault((key.data, reply["id"]), []).append(reply.get("result", {}))

    def open_count():
        status, body = exchange(daemon.wire("GET", "/v1/requests"))
        return len(json.loads(body)) if status == 200 else -1

    control = [daemon.connect_tcp()]

    def exchange(wire):
        for attempt in (0, 1):
            try:
                control[0].sendall(wire)
                return load.read_reply(control[0])[:2]
            except (ConnectionError, OSError):
                control[0].close()
                control[0] = daemon.connect_tcp()
        return 0, b""

    # Wait until every call is either open at the daemon or already answered (refused).
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline:
        pump(0.05)
        if open_count() + len(results) >= total_calls:
            break
    reached = time.monotonic() - started
    refused = sum(1 for r in results.values() if r and r[0].get("isError"))
    waiting = open_count()

    latencies = []
    for _ in range(args.status_samples):
        asked = time.monotonic()
        status, _ = exchange(daemon.wire("GET", "/v1/status"))
        latencies.append((time.monotonic() - asked) * 1000.0)
        pump(0)
        time.sleep(0.005)
    memory = load.proc_status(daemon.pid) if daemon.pid else {}

    _, body = exchange(daemon.wire("GET", "/v1/requests"))
    dismissed_at = time.monotonic()
    for request in json.loads(body):
        exchange(daemon.wire("POST", f"/v1/requests/{request['id']}/cancel"))
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline and len(results) < total_calls:
        pump(0.05)
    ended = time.monotonic() - dismissed_at
    pump(0.3)

    once = sum(1 for r in results.values() if len(r) == 1)
    twice = sum(1 for r in results.values() if len(r) > 1)
    print(f"calls: {total_calls} ({'one process each' if args.processes else 'one session'})")
    print(f"all calls at the daemon or answered after {reached * 1000:.0f} ms: {waiting} waiting, {refused} refused (isError)")
    print(f"/v1/status while waiting ({len(latencies)} samples): p50 {load.percentile(latencies, 50):.2f} ms, "
          f"p99 {load.percentile(latencies, 99):.2f} ms, max {max(latencies):.2f} ms")
    if memory:
        print(f"daemon: RSS {int(memory.get('VmRSS', '0 kB').split()[0]) / 1024:.1f} MiB, threads {memory.get('Threads')}")
    print(f"results: exactly once {once}/{total_calls}, more than once {twice}, none {total_calls - len(results)}; "
          f"last result {ended * 1000:.0f} ms after the dismissals began")
    for child in children:
        child["process"].stdin.close()
    for child in children:
        try:
            child["process"].wait(timeout=5)
        except subprocess.TimeoutExpired:
            child["process"].kill()


if __name__ == "__main__":
    main()
