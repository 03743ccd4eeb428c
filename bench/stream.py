#!/usr/bin/python3
"""The window view measured through the real daemon, as a phone uses it.

    bench/stream.py --helper build/Ringlark.app/Contents/Helpers/ringlark \\
        --test-window build/tests/helper/screen/screen_test_window [--taps 200] [--still 5]

On a private Xvfb, a 1280x800 window of dense text (the screen test window's
"text" pattern, which scrolls a line on every click, so each tap repaints all
of it); the daemon with a temporary HOME, spare ports and a stand-in
tailscale; one paired phone over loopback HTTP. Prints:

- the first frame's size and how long frame?after=0 took;
- tap -> next frame over HTTP: from sending the tap to the parked frame
  request's last byte, p50/p90/p99/max, and the bytes of those frames;
- a still window: a frame request parked for --still seconds must get no
  answer, and the daemon's processor time and context switches meanwhile.

Capture and encode time alone are screen_bench's (build/tests/helper/screen/screen_bench).
"""

import argparse
import http.client
import json
import os
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "phone", "browser"))
import phone_e2e as e2e  # noqa: E402  (the stand-in tailscale and the token API helpers)

APP = "BenchText"


def start_xvfb():
    ready_read, ready_write = os.pipe()
    server = subprocess.Popen(["Xvfb", "-displayfd", str(ready_write), "-screen", "0", "1920x1200x24",
                               "-nolisten", "tcp", "-noreset"], pass_fds=(ready_write,),
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(ready_write)
    number = b""
    while not number.endswith(b"\n"):
        chunk = os.read(ready_read, 16)
        if not chunk:
            raise SystemExit("Xvfb did not start")
        number += chunk
    os.close(ready_read)
    return server, ":" + number.decode().strip()


def percentile(values, p):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(p * len(ordered)))] if ordered else 0.0


def process_times(pid):
    """(processor seconds, context switches) of a process and all its threads."""
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    seconds = (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
    switches = 0
    for task in os.listdir(f"/proc/{pid}/task"):
        with open(f"/proc/{pid}/task/{task}/status") as status:
            for line in status:
                if line.startswith(("voluntary_ctxt_switches", "nonvoluntary_ctxt_switches")):
                    switches += int(line.split()[1])
    return seconds, switches


class Phone:
    """One paired phone: its cookie on keep-alive connections to the phone listener."""

    def __init__(self, port):
        self.port = port
        self.cookie = ""

    def connection(self):
        return http.client.HTTPConnection("127.0.0.1", self.port, timeout=60)

    def send(self, connection, method, path, body=None):
        headers = {"Host": f"{e2e.SERVE_NAME}:8643", "Tailscale-User-Login": e2e.OWNER}
        if self.cookie:
            headers["Cookie"] = self.cookie
        if method != "GET":
            headers.update({"Origin": e2e.ORIGIN, "X-Ringlark-Phone": "1", "Content-Type": "application/json"})
        connection.request(method, path, body=None if method == "GET" else json.dumps(body or {}), headers=headers)

    def call(self, method, path, body=None, connection=None):
        own = connection is None
        connection = connection or self.connection()
        try:
            self.send(connection, method, path, body)
            reply = connection.getresponse()
            return reply.status, dict(reply.getheaders()), reply.read()
        finally:
            if own:
                connection.close()


def measure(arguments, home):
    stubs = os.path.join(home, "bin")
    os.makedirs(stubs)
    with open(os.path.join(stubs, "tailscale"), "w") as script:
        script.write(e2e.TAILSCALE)
    os.chmod(os.path.join(stubs, "tailscale"), 0o700)
    xvfb, display = start_xvfb()
    window = daemon = None
    try:
        window = subprocess.Popen([arguments.test_window, "--pattern", "text", "--class", APP, "--title", "bench",
                                   "--geometry", "1280x800+0+0"], env=dict(os.environ, DISPLAY=display),
                                  stdout=subprocess.PIPE, text=True)
        if not window.stdout.readline().startswith("ready"):
            raise SystemExit("the test window did not come up")
        port, phone_port = e2e.free_port(), e2e.free_port()
        env = {key: value for key, value in os.environ.items()
               if not key.startswith("RINGLARK_") and key not in ("XDG_SESSION_TYPE", "WAYLAND_DISPLAY")}
        env.update(HOME=home, PATH=f"{stubs}:/usr/bin:/bin", DISPLAY=display, RINGLARK_PORT=str(port),
                   RINGLARK_PHONE_PORT=str(phone_port), RINGLARK_TEST_HOOKS="1")  # an http:// origin
        daemon = subprocess.Popen([arguments.helper, "daemon"], env=env, stdin=subprocess.DEVNULL,
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        token_file = os.path.join(home, ".ringlark", "daemon.token")
        token = e2e.wait_until(lambda: os.path.exists(token_file) and open(token_file).read().strip(), "token", 10)
        e2e.wait_until(lambda: e2e.token_api(port, token, "GET", "/v1/status")[0] == 200, "status", 10)

        def pairing_code():
            status, body = e2e.token_api(port, token, "GET", "/v1/pairing")
            return json.loads(body)["url"].split("c=")[1] if status == 200 else None
        phone = Phone(phone_port)
        status, headers, body = phone.call("POST", "/api/v1/pair",
                                           {"code": e2e.wait_until(pairing_code, "pairing", 15), "name": "bench"})
        assert status == 200, body
        phone.cookie = headers["Set-Cookie"].split(";")[0]
        status, body = e2e.token_api(port, token, "POST", "/v1/requests", {"reason": "bench", "app": APP})
        request = json.loads(body)["id"]
        status, _, body = phone.call("POST", "/api/v1/sessions", {"request": request})
        assert status == 200, body
        session = json.loads(body)["id"]
        frames = phone.connection()
        inputs = phone.connection()

        start = time.monotonic()
        status, headers, body = phone.call("GET", f"/api/v1/sessions/{session}/frame?after=0", connection=frames)
        first_ms = (time.monotonic() - start) * 1000
        seq = int(headers["X-Frame-Seq"])
        print(f"first frame: {len(body) / 1024:.0f} KB, {first_ms:.1f} ms for frame?after=0")

        latencies, sizes, refused, owed = [], [], 0, 0
        for index in range(arguments.taps):
            begun = time.monotonic()
            # The frame request must be parked before the tap: a frame still
            # owed for the last repaint would answer it at once.
            while True:
                phone.send(frames, "GET", f"/api/v1/sessions/{session}/frame?after={seq}")
                if not select.select([frames.sock], [], [], 0.03)[0]:
                    break
                reply = frames.getresponse()
                reply.read()
                seq = int(reply.getheader("X-Frame-Seq"))
                owed += 1
            tapped = time.monotonic()
            status, _, _ = phone.call("POST", f"/api/v1/sessions/{session}/input",
                                      {"type": "tap", "x": 0.1 + 0.8 * (index % 10) / 10, "y": 0.5}, connection=inputs)
            refused += status != 200
            reply = frames.getresponse()
            body = reply.read()
            if reply.status != 200:
                raise SystemExit(f"frame request answered {reply.status}: {body[:200]!r}")
            latencies.append((time.monotonic() - tapped) * 1000)
            sizes.append(len(body))
            seq = int(reply.getheader("X-Frame-Seq"))
            time.sleep(max(0.0, 0.025 - (time.monotonic() - begun)))  # under 50 inputs a second
        print(f"tap -> next frame over HTTP ({len(latencies)} taps, {refused} refused, "
              f"{owed} frames of a repaint's remainder taken before a tap): "
              f"p50 {percentile(latencies, 0.5):.1f} ms, p90 {percentile(latencies, 0.9):.1f} ms, "
              f"p99 {percentile(latencies, 0.99):.1f} ms, max {max(latencies):.1f} ms")
        print(f"frame bytes, 1280x800 dense text at the daemon's quality: p50 {percentile(sizes, 0.5) / 1024:.0f} KB, "
              f"max {max(sizes) / 1024:.0f} KB")

        # A repaint may land in more than one damage batch, so the frame that
        # answered the last tap may show part of it: take what is left first.
        time.sleep(1)
        settling = 0
        frames.sock.settimeout(0.5)
        while True:
            phone.send(frames, "GET", f"/api/v1/sessions/{session}/frame?after={seq}")
            try:
                reply = frames.getresponse()
            except (TimeoutError, OSError):
                frames.close()
                frames = phone.connection()
                break
            reply.read()
            seq = int(reply.getheader("X-Frame-Seq"))
            settling += 1
        print(f"frames still owed once the taps stopped: {settling}")

        # Nothing changes: the parked request gets no answer and the daemon does no work.
        phone.send(frames, "GET", f"/api/v1/sessions/{session}/frame?after={seq}")
        frames.sock.settimeout(arguments.still)
        cpu_before, switches_before = process_times(daemon.pid)
        start = time.monotonic()
        try:
            reply = frames.getresponse()
            answered = f"answered {reply.status} after {time.monotonic() - start:.2f} s"
        except (TimeoutError, OSError):
            answered = "no answer"
        cpu_after, switches_after = process_times(daemon.pid)
        print(f"still window, frame request parked {arguments.still} s: {answered}; daemon processor time "
              f"{(cpu_after - cpu_before) * 1000:.0f} ms, {switches_after - switches_before} context switches, "
              f"{len(os.listdir(f'/proc/{daemon.pid}/task'))} threads")
        frames.close()
        inputs.close()
    finally:
        for process in (daemon, window, xvfb):
            if process and process.poll() is None:
                process.send_signal(signal.SIGTERM)
                try:
                    process.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    process.kill()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--helper", required=True, help="the ringlark executable")
    parser.add_argument("--test-window", required=True, help="the screen test window program")
    parser.add_argument("--taps", type=int, default=200)
    parser.add_argument("--still", type=float, default=5.0, help="seconds a frame request stays parked on a still window")
    arguments = parser.parse_args()
    if not shutil.which("Xvfb"):
        raise SystemExit("Xvfb is not installed")
    with open("/proc/loadavg") as load:
        print(f"load average: {load.read().strip()}")
    home = tempfile.mkdtemp(prefix="ringlark-stream-bench-")
    try:
        measure(arguments, home)
    finally:
        shutil.rmtree(home, ignore_errors=True)


if __name__ == "__main__":
    main()
