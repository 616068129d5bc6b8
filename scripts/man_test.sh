#!/bin/sh
# The test of the manual pages: groff finds nothing to warn about in either
# page, and draybase.1 names every command and option that `draybase help`
# lists, so that a command added to the program without its page fails here.
# Without groff the test says it skipped and passes.
#
#   scripts/man_test.sh MAN_DIR DRAYBASE
set -eu
man=$1 draybase=$2

if ! command -v groff >/dev/null; then
  echo "man_test: groff not found, the manual pages were not checked"
  exit 0
fi

status=0
for page in "$man/drayline.1" "$man/draybase.1"; do
  warnings=$(groff -man -ww -z "$page" 2>&1)
  if [ -n "$warnings" ]; then
    echo "man_test: groff warns about $page:" >&2
    echo "$warnings" >&2
    status=1
  fi
done

# The page as a reader sees it, on one line with single spaces: no
# hyphenation, no line breaks inside "draybase list".
text=$(groff -man -Tascii -rHY=0 -rLL=2000n -P-cbou "$man/draybase.1" | tr -s ' \n' '  ')
help=$("$draybase" help 2>&1) || true
commands=$(printf '%s\n' "$help" | sed -n 's/^  \([a-z][a-z]*\) .*/\1/p')
if [ -z "$commands" ]; then
  echo "man_test: found no commands in the output of draybase help:" >&2
  printf '%s\n' "$help" >&2
  exit 1
fi
for command in $commands; do
  case $text in
    *"draybase $command "*) ;;
    *) echo "man_test: draybase.1 does not describe the command $command" >&2; status=1 ;;
  esac
done
for option in $(printf '%s\n' "$help" | grep -o -- '--[a-z][a-z-]*' | sort -u); do
  case $text in
    *"$option"[!a-z-]*) ;;
    *) echo "man_test: draybase.1 does not describe the option $option" >&2; status=1 ;;
  esac
done
[ $status -ne 0 ] || echo "man_test: both pages are clean; draybase.1 covers $(echo $commands | wc -w) commands"
exit $status
