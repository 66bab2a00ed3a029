#!/bin/sh
# Checks the man page renders without a warning, and that it and the FAQ
# hold every message text the program prints. Skips (77) without groff.
# Usage: check_messages.sh PAGE FAQ MESSAGES_HEADER
set -eu
page=$1
faq=$2
header=$3
command -v groff >/dev/null || { echo "needs groff: bash .ci/install-deps tools"; exit 77; }

warnings=$(groff -man -ww -z "$page" 2>&1 >/dev/null)
if [ -n "$warnings" ]; then
  printf 'groff warns about %s:\n%s\n' "$page" "$warnings"
  exit 1
fi

rendered=$(groff -man -Tascii -rLL=250n -P-cbou "$page" 2>/dev/null)
texts=$(grep -o '= "[^"]*\\n";' "$header" | sed 's/^= "//; s/\\n";$//')
count=$(printf '%s\n' "$texts" | grep -c .)
if [ "$count" -lt 8 ]; then
  echo "found only $count message texts in $header"
  exit 1
fi
status=0
printf '%s\n' "$texts" | {
  while IFS= read -r text; do
    printf '%s\n' "$rendered" | grep -qF -- "$text" || { echo "man page lacks: $text"; status=1; }
    grep -qF -- "\`$text\`" "$faq" || { echo "FAQ lacks: $text"; status=1; }
  done
  exit $status
}
