#!/usr/bin/env bash
# Builds a throw-away sample board, posts into it and shows what was stored.
set -euo pipefail
build=${1:-build}
bin=$(cd "$build" && pwd)
board=$(mktemp -d "${TMPDIR:-/tmp}/drayline-demo-XXXXXX")
trap 'rm -rf "$board"' EXIT
"$bin/draybase" newboard "$board"
cd "$board"
printf 'Hello from the demo.\nThis message was posted by drayline.\n' > hello.txt
"$bin/drayline" 0 Sysop All Demo_post hello.txt
echo
echo "== Files of the JAM base"
ls -l data/msgs 2>/dev/null || ls -l msgs
