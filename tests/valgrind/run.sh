#!/usr/bin/env bash
# Runs the tool under valgrind memcheck on a representative set of runs:
# every depth, RLE, a truncated file, whole turns and real turns, and the
# failure paths. Any memcheck error or leak fails the test.
# Usage: run.sh VEERPIC DATA_DIR
set -u
exe=$1
data=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

failures=0
runs=0
check() {
  local expected=$1
  shift
  runs=$((runs + 1))
  valgrind --quiet --error-exitcode=99 --leak-check=full --show-leak-kinds=all \
    --errors-for-leak-kinds=all --track-fds=no "$exe" "$@" >/dev/null 2>"$work/log"
  local status=$?
  if [ "$status" -ne "$expected" ]; then
    echo "FAILED (exit $status, expected $expected): veerpic $*"
    cat "$work/log"
    failures=$((failures + 1))
  fi
}

for f in g/pal1.bmp g/pal4.bmp g/pal4rle.bmp g/pal8.bmp g/pal8rle.bmp g/pal8topdown.bmp \
         g/pal8os2.bmp g/pal8v5.bmp g/rgb16-565.bmp g/rgb24.bmp g/rgb32bf.bmp q/rgba32abf.bmp; do
  check 0 30 "$data/bmpsuite/$f" "$work/out.bmp"
  check 0 0 "$data/bmpsuite/$f" "$work/out.bmp"
done
check 0 -90 "$data/bmpsuite/b/shortfile.bmp" "$work/out.bmp"
check 2 30 "$data/bmpsuite/b/badbitcount.bmp" "$work/out.bmp"
check 2 30 "$data/bmpsuite/b/reallybig.bmp" "$work/out.bmp"
check 2 30 "$work/missing.bmp" "$work/out.bmp"
check 2 30 "$data/bmpsuite/g/rgb24.bmp" "$work/missing/out.bmp"
check 2 1e20 "$data/bmpsuite/g/rgb24.bmp" "$work/out.bmp"
check 2 30 "$data/bmpsuite/g/rgb24.bmp" /dev/full
check 1 30 "$data/bmpsuite/g/rgb24.bmp"

echo "$((runs - failures)) passed, $failures failed"
[ "$failures" -eq 0 ]
