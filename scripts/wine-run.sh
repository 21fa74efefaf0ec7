#!/bin/sh
# Runs a Windows program of the build under Wine, in the prefix named by WINEPREFIX
# (the build tree's own prefix when CTest runs it).
#   wine-run.sh PROGRAM ARGS...   run a program
#   wine-run.sh --init            make a fresh prefix and keep its wineserver running
#   wine-run.sh --finish          stop the prefix's wineserver
: "${WINEPREFIX:=${HOME}/.wine-sendrel}"
export WINEPREFIX
export WINEDEBUG="${WINEDEBUG:--all}"
# No Mono or Gecko installer prompts in a fresh prefix.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
case "$1" in
--init)
    wineserver -k >/dev/null 2>&1
    rm -rf "$WINEPREFIX"
    mkdir -p "$WINEPREFIX"
    wineboot -i </dev/null >/dev/null 2>&1 || exit 1
    wineserver -w </dev/null >/dev/null 2>&1
    # A persistent server spares every test program the start-up of a new one.
    wineserver -p </dev/null >/dev/null 2>&1
    # The first program in a prefix starts Wine's background services, which inherit its
    # output and keep it open for as long as the server lives: start them here, detached,
    # so no test's output pipe stays open after the test.
    wine cmd /c exit </dev/null >/dev/null 2>&1
    exit 0
    ;;
--finish)
    wineserver -k >/dev/null 2>&1
    exit 0
    ;;
esac
exec wine "$@"
