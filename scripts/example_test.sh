#!/bin/sh
# The test of examples/list_and_reply: on a new board, posts one message
# into the JAM base and one into the Squish base with drayline, then runs
# the example twice on each base. The first run must list the post (and
# store a reply); the second must list the reply too.
#
#   scripts/example_test.sh DRAYBASE DRAYLINE EXAMPLE WORK_DIR
set -eu
draybase=$1 drayline=$2 example=$3 work=$4

rm -rf "$work"
mkdir -p "$work"
"$draybase" newboard "$work/board" >/dev/null
cd "$work/board"
printf 'Hello from the example test.\n' > hello.txt

expect() {  # expect OUTPUT_FILE LINE
  if ! grep -qxF "$2" "$1"; then
    echo "example_test: no line '$2' in:" >&2
    cat "$1" >&2
    exit 1
  fi
}

for number in 0 1; do
  base=$( [ "$number" = 0 ] && echo msgs/general || echo msgs/chatter )
  "$drayline" "$number" Sysop All First_post hello.txt >/dev/null
  "$example" "$base" > first.out
  expect first.out "1 First post"
  "$example" "$base" > second.out
  expect second.out "1 First post"
  expect second.out "2 Re: First post"
done
echo "example_test: list_and_reply listed and replied in both formats"
