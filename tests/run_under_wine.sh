#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# CTest's emulator for a GoogleTest program whose tests CMake lists by
# running it: runs it under the project's Wine with its output in a file,
# since Wine's background processes keep an inherited pipe open, then prints
# that without the CRs, which would end up in the listed test names.
# Usage: run_under_wine.sh PROGRAM.exe [ARGS...]
source "$(dirname "$0")/../tools/env.sh"
out=$(mktemp)
trap 'rm -f "$out"' EXIT
wine "$@" >"$out" 2>&1 </dev/null
status=$?
tr -d '\r' <"$out"
exit $status
