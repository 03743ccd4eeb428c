#!/usr/bin/env bash
# Takes the tray's screenshots from the running application on a private X
# display (Xvfb, 1366×768) with an XEmbed panel (trayer), a temporary home
# and a spare port, so nothing of yours is touched. Writes
#   docs/icon-dark-panel.png   the icon on a black panel: ready, dimmed, 3 and 9+ requests
#   docs/icon-light-panel.png  the same on a white panel
#   docs/menu-30-requests.png  the menu with 30 long requests, the first one open
# Needs xvfb trayer xdotool imagemagick curl.
set -euo pipefail
cd "$(dirname "$0")/.."
# BUILD_DIR names an existing build to use as it is; by default build/ is brought up to date.
build=${BUILD_DIR:-build}
[ -n "${BUILD_DIR:-}" ] || bash scripts/build.sh Ringlark ringlark >/dev/null

for tool in Xvfb trayer xdotool import convert curl; do
  command -v "$tool" >/dev/null || { echo "tray-screenshots: needs $tool (xvfb trayer xdotool imagemagick curl)" >&2; exit 1; }
done

work=$(mktemp -d)
display=:$((60 + RANDOM % 20))
port=$((20000 + RANDOM % 20000))
pids=()
panel=
cleanup() {
  for pid in "${pids[@]}" $panel; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

Xvfb "$display" -screen 0 1366x768x24 -nolisten tcp >/dev/null 2>&1 & pids+=($!)
export DISPLAY=$display
for _ in $(seq 50); do xdotool getdisplaygeometry >/dev/null 2>&1 && break; sleep 0.1; done
start_panel() { # tint: a panel along the top edge, icons at its right end
  [ -z "$panel" ] || { kill "$panel"; wait "$panel" 2>/dev/null || true; }
  trayer --edge top --align right --widthtype pixel --width 64 --height 28 --SetDockType true \
    --transparent true --alpha 0 --tint "$1" >/dev/null 2>&1 &
  panel=$!
  sleep 1.5
}

# A stand-in Tailscale, logged in and running.
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

export HOME=$work/home XDG_RUNTIME_DIR=$work/run XDG_CONFIG_HOME=$work/home/.config RINGLARK_PORT=$port
export RINGLARK_TEST_HOOKS=1
mkdir -p "$HOME" "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
# No session bus: the icon goes to the XEmbed panel, which draws nothing of its own.
export QT_QPA_PLATFORM=xcb QT_QPA_PLATFORMTHEME= QT_STYLE_OVERRIDE=Fusion DBUS_SESSION_BUS_ADDRESS=disabled:
start_panel 0x000000
"$build"/Ringlark.app/Contents/MacOS/Ringlark >"$work/ringlark.log" 2>&1 & pids+=($!)

token=
api() { # method path [body]
  curl -fsS -X "$1" -H "X-Ringlark-Token: $token" -H 'Content-Type: application/json' \
    ${3:+--data "$3"} "http://127.0.0.1:$port$2" >/dev/null
}
for _ in $(seq 100); do [ -s "$HOME/.ringlark/daemon.token" ] && break; sleep 0.1; done
token=$(cat "$HOME/.ringlark/daemon.token")
sleep 2

# The setup window opens at launch; "Done" (the default button) closes it.
for _ in $(seq 100); do
  setup=$(xdotool search --onlyvisible --name '^Ringlark Setup$' 2>/dev/null | head -1) && [ -n "$setup" ] && break
  sleep 0.1
done
if [ -n "${setup:-}" ]; then
  sleep 0.5
  xdotool windowfocus --sync "$setup" 2>/dev/null && xdotool key Return
fi

request() { # n: a request with a long reason and question
  api POST /v1/requests "{\"reason\":\"Request $1: approve the database migration for the staging cluster before tonight's build & deploy runs\",\"ask\":\"Which of the three migration plans should run first, and may it restart the payments_service while it runs?\",\"agent\":\"Claude Code\",\"app\":\"Terminal\"}"
}

read -r width _ < <(xdotool getdisplaygeometry)
shoot_icon() { # file: the panel, enlarged so the pixels show
  sleep 2.6
  import -window root -crop 64x28+$((width - 64))+0 +repage -filter point -resize 400% "$1"
}

icon_states() { # name: ready, dimmed, 3 requests, 9+ requests, side by side
  local out=$1
  api DELETE /x/status || true
  shoot_icon "$work/$out-ready.png"
  api PUT /x/status '{"version":"1.0","session_active":false,"pending":0,"tailscale":{"ok":false,"error":"not connected"},"permissions":{"screen_recording":true,"accessibility":true},"push":{"mode":"direct","devices":1}}'
  shoot_icon "$work/$out-dimmed.png"
  api DELETE /x/status
  for n in $(seq 1 3); do request "$n"; done
  shoot_icon "$work/$out-3.png"
  for n in $(seq 4 12); do request "$n"; done
  shoot_icon "$work/$out-many.png"
  convert "$work/$out-ready.png" "$work/$out-dimmed.png" "$work/$out-3.png" "$work/$out-many.png" \
    -bordercolor '#7f7f7f' -border 6 +append "docs/$out.png"
}

icon_states icon-dark-panel
# Back to no requests for the light panel: they end when the person dismisses them.
for id in $(curl -fsS -H "X-Ringlark-Token: $token" "http://127.0.0.1:$port/v1/requests" | grep -o '"id":"[^"]*"' | cut -d'"' -f4); do
  api POST "/v1/requests/$id/cancel"
done
start_panel 0xffffff
icon_states icon-light-panel

# Thirty requests, the menu open from the icon, the first request's submenu beside it.
for n in $(seq 13 30); do request "$n"; done
sleep 2.6
xdotool mousemove $((width - 14)) 14 click 1
sleep 1
# The menu is the widest window of ours on screen (the icon is the other).
menu=$(for w in $(xdotool search --onlyvisible --class Ringlark 2>/dev/null); do
  eval "$(xdotool getwindowgeometry --shell "$w")"; echo "$WIDTH $w"; done | sort -n | tail -1 | cut -d' ' -f2)
if [ -n "$menu" ]; then
  eval "$(xdotool getwindowgeometry --shell "$menu")"
  # The first request sits below the headline, the detail, a separator and "Waiting for you".
  xdotool mousemove $((X + WIDTH / 2)) $((Y + 78))
  sleep 1.2
fi
import -window root docs/menu-30-requests.png

echo "tray-screenshots: wrote docs/icon-dark-panel.png docs/icon-light-panel.png docs/menu-30-requests.png"
