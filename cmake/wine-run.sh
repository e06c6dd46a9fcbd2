#!/bin/sh
# Runs one Windows program under Wine with a time limit (seconds from WINE_RUN_TIMEOUT, default 120).
: "${HOME:=/root}"; export HOME
: "${WINEDEBUG:=-all}"; export WINEDEBUG
exec timeout -k 5 "${WINE_RUN_TIMEOUT:-120}" wine "$@"
