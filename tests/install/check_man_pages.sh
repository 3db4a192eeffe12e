#!/usr/bin/env bash
# usage: check_man_pages.sh MAN_DIR TOOLS_DIR
# Renders every page MAN_DIR/*.1 with man -l, as a reader's man would, and
# fails on any groff warning or a missing section. For a page whose tool is
# built in TOOLS_DIR, each long option the tool's --help lists must appear in
# the rendered page.
set -euo pipefail
man_dir=$1 tools_dir=$2
fail() { echo "FAIL: $*" >&2; exit 1; }
command -v man >/dev/null || { echo "man-db is not installed" >&2; exit 77; }
errors=$(mktemp)
trap 'rm -f "$errors"' EXIT
render() { # PAGE WIDTH: no hyphenation, so option names stay whole
  LC_ALL=C.UTF-8 MANROFFOPT=-rHY=0 MANWIDTH=$2 man --warnings -E UTF-8 -l "$1" 2>"$errors"
}

shopt -s nullglob
pages=("$man_dir"/*.1)
[ ${#pages[@]} -gt 0 ] || fail "no manual pages in $man_dir"
for page in "${pages[@]}"; do
  name=$(basename "$page" .1)
  for width in 80 200; do
    text=$(render "$page" "$width")
    [ ! -s "$errors" ] || fail "$name.1 at $width columns: $(cat "$errors")"
  done
  for section in NAME SYNOPSIS DESCRIPTION OPTIONS "EXIT STATUS"; do
    grep -qx "$section" <<<"$text" || fail "$name.1 has no $section section"
  done
  grep -q "^ *$name - " <<<"$text" || fail "$name.1 does not name $name in NAME"
  [ -x "$tools_dir/$name" ] || continue
  for option in $("$tools_dir/$name" --help | grep -oE -- '--[a-z0-9][a-z0-9-]*' | sort -u); do
    grep -qF -- "$option" <<<"$text" || fail "$name.1 does not describe $option"
  done
  echo "$name.1 renders cleanly and describes every option of $name"
done
