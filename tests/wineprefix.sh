#!/usr/bin/env bash
# wineprefix.sh start|stop DIR: a fresh Wine prefix in a Japanese locale, with
# a persistent wineserver, for the Wine scenarios of one test run.
set -euo pipefail
action=$1
export WINEPREFIX=$2 WINEDEBUG=-all LANG=ja_JP.UTF-8 LC_ALL=ja_JP.UTF-8
export HOME=${HOME:-$WINEPREFIX}   # Wine wants one; CI may not set it
case $action in
start)
  if ! locale -a 2>/dev/null | grep -qix 'ja_JP.utf8'; then
    echo "wineprefix.sh: the ja_JP.UTF-8 locale is missing (generate it: localedef -i ja_JP -f UTF-8 ja_JP.UTF-8)" >&2
    exit 1
  fi
  wineserver -k </dev/null >/dev/null 2>&1 || true
  rm -rf "$WINEPREFIX"
  mkdir -p "$WINEPREFIX"
  # The server and the services wineboot starts outlive this script: they
  # must not hold its output open, or the test runner waits for them.
  log=$WINEPREFIX.log
  wineserver -p </dev/null >"$log" 2>&1
  wineboot -i </dev/null >>"$log" 2>&1
  ;;
stop)
  wineserver -k </dev/null >/dev/null 2>&1 || true
  ;;
*)
  echo "usage: wineprefix.sh start|stop DIR" >&2
  exit 2
  ;;
esac
