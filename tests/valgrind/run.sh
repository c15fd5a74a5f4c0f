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
# Sizes that are no multiple of 2, 8 or 16: a read one row or one pixel past
# the picture lands outside what was allocated.
python3 - "$work" <<'PY'
import struct, sys
def bmp(w, h, bits):
    stride = (w * bits + 31) // 32 * 4
    table = bytes(b for i in range(256) for b in (i, 255 - i, i // 2, 0)) if bits == 8 else b""
    rows = bytes((x * 7 + y * 13) & 0xFF for y in range(h) for x in range(stride))
    off = 54 + len(table)
    return (struct.pack("<2sIHHI", b"BM", off + len(rows), 0, 0, off) +
            struct.pack("<IiiHHIIiiII", 40, w, h, 1, bits, 0, len(rows), 0, 0, 0, 0) + table + rows)
for name, w, h, bits in (("odd24.bmp", 37, 29, 24), ("odd8.bmp", 301, 7, 8), ("odd1.bmp", 3, 5, 24)):
    open(sys.argv[1] + "/" + name, "wb").write(bmp(w, h, bits))
PY
for f in odd24.bmp odd8.bmp odd1.bmp; do
  check 0 30 "$work/$f" "$work/out.bmp"
  check 0 -73 "$work/$f" "$work/out.bmp"
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
