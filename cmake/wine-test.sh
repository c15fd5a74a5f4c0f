#!/bin/sh
# Runs a Windows test program under Wine (wine-run.sh), and runs it again,
# up to twice more, only where Wine itself failed: the program never started
# (no output at all, or no test output and Wine's loader or server
# complained) or it ran every test to its end and then did not end cleanly
# (the summary says every test passed, but the exit status is not 0). A test
# whose assertion fails is never run again. What the last run printed is
# passed on.
here=$(dirname "$0")
out=$(mktemp) err=$(mktemp)
trap 'rm -f "$out" "$err"' EXIT
for attempt in 1 2 3; do
  sh "$here/wine-run.sh" "$@" >"$out" 2>"$err"
  status=$?
  [ "$status" -eq 0 ] && break
  if grep -q '^\[  FAILED  \]' "$out"; then
    break  # an assertion failed: the run stands
  fi
  if grep -q '^\[  PASSED  \]' "$out"; then
    [ "$attempt" -lt 3 ] && echo "wine-test: every test passed but the process ended with $status; run again" >&2
    continue
  fi
  if grep -q '^\[ RUN      \]' "$out"; then
    break  # the program started and stopped on its own: a crash of its own
  fi
  # A test program prints before it runs anything; a run that printed
  # nothing at all never reached the program, whatever Wine said of it.
  if [ -s "$out" ] && ! grep -qiE '^(wine|err|[0-9a-f]+:err)|recvmsg|wineserver' "$err"; then
    break
  fi
  [ "$attempt" -lt 3 ] || break
  echo "wine-test: Wine failed to start the program (exit $status); run again" >&2
  sleep 1
done
cat "$out"
cat "$err" >&2
exit "$status"
