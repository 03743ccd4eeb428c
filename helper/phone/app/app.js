// Ringlark on the phone: the list of waiting requests, a request's page with
// the window view, pairing, notifications and paired devices. It talks only to
// the computer that served it, under /api/v1.

const main = document.getElementById("main");
const banner = document.getElementById("banner");

const MAX_ANSWER = 1000;
const POLL_WAIT_MS = 25000;

// ---------------------------------------------------------------- helpers

// Builds an element. Text is always set as text, never parsed as HTML.
function h(tag, props, ...children) {
  const node = document.createElement(tag);
  for (const [key, value] of Object.entries(props || {})) {
    if (value === undefined || value === null || value === false) continue;
    if (key === "class") node.className = value;
    else if (key.startsWith("on") && typeof value === "function") node.addEventListener(key.slice(2), value);
    else if (key in node && typeof value !== "string") node[key] = value;
    else node.setAttribute(key, value === true ? "" : value);
  }
  for (const child of children.flat()) {
    if (child === undefined || child === null || child === false) continue;
    node.append(child instanceof Node ? child : String(child));
  }
  return node;
}

// replaceChildren, skipping the nulls that conditional parts leave.
function fill(node, ...children) {
  node.replaceChildren(...children.flat().filter((child) => child !== null && child !== undefined && child !== false));
}

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

function errorText(data, fallback) {
  return data && typeof data.error === "string" && data.error ? data.error : fallback;
}

let pairings = 0; // how often this page paired

// Every call to the computer. State changes carry the headers the computer
// insists on; a 401 anywhere means this phone is not (or no longer) paired.
async function api(method, path, body, options = {}) {
  const epoch = pairings;
  const controller = new AbortController();
  const timer = setTimeout(() => controller.abort(), options.timeout || 15000);
  if (options.signal) options.signal.addEventListener("abort", () => controller.abort(), { once: true });
  const init = { method, credentials: "same-origin", cache: "no-store", signal: controller.signal };
  if (method !== "GET") {
    init.headers = { "Content-Type": "application/json", "X-Ringlark-Phone": "1" };
    init.body = JSON.stringify(body || {});
    init.keepalive = !!options.keepalive;
  }
  try {
    const response = await fetch("/api/v1" + path, init);
    let data = null;
    try { data = await response.json(); } catch (_) { /* not JSON */ }
    // A 401 to a call sent before this page paired says nothing about now
    // (the first long poll of the pairing page often lands just after).
    if (response.status === 401 && !options.quietUnpaired && epoch === pairings) becomeUnpaired();
    else if (!proxyOnly(response.status)) noteContact();
    return { status: response.status, data };
  } catch (error) {
    return { status: 0, data: null, aborted: !!(options.signal && options.signal.aborted) };
  } finally {
    clearTimeout(timer);
  }
}

// What Tailscale's proxy answers when the computer's Ringlark does not.
const proxyOnly = (status) => status === 502 || status === 504;

const ua = navigator.userAgent;
const isIOS = () => /iPhone|iPad|iPod/.test(ua) || (/Macintosh/.test(ua) && navigator.maxTouchPoints > 1);
const isAndroid = () => /Android/.test(ua);
const isStandalone = () => navigator.standalone === true || matchMedia("(display-mode: standalone)").matches;

function guessDeviceName() {
  if (/iPhone/.test(ua)) return "iPhone";
  if (/iPad/.test(ua) || (/Macintosh/.test(ua) && navigator.maxTouchPoints > 1)) return "iPad";
  if (/Android/.test(ua)) return /Mobile/.test(ua) ? "Android phone" : "Android tablet";
  if (/CrOS/.test(ua)) return "Chromebook";
  if (/Macintosh/.test(ua)) return "Mac";
  if (/Windows/.test(ua)) return "Windows computer";
  if (/Linux/.test(ua)) return "Linux computer";
  return "Phone";
}

function ageText(ms) {
  const seconds = (Date.now() - ms) / 1000;
  if (!(seconds >= 60)) return "just now";
  const minutes = Math.floor(seconds / 60);
  if (minutes < 60) return `${minutes} min ago`;
  const hours = Math.floor(minutes / 60);
  if (hours < 24) return `${hours} h ago`;
  const days = Math.floor(hours / 24);
  return days === 1 ? "yesterday" : `${days} days ago`;
}

// A time that keeps its "3 min ago" current (see the ticker below).
function age(ms) {
  return h("time", { "data-age": String(ms), datetime: new Date(ms).toISOString() }, ageText(ms));
}

setInterval(() => {
  for (const node of document.querySelectorAll("time[data-age]")) node.textContent = ageText(Number(node.dataset.age));
}, 30000);

function clockText(ms) {
  const when = new Date(ms);
  const time = when.toLocaleTimeString([], { hour: "2-digit", minute: "2-digit" });
  return when.toDateString() === new Date().toDateString() ? time : `${when.toLocaleDateString()} ${time}`;
}

function setTitle(text) {
  const waiting = state.requests.length;
  document.title = (waiting ? `(${waiting}) ` : "") + (text ? `${text} · Ringlark` : "Ringlark");
}

// ---------------------------------------------------------------- state

const state = {
  loaded: false,        // the first list arrived
  version: null,
  requests: [],         // waiting requests, oldest first
  finished: new Map(),  // id → {request, how, text}: what this phone did, kept for the request page
  lastContact: null,    // ms of the last answer from the computer
  reachable: true,
  unpaired: false,
};

const watchers = new Set();
function notify() {
  for (const watcher of [...watchers]) watcher();
}

function noteContact() {
  state.lastContact = Date.now();
  if (!state.reachable) {
    state.reachable = true;
    showBanner();
  }
}

function noteUnreachable() {
  if (state.reachable) {
    state.reachable = false;
  }
  showBanner();
}

function showBanner() {
  if (state.reachable || state.unpaired) {
    banner.hidden = true;
    return;
  }
  const last = state.lastContact ? ` Last contact at ${clockText(state.lastContact)}.` : "";
  const hint = navigator.onLine === false
    ? " This phone is offline."
    : " Check that Tailscale is on on this phone and that the computer is awake.";
  banner.textContent = `Your computer cannot be reached.${last}${hint}`;
  banner.hidden = false;
}

addEventListener("offline", showBanner);

function becomeUnpaired() {
  if (state.unpaired) return;
  state.unpaired = true;
  showBanner();
  if (location.pathname !== "/pair") route();
}

function applyList(data) {
  const before = new Set(state.requests.map((request) => request.id));
  state.version = data.version;
  state.requests = data.requests.filter((request) => request && typeof request.id === "string");
  state.loaded = true;
  const now = new Set(state.requests.map((request) => request.id));
  const gone = [...before].filter((id) => !now.has(id));
  if (gone.length) closeNotifications(gone);
  notify();
}

// A request that ended elsewhere should not keep ringing on this phone.
async function closeNotifications(ids) {
  if (!("serviceWorker" in navigator)) return;
  try {
    const registration = await navigator.serviceWorker.getRegistration();
    if (!registration) return;
    for (const id of ids) {
      for (const shown of await registration.getNotifications({ tag: id })) shown.close();
    }
  } catch (_) { /* nothing to close */ }
}

// The list follows the computer through long polls. A failure backs off
// (1, 2, 4 … 30 s); coming back online or to the foreground retries at once.
let pollWake = () => {};
let pollAbort = null;

function wakePoll() {
  if (pollAbort) pollAbort.abort();
  pollWake();
}

async function pollLoop() {
  let failures = 0;
  for (;;) {
    if (state.unpaired) {
      await new Promise((resolve) => { pollWake = resolve; });
      continue;
    }
    pollAbort = new AbortController();
    const since = state.version === null ? "" : `since=${encodeURIComponent(state.version)}&`;
    const reply = await api("GET", `/requests?${since}timeout_ms=${POLL_WAIT_MS}`, null,
      { timeout: POLL_WAIT_MS + 10000, signal: pollAbort.signal });
    pollAbort = null;
    if (reply.aborted) continue;
    if (reply.status === 200 && reply.data && Array.isArray(reply.data.requests)) {
      failures = 0;
      if (!state.loaded || reply.data.version !== state.version) applyList(reply.data);
      continue;
    }
    if (reply.status === 401) continue;
    failures += 1;
    if (reply.status === 0 || proxyOnly(reply.status)) noteUnreachable();
    const delay = Math.min(30000, 1000 * 2 ** (failures - 1));
    await Promise.race([sleep(delay), new Promise((resolve) => { pollWake = resolve; })]);
  }
}

addEventListener("online", wakePoll);
document.addEventListener("visibilitychange", () => {
  // A phone that slept may hold a dead connection: ask afresh.
  if (document.visibilityState === "visible") wakePoll();
});

// ---------------------------------------------------------------- routing

let leaveView = () => {};

function route() {
  leaveView();
  leaveView = () => {};
  watchers.clear();
  const path = location.pathname;
  fill(main);
  if (path === "/pair") pairView();
  else if (state.unpaired) unpairedView();
  else if (path.startsWith("/r/")) requestView(decodedId(path.slice(3)));
  else listView();
  main.focus({ preventScroll: true });
  scrollTo(0, 0);
}

function decodedId(text) {
  try {
    return decodeURIComponent(text);
  } catch (_) {
    return text; // a malformed address: no request will match it
  }
}

function go(path, replace) {
  if (replace) history.replaceState(null, "", path);
  else history.pushState(null, "", path);
  route();
}

document.addEventListener("click", (event) => {
  const link = event.target.closest("a[data-nav]");
  if (!link || event.defaultPrevented || event.button !== 0 || event.metaKey || event.ctrlKey || event.shiftKey) return;
  event.preventDefault();
  go(link.getAttribute("href"));
});
addEventListener("popstate", route);

// ---------------------------------------------------------------- list

function requestMeta(request) {
  return [request.agent || "An agent", request.app, age(request.created_at)]
    .filter(Boolean)
    .flatMap((part, index) => (index ? [" · ", part] : [part]));
}

function listView() {
  setTitle("");
  const pushBox = h("div");
  const list = h("div", { "aria-live": "polite" });
  const devices = h("div");
  // The notifications card arrives later: below the list, so it never moves
  // a request from under a finger.
  main.append(h("h1", {}, "Waiting for you"), list, pushBox,
    h("h2", {}, "Paired devices"), devices);

  const render = () => {
    setTitle("");
    if (!state.loaded) {
      fill(list, h("p", { class: "muted" }, state.reachable ? "Loading…" : "Nothing to show until your computer answers."));
      return;
    }
    if (!state.requests.length) {
      fill(list, h("div", { class: "empty card" },
        h("strong", {}, "Nothing is waiting"),
        "When an agent needs you, it appears here and this phone rings."));
      return;
    }
    fill(list, h("ul", { class: "list" }, state.requests.map((request) =>
      h("li", {}, h("a", { class: "request", href: `/r/${encodeURIComponent(request.id)}`, "data-nav": "" },
        h("span", { class: "reason" }, request.reason || "Help needed"),
        request.ask ? h("span", { class: "ask" }, request.ask) : null,
        h("span", { class: "meta" }, requestMeta(request)))))));
  };
  watchers.add(render);
  render();
  pushCard(pushBox);
  devicesCard(devices);
}

// ---------------------------------------------------------------- request page

function requestView(id) {
  const find = () => state.requests.find((request) => request.id === id);
  let shown = find() || (state.finished.get(id) || {}).request;
  setTitle(shown ? shown.reason : "");
  main.append(h("a", { class: "back", href: "/", "data-nav": "" }, "‹ All requests"));
  const body = h("div");
  main.append(body);
  let stream = null;
  let form = null;
  let built = false;
  let ending = null;

  const endedNote = () => {
    const mine = state.finished.get(id);
    if (mine && mine.how === "answered") {
      return mine.text
        ? h("div", { class: "note ok" }, h("strong", {}, "Answer sent. "), "You answered: ", h("q", {}, mine.text))
        : h("div", { class: "note ok" }, h("strong", {}, "Done. "), "The agent was told you took care of it.");
    }
    if (mine && mine.how === "dismissed") return h("div", { class: "note" }, "You dismissed this request. The agent was told you will not help with it.");
    return h("div", { class: "note" }, h("strong", {}, "This request has ended. "),
      "It was answered on another device, dismissed on the computer, or the agent stopped waiting.");
  };

  const render = () => {
    const waiting = find();
    if (waiting) shown = waiting;
    if (!shown) {
      fill(body, state.loaded
        ? h("div", {}, h("h1", {}, "This request has ended"), endedNote())
        : h("p", { class: "muted" }, "Loading…"));
      return;
    }
    if (!built) {
      built = true;
      const ask = shown.ask
        ? h("div", { class: "question" }, h("span", { class: "who" }, `${shown.agent || "The agent"} asks`), shown.ask)
        : null;
      fill(body,
        h("h1", {}, shown.reason || "Help needed"),
        h("p", { class: "meta" }, requestMeta(shown)),
        ask);
      if (waiting) {
        form = answerForm(id);
        stream = new WindowView(id);
        body.append(form, stream.element);
      }
    }
    if (!waiting && state.loaded) {
      // Redrawn each time: this phone's own answer may land after the list said it ended.
      if (!ending) {
        ending = h("div", { class: "ended" });
        if (form) form.replaceWith(ending);
        else body.append(ending);
        form = null;
        if (stream) stream.requestEnded();
      }
      fill(ending, endedNote());
    }
  };
  watchers.add(render);
  render();
  leaveView = () => { if (stream) stream.stop(true); };
}

function answerForm(id) {
  const field = h("textarea", {
    id: "answer", name: "answer", maxLength: MAX_ANSWER, rows: 3,
    "aria-describedby": "answer-help answer-count", autocomplete: "off",
  });
  const counter = h("div", { id: "answer-count", class: "counter", "aria-live": "polite" }, `0 / ${MAX_ANSWER}`);
  const send = h("button", { type: "submit", class: "primary" }, "Send answer");
  const dismiss = h("button", { type: "button" }, "Dismiss");
  const status = h("p", { class: "note error", role: "alert", hidden: true });
  dismiss.addEventListener("click", () => act("dismissed"));

  const length = () => [...field.value].length;
  field.addEventListener("input", () => {
    counter.textContent = `${length()} / ${MAX_ANSWER}`;
    counter.classList.toggle("over", length() > MAX_ANSWER);
  });

  const act = async (how) => {
    const text = field.value.trim();
    if (how === "answered" && [...text].length > MAX_ANSWER) {
      status.textContent = `The answer is too long: at most ${MAX_ANSWER} characters.`;
      status.hidden = false;
      return;
    }
    send.disabled = dismiss.disabled = true;
    status.hidden = true;
    const path = `/requests/${encodeURIComponent(id)}/${how === "answered" ? "answer" : "dismiss"}`;
    const reply = await api("POST", path, how === "answered" ? { text } : {});
    send.disabled = dismiss.disabled = false;
    if (reply.status === 200) {
      const request = reply.data && reply.data.request;
      state.finished.set(id, { request: request || state.requests.find((r) => r.id === id), how, text });
      state.requests = state.requests.filter((r) => r.id !== id);
      closeNotifications([id]);
      notify();
      return;
    }
    if (reply.status === 409 || reply.status === 404) {
      state.requests = state.requests.filter((r) => r.id !== id);
      notify();
      return;
    }
    if (reply.status === 401) return;
    status.textContent = reply.status === 0
      ? "Your computer cannot be reached, so nothing was sent. Try again when it is back."
      : errorText(reply.data, `Your computer refused this (error ${reply.status}).`);
    status.hidden = false;
  };

  return h("form", {
    class: "answer",
    onsubmit: (event) => { event.preventDefault(); act("answered"); },
  },
  h("label", { for: "answer" }, "Your answer"),
  h("p", { id: "answer-help", class: "muted small" }, "Optional. The agent reads it when you send it."),
  field, counter,
  h("div", { class: "actions" }, send, dismiss),
  status);
}

// ---------------------------------------------------------------- window view

const KEYS = [
  ["Return", "Return", "⏎"], ["Tab", "Tab", "Tab"], ["Escape", "Escape", "Esc"], ["Backspace", "Backspace", "⌫"],
  ["Left", "Left arrow", "←"], ["Up", "Up arrow", "↑"], ["Down", "Down arrow", "↓"], ["Right", "Right arrow", "→"],
];

// Shows the request's window live and sends taps, keys, text and scrolling.
// One frame request is in flight at a time; the computer parks it until the
// window changes.
class WindowView {
  constructor(requestId) {
    this.requestId = requestId;
    this.session = null;
    this.frameAbort = null;
    this.inputs = Promise.resolve();
    this.scrollBy = 0;
    this.scrollTimer = null;
    this.ended = false; // the request ended
    this.left = false;  // the page moved on
    this.element = h("section", { class: "stream", "aria-label": "The window on your computer" });
    this.pad = h("div", { class: "pad" });
    this.element.append(this.pad);
    this.idle();
    this.onPageHide = () => this.stop(true);
    addEventListener("pagehide", this.onPageHide);
  }

  idle(message) {
    fill(this.pad,
      message ? h("p", { class: "note error", role: "alert" }, message) : null,
      h("button", { type: "button", class: "wide", onclick: () => this.start() }, "Show the window"),
      h("p", { class: "muted small" }, "See the window the agent is stuck on, and tap and type in it from here."));
    this.element.querySelectorAll(".live").forEach((node) => node.remove());
  }

  requestEnded() {
    this.ended = true;
    if (this.session) this.stop(false, "The request has ended, so the window view closed.");
    else fill(this.pad);
  }

  async start(windowId) {
    fill(this.pad, h("p", { class: "muted", role: "status" }, "Opening the window…"));
    const body = { request: this.requestId };
    if (windowId) body.window = windowId;
    const reply = await api("POST", "/sessions", body);
    const started = reply.status === 200 && reply.data && typeof reply.data.id === "string";
    if (this.left || this.ended) {
      // Nobody is looking any more: do not leave the computer capturing.
      if (started) api("DELETE", `/sessions/${encodeURIComponent(reply.data.id)}`, {}, { quietUnpaired: true });
      return;
    }
    if (started) return this.live(reply.data.id, reply.data.window || {});
    if (reply.status === 409) return this.pickWindow(errorText(reply.data, ""));
    if (reply.status === 503) return this.idle(errorText(reply.data, "Your computer cannot show its windows right now."));
    if (reply.status === 404) return this.idle(windowId ? "That window is gone. Try again." : "This request no longer exists.");
    if (reply.status === 0) return this.idle("Your computer cannot be reached.");
    if (reply.status !== 401) this.idle(errorText(reply.data, `Your computer refused (error ${reply.status}).`));
  }

  async pickWindow(why) {
    const reply = await api("GET", "/windows");
    const windows = reply.status === 200 && reply.data && Array.isArray(reply.data.windows) ? reply.data.windows : [];
    if (!windows.length) return this.idle(reply.status === 200 ? "There is no window to show." : "Your computer did not list its windows.");
    fill(this.pad,
      h("p", {}, why ? `${why} ` : "", "Which window should Ringlark show?"),
      h("ul", { class: "list windows" }, windows.map((win) => h("li", {},
        h("button", { type: "button", onclick: () => this.start(win.id) },
          h("span", {}, win.title || "Untitled window"),
          h("span", { class: "meta" }, [win.app, win.width && win.height ? `${win.width} × ${win.height}` : null]
            .filter(Boolean).join(" · ")))))),
      h("button", { type: "button", onclick: () => this.idle() }, "Cancel"));
  }

  live(session, win) {
    this.session = session;
    this.canvas = h("canvas", { class: "live", width: 1, height: 1, role: "img",
      "aria-label": `Live view of ${win.title || "the window"}. Tap to click in it.` });
    const typed = h("input", { type: "text", id: "type-text", autocomplete: "off", autocapitalize: "off",
      spellcheck: "false", enterkeyhint: "send", placeholder: "Text to type" });
    const typing = h("form", { class: "typing live", onsubmit: (event) => {
      event.preventDefault();
      if (typed.value) this.send({ type: "text", text: typed.value });
      typed.value = "";
    } },
    h("label", { for: "type-text", class: "visually-hidden" }, "Text to type into the window"),
    typed, h("button", { type: "submit" }, "Type"));
    const keys = h("div", { class: "keys live", role: "group", "aria-label": "Keys" }, KEYS.map(([key, name, glyph]) =>
      h("button", { type: "button", "aria-label": name, title: name, onclick: () => this.send({ type: "key", key }) }, glyph)));
    this.status = h("p", { class: "muted small", role: "status" }, "Waiting for the first picture…");
    fill(this.pad,
      h("div", { class: "actions" },
        h("span", { class: "muted small" }, win.title ? `Showing “${win.title}”` : "Showing the window"),
        h("button", { type: "button", class: "danger", onclick: () => this.stop(false) }, "Stop")),
      this.status);
    this.element.append(this.canvas, keys, typing);
    this.pointerInput();
    this.frames(session);
  }

  async frames(session) {
    let after = 0;
    let failures = 0;
    const context = this.canvas.getContext("2d");
    while (this.session === session) {
      this.frameAbort = new AbortController();
      let response;
      try {
        response = await fetch(`/api/v1/sessions/${encodeURIComponent(session)}/frame?after=${after}`,
          { credentials: "same-origin", cache: "no-store", signal: this.frameAbort.signal });
      } catch (_) {
        if (this.session !== session) return;
        if (++failures > 5) return this.stop(false, "The connection to your computer was lost.");
        await sleep(1000 * failures);
        continue;
      }
      if (this.session !== session) return;
      if (response.status === 410) {
        const data = await response.json().catch(() => null);
        this.session = null;
        return this.idle(errorText(data, "The window is gone."));
      }
      if (response.status === 401) return becomeUnpaired();
      if (response.status === 204) continue; // nothing changed for a long while: ask again
      if (!response.ok) {
        if (++failures > 5) return this.stop(false, `Your computer stopped sending the window (error ${response.status}).`);
        await sleep(1000 * failures);
        continue;
      }
      const seq = Number(response.headers.get("X-Frame-Seq"));
      try {
        const bitmap = await createImageBitmap(await response.blob());
        if (this.session !== session) return bitmap.close();
        if (this.canvas.width !== bitmap.width || this.canvas.height !== bitmap.height) {
          this.canvas.width = bitmap.width;
          this.canvas.height = bitmap.height;
        }
        context.drawImage(bitmap, 0, 0);
        bitmap.close();
        this.status.textContent = "Live. Tap the picture to click; swipe up or down to scroll.";
        failures = 0;
      } catch (_) {
        if (++failures > 5) return this.stop(false, "The pictures from your computer could not be shown.");
      }
      if (Number.isInteger(seq) && seq > after) after = seq;
      else await sleep(500); // no usable sequence number: do not spin
    }
  }

  // Taps, vertical swipes and the wheel. Pinching stays with the browser.
  pointerInput() {
    const canvas = this.canvas;
    let touch = null;
    const framePixelsPerCssPixel = () => canvas.width / Math.max(1, canvas.getBoundingClientRect().width);
    canvas.addEventListener("pointerdown", (event) => {
      if (!event.isPrimary) { touch = null; return; }
      touch = { id: event.pointerId, x: event.clientX, y: event.clientY, lastY: event.clientY, swiping: false };
    });
    canvas.addEventListener("pointermove", (event) => {
      if (!touch || event.pointerId !== touch.id) return;
      if (!touch.swiping && Math.abs(event.clientY - touch.y) > 12) touch.swiping = true;
      if (touch.swiping) {
        this.scroll((touch.lastY - event.clientY) * framePixelsPerCssPixel());
        touch.lastY = event.clientY;
      }
    });
    canvas.addEventListener("pointerup", (event) => {
      if (!touch || event.pointerId !== touch.id) return;
      const tapped = !touch.swiping && Math.abs(event.clientX - touch.x) < 12;
      touch = null;
      if (!tapped) return;
      const box = canvas.getBoundingClientRect();
      const clamp = (value) => Math.min(1, Math.max(0, value));
      this.send({ type: "tap", x: clamp((event.clientX - box.left) / box.width), y: clamp((event.clientY - box.top) / box.height) });
    });
    canvas.addEventListener("pointercancel", () => { touch = null; });
    canvas.addEventListener("wheel", (event) => {
      if (event.ctrlKey) return; // a pinch on a trackpad zooms the page
      event.preventDefault();
      const lines = event.deltaMode === 1 ? 16 : event.deltaMode === 2 ? canvas.height : 1;
      this.scroll(event.deltaY * lines * framePixelsPerCssPixel());
    }, { passive: false });
  }

  // Scrolling is summed and sent at most every 80 ms: the computer takes
  // no more than 50 events a second.
  scroll(dy) {
    this.scrollBy += dy;
    if (this.scrollTimer) return;
    this.scrollTimer = setTimeout(() => {
      this.scrollTimer = null;
      const amount = Math.round(this.scrollBy);
      this.scrollBy = 0;
      if (amount) this.send({ type: "scroll", dy: amount });
    }, 80);
  }

  // Inputs go one after another so the window gets them in order.
  send(input) {
    const session = this.session;
    if (!session) return;
    this.inputs = this.inputs.then(async () => {
      if (this.session !== session) return;
      const reply = await api("POST", `/sessions/${encodeURIComponent(session)}/input`, input);
      if (reply.status === 410 && this.session === session) {
        this.session = null;
        this.idle(errorText(reply.data, "The window is gone."));
      } else if (reply.status === 429) {
        this.status.textContent = "Too fast: some input was dropped.";
      }
    });
  }

  // Ends the session on the computer; `leaving` keeps the request alive
  // while the page goes away.
  stop(leaving, message) {
    const session = this.session;
    this.session = null;
    if (this.frameAbort) this.frameAbort.abort();
    if (session) api("DELETE", `/sessions/${encodeURIComponent(session)}`, {}, { keepalive: true, quietUnpaired: true });
    if (leaving) {
      this.left = true;
      removeEventListener("pagehide", this.onPageHide);
    } else {
      if (this.ended) {
        this.element.querySelectorAll(".live").forEach((node) => node.remove());
        fill(this.pad, message ? h("p", { class: "note" }, message) : null);
      } else {
        this.idle(message);
      }
    }
  }
}

// ---------------------------------------------------------------- pairing

function pairView() {
  setTitle("Pair");
  const code = new URLSearchParams(location.search).get("c") || "";
  if (!/^[0-9a-f]{32}$/.test(code)) {
    main.append(h("h1", {}, "This pairing link is incomplete"),
      h("p", {}, "Show the QR code again on your computer (Ringlark's tray menu → Pair Phone…) and scan it with this phone's camera."));
    return;
  }
  if (isIOS() && !isStandalone()) return addToHomeScreenSteps(code);
  pairForm(code);
}

// iPhone shows notifications only for an app on the Home Screen, whose storage
// is its own: the code travels in the start address of the app added here,
// and is spent there, not in Safari.
function addToHomeScreenSteps(code) {
  document.getElementById("manifest").setAttribute("href", `/manifest.webmanifest?c=${code}`);
  const inSafari = !/CriOS|FxiOS|EdgiOS/.test(ua);
  main.append(
    h("h1", {}, "Add Ringlark to your Home Screen"),
    h("p", {}, "iPhone rings only for apps on the Home Screen. Three steps, then you are paired:"),
    h("ol", { class: "steps" },
      h("li", {}, "Tap ", h("strong", {}, "Share"), " ", h("span", { class: "share-glyph", "aria-hidden": "true" }),
        inSafari ? " in Safari's toolbar (at the bottom, or at the top on iPad)." : " in your browser's menu."),
      h("li", {}, "Scroll down, tap ", h("strong", {}, "Add to Home Screen"), ", then ", h("strong", {}, "Add"), "."),
      h("li", {}, "Open ", h("strong", {}, "Ringlark"), " from your Home Screen. It finishes pairing there.")),
    h("p", { class: "muted small" },
      "This page does not pair by itself: the Home Screen app keeps its own storage, so it pairs when you open it."),
    h("details", {},
      h("summary", { class: "muted small" }, "Use Ringlark in this browser tab instead"),
      h("p", { class: "small" }, "Pairing here uses up this code, and this tab cannot get notifications."),
      h("button", { type: "button", onclick: () => { fill(main); pairForm(code); } }, "Pair this tab")));
}

function pairForm(code) {
  const name = h("input", { type: "text", id: "device-name", value: guessDeviceName(), maxLength: 100,
    autocomplete: "off", required: true, "aria-describedby": "name-help" });
  const button = h("button", { type: "submit", class: "primary wide" }, "Pair this phone");
  const status = h("div", { role: "alert" });
  const form = h("form", { onsubmit: async (event) => {
    event.preventDefault();
    const deviceName = name.value.trim().slice(0, 100) || guessDeviceName();
    button.disabled = true;
    fill(status, h("p", { class: "muted" }, "Pairing…"));
    const reply = await api("POST", "/pair", { code, name: deviceName }, { quietUnpaired: true });
    button.disabled = false;
    if (reply.status === 200) return paired(reply.data && reply.data.device);
    fill(status, pairingError(reply));
  } },
  h("label", { for: "device-name" }, "Name of this phone"),
  h("p", { id: "name-help", class: "muted small" }, "Shown on your computer in the list of paired devices."),
  name,
  h("div", { class: "actions" }, button),
  status);
  main.append(h("h1", {}, "Pair with your computer"),
    h("p", {}, "This phone will show your agents' requests for help and let you answer them."),
    form);
}

function pairingError(reply) {
  const why = errorText(reply.data, "");
  if (reply.status === 403) {
    return h("div", { class: "note error" },
      h("p", {}, h("strong", {}, "Only the computer's owner can pair.")),
      h("p", {}, "Ringlark pairs only phones signed in to Tailscale as the account that owns the computer, ",
        "so that other people on your tailnet, and shared or tagged devices, cannot answer for you. ",
        "Sign in to the Tailscale app on this phone with that account, then scan the code again."),
      why ? h("p", { class: "small" }, why) : null);
  }
  if (reply.status === 410) {
    return h("div", { class: "note error" },
      h("p", {}, h("strong", {}, "This pairing code has expired or was already used.")),
      h("p", {}, "Show a new QR code on your computer (Ringlark's tray menu → Pair Phone…) and scan it again."));
  }
  if (reply.status === 429) {
    return h("p", { class: "note error" }, "Too many tries. Wait a minute, then try again.");
  }
  if (reply.status === 0) {
    return h("p", { class: "note error" }, "Your computer cannot be reached. Check that Tailscale is on on this phone, then try again.");
  }
  return h("p", { class: "note error" }, why || `Pairing failed (error ${reply.status}).`);
}

function paired(device) {
  pairings += 1;
  state.unpaired = false;
  showBanner();
  wakePoll();
  document.getElementById("manifest").setAttribute("href", "/manifest.webmanifest");
  history.replaceState(null, "", "/"); // the code is spent: a reload should not try it again
  // What arrives later goes below the button, so it never moves under a finger.
  fill(main,
    h("h1", {}, "Paired"),
    h("p", { class: "note ok", role: "status" }, device && device.name ? `This phone is paired as “${device.name}”.` : "This phone is paired."),
    h("div", { class: "actions" }, h("a", { class: "button primary", href: "/", "data-nav": "" }, "See requests")),
    h("div", { id: "after-pair-push" }),
    installHint());
  pushCard(document.getElementById("after-pair-push"));
}

let installPrompt = null;
addEventListener("beforeinstallprompt", (event) => {
  event.preventDefault();
  installPrompt = event;
  const slot = document.getElementById("install");
  if (slot) slot.replaceWith(installHint());
});

function installHint() {
  if (isStandalone()) return h("div", { id: "install" });
  if (installPrompt) {
    return h("div", { id: "install", class: "card" },
      h("p", {}, "Install Ringlark to open it with one tap, like an app."),
      h("button", { type: "button", onclick: async () => {
        const prompt = installPrompt;
        installPrompt = null;
        prompt.prompt();
        await prompt.userChoice.catch(() => null);
        document.getElementById("install").replaceWith(installHint());
      } }, "Install Ringlark"));
  }
  if (isIOS()) {
    return h("p", { id: "install", class: "muted small" }, "Tip: Share → Add to Home Screen puts Ringlark one tap away and lets it ring.");
  }
  if (isAndroid()) {
    return h("p", { id: "install", class: "muted small" }, "Tip: in the browser's menu (⋮), choose Install app or Add to Home screen.");
  }
  return h("div", { id: "install" });
}

function unpairedView() {
  setTitle("Not paired");
  const ios = isIOS() && isStandalone();
  main.append(
    h("h1", {}, "This phone is not paired"),
    h("p", {}, "Your computer answers only phones paired with it. To pair this one:"),
    h("ol", { class: "steps" },
      h("li", {}, "On your computer, open Ringlark's menu in the tray and choose ", h("strong", {}, "Pair Phone…"), "."),
      ios ? h("li", {}, "Delete Ringlark from this Home Screen: the new code must reach a freshly added app.") : null,
      h("li", {}, "Scan the QR code with this phone's camera and open the link.")));
}

// ---------------------------------------------------------------- notifications

function base64UrlBytes(text) {
  const plain = atob(text.replace(/-/g, "+").replace(/_/g, "/").padEnd(Math.ceil(text.length / 4) * 4, "="));
  return Uint8Array.from(plain, (c) => c.charCodeAt(0));
}

function sameKey(buffer, text) {
  if (!buffer) return false;
  const a = new Uint8Array(buffer);
  const b = base64UrlBytes(text);
  return a.length === b.length && a.every((byte, i) => byte === b[i]);
}

function withTimeout(promise, ms, message) {
  return Promise.race([promise, sleep(ms).then(() => { throw new Error(message); })]);
}

async function pushCard(box) {
  const supported = "serviceWorker" in navigator && "PushManager" in window && "Notification" in window;
  if (!supported) {
    fill(box, h("div", { class: "card" }, h("p", {}, isIOS() && !isStandalone()
      ? "To get notifications on iPhone, add Ringlark to your Home Screen (Share → Add to Home Screen) and open it from there."
      : "This browser cannot show notifications from Ringlark. Keep this page open to see requests.")));
    return;
  }
  if (Notification.permission === "denied") {
    fill(box, h("p", { class: "note error" },
      "Notifications are blocked for Ringlark. Allow them in the browser's settings for this site, then reload."));
    return;
  }
  const reply = await api("GET", "/push");
  if (reply.status !== 200 || !reply.data || typeof reply.data.vapid_public_key !== "string") return;
  const key = reply.data.vapid_public_key;
  let registration = null;
  let existing = null;
  try {
    registration = await withTimeout(navigator.serviceWorker.ready, 5000, "no service worker");
    existing = await registration.pushManager.getSubscription();
  } catch (_) { /* offered below */ }
  if (existing && Notification.permission === "granted" && sameKey(existing.options.applicationServerKey, key)) {
    if (reply.data.subscribed) return fill(box);
    // The computer forgot this phone's subscription (re-paired): tell it again.
    const put = await api("PUT", "/push", existing.toJSON());
    if (put.status === 200) return fill(box);
  }
  const status = h("div", { role: "status" });
  const button = h("button", { type: "button", class: "primary wide", onclick: async () => {
    button.disabled = true;
    fill(status, h("p", { class: "muted" }, "Turning on notifications…"));
    const problem = await subscribe(key);
    button.disabled = false;
    if (!problem) {
      fill(box, h("p", { class: "note ok", role: "status" }, "Notifications are on. This phone rings when an agent needs you."));
      return;
    }
    fill(status, h("p", { class: "note error" }, problem));
  } }, "Turn on notifications");
  fill(box, h("div", { class: "card" },
    h("p", {}, "Let this phone ring when an agent needs you, even when Ringlark is closed."),
    button, status));
}

// Returns what went wrong, or nothing when the computer has the subscription.
async function subscribe(key) {
  try {
    const permission = await Notification.requestPermission();
    if (permission !== "granted") return "Notifications were not allowed. You can allow them in the browser's settings for this site.";
    const registration = await withTimeout(navigator.serviceWorker.ready, 10000, "The notification service did not start.");
    let subscription = await registration.pushManager.getSubscription();
    if (subscription && !sameKey(subscription.options.applicationServerKey, key)) {
      await subscription.unsubscribe();
      subscription = null;
    }
    if (!subscription) {
      subscription = await withTimeout(
        registration.pushManager.subscribe({ userVisibleOnly: true, applicationServerKey: base64UrlBytes(key) }),
        20000, "The browser's push service did not answer. Check the connection and try again.");
    }
    const reply = await api("PUT", "/push", subscription.toJSON());
    if (reply.status === 200) return null;
    return reply.status === 0 ? "Your computer cannot be reached." : errorText(reply.data, `Your computer refused (error ${reply.status}).`);
  } catch (error) {
    return error && error.message ? error.message : "Notifications could not be turned on.";
  }
}

// ---------------------------------------------------------------- devices

async function devicesCard(box) {
  fill(box, h("p", { class: "muted" }, "Loading…"));
  const reply = await api("GET", "/devices");
  if (reply.status !== 200 || !reply.data || !Array.isArray(reply.data.devices)) {
    fill(box, h("p", { class: "muted" }, reply.status === 0 ? "Shown when your computer can be reached." : "Could not load the devices."));
    return;
  }
  fill(box, h("ul", { class: "devices card" }, reply.data.devices.map((device) => {
    const seen = device.last_seen ? ["Last seen ", age(device.last_seen)] : device.paired_at ? ["Paired ", age(device.paired_at)] : [];
    return h("li", {},
      h("div", { class: "who" },
        h("span", { class: "name-row" }, h("strong", {}, device.name || "Unnamed device"),
          device.this ? h("span", { class: "badge" }, "this phone") : null),
        h("span", { class: "meta" }, seen, device.push ? " · notifications on" : "")),
      h("button", { type: "button", class: "danger", "aria-label": `Remove ${device.name || "device"}`,
        onclick: () => removeDevice(device, box) }, "Remove"));
  })));
}

async function removeDevice(device, box) {
  const question = device.this
    ? `Remove this phone (“${device.name}”)? It will stop getting requests until you pair it again.`
    : `Remove “${device.name}”? It will stop getting requests until it is paired again.`;
  if (!confirm(question)) return;
  const reply = await api("DELETE", `/devices/${encodeURIComponent(device.id)}`, {});
  if (reply.status === 200 && device.this) return becomeUnpaired();
  if (reply.status !== 200 && reply.status !== 401) alert(errorText(reply.data, "The device could not be removed."));
  devicesCard(box);
}

// ---------------------------------------------------------------- start

if ("serviceWorker" in navigator) {
  navigator.serviceWorker.register("/sw.js", { scope: "/" }).catch(() => {});
  // A tapped notification asks an open page to show its request.
  navigator.serviceWorker.addEventListener("message", (event) => {
    const url = event.data && event.data.type === "open" ? String(event.data.url || "") : "";
    if (url.startsWith("/") && !url.startsWith("//")) go(url);
  });
}

// Back from the browser's page cache: the window view was stopped on the way out.
addEventListener("pageshow", (event) => {
  if (event.persisted) {
    route();
    wakePoll();
  }
});

route();
pollLoop();
