"""A small Chrome DevTools Protocol driver over Chromium's --remote-debugging-pipe.

Chromium reads commands from its file descriptor 3 and writes replies and
events to its descriptor 4, one JSON message per NUL-terminated record, so the
standard library is enough: no WebSocket, no open debugging port.

    with Browser(["--window-size=390,844"]) as browser:
        page = browser.new_page()
        page.navigate("http://example.test/")
        print(page.evaluate("document.title"))

The browser is always closed and waited for; if it does not go, its whole
process group is killed (a browser killed without waiting leaves its children).
"""

import fcntl
import json
import os
import queue
import shutil
import signal
import subprocess
import tempfile
import threading
import time

CHROMIUM = "/usr/bin/chromium"

BASE_FLAGS = [
    "--headless",
    "--no-sandbox",
    "--disable-gpu",
    "--disable-quic",
    "--no-first-run",
    "--no-default-browser-check",
    "--disable-background-networking",
    "--disable-component-update",
    "--disable-sync",
    "--remote-debugging-pipe",
]


class CDPError(Exception):
    """A command failed, the browser went away, or a wait timed out."""


class Browser:
    def __init__(self, flags=(), chromium=CHROMIUM, log=None):
        self.profile = tempfile.mkdtemp(prefix="ringlark-chromium-")
        self._next_id = 0
        self._lock = threading.Lock()
        self._replies = {}
        self._events = []
        self._events_changed = threading.Condition()
        self._closed = False
        self._log = log

        to_chrome_read, to_chrome_write = os.pipe()
        from_chrome_read, from_chrome_write = os.pipe()

        def give_pipes():
            # Lift both ends above 3 and 4 first, so one dup2 cannot clobber the other.
            high_in = fcntl.fcntl(to_chrome_read, fcntl.F_DUPFD, 10)
            high_out = fcntl.fcntl(from_chrome_write, fcntl.F_DUPFD, 10)
            os.dup2(high_in, 3)
            os.dup2(high_out, 4)

        args = [chromium, *BASE_FLAGS, f"--user-data-dir={self.profile}", *flags, "about:blank"]
        try:
            self.process = subprocess.Popen(
                args, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                stderr=log if log is not None else subprocess.DEVNULL,
                preexec_fn=give_pipes, close_fds=False, start_new_session=True)
        except BaseException:
            for fd in (to_chrome_read, to_chrome_write, from_chrome_read, from_chrome_write):
                os.close(fd)
            shutil.rmtree(self.profile, ignore_errors=True)
            raise
        os.close(to_chrome_read)
        os.close(from_chrome_write)
        self._out = to_chrome_write
        self._in = from_chrome_read
        self._reader = threading.Thread(target=self._read, name="cdp-reader", daemon=True)
        self._reader.start()
        try:
            self.version = self.send("Browser.getVersion", timeout=30)
        except BaseException:
            self.close()
            raise

    # -------------------------------------------------------------- wire

    def _read(self):
        pending = b""
        while True:
            try:
                chunk = os.read(self._in, 1 << 16)
            except OSError:
                chunk = b""
            if not chunk:
                break
            pending += chunk
            *records, pending = pending.split(b"\0")
            for record in records:
                if not record:
                    continue
                try:
                    message = json.loads(record)
                except ValueError:
                    continue
                if "id" in message:
                    with self._lock:
                        waiter = self._replies.get(message["id"])
                    if waiter is not None:
                        waiter.put(message)
                else:
                    with self._events_changed:
                        self._events.append(message)
                        self._events_changed.notify_all()
        with self._events_changed:
            self._closed = True
            self._events_changed.notify_all()
        with self._lock:
            for waiter in self._replies.values():
                waiter.put(None)

    def send(self, method, params=None, session=None, timeout=30):
        """Sends one command and returns its result; raises CDPError on an error reply."""
        with self._lock:
            if self._closed:
                raise CDPError(f"{method}: the browser is gone")
            self._next_id += 1
            ident = self._next_id
            waiter = queue.Queue()
            self._replies[ident] = waiter
        message = {"id": ident, "method": method, "params": params or {}}
        if session:
            message["sessionId"] = session
        data = json.dumps(message).encode() + b"\0"
        try:
            while data:
                written = os.write(self._out, data)
                data = data[written:]
            try:
                reply = waiter.get(timeout=timeout)
            except queue.Empty:
                raise CDPError(f"{method}: no reply within {timeout} s") from None
        except OSError as error:
            raise CDPError(f"{method}: the browser is gone ({error})") from None
        finally:
            with self._lock:
                self._replies.pop(ident, None)
        if reply is None:
            raise CDPError(f"{method}: the browser closed before replying")
        if "error" in reply:
            raise CDPError(f"{method}: {reply['error'].get('message')} {reply['error'].get('data', '')}".strip())
        return reply.get("result", {})

    def wait_event(self, method, predicate=None, session=None, timeout=30):
        """Returns the params of the first event so named (and matching) that
        arrived and was not taken yet, waiting up to `timeout` seconds."""
        deadline = time.monotonic() + timeout
        with self._events_changed:
            while True:
                for index, event in enumerate(self._events):
                    if event.get("method") != method:
                        continue
                    if session is not None and event.get("sessionId") != session:
                        continue
                    params = event.get("params", {})
                    if predicate is None or predicate(params):
                        del self._events[index]
                        return params
                left = deadline - time.monotonic()
                if self._closed:
                    raise CDPError(f"waiting for {method}: the browser is gone")
                if left <= 0:
                    raise CDPError(f"no {method} event within {timeout} s")
                self._events_changed.wait(left)

    def drop_events(self, method=None, session=None):
        """Forgets buffered events, all or those so named."""
        with self._events_changed:
            self._events = [event for event in self._events
                            if not ((method is None or event.get("method") == method)
                                    and (session is None or event.get("sessionId") == session))]

    # -------------------------------------------------------------- pages

    def new_page(self, url="about:blank"):
        target = self.send("Target.createTarget", {"url": "about:blank"})["targetId"]
        session = self.send("Target.attachToTarget", {"targetId": target, "flatten": True})["sessionId"]
        page = Page(self, target, session)
        page.send("Page.enable")
        page.send("Runtime.enable")
        if url != "about:blank":
            page.navigate(url)
        return page

    # -------------------------------------------------------------- end

    def close(self):
        """Asks the browser to quit, waits for it, kills its group if it hangs."""
        if getattr(self, "process", None) is None:
            return
        try:
            if self.process.poll() is None and not self._closed:
                try:
                    self.send("Browser.close", timeout=5)
                except CDPError:
                    pass
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self._kill_group()
        finally:
            # Children (renderers, the GPU and network services) share the group.
            self._kill_group(wait=False)
            for fd in (self._out, self._in):
                try:
                    os.close(fd)
                except OSError:
                    pass
            self._reader.join(timeout=5)
            shutil.rmtree(self.profile, ignore_errors=True)
            self.process = None

    def _kill_group(self, wait=True):
        try:
            os.killpg(self.process.pid, signal.SIGKILL)
        except (ProcessLookupError, PermissionError):
            pass
        if wait:
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                pass

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False


class Page:
    """One tab, attached with a flat session."""

    def __init__(self, browser, target_id, session_id):
        self.browser = browser
        self.target_id = target_id
        self.session = session_id

    def send(self, method, params=None, timeout=30):
        return self.browser.send(method, params, session=self.session, timeout=timeout)

    def wait_event(self, method, predicate=None, timeout=30):
        return self.browser.wait_event(method, predicate, session=self.session, timeout=timeout)

    def navigate(self, url, timeout=30):
        self.browser.drop_events("Page.loadEventFired", self.session)
        result = self.send("Page.navigate", {"url": url}, timeout=timeout)
        if result.get("errorText"):
            raise CDPError(f"cannot open {url}: {result['errorText']}")
        self.wait_event("Page.loadEventFired", timeout=timeout)

    def evaluate(self, expression, timeout=30):
        """The value of a JavaScript expression, awaited when it is a promise."""
        result = self.send("Runtime.evaluate", {
            "expression": expression, "awaitPromise": True, "returnByValue": True,
            "userGesture": True, "timeout": int(timeout * 1000),
        }, timeout=timeout + 5)
        if "exceptionDetails" in result:
            details = result["exceptionDetails"]
            text = details.get("exception", {}).get("description") or details.get("text")
            raise CDPError(f"JavaScript failed: {text}\n  in: {expression[:200]}")
        return result.get("result", {}).get("value")

    def wait_for(self, expression, timeout=15, interval=0.1):
        """Evaluates `expression` until it is truthy in JavaScript's sense and
        returns that value (an element comes back as {}, which still counts)."""
        deadline = time.monotonic() + timeout
        while True:
            value = self.evaluate(expression)
            if value is not None and value is not False and value != 0 and value != "":
                return value
            if time.monotonic() > deadline:
                try:
                    seen = self.evaluate("location.pathname + ' | ' + (document.body ? document.body.innerText : '')")
                    seen = " ".join(str(seen).split())[:600]
                except CDPError as error:
                    seen = f"(unreadable: {error})"
                raise CDPError(f"not true within {timeout} s: {expression}\n  the page showed: {seen}")
            time.sleep(interval)

    def push(self, origin, registration_id, data, shown, attempts=3, timeout=5):
        """Delivers a push message to the page's service worker and waits until
        the JavaScript expression `shown` is truthy, which it returns.

        Headless Chromium now and then drops a notification that the worker
        showed (showNotification resolves, getNotifications stays empty): such
        a push is delivered again, up to `attempts` times."""
        for attempt in range(1, attempts + 1):
            self.send("ServiceWorker.deliverPushMessage",
                      {"origin": origin, "registrationId": registration_id, "data": data})
            try:
                return self.wait_for(shown, timeout=timeout)
            except CDPError:
                if attempt == attempts:
                    raise

    def tap(self, selector):
        """Clicks the middle of the first element matching `selector` with real mouse events."""
        box = self.wait_for(
            f"""(() => {{ const el = document.querySelector({json.dumps(selector)});
                if (!el) return null; el.scrollIntoView({{block: "center"}});
                const r = el.getBoundingClientRect();
                return r.width && r.height ? {{x: r.left + r.width / 2, y: r.top + r.height / 2}} : null; }})()""")
        for kind in ("mousePressed", "mouseReleased"):
            self.send("Input.dispatchMouseEvent", {"type": kind, "x": box["x"], "y": box["y"],
                                                   "button": "left", "clickCount": 1})

    def type_into(self, selector, text):
        """Focuses a field and types `text` into it as a keyboard would."""
        self.evaluate(f"document.querySelector({json.dumps(selector)}).focus()")
        self.send("Input.insertText", {"text": text})

    def screenshot(self, path):
        import base64
        data = self.send("Page.captureScreenshot", {"format": "png", "captureBeyondViewport": False})["data"]
        with open(path, "wb") as out:
            out.write(base64.b64decode(data))

    def emulate_phone(self, width=390, height=844, scale=3, dark=False, user_agent=None):
        """An iPhone-sized viewport, light or dark."""
        self.send("Emulation.setDeviceMetricsOverride", {
            "width": width, "height": height, "deviceScaleFactor": scale, "mobile": True})
        self.send("Emulation.setEmulatedMedia", {
            "features": [{"name": "prefers-color-scheme", "value": "dark" if dark else "light"}]})
        if user_agent:
            self.send("Emulation.setUserAgentOverride", {"userAgent": user_agent})
