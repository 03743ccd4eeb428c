#!/bin/bash
# What the application and its daemon cost while nothing happens.
#
# usage: bench/idle.sh [seconds] [build-dir]
#   seconds    length of the idle window (default 60)
#   build-dir  an existing build tree holding Ringlark.app; without one a
#              Release build is made in build-bench/ next to this folder
#
# Runs the application on a private Xvfb display with a tray host, with a
# temporary HOME, lets it start its daemon, waits for the first polls to
# settle, then samples /proc over the window (see procstat.py).
set -euo pipefail

seconds=${1:-60}
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
build=${2:-}
# The daemon asks Tailscale often in its first 30 s, and threads from the
# application's start-up end 30 s after their last job: idle comes after both.
settle=${SETTLE_SECONDS:-40}

if [[ -z $build ]]; then
    build=$root/build-bench
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DRINGLARK_TESTS=OFF >/dev/null
    cmake --build "$build" --target Ringlark ringlark -j2 >/dev/null
fi
app=$build/Ringlark.app/Contents/MacOS/Ringlark
[[ -x $app ]] || { echo "no application at $app" >&2; exit 1; }

# A spare port, so an installed copy on 8641 can keep running.
port=${RINGLARK_PORT:-$((20000 + RANDOM % 20000))}
export RINGLARK_PHONE_PORT=${RINGLARK_PHONE_PORT:-$((port + 1))}

display=
for n in $(seq 90 120); do
    if [[ ! -e /tmp/.X11-unix/X$n && ! -e /tmp/.X$n-lock ]]; then display=:$n; break; fi
done
[[ -n $display ]] || { echo "no spare X display" >&2; exit 1; }

home=$(mktemp -d /tmp/ringlark-bench.XXXXXX)
pids=()
cleanup() {
    # One at a time, newest first: the application quits (and stops its
    # daemon) while its display is still there.
    for ((i=${#pids[@]}-1; i>=0; i--)); do
        kill "${pids[i]}" 2>/dev/null || true
        wait "${pids[i]}" 2>/dev/null || true
    done
    rm -rf "$home"
}
trap cleanup EXIT

Xvfb "$display" -screen 0 1280x800x24 -nolisten tcp >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 50); do [[ -e /tmp/.X11-unix/X${display#:} ]] && break; sleep 0.1; done
DISPLAY=$display trayer --edge top --align right --widthtype request >/dev/null 2>&1 &
pids+=($!)

# TAILSCALE=ready puts a stand-in Tailscale (logged in, running) on the PATH,
# as on a user's machine; otherwise Tailscale reads as not installed, which
# makes the application look for it on every poll.
if [[ ${TAILSCALE:-} == ready ]]; then
    mkdir -p "$home/bin"
    cat >"$home/bin/tailscale" <<'EOF'
#!/bin/sh
case "$1 $2" in
"status --json") echo '{"BackendState":"Running","Self":{"HostName":"bench","DNSName":"bench.example.ts.net.","TailscaleIPs":["100.64.0.1"],"UserID":1},"User":{"1":{"LoginName":"bench@example.com"}},"CertDomains":["bench.example.ts.net"]}' ;;
"serve status") echo '{}' ;;
esac
EOF
    chmod +x "$home/bin/tailscale"
    export PATH=$home/bin:$PATH
fi

RINGLARK_PORT=$port HOME=$home DISPLAY=$display "$app" >"$home/app.log" 2>&1 &
apppid=$!
pids+=($apppid)

daemonpid=
for _ in $(seq 100); do
    daemonpid=$(pgrep -P "$apppid" -x ringlark || true)
    [[ -n $daemonpid ]] && break
    sleep 0.1
done
[[ -n $daemonpid ]] || { echo "the application started no daemon" >&2; cat "$home/app.log" >&2; exit 1; }

sleep 3
# Idle means no window open: "Done" (Return) closes the setup window that
# opens at launch.
if command -v xdotool >/dev/null; then
    setup=$(DISPLAY=$display xdotool search --onlyvisible --name '^Ringlark Setup$' 2>/dev/null | head -1 || true)
    [[ -n $setup ]] && DISPLAY=$display xdotool windowfocus --sync "$setup" key Return 2>/dev/null || true
fi

# The yardstick: the least a Qt tray application polling this daemon costs
# on this machine, measured in the same window (YARDSTICK=0 leaves it out).
beside=()
if [[ ${YARDSTICK:-1} != 0 ]]; then
    cmake -S "$here/yardstick" -B "$root/build-yardstick" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build "$root/build-yardstick" >/dev/null
    DISPLAY=$display "$root/build-yardstick/yardstick" "$port" "$home/.ringlark/daemon.token" >/dev/null 2>&1 &
    pids+=($!)
    beside+=("+yardstick=$!")
fi

# REFERENCE_PID: any other running process to measure in the same window,
# such as another tray application (see README).
[[ -n ${REFERENCE_PID:-} ]] && beside+=("+reference=$REFERENCE_PID")

sleep "$settle"
echo "build: $build"
echo "daemon: $(readlink -f /proc/$daemonpid/exe) (pid $daemonpid), app pid $apppid"
/usr/bin/python3 "$here/procstat.py" "$seconds" app="$apppid" daemon="$daemonpid" "${beside[@]}"
