#!/usr/bin/env bash
# Takes the README's screenshots from the running application: a private X
# display (Xvfb) with a tray (trayer), a temporary home and a spare port, so
# nothing of yours is touched. Writes docs/menu.png, docs/setup.png and
# docs/pairing.png.
set -euo pipefail
cd "$(dirname "$0")/.."
# BUILD_DIR names an existing build to use as it is; by default build/ is brought up to date.
build=${BUILD_DIR:-build}
[ -n "${BUILD_DIR:-}" ] || bash scripts/build.sh Ringlark ringlark >/dev/null

for tool in Xvfb trayer xdotool import convert; do
  command -v "$tool" >/dev/null || { echo "screenshots: needs $tool (xvfb trayer xdotool imagemagick)" >&2; exit 1; }
done

work=$(mktemp -d)
display=:$((90 + RANDOM % 9))
port=$((20000 + RANDOM % 20000))
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

Xvfb "$display" -screen 0 1280x960x24 -nolisten tcp >/dev/null 2>&1 & pids+=($!)
export DISPLAY=$display
for _ in $(seq 50); do xdotool getdisplaygeometry >/dev/null 2>&1 && break; sleep 0.1; done
# A light panel along the top edge, icons at its right end.
trayer --edge top --align right --widthtype request --height 28 --SetDockType true \
  --transparent false --tint 0xdddddd >/dev/null 2>&1 & pids+=($!)

# A stand-in Tailscale, logged in and running, so every part of the windows shows.
mkdir -p "$work/bin"
cat >"$work/bin/tailscale" <<'JSON'
#!/bin/sh
cat <<'END'
{"BackendState":"Running","Self":{"DNSName":"workstation.tail1234.ts.net.","HostName":"workstation","TailscaleIPs":["100.101.102.103"],"UserID":7},"User":{"7":{"LoginName":"ada@example.com"}}}
END
JSON
chmod +x "$work/bin/tailscale"
cp /bin/sleep "$work/bin/tailscaled"
"$work/bin/tailscaled" 600 & pids+=($!)
export PATH=$work/bin:$PATH

export HOME=$work/home XDG_RUNTIME_DIR=$work/run XDG_CONFIG_HOME=$work/home/.config RINGLARK_PORT=$port RINGLARK_PHONE_PORT=$((port + 1))
mkdir -p "$HOME" "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
export QT_QPA_PLATFORM=xcb QT_QPA_PLATFORMTHEME= QT_STYLE_OVERRIDE=Fusion
"$build"/Ringlark.app/Contents/MacOS/Ringlark >"$work/ringlark.log" 2>&1 & pids+=($!)

window() { # waits for a window by title, prints its id
  for _ in $(seq 100); do
    id=$(xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | head -1) && [ -n "$id" ] && { echo "$id"; return; }
    sleep 0.1
  done
  echo "screenshots: no window \"$1\"" >&2; exit 1
}

# Raise a help request as an agent would, so the menu has something to show.
helper="$build"/Ringlark.app/Contents/Helpers/ringlark
for _ in $(seq 100); do [ -S "$HOME/.ringlark/daemon.sock" ] || [ -f "$HOME/.ringlark/daemon.pid" ] && break; sleep 0.1; done
sleep 1
printf '%s\n' \
  '{"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2025-06-18","capabilities":{},"clientInfo":{"name":"sh","version":"1"}}}' \
  '{"jsonrpc":"2.0","method":"notifications/initialized"}' \
  '{"jsonrpc":"2.0","id":2,"method":"tools/call","params":{"name":"request_human","arguments":{"reason":"Sign in to GitHub","ask":"Approve the device code 4F2A-91C3","app":"Firefox"}}}' \
  | (cat; sleep 60) | RINGLARK_AGENT="Claude Code" "$helper" mcp >/dev/null 2>&1 & pids+=($!)

setup=$(window "Ringlark Setup")
sleep 2.5
import -window "$setup" docs/setup.png

# The tray icon is the rightmost thing on the panel; its menu opens below it.
# "Done" (the default button) closes the setup window.
xdotool windowactivate --sync "$setup" key Return 2>/dev/null || xdotool key Return
sleep 0.5
read -r width _ < <(xdotool getdisplaygeometry)
xdotool mousemove $((width - 14)) 14 click 1
sleep 1
import -window root -crop 520x420+$((width - 520))+0 docs/menu.png

# "Pair Phone…" is the first entry below the request's submenu.
xdotool key Escape
sleep 0.3
xdotool mousemove $((width - 14)) 14 click 1
sleep 0.6
xdotool key Down Down Return
pairing=$(window "Pair Your Phone")
sleep 1.5
import -window "$pairing" docs/pairing.png

echo "screenshots: wrote docs/menu.png docs/setup.png docs/pairing.png"
