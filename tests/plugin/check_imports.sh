#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Fails when a shipped Windows program imports a function that is not in
# the checked list of what Windows XP SP3's system DLLs export.
# Usage: check_imports.sh LIST PROGRAM...
# LIST: one "DLL!Function  where it was checked" per line; # starts a comment.
set -euo pipefail
list=$1
shift
allowed=$(sed 's/#.*//' "$list" | awk 'NF { print toupper($1) }' | sort -u)
status=0
for pe in "$@"; do
  [ -f "$pe" ] || { echo "check_imports: no such file: $pe" >&2; exit 1; }
  imports=$(i686-w64-mingw32-objdump -p "$pe" | awk '
    /^[[:space:]]*DLL Name:/ { dll = $3; next }
    /^[[:space:]]*$/ { dll = "" }
    dll != "" && $1 ~ /^[0-9a-f]+$/ && $2 ~ /^[0-9]+$/ && NF >= 3 { print toupper(dll "!" $3) }
  ' | sort -u)
  [ -n "$imports" ] || { echo "check_imports: no imports read from $pe" >&2; exit 1; }
  unknown=$(comm -23 <(echo "$imports") <(echo "$allowed"))
  if [ -n "$unknown" ]; then
    echo "$pe imports what the XP list lacks (check each on Microsoft's pages, then add it):" >&2
    echo "$unknown" | sed 's/^/  /' >&2
    status=1
  else
    echo "$pe: $(echo "$imports" | wc -l) imports, all on the XP list"
  fi
done
exit $status
