#!/usr/bin/env bash
# The main job: installs what is missing, builds the plug-in and lays out the
# plug-in folder as users receive it.
set -euo pipefail
source "$(dirname "$0")/env.sh"
bash "$root/tools/setup.sh"
bash "$root/tools/build.sh" win32

out=$build/plugin-folder
mkdir -p "$out/Impulse Responses"
cp "$build/win32/plugin/dsp_qlv3.dll" "$out/"
echo "Plug-in folder: $out"
ls -la "$out"
