#!/usr/bin/env bash
# The manual page renders without a warning and shows, each as a line of its
# own, the lines the tool prints: the usage line and the three error lines,
# with the path in them as %s. Its footer carries the version, its NAME line
# can be read by apropos (when lexgrog is installed), and the too-large angle
# it names ends as it says.
# Usage: check_man_page.sh MAN_PAGE SAMPLE_BMP VEERPIC VERSION
# Skipped (exit 77) when groff is not installed.
set -u
page=$1
sample=$2
exe=$3
version=$4
if ! command -v groff >/dev/null; then
  echo "skipped: groff is not installed"
  exit 77
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# -P-cbou: plain text, without bold, underlining or escape sequences.
if ! groff -man -Tutf8 -ww -P-cbou "$page" >"$work/page.txt" 2>"$work/groff.log"; then
  echo "groff failed on the manual page"
  cat "$work/groff.log"
  exit 1
fi
if [ -s "$work/groff.log" ]; then
  echo "groff warns about the manual page:"
  cat "$work/groff.log"
  exit 1
fi
sed 's/^ *//' "$work/page.txt" >"$work/lines.txt"

failures=0
# expect_shown WHAT TEXT: TEXT, which the tool printed, stands alone on a line of the page.
expect_shown() {
  if [ -z "$2" ]; then
    echo "the tool printed no $1"
    failures=$((failures + 1))
  elif ! grep -qxF -- "$2" "$work/lines.txt"; then
    echo "the manual page does not show the $1 the tool prints: $2"
    failures=$((failures + 1))
  fi
}

"$exe" >"$work/out" 2>"$work/err"
expect_shown "usage line" "$(<"$work/out")"
expect_shown "argument error" "$(<"$work/err")"

missing=$work/missing.bmp
"$exe" 30 "$missing" "$work/out.bmp" >/dev/null 2>"$work/err"
message=$(<"$work/err")
expect_shown "open error" "${message//"$missing"/%s}"

unwritable=$work/no/such/folder/out.bmp
"$exe" 30 "$sample" "$unwritable" >/dev/null 2>"$work/err"
message=$(<"$work/err")
expect_shown "write error" "${message//"$unwritable"/%s}"

# The footer's first words are the program and its version.
footer=$(grep -v '^ *$' "$work/page.txt" | tail -n 1)
if [[ "$footer" != "veerpic $version "* ]]; then
  echo "the footer does not carry the version $version: $footer"
  failures=$((failures + 1))
fi

# apropos finds the page by the words of its NAME line, as lexgrog reads them.
if command -v lexgrog >/dev/null; then
  whatis=$(lexgrog "$page" 2>&1)
  for word in turn rotate; do
    if [[ "$whatis" != *"veerpic - "*"$word"* ]]; then
      echo "apropos would not find the page under \"$word\": $whatis"
      failures=$((failures + 1))
    fi
  done
fi

# An angle too large for the turn, the page's example: exit status 2, the
# write error, no output.
"$exe" 1e20 "$sample" "$work/huge.bmp" >/dev/null 2>"$work/err"
status=$?
message=$(<"$work/err")
if ! grep -qF 1e20 "$work/page.txt" || [ "$status" -ne 2 ] || [ -e "$work/huge.bmp" ] ||
   [ "${message//"$work/huge.bmp"/%s}" != "ERROR: cannot write file '%s'" ]; then
  echo "an angle of 1e20 does not end as the page says: exit status $status, $message"
  failures=$((failures + 1))
fi

[ "$failures" -eq 0 ]
