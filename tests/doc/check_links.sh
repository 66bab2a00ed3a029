#!/bin/sh
# Checks that every relative link in the project's Markdown files leads to a
# file or directory that exists, and every link to a heading of a Markdown
# file to a heading it has (as GitHub forms the anchors).
# Usage: check_links.sh SOURCE_DIR
set -eu
cd "$1"
status=0
anchors() { # FILE: the anchor of each heading
  sed -n 's/^#\{1,6\} //p' "$1" |
    tr 'A-Z' 'a-z' | sed "s/[^a-z0-9 _-]//g; s/ /-/g"
}
for page in $(find . -name '*.md' -not -path './build/*' -not -path './.cache/*' \
                -not -path './.git/*' -not -path './debian/*'); do
  dir=$(dirname "$page")
  for link in $(grep -o '](\([^)]*\))' "$page" | sed 's/^](//; s/)$//' | grep -v -e '^[a-z]*:' || true); do
    file=${link%%#*}
    anchor=${link#"$file"}
    target=$page
    if [ -n "$file" ]; then
      target=$dir/$file
      [ -e "$target" ] || { echo "$page: no such file: $link"; status=1; continue; }
    fi
    case $target in *.md) ;; *) continue ;; esac
    if [ -n "$anchor" ] && ! anchors "$target" | grep -qx -- "${anchor#\#}"; then
      echo "$page: no such heading: $link"
      status=1
    fi
  done
done
[ $status -eq 0 ] && echo "every link leads somewhere"
exit $status
