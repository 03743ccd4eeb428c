#!/usr/bin/env bash
# Builds Ringlark and runs it; the application supervises its stand-in helper daemon.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh Ringlark ringlark
exec build/Ringlark.app/Contents/MacOS/Ringlark "$@"
