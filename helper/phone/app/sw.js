// Ringlark's service worker: keeps the app's shell for when the computer
// cannot be reached, shows pushed requests and opens them when tapped.
// The build replaces the version below with a digest of the other files, so
// any change to the app installs a fresh cache.

const CACHE = "ringlark-shell-__SHELL_VERSION__";
const SHELL = ["/", "/app.js", "/app.css", "/icon-192.png", "/apple-touch-icon.png"];
const NETWORK_WAIT_MS = 4000;

self.addEventListener("install", (event) => {
  event.waitUntil(caches.open(CACHE).then((cache) => cache.addAll(SHELL)).then(() => self.skipWaiting()));
});

self.addEventListener("activate", (event) => {
  event.waitUntil(caches.keys()
    .then((names) => Promise.all(names.filter((name) => name.startsWith("ringlark-shell-") && name !== CACHE)
      .map((name) => caches.delete(name))))
    .then(() => self.clients.claim()));
});

const isAppPage = (path) => path === "/" || path === "/pair" || path.startsWith("/r/");

// The network first, so a new app arrives at once; the cached shell when the
// computer does not answer soon or only its proxy answers (502, 504).
async function page(request) {
  const network = fetch(request);
  network.catch(() => {});
  let response = null;
  try {
    response = await Promise.race([network, new Promise((resolve) => setTimeout(resolve, NETWORK_WAIT_MS, null))]);
    if (response && response.ok) return response;
  } catch (_) { /* offline */ }
  const cached = await caches.match("/", { cacheName: CACHE });
  return cached || response || network;
}

async function shellFile(request) {
  const cached = await caches.match(request, { cacheName: CACHE });
  return cached || fetch(request);
}

self.addEventListener("fetch", (event) => {
  const url = new URL(event.request.url);
  if (event.request.method !== "GET" || url.origin !== self.location.origin || url.pathname.startsWith("/api/")) return;
  if (event.request.mode === "navigate" && isAppPage(url.pathname)) event.respondWith(page(event.request));
  else if (SHELL.includes(url.pathname) && url.pathname !== "/" && !url.search) event.respondWith(shellFile(event.request));
});

function sameOriginPath(value, fallback) {
  return typeof value === "string" && value.startsWith("/") && !value.startsWith("//") ? value : fallback;
}

async function onPush(data) {
  if (data && data.type === "ended") {
    const id = typeof data.id === "string" ? data.id : "";
    if (id) for (const shown of await self.registration.getNotifications({ tag: id })) shown.close();
    return;
  }
  const id = data && typeof data.id === "string" ? data.id : "";
  const text = (value) => (typeof value === "string" ? value : "");
  const title = text(data && data.reason) || "An agent needs you";
  const body = [text(data && data.agent), text(data && data.ask)].filter(Boolean).join(" · ");
  const url = sameOriginPath(data && data.url, id ? `/r/${encodeURIComponent(id)}` : "/");
  const options = { body, data: { url }, icon: "/icon-192.png", badge: "/icon-192.png" };
  if (id) Object.assign(options, { tag: id, renotify: true });
  await self.registration.showNotification(title, options);
}

// Every push shows something: a phone is entitled to stop delivering pushes
// that show nothing.
self.addEventListener("push", (event) => {
  let data = null;
  try { data = event.data ? event.data.json() : null; } catch (_) { data = null; }
  event.waitUntil(onPush(data));
});

self.addEventListener("notificationclick", (event) => {
  event.notification.close();
  const path = sameOriginPath(event.notification.data && event.notification.data.url, "/");
  const target = new URL(path, self.location.origin).href;
  event.waitUntil((async () => {
    const open = await self.clients.matchAll({ type: "window", includeUncontrolled: true });
    const same = open.find((client) => client.url === target);
    if (same) return same.focus();
    if (open.length) {
      const client = await open[0].focus();
      (client || open[0]).postMessage({ type: "open", url: path });
      return client;
    }
    return self.clients.openWindow(target);
  })());
});
