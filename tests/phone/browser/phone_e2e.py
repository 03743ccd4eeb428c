"""End to end, as a person with a phone would: the real `ringlark daemon` with a
stand-in `tailscale`, the phone app in headless Chromium, and a coding agent
speaking MCP to `ringlark mcp`.

    /usr/bin/python3 phone_e2e.py --helper build/Ringlark.app/Contents/Helpers/ringlark
        [--home DIR] [--port N] [--phone-port N] [--keep-home] [--skip-without-listener]

The browser reaches the daemon's phone listener as http://phone-test.example.ts.net:8643
through a host-resolver rule, treated as a secure origin, with the
Tailscale-User-Login header that `tailscale serve` would add.

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


class Skip(Exception):
    pass


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
    finally:
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


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--helper", default=os.environ.get("RINGLARK_HELPER"), help="the ringlark executable")
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
