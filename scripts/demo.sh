#!/usr/bin/env bash
# Makes a throw-away sample board, posts into its JAM base and its Squish
# base with drayline and shows what was stored (the JAM base as draybase
# lists it).
#
#   scripts/demo.sh [BUILD_DIR]     (make demo runs it on build/)
set -euo pipefail
build=${1:-build}
bin=$(cd "$build" && pwd)
board=$(mktemp -d "${TMPDIR:-/tmp}/drayline-demo-XXXXXX")
trap 'rm -rf "$board"' EXIT

echo "== draybase newboard $board"
"$bin/draybase" newboard "$board"
cd "$board"

cat > welcome.txt <<'TEXT'
Welcome to the board!

This message was posted by drayline from a plain text file.
Lines longer than 78 characters are cut, and at most 200 lines are posted.
TEXT

echo
echo "== drayline 0 Sysop All Welcome_to_the_board welcome.txt"
"$bin/drayline" 0 Sysop All Welcome_to_the_board welcome.txt

echo
echo "== drayline 0 Sysop All From_standard_input ''   (text on standard input)"
printf 'An empty file name reads standard input.\r\n' |
  "$bin/drayline" 0 Sysop All From_standard_input ''

echo
echo "== draybase list msgs/general"
"$bin/draybase" list msgs/general

echo
echo "== draybase show msgs/general 1"
"$bin/draybase" show msgs/general 1

echo
echo "== draybase mail msgs/general all --json   (messages to All not yet received)"
"$bin/draybase" mail msgs/general all --json

echo
echo "== drayline 1 Sysop All Welcome_to_chatter welcome.txt   (Squish base)"
"$bin/drayline" 1 Sysop All Welcome_to_chatter welcome.txt

echo
echo "== Files of the Squish base msgs/chatter"
ls -l msgs/chatter.*
echo
echo "== .sqd control record (first 132 bytes), bytes in hex"
od -A d -t x1 -N 132 msgs/chatter.sqd
echo
echo "== .sqi (index: frame offset, unique number, recipient hash), bytes in hex"
od -A d -t x1 msgs/chatter.sqi

echo
echo "== draybase list msgs/chatter"
"$bin/draybase" list msgs/chatter

echo
echo "== draybase show msgs/chatter 1"
"$bin/draybase" show msgs/chatter 1
