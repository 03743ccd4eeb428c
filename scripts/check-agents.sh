#!/usr/bin/env bash
# Checks the connections against the real agents, offline: installs Claude Code
# and Codex from npm into a temporary folder, connects each with the built
# application in temporary homes (every Codex configuration form of
# tests/fixtures/codex-config), asks the agents' own `mcp list`, and runs one
# whole session per agent against a fake model server while the real helper
# daemon runs. Not part of the test suite: it downloads about 700 MB.
#
#   scripts/check-agents.sh            # after scripts/build.sh Ringlark ringlark
#
# RINGLARK_AGENTS_DIR=<folder> keeps the installed agents there and reuses them
# on the next run; RINGLARK_KEEP_WORK=1 keeps the temporary homes and logs.
# Nothing outside the temporary folders is touched.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
app=$root/build/Ringlark.app/Contents/MacOS/Ringlark
helper=$root/build/Ringlark.app/Contents/Helpers/ringlark
forms=$root/tests/fixtures/codex-config
for program in "$app" "$helper"; do
  [ -x "$program" ] || { echo "missing $program: run scripts/build.sh Ringlark ringlark first" >&2; exit 2; }
done
command -v npm >/dev/null && command -v curl >/dev/null && command -v python3 >/dev/null ||
  { echo "needs npm, curl and python3" >&2; exit 2; }

work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do pkill -P "$pid" 2>/dev/null; kill "$pid" 2>/dev/null; done
  wait 2>/dev/null
  if [ -n "${RINGLARK_KEEP_WORK:-}" ]; then echo "kept $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT

passed=0 failed=0
# check <name> <command...>: one line per check.
check() {
  local name=$1; shift
  if "$@"; then
    echo "ok   $name"; passed=$((passed + 1))
  else
    echo "FAIL $name"; failed=$((failed + 1))
  fi
}
# Shows a file indented under a failed check.
show() { sed 's/^/       | /' "$1" | tail -n "${2:-15}"; }

# --- the agents --------------------------------------------------------------
agents=${RINGLARK_AGENTS_DIR:-$work/agents}
bin=$agents/node_modules/.bin
if [ ! -x "$bin/claude" ] || [ ! -x "$bin/codex" ]; then
  echo "installing Claude Code and Codex into $agents (about 700 MB)..."
  mkdir -p "$agents"
  npm_config_cache=$agents/npm-cache npm install --prefix "$agents" --no-audit --no-fund --loglevel=error \
    @anthropic-ai/claude-code @openai/codex >"$work/npm.log" 2>&1 ||
    { show "$work/npm.log"; echo "0 passed, 1 failed"; exit 1; }
fi
echo "Claude Code $("$bin/claude" --version 2>/dev/null | head -1), $(HOME=$work "$bin/codex" --version 2>/dev/null | tail -1)"

# A fresh home: agents on ~/.local/bin, where the application looks first, and
# their configuration folders named as the agents honour them.
new_home() {
  local home=$work/home-$1
  mkdir -p "$home/.local/bin" "$home/claude-config" "$home/codex-home"
  ln -s "$bin/claude" "$home/.local/bin/claude"
  ln -s "$bin/codex" "$home/.local/bin/codex"
  echo "$home"
}
# The environment of that home, as arguments for env.
home_env() {
  local home=$1
  home_vars=(HOME="$home" CLAUDE_CONFIG_DIR="$home/claude-config" CODEX_HOME="$home/codex-home"
    PATH="$home/.local/bin:$PATH" QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR="$home/run"
    DISABLE_AUTOUPDATER=1 DISABLE_TELEMETRY=1 CLAUDE_CODE_DISABLE_NONESSENTIAL_TRAFFIC=1)
}
# Runs a command in that home's environment.
in_home() { home_env "$1"; shift; env "${home_vars[@]}" "$@"; }
connect() { in_home "$1" "$app" --connect "$2" >"$1/connect-$2.log" 2>&1; }
listed() { # <home> <agent>: its own `mcp list` names ringlark with this build's helper
  in_home "$1" timeout 60 "$bin/$2" mcp list >"$1/list-$2.log" 2>&1
  grep -q ringlark "$1/list-$2.log" && grep -qF "$helper" "$1/list-$2.log"
}

# --- connecting --------------------------------------------------------------
home=$(new_home claude)
check "claude: Ringlark --connect claude-code" connect "$home" claude-code || show "$home/connect-claude-code.log"
check "claude: claude mcp list shows ringlark" listed "$home" claude || show "$home/list-claude.log"

for form in "$forms"/*.toml; do
  name=$(basename "$form" .toml)
  home=$(new_home "codex-$name")
  # A form whose other settings Codex itself refuses says nothing about our edit.
  grep -v '^~' "$form" >"$home/codex-home/config.toml"
  if ! in_home "$home" timeout 60 "$bin/codex" mcp list >"$home/before.log" 2>&1; then
    echo "skip codex form $name: Codex refuses its other settings: $(grep -v '^WARNING' "$home/before.log" | tr -s '\n ' ' ' | sed 's/ *Stack backtrace.*//' | cut -c1-160)"
    continue
  fi
  # The form as a user would have it: the test's marks of our own lines removed.
  sed 's/^~//' "$form" >"$home/codex-home/config.toml"
  check "codex form $name: Ringlark --connect codex" connect "$home" codex || show "$home/connect-codex.log"
  check "codex form $name: codex mcp list shows ringlark" listed "$home" codex ||
    { show "$home/list-codex.log"; show "$home/codex-home/config.toml" 40; }
done

# --- whole sessions ----------------------------------------------------------
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
wait_for() { # <seconds> <command...>
  local deadline=$((SECONDS + $1)); shift
  until "$@"; do [ $SECONDS -lt $deadline ] || return 1; sleep 0.5; done
}

# start_session <home>: the daemon and the fake model for that home.
start_session() {
  local home=$1
  port=$(free_port)
  token_file=$home/.ringlark/daemon.token
  home_env "$home"
  env "${home_vars[@]}" RINGLARK_PORT="$port" RINGLARK_TEST_HOOKS=1 "$helper" daemon >"$home/daemon.out" 2>&1 &
  pids+=($!)
  reason="Sign in to the staging server $RANDOM"
  ask="Type the one-time code shown on your phone"
  python3 "$root/scripts/agents/fake_model.py" --log "$home/model.log" --port-file "$home/model.port" \
    --reason "$reason" --ask "$ask" >"$home/model.out" 2>&1 &
  pids+=($!)
  wait_for 10 test -s "$home/model.port" && wait_for 10 daemon_get /v1/status >/dev/null
}
daemon_get() { curl -sf -H "X-Ringlark-Token: $(cat "$token_file" 2>/dev/null)" "http://127.0.0.1:$port$1"; }
daemon_post() {
  curl -sf -X POST -H "X-Ringlark-Token: $(cat "$token_file")" -H 'Content-Type: application/json' \
    --data "$2" "http://127.0.0.1:$port$1" >/dev/null
}
# The id of the open request with our reason, once the agent has raised it.
raised() {
  request_id=$(daemon_get /v1/requests | python3 -c '
import json, sys
for request in json.load(sys.stdin):
    if request.get("reason") == sys.argv[1]:
        print(request["id"]); break' "$reason" 2>/dev/null)
  [ -n "$request_id" ]
}
model_got_answer() { grep '"event": "tool_result"' "$1/model.log" 2>/dev/null | grep -qF "$answer"; }

# Points Codex at the fake model; the application's edit must keep it.
codex_provider() {
  cat >"$1/codex-home/config.toml" <<TOML
model = "fake-model"
model_provider = "fake"

[model_providers.fake]
name = "Fake"
base_url = "http://127.0.0.1:$(cat "$1/model.port")/v1"
env_key = "RINGLARK_FAKE_KEY"
wire_api = "responses"
request_max_retries = 0
stream_max_retries = 0
TOML
}

prompt="You need a person to sign in for you. Ask them with the request_human tool."

# session <agent>: connects it in a fresh home, runs it, answers its request,
# and checks the round trip.
session() {
  local agent=$1 home
  home=$(new_home "$agent-session")
  answer="code 417-$RANDOM"
  if ! start_session "$home"; then
    check "$agent session: daemon and fake model start" false; show "$home/daemon.out"; return
  fi
  local model=http://127.0.0.1:$(cat "$home/model.port") command
  case $agent in
  claude)
    connect "$home" claude-code
    command=(env ANTHROPIC_BASE_URL="$model" ANTHROPIC_API_KEY=sk-ringlark-fake
             "$bin/claude" -p "$prompt" --model claude-sonnet-4-5 --output-format text) ;;
  codex)
    codex_provider "$home"
    connect "$home" codex
    command=(env RINGLARK_FAKE_KEY=fake "$bin/codex" exec --skip-git-repo-check "$prompt") ;;
  esac
  home_env "$home"
  (cd "$home" && exec env "${home_vars[@]}" timeout 180 "${command[@]}" >"$home/agent.out" 2>&1 </dev/null) &
  local agent_pid=$!
  pids+=($agent_pid)
  request_id=
  check "$agent session: the request shows in GET /v1/requests" wait_for 150 raised ||
    { show "$home/agent.out"; show "$home/model.log"; }
  if [ -n "$request_id" ]; then
    check "$agent session: POST /v1/requests/{id}/resolve" \
      daemon_post "/v1/requests/$request_id/resolve" "{\"answer\": \"$answer\"}"
  fi
  wait "$agent_pid"
  local status=$?
  check "$agent session: the model received the answer in the tool result" model_got_answer "$home" ||
    { show "$home/model.log"; show "$home/agent.out"; }
  check "$agent session: the agent exits 0 with the model's final text" \
    test "$status" -eq 0 -a -n "$(grep -l "all done" "$home/agent.out")" || show "$home/agent.out"
}

session claude
session codex

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
