"""End to end, as a person with a phone would: the real `ringlark daemon` with a
stand-in `tailscale`, the phone app in headless Chromium, and a coding agent
speaking MCP to `ringlark mcp`.

    /usr/bin/python3 phone_e2e.py --helper build/Ringlark.app/Contents/Helpers/ringlark
        [--test-window build/tests/helper/screen/screen_test_window]
        [--home DIR] [--port N] [--phone-port N] [--keep-home] [--skip-without-listener]

The browser reaches the daemon's phone listener as http://phone-test.example.ts.net:8643
through a host-resolver rule, treated as a secure origin, with the
Tailscale-User-Login header that `tailscale serve` would add.

With --test-window and Xvfb installed, the daemon runs on a private X display
with that window on it, and the phone also opens "Show the window": the
picture is drawn on the page and a tap on it reaches the window.

Prints one line per step; exits 0 when all pass, 1 on the first failure, 77
(skipped) without Chromium or the helper, or, with --skip-without-listener, when
the daemon does not open its phone listener.
"""

import argparse
import json
import os
import queue
import shutil
import signal
import socket
import stat
import subprocess
import sys
import tempfile
import threading
import time
import urllib.error
import urllib.parse
import urllib.request

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import cdp  # noqa: E402

SERVE_NAME = "phone-test.example.ts.net"
ORIGIN = f"http://{SERVE_NAME}:8643"
OWNER = "owner@example.com"
REASON = "Sign in to GitHub"
ASK = "Approve the device code"
ANSWER = "Approved, the code was WDJB-MJHT"

TAILSCALE = r"""#!/bin/sh
# A stand-in for the tailscale command: one machine, owned by OWNER, with HTTPS on.
echo "$*" >> "$(dirname "$0")/tailscale.log"
case "$1 $2 $3" in
  "status --json "*) cat <<'JSON'
{
  "Version": "1.76.0",
  "BackendState": "Running",
  "Self": {"ID": "n1", "UserID": 4242, "HostName": "phone-test", "DNSName": "SERVE_NAME.",
           "TailscaleIPs": ["100.101.102.103", "fd7a:115c:a1e0::1"], "Online": true},
  "User": {"4242": {"ID": 4242, "LoginName": "OWNER", "DisplayName": "Owner"}},
  "CertDomains": ["SERVE_NAME"],
  "MagicDNSSuffix": "example.ts.net",
  "CurrentTailnet": {"Name": "example.com", "MagicDNSSuffix": "example.ts.net", "MagicDNSEnabled": true}
}
JSON
  ;;
  "serve status --json") echo '{}' ;;
  serve*) ;;
  *) ;;
esac
exit 0
""".replace("SERVE_NAME", SERVE_NAME).replace("OWNER", OWNER)


WINDOW_CLASS = "PhoneE2EWindow"


class Skip(Exception):
    pass


class Display:
    """A private Xvfb with the screen test window on it; the window's log lines
    ("press <button> <x> <y>", "key 0x..") arrive on `events`."""

    def __init__(self, test_window):
        ready_read, ready_write = os.pipe()
        self.server = subprocess.Popen(["Xvfb", "-displayfd", str(ready_write), "-screen", "0", "1280x1024x24",
                                        "-nolisten", "tcp", "-noreset"], pass_fds=(ready_write,),
                                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
        os.close(ready_write)
        self.window = None
        number = b""
        deadline = time.monotonic() + 10
        while not number.endswith(b"\n") and time.monotonic() < deadline:
            chunk = os.read(ready_read, 16)
            if not chunk:
                break
            number += chunk
        os.close(ready_read)
        if not number.endswith(b"\n"):
            self.close()
            raise AssertionError("Xvfb did not start")
        self.name = ":" + number.decode().strip()
        self.window = subprocess.Popen([test_window, "--class", WINDOW_CLASS, "--title", "Sign-in prompt",
                                        "--geometry", "400x300+40+40"],
                                       env=dict(os.environ, DISPLAY=self.name), stdout=subprocess.PIPE,
                                       stderr=subprocess.DEVNULL, text=True, start_new_session=True)
        self.events = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()
        try:
            line = self.events.get(timeout=10)
        except queue.Empty:
            line = ""
        if not line.startswith("ready 0x"):
            self.close()
            raise AssertionError(f"the test window did not come up: {line!r}")

    def _read(self):
        for line in self.window.stdout:
            self.events.put(line.strip())

    def next_press(self, timeout):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            try:
                line = self.events.get(timeout=max(0.01, deadline - time.monotonic()))
            except queue.Empty:
                break
            if line.startswith("press "):
                return [int(part) for part in line.split()[1:]]
        raise AssertionError(f"the window logged no click within {timeout} s")

    def close(self):
        for process in (self.window, self.server):
            if process and process.poll() is None:
                process.terminate()
                try:
                    process.wait(timeout=5)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait(timeout=5)


def step(text):
    print(f"ok: {text}", flush=True)


def expect(condition, text):
    if not condition:
        raise AssertionError(text)


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def wait_until(condition, what, timeout):
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError(f"{what} within {timeout} s")
        time.sleep(0.1)


def token_api(port, token, method, path, body=None):
    request = urllib.request.Request(f"http://127.0.0.1:{port}{path}", method=method,
                                     data=None if body is None else json.dumps(body).encode(),
                                     headers={"X-Ringlark-Token": token, "Content-Type": "application/json"})
    try:
        with urllib.request.urlopen(request, timeout=5) as reply:
            return reply.status, reply.read()
    except urllib.error.HTTPError as error:
        return error.code, error.read()
    except OSError:
        return 0, b""


class Mcp:
    """`ringlark mcp` as a coding agent drives it: JSON-RPC, one message a line."""

    def __init__(self, helper, env):
        self.process = subprocess.Popen([helper, "mcp"], env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.DEVNULL, start_new_session=True)
        self.messages = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.process.stdout:
            try:
                self.messages.put(json.loads(line))
            except ValueError:
                pass
        self.messages.put(None)

    def send(self, message):
        self.process.stdin.write((json.dumps(message) + "\n").encode())
        self.process.stdin.flush()

    def reply_to(self, ident, timeout):
        deadline = time.monotonic() + timeout
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                raise AssertionError(f"no MCP reply to {ident} within {timeout} s")
            try:
                message = self.messages.get(timeout=left)
            except queue.Empty:
                continue
            if message is None:
                raise AssertionError("ringlark mcp ended early")
            if message.get("id") == ident:
                return message

    def close(self):
        try:
            self.process.stdin.close()
        except OSError:
            pass
        try:
            self.process.wait(timeout=5)
        except subprocess.TimeoutExpired:
            os.killpg(self.process.pid, signal.SIGKILL)
            self.process.wait(timeout=5)


def run(arguments, home):
    stubs = os.path.join(home, "bin")
    os.makedirs(stubs, exist_ok=True)
    tailscale = os.path.join(stubs, "tailscale")
    with open(tailscale, "w") as script:
        script.write(TAILSCALE)
    os.chmod(tailscale, stat.S_IRWXU)

    port = arguments.port or free_port()
    phone_port = arguments.phone_port or free_port()
    env = {key: value for key, value in os.environ.items() if not key.startswith("RINGLARK_")}
    env.update(HOME=home, PATH=f"{stubs}:{os.environ.get('PATH', '/usr/bin:/bin')}", RINGLARK_PORT=str(port),
               RINGLARK_PHONE_PORT=str(phone_port), RINGLARK_TEST_HOOKS="1")
    display = None
    if arguments.test_window and shutil.which("Xvfb"):
        display = Display(arguments.test_window)
        env["DISPLAY"] = display.name
        env.pop("XDG_SESSION_TYPE", None)
        env.pop("WAYLAND_DISPLAY", None)
    else:
        print("note: without Xvfb or --test-window the window view is not tried", flush=True)
    log = open(os.path.join(home, "daemon.log"), "wb")
    daemon = subprocess.Popen([arguments.helper, "daemon"], env=env, stdin=subprocess.DEVNULL, stdout=log,
                              stderr=subprocess.STDOUT, start_new_session=True)
    mcp = None
    try:
        token_file = os.path.join(home, ".ringlark", "daemon.token")
        token = wait_until(lambda: os.path.exists(token_file) and open(token_file).read().strip(),
                           "the daemon writes its token", 10)
        wait_until(lambda: token_api(port, token, "GET", "/v1/status")[0] == 200, "the daemon answers", 10)
        step(f"the daemon runs (API on {port}, phone listener on {phone_port})")

        def listening():
            with socket.socket() as probe:
                probe.settimeout(1)
                return probe.connect_ex(("127.0.0.1", phone_port)) == 0
        try:
            wait_until(listening, "the phone listener opens", 10)
        except AssertionError:
            if arguments.skip_without_listener:
                raise Skip("the daemon opens no phone listener yet") from None
            raise

        def pairing_url():
            status, body = token_api(port, token, "GET", "/v1/pairing")
            return json.loads(body).get("url") if status == 200 else None
        url = urllib.parse.urlsplit(wait_until(pairing_url, "GET /v1/pairing gives a URL", 15))
        code = urllib.parse.parse_qs(url.query).get("c", [""])[0]
        expect(url.hostname == SERVE_NAME and url.port == 8643 and url.path == "/pair" and len(code) == 32,
               f"the pairing URL names the serve address and a code: {url.geturl()}")
        step(f"the pairing URL is {url.scheme}://{url.netloc}/pair?c=…")

        shell = urllib.request.Request(f"http://127.0.0.1:{phone_port}/pair?c={code}",
                                       headers={"Host": f"{SERVE_NAME}:8643"})
        with urllib.request.urlopen(shell, timeout=5) as reply:
            policy = reply.headers.get("Content-Security-Policy", "")
            expect(reply.status == 200 and reply.headers.get_content_type() == "text/html",
                   "the pairing page is the app's HTML")
            expect("default-src 'self'" in policy, f"pages carry the content security policy: {policy!r}")
        step("the phone listener serves the app with its content security policy")

        with cdp.Browser([f"--host-resolver-rules=MAP {SERVE_NAME}:8643 127.0.0.1:{phone_port}",
                          f"--unsafely-treat-insecure-origin-as-secure={ORIGIN}", "--lang=en-GB"]) as browser:
            page = browser.new_page()
            page.send("Network.enable")
            page.send("Network.setExtraHTTPHeaders", {"headers": {"Tailscale-User-Login": OWNER}})
            page.emulate_phone(scale=2)

            page.navigate(f"{ORIGIN}/")
            page.wait_for("document.body.innerText.includes('This phone is not paired')")
            step("before pairing the app says this phone is not paired")

            page.navigate(f"{ORIGIN}/pair?c={code}")
            page.wait_for("document.getElementById('device-name')")
            page.evaluate("document.getElementById('device-name').value = 'E2E phone'")
            page.tap("form button[type=submit]")
            page.wait_for("document.body.innerText.includes('paired as “E2E phone”')")
            status, body = token_api(port, token, "GET", "/v1/devices")
            names = [device.get("name") for device in json.loads(body)] if status == 200 else []
            expect("E2E phone" in names, f"the computer lists the phone: {status} {body[:200]!r}")
            step("the phone pairs and the computer lists it")

            mcp = Mcp(arguments.helper, dict(env, RINGLARK_AGENT="Claude Code"))
            mcp.send({"jsonrpc": "2.0", "id": 1, "method": "initialize", "params": {
                "protocolVersion": "2025-06-18", "capabilities": {},
                "clientInfo": {"name": "phone-e2e", "version": "1"}}})
            expect("result" in mcp.reply_to(1, 10), "MCP initialize succeeds")
            mcp.send({"jsonrpc": "2.0", "method": "notifications/initialized"})
            mcp.send({"jsonrpc": "2.0", "id": 2, "method": "tools/call", "params": {
                "name": "request_human", "arguments": {"reason": REASON, "ask": ASK}}})
            step("the agent calls request_human")

            page.navigate(f"{ORIGIN}/")
            page.wait_for(f"[...document.querySelectorAll('a.request')].some(a => a.innerText.includes({json.dumps(REASON)}))",
                          timeout=20)
            listed = page.evaluate("document.querySelector('a.request').innerText")
            expect(ASK in listed and "Claude Code" in listed, f"the list shows the question and agent: {listed!r}")
            step("the request appears in the phone's list")

            page.tap("a.request")
            page.wait_for("document.getElementById('answer')")
            request_id = urllib.parse.unquote(page.evaluate("location.pathname").split("/r/", 1)[1])
            page.type_into("#answer", ANSWER)
            page.tap("form.answer button[type=submit]")
            page.wait_for("document.body.innerText.includes('Answer sent')")
            step("the answer is typed and sent")

            result = mcp.reply_to(2, 15).get("result", {})
            text = " ".join(part.get("text", "") for part in result.get("content", []))
            expect(ANSWER in text and not result.get("isError"), f"the agent gets the answer: {result}")
            step("the agent's call returns the answer")

            page.send("Browser.grantPermissions", {"origin": ORIGIN, "permissions": ["notifications"]})
            scope = page.wait_for("navigator.serviceWorker.ready.then(r => r.active ? r.scope : null)")
            expect(scope == f"{ORIGIN}/", f"the service worker covers the app: {scope}")
            page.send("ServiceWorker.enable")
            updated = page.wait_event("ServiceWorker.workerRegistrationUpdated",
                                      lambda p: any(r["scopeURL"] == scope and not r["isDeleted"]
                                                    for r in p["registrations"]))
            registration = [r for r in updated["registrations"] if r["scopeURL"] == scope][0]["registrationId"]
            payload = {"id": request_id, "reason": REASON, "ask": ASK, "agent": "Claude Code", "app": "",
                       "url": f"/r/{request_id}"}
            titles = page.push(ORIGIN, registration, json.dumps(payload),
                               "navigator.serviceWorker.ready.then(r => r.getNotifications())"
                               ".then(n => n.length ? n.map(x => x.title) : null)")
            expect(titles == [REASON], f"the push shows the reason as its title: {titles}")
            step("a push shows a notification titled with the reason")

            if display:
                window_view(page, display, port, token)
    finally:
        if display:
            display.close()
        if mcp:
            mcp.close()
        if daemon.poll() is None:
            daemon.send_signal(signal.SIGTERM)
            try:
                daemon.wait(timeout=10)
            except subprocess.TimeoutExpired:
                os.killpg(daemon.pid, signal.SIGKILL)
                daemon.wait(timeout=5)
        log.close()


# The canvas's pixels as the page drew them: how many are not black, and the
# colour at a fraction of its width and height.
CANVAS_PIXELS = """(() => {
  const canvas = document.querySelector("canvas.live");
  if (!canvas || canvas.width < 2) return null;
  const data = canvas.getContext("2d").getImageData(0, 0, canvas.width, canvas.height).data;
  let lit = 0;
  for (let i = 0; i < data.length; i += 4) if (data[i] || data[i + 1] || data[i + 2]) lit++;
  const at = (fx, fy) => {
    const i = (Math.floor(fy * canvas.height) * canvas.width + Math.floor(fx * canvas.width)) * 4;
    return [data[i], data[i + 1], data[i + 2]];
  };
  return {width: canvas.width, height: canvas.height, lit, topLeft: at(0.25, 0.25), bottomRight: at(0.75, 0.75)};
})()"""


def near(colour, expected, tolerance=40):
    return colour is not None and all(abs(a - b) <= tolerance for a, b in zip(colour, expected))


def window_view(page, display, port, token):
    """Show the window: the page draws the window's picture and a tap on it reaches the window."""
    status, body = token_api(port, token, "POST", "/v1/requests", {"reason": "Finish the sign-in", "app": WINDOW_CLASS})
    expect(status == 201, f"a request for the window's app is created: {status} {body[:200]!r}")
    request_id = json.loads(body)["id"]
    page.navigate(f"{ORIGIN}/r/{request_id}")
    page.wait_for("[...document.querySelectorAll('section.stream button')].some(b => b.innerText === 'Show the window')")
    page.evaluate("[...document.querySelectorAll('section.stream button')].find(b => b.innerText === 'Show the window')"
                  ".click()")
    drawn = page.wait_for(f"(() => {{ const p = {CANVAS_PIXELS}; return p && p.lit > 1000 ? p : null; }})()",
                          timeout=15)
    expect(drawn["width"] == 400 and drawn["height"] == 300, f"the picture has the window's size: {drawn}")
    expect(near(drawn["topLeft"], [255, 0, 0]) and near(drawn["bottomRight"], [255, 255, 0]),
           f"the picture shows the window's colours: {drawn}")
    status, body = token_api(port, token, "GET", "/v1/status")
    expect(status == 200 and json.loads(body).get("session_active") is True, f"the status says a view is live: {body!r}")
    step("Show the window draws the window's picture on the page")

    # A mouse tap at a quarter of the picture's width and height, as a finger would.
    box = page.evaluate("""(() => { const canvas = document.querySelector("canvas.live");
        canvas.scrollIntoView({block: "center"}); const r = canvas.getBoundingClientRect();
        return {x: r.left + r.width / 4, y: r.top + r.height / 4}; })()""")
    for kind in ("mousePressed", "mouseReleased"):
        page.send("Input.dispatchMouseEvent", {"type": kind, "x": box["x"], "y": box["y"], "button": "left",
                                               "clickCount": 1})
    button, x, y = display.next_press(timeout=10)
    expect(button == 1 and abs(x - 100) <= 2 and abs(y - 75) <= 2, f"the tap lands where it was made: {x},{y}")
    marked = page.wait_for(f"(() => {{ const p = {CANVAS_PIXELS}; return p && p.topLeft.every(c => c > 200) ? p : null; }})()",
                           timeout=10)
    expect(marked, "the page shows the window's answer to the tap")
    step("a tap on the picture reaches the window and its answer is shown")

    page.evaluate("[...document.querySelectorAll('section.stream button')].find(b => b.innerText === 'Stop').click()")
    wait_until(lambda: json.loads(token_api(port, token, "GET", "/v1/status")[1] or b"{}").get("session_active") is False,
               "the view ends after Stop", 5)
    step("Stop ends the view on the computer")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--helper", default=os.environ.get("RINGLARK_HELPER"), help="the ringlark executable")
    parser.add_argument("--test-window", help="the screen test window program, to try the window view under Xvfb")
    parser.add_argument("--home", help="HOME for the daemon (default: a new temporary folder, removed after)")
    parser.add_argument("--port", type=int, default=0, help="the daemon's API port (default: a free one)")
    parser.add_argument("--phone-port", type=int, default=0, help="the phone listener's port (default: a free one)")
    parser.add_argument("--keep-home", action="store_true", help="keep the temporary HOME and its daemon.log")
    parser.add_argument("--skip-without-listener", action="store_true",
                        help="report skipped (77) when the daemon opens no phone listener")
    arguments = parser.parse_args()
    if not os.path.exists(cdp.CHROMIUM):
        print(f"skipped: {cdp.CHROMIUM} is missing")
        return 77
    if not arguments.helper or not os.access(arguments.helper, os.X_OK):
        print(f"skipped: no ringlark executable at {arguments.helper!r} (give --helper)")
        return 77
    home = arguments.home or tempfile.mkdtemp(prefix="ringlark-e2e-")
    try:
        run(arguments, home)
    except Skip as skip:
        print(f"skipped: {skip}")
        return 77
    except (AssertionError, cdp.CDPError, OSError, ValueError) as failure:
        print(f"FAILED: {failure}", flush=True)
        log = os.path.join(home, "daemon.log")
        if os.path.exists(log):
            print("daemon.log (last lines):\n" + "".join(open(log, errors="replace").readlines()[-30:]), flush=True)
        return 1
    finally:
        if not arguments.home and not arguments.keep_home:
            shutil.rmtree(home, ignore_errors=True)
    print("all steps passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
