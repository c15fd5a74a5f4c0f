#!/bin/sh
# Runs a Windows program under Wine, for test discovery and the tests.
#
# One Wine server serves all the runs and stays a minute after the last
# program ends, so that a run never meets a server on its way out (which
# fails the run with "recvmsg: Connection reset by peer"). Whoever starts that
# server also starts the prefix's own background programs (making the prefix
# first when there is none), under a lock and with no output streams of ours:
# a background program that inherited a caller's pipe would hold it open for
# as long as the server lives.
WINEDEBUG=${WINEDEBUG:--all}
# No .NET or HTML engine: a new prefix would otherwise offer to fetch them.
WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
export WINEDEBUG WINEDLLOVERRIDES
wine=${VEERPIC_WINE:-wine}
if [ -n "${WINEPREFIX:-}" ]; then
  mkdir -p "$WINEPREFIX"
  # The lock's descriptor is closed for the programs that outlive this block.
  (
    flock 9
    if wineserver -p60 9>&-; then
      "$wine" wineboot --init 9>&-
    fi
  ) 9>"$WINEPREFIX.lock" </dev/null >/dev/null 2>&1
fi
exec "$wine" "$@"
