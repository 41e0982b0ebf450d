#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Fails naming every tracked source file of ours whose first lines lack the
# licence identifier. Sources are known by their names below or by a "#!"
# line, so that new files of these kinds are caught too.
set -euo pipefail
cd "$(dirname "$0")/.."
tag='SPDX-License-Identifier: GPL-2.0-or-later'
missing=0
while IFS= read -r -d '' f; do
  case "$f" in
    *.cpp | *.h | *.h.in | *.rc | *.def | *.cmake | */CMakeLists.txt | CMakeLists.txt | \
      *.sh | *.py | *.nsi) ;;
    *) [ "$(head -c 2 -- "$f" | tr -d '\0')" = '#!' ] || continue ;;
  esac
  case "$(head -n 3 -- "$f")" in
    *"$tag"*) ;;
    *)
      echo "no '$tag' line at the top: $f" >&2
      missing=1
      ;;
  esac
done < <(git ls-files -z)
exit $missing
