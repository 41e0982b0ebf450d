#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Writes one of the two texts made from the user read-me, with CR LF line
# ends for Windows: "package" (the read-me in the zip and the installer)
# or "help" (the Help window's text, without what only concerns the
# package: its contents and installation).
# Usage: user_text.sh package|help
set -euo pipefail
src=$(dirname "$0")/../release/README-user.txt
case ${1:-} in
package) skip=0 ;;
help) skip=1 ;;
*) echo "usage: user_text.sh package|help" >&2; exit 2 ;;
esac
awk -v skip="$skip" '
  $0 == "%% package only" { if (inside) exit 3; inside = 1; next }
  $0 == "%% end" { if (!inside) exit 3; inside = 0; next }
  /^%%/ { next }
  !(inside && skip) { sub(/\r$/, ""); printf "%s\r\n", $0 }
  END { if (inside) exit 3 }
' "$src" || {
  status=$?
  [ $status != 3 ] || echo "user_text.sh: unbalanced markers in $src" >&2
  exit $status
}
