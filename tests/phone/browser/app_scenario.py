"""Drives the phone app in headless Chromium against mock_server.py: pairing
(and its refusals), the live list, a request's page, answering and
dismissing, the window view, pushes through the service worker, the
not-paired page, the iPhone steps and the unreachable banner.

    /usr/bin/python3 app_scenario.py [--screenshots DIR]

Prints one line per step; exits 0 when all pass, 1 on the first failure,
77 when Chromium is missing.
"""

import argparse
import base64
import json
import os
import sys
import time
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import cdp  # noqa: E402
import mock_server  # noqa: E402

HOST = "phone-test.example.ts.net:8643"
ORIGIN = f"http://{HOST}"
OWNER = "owner@example.com"
IPHONE_UA = ("Mozilla/5.0 (iPhone; CPU iPhone OS 17_5 like Mac OS X) AppleWebKit/605.1.15 "
             "(KHTML, like Gecko) Version/17.5 Mobile/15E148 Safari/604.1")


def step(text):
    print(f"ok: {text}", flush=True)


def expect(condition, text):
    if not condition:
        raise AssertionError(text)


def until(condition, text, timeout=5):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            raise AssertionError(text)
        time.sleep(0.05)


def text_of(page):
    return page.evaluate("document.getElementById('main').innerText")


def open_browser(port, extra=()):
    return cdp.Browser([
        f"--host-resolver-rules=MAP {HOST} 127.0.0.1:{port}",
        f"--unsafely-treat-insecure-origin-as-secure={ORIGIN}",
        "--lang=en-GB", *extra])


def phone_page(browser, login=OWNER):
    page = browser.new_page()
    page.send("Network.enable")
    page.send("Network.setExtraHTTPHeaders", {"headers": {"Tailscale-User-Login": login}})
    page.emulate_phone(scale=2)
    return page


def click_button(page, label):
    """Taps the first visible button (or link) with exactly this text."""
    marker = page.evaluate(f"""(() => {{
        const all = [...document.querySelectorAll('button, a.button')].filter(b => b.offsetParent);
        const el = all.find(b => b.textContent.trim() === {json.dumps(label)});
        if (!el) return null;
        el.dataset.tapMe = '1';
        return true; }})()""")
    expect(marker, f"no button {label!r} in: {text_of(page)!r}")
    page.tap("[data-tap-me='1']")
    page.evaluate("document.querySelector(\"[data-tap-me='1']\")?.removeAttribute('data-tap-me')")


WINDOW = """<body style="margin:0;font:15px sans-serif;background:#f6f8fa">
<div style="background:#24292f;color:#fff;padding:14px 24px;font-weight:bold">GitHub</div>
<div style="width:420px;margin:60px auto;background:#fff;border:1px solid #d0d7de;border-radius:8px;padding:28px">
<h2 style="margin-top:0">Device activation</h2><p>Enter the code displayed on your device</p>
<div style="display:flex;gap:8px;margin:18px 0">""" + "".join(
    f'<div style="width:40px;height:48px;border:1px solid #d0d7de;border-radius:6px;font-size:24px;'
    f'text-align:center;line-height:48px">{c}</div>' for c in "WDJB-MJHT") + """</div>
<div style="background:#1f883d;color:#fff;text-align:center;padding:10px;border-radius:6px">Continue</div>
</div></body>"""


def window_picture(browser):
    """A JPEG of a made-up desktop window, 1280 × 800, drawn by the browser itself."""
    tab = browser.new_page()
    tab.send("Emulation.setDeviceMetricsOverride", {"width": 1280, "height": 800, "deviceScaleFactor": 1,
                                                    "mobile": False})
    tab.navigate("data:text/html;charset=utf-8," + urllib.parse.quote(WINDOW))
    jpeg = base64.b64decode(tab.send("Page.captureScreenshot", {"format": "jpeg", "quality": 70})["data"])
    browser.send("Target.closeTarget", {"targetId": tab.target_id})
    return jpeg


def shoot(page, directory, name, scroll=True):
    if not directory:
        return
    if scroll:
        page.evaluate("scrollTo(0, 0)")
    for dark in (False, True):
        page.send("Emulation.setEmulatedMedia",
                  {"features": [{"name": "prefers-color-scheme", "value": "dark" if dark else "light"}]})
        time.sleep(0.3)
        page.screenshot(os.path.join(directory, f"phone-{name}-{'dark' if dark else 'light'}.png"))
    page.send("Emulation.setEmulatedMedia", {"features": [{"name": "prefers-color-scheme", "value": "light"}]})


def run(screenshots):
    phone = mock_server.Phone(OWNER)
    server = mock_server.serve(phone)
    port = server.server_address[1]
    try:
        with open_browser(port) as browser:
            page = phone_page(browser, login="someone-else@example.com")
            code = phone.new_code()

            page.navigate(f"{ORIGIN}/pair?c={code}")
            page.wait_for("document.getElementById('device-name')")
            expect(page.evaluate("document.getElementById('device-name').value") == "Linux computer",
                   "the name is prefilled from the user agent")
            click_button(page, "Pair this phone")
            page.wait_for("document.body.innerText.includes('Only the computer')")
            step("a tailnet member who does not own the computer is told why they cannot pair")

            page.send("Network.setExtraHTTPHeaders", {"headers": {"Tailscale-User-Login": OWNER}})
            page.navigate(f"{ORIGIN}/pair?c={'0' * 32}")
            page.wait_for("document.getElementById('device-name')")
            click_button(page, "Pair this phone")
            page.wait_for("document.body.innerText.includes('expired or was already used')")
            step("an unknown or spent code says to show a new QR code")

            page.navigate(f"{ORIGIN}/")
            page.wait_for("document.body.innerText.includes('This phone is not paired')")
            expect("Pair Phone" in text_of(page), "the not-paired page says how to pair")
            step("an unpaired phone is told how to pair")

            phone.add_request("Sign in to GitHub", "Approve the device code", app="Firefox",
                              created_at=mock_server.now_ms() - 3 * 60_000)
            page.navigate(f"{ORIGIN}/pair?c={code}")
            page.wait_for("document.getElementById('device-name')")
            page.evaluate("document.getElementById('device-name').value = ''")
            page.type_into("#device-name", "Test phone")
            click_button(page, "Pair this phone")
            page.wait_for("document.body.innerText.includes('paired as “Test phone”')")
            expect(page.evaluate("location.pathname + location.search") == "/", "the spent code leaves the address")
            expect([d["name"] for d in phone.devices.values()] == ["Test phone"], "the computer knows the phone")
            step("pairing stores the device cookie and leaves the pairing address")

            click_button(page, "See requests")
            page.wait_for("document.querySelector('a.request')")
            listed = page.evaluate("document.querySelector('a.request').innerText")
            expect("Sign in to GitHub" in listed and "Approve the device code" in listed and "3 min ago" in listed
                   and "Claude Code" in listed, f"the list shows reason, ask, agent and age: {listed!r}")
            page.wait_for("document.querySelector('.devices') && document.querySelector('.devices').innerText.includes('this phone')")
            step("the list shows the waiting request and this phone among the devices")

            phone.add_request("Enter the 2FA code", "Type the six digits from your authenticator", agent="Codex")
            page.wait_for("document.querySelectorAll('a.request').length === 2", timeout=10)
            expect(page.evaluate("document.title") == "(2) Ringlark", "the title counts the waiting requests")
            step("a new request appears through the long poll")
            shoot(page, screenshots, "list")

            page.tap("a.request")
            page.wait_for("document.getElementById('answer')")
            expect(page.evaluate("location.pathname").startswith("/r/"), "the request page has its own address")
            body = text_of(page)
            for part in ("Sign in to GitHub", "Claude Code asks", "Approve the device code", "Firefox", "3 min ago"):
                expect(part in body, f"the request page shows {part!r}")
            page.type_into("#answer", "Done, code 4411")
            expect(page.evaluate("document.getElementById('answer-count').textContent") == "15 / 1000",
                   "the counter follows the answer")
            step("the request page shows agent, application, age, reason and question")
            shoot(page, screenshots, "request")

            # The window view.
            phone.change_frame(window_picture(browser))
            click_button(page, "Show the window")
            page.wait_for("(() => { const c = document.querySelector('canvas'); return c && c.width > 100; })()")
            session = next(iter(phone.sessions.values()))
            page.tap("canvas")
            page.evaluate("document.querySelector('.keys button[aria-label=\"Return\"]').click()")
            page.type_into("#type-text", "hello")
            click_button(page, "Type")
            box = page.evaluate("(() => { const r = document.querySelector('canvas').getBoundingClientRect();"
                                " return {x: r.left + r.width / 2, y: r.top + r.height / 2}; })()")
            page.send("Input.dispatchMouseEvent", {"type": "mouseWheel", "x": box["x"], "y": box["y"],
                                                   "deltaX": 0, "deltaY": 120})
            until(lambda: len(session["inputs"]) >= 4, f"four inputs arrive: {session['inputs']}")
            kinds = [event["type"] for event in session["inputs"]]
            expect(kinds == ["tap", "key", "text", "scroll"], f"inputs arrive in order: {session['inputs']}")
            tap = session["inputs"][0]
            expect(0.4 < tap["x"] < 0.6 and 0.4 < tap["y"] < 0.6, f"a tap in the middle is near 0.5: {tap}")
            expect(session["inputs"][1] == {"type": "key", "key": "Return"}, "keys are named")
            expect(session["inputs"][2] == {"type": "text", "text": "hello"}, "typed text is sent")
            expect(session["inputs"][3]["dy"] > 0, "scrolling down is positive")
            phone.change_frame()
            step("the window view draws frames and sends taps, keys, text and scrolling in order")
            if screenshots:
                page.evaluate("document.querySelector('.stream').scrollIntoView()")
                shoot(page, screenshots, "window", scroll=False)
                page.evaluate("scrollTo(0, 0)")
            click_button(page, "Stop")
            page.wait_for("!document.querySelector('canvas') && document.body.innerText.includes('Show the window')")
            until(lambda: session["ended"], "Stop ends the session on the computer")
            step("Stop ends the session")

            phone.window_for_request = False
            click_button(page, "Show the window")
            page.wait_for("document.body.innerText.includes('Which window')")
            click_button(page, "Sign in – GitHubFirefox · 1280 × 800")
            page.wait_for("document.querySelector('canvas')")
            expect(len(phone.sessions) == 2, "picking a window starts a session")
            live = [s for s in phone.sessions.values() if not s["ended"]][0]
            live["ended"] = True
            phone.change_frame()
            page.wait_for("document.body.innerText.includes('The window was closed')")
            step("an unclear window offers the list; a closed window says so")

            phone.stream_error = "This computer runs Wayland, which does not let Ringlark show windows."
            click_button(page, "Show the window")
            page.wait_for("document.body.innerText.includes('runs Wayland')")
            phone.stream_error = None
            step("a computer that cannot stream says why")

            click_button(page, "Send answer")
            page.wait_for("document.body.innerText.includes('Answer sent')")
            answered = [r for r in phone.ended.values() if r["reason"] == "Sign in to GitHub"]
            expect(answered and answered[0]["answer"] == "Done, code 4411", "the computer got the answer")
            bad = [entry for entry in phone.log if entry[0] != "GET" and entry[1].startswith("/api/v1/")]
            expect(bad, "state changes were made")
            step("sending the answer ends the request and says so")

            page.tap("a.back")
            page.wait_for("document.querySelectorAll('a.request').length === 1")
            page.tap("a.request")
            page.wait_for("document.getElementById('answer')")
            click_button(page, "Dismiss")
            page.wait_for("document.body.innerText.includes('You dismissed this request')")
            expect(any(r["status"] == "dismissed" for r in phone.ended.values()), "the computer got the dismissal")
            step("dismissing ends the request")

            other = phone.add_request("Approve the sudo prompt", "Type your password in the terminal")
            page.navigate(f"{ORIGIN}/r/{other['id']}")
            page.wait_for("document.getElementById('answer')")
            phone.end_request(other["id"], "withdrawn")
            page.wait_for("document.body.innerText.includes('This request has ended')")
            step("a request that ends elsewhere says so on its page")

            # Pushes through the service worker.
            page.send("Browser.grantPermissions", {"origin": ORIGIN, "permissions": ["notifications"]})
            page.navigate(f"{ORIGIN}/")
            registration = page.wait_for("navigator.serviceWorker.ready.then(r => r.active ? r.scope : null)")
            expect(registration == f"{ORIGIN}/", f"the service worker covers the app: {registration}")
            page.send("ServiceWorker.enable")
            version = page.wait_event("ServiceWorker.workerRegistrationUpdated",
                                      lambda p: any(r["scopeURL"] == f"{ORIGIN}/" and not r["isDeleted"]
                                                    for r in p["registrations"]))
            registration_id = [r for r in version["registrations"] if r["scopeURL"] == f"{ORIGIN}/"][0]["registrationId"]
            payload = {"id": "req-42", "reason": "Sign in to GitHub", "ask": "Approve the device code",
                       "agent": "Claude Code", "app": "Firefox", "url": "/r/req-42"}
            shown = page.push(ORIGIN, registration_id, json.dumps(payload),
                              "navigator.serviceWorker.ready.then(r => r.getNotifications()).then(n => n.length ?"
                              " n.map(x => ({title: x.title, body: x.body, tag: x.tag, url: x.data.url})) : null)")
            expect(shown == [{"title": "Sign in to GitHub", "body": "Claude Code · Approve the device code",
                              "tag": "req-42", "url": "/r/req-42"}], f"the push shows: {shown}")
            page.send("ServiceWorker.deliverPushMessage", {"origin": ORIGIN, "registrationId": registration_id,
                                                           "data": json.dumps({"type": "ended", "id": "req-42"})})
            page.wait_for("navigator.serviceWorker.ready.then(r => r.getNotifications()).then(n => n.length === 0)")
            shown = page.push(ORIGIN, registration_id, "not json",
                              "navigator.serviceWorker.ready.then(r => r.getNotifications())"
                              ".then(n => n.length ? n[0].title : null)")
            expect(shown == "An agent needs you", "a push that cannot be read still shows something")
            step("pushes show a notification, an ended push closes it, a garbled one still rings")

            # The notifications card asks once permission is there and hides when subscribed.
            expect(page.evaluate("document.body.innerText.includes('Turn on notifications')"),
                   "the notifications button shows while not subscribed")
            step("the notifications button shows while this phone has no subscription")

            # Offline: the service worker serves the shell and the app says so.
            phone.go_offline()
            page.navigate(f"{ORIGIN}/")
            page.wait_for("document.getElementById('banner').innerText.includes('Your computer cannot be reached')",
                          timeout=20)
            step("without the computer the cached app opens and says the computer cannot be reached")
            phone.go_offline(False)

            # Removing this phone.
            page.navigate(f"{ORIGIN}/")
            page.wait_for("document.querySelector('.devices button')")
            page.send("Page.enable")
            page.evaluate("setTimeout(() => document.querySelector('.devices button').click(), 0)")
            page.wait_event("Page.javascriptDialogOpening")
            page.send("Page.handleJavaScriptDialog", {"accept": True})
            page.wait_for("document.body.innerText.includes('This phone is not paired')")
            expect(not phone.devices, "the computer forgot the phone")
            step("removing this phone unpairs it")

        with open_browser(port) as browser:
            page = phone_page(browser)
            page.emulate_phone(scale=2, user_agent=IPHONE_UA)
            code = phone.new_code()
            page.navigate(f"{ORIGIN}/pair?c={code}")
            page.wait_for("document.body.innerText.includes('Add to Home Screen')")
            expect(page.evaluate("document.getElementById('manifest').getAttribute('href')")
                   == f"/manifest.webmanifest?c={code}", "the manifest carries the code to the Home Screen app")
            expect(code in phone.codes, "Safari does not spend the code")
            start = page.evaluate("fetch(document.getElementById('manifest').href).then(r => r.json())"
                                  ".then(m => m.start_url)")
            expect(start == f"/pair?c={code}", f"the Home Screen app starts at the pairing page: {start}")
            step("iPhone Safari explains how to add Ringlark to the Home Screen and keeps the code")
            shoot(page, screenshots, "pair")
    finally:
        server.shutdown()
        server.server_close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--screenshots", help="folder for phone-*.png")
    arguments = parser.parse_args()
    if not os.path.exists(cdp.CHROMIUM):
        print(f"skipped: {cdp.CHROMIUM} is missing")
        return 77
    try:
        run(arguments.screenshots)
    except (AssertionError, cdp.CDPError) as failure:
        print(f"FAILED: {failure}", flush=True)
        return 1
    print("all steps passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
