# SPDX-License-Identifier: GPL-2.0-or-later
# Sourced by the DLL benchmarks (bench/dll_*.sh), and by their scripts
# under Wine: the project's environment, a work folder with the engine
# benchmark's IRs, a plug-in folder for the host program, and host runs
# read from the host's log.
source "$(dirname "${BASH_SOURCE[0]}")/../tools/env.sh"
host=$build/win32/tools/host/qlv_host.exe

# Makes $work, removed at exit, with the IRs bench_engine writes.
# Usage: bench_work RELEASE_BUILD_DIR
bench_work() {
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  "$1/bench/bench_engine" --write-irs "$work"
}

# Runs the bash script text under a Wine display, this file sourced and
# the variables named set there as they are here.
# Usage: under_wine SCRIPT [VARIABLE...]
under_wine() {
  local name values=()
  for name in "${@:2}"; do values+=("$name=${!name}"); done
  with_wine_display env "${values[@]}" bash -c "source \"\$root/bench/common.sh\"
$1"
}

# A plug-in folder: the shipped DLL, the IR as "Impulse Responses/Chapel.wav"
# and a plugin.ini with AutoGain off, then these lines (printf's escapes).
# Usage: plugin_folder DIR IR [INI_LINES]
plugin_folder() {
  mkdir -p "$1/Impulse Responses"
  cp "$build/product/plugin/dsp_qlv3.dll" "$1/"
  cp "$2" "$1/Impulse Responses/Chapel.wav"
  printf "[Quillarven]\r\nAutoGain=0\r\n${3:-}" >"$1/plugin.ini"
}

# Runs the host program under Wine with these arguments, its output in
# $work/host.log, and prints what the sed script picks from the log; when
# it picks nothing, shows the log on stderr and exits (the subshell).
# Usage: host_reads SED_SCRIPT HOST_ARGS...
host_reads() {
  wine "$host" "${@:2}" </dev/null >"$work/host.log" 2>&1
  local got
  got=$(sed -n "$1" "$work/host.log")
  [ -n "$got" ] || { cat "$work/host.log" >&2; exit 1; }
  echo "$got"
}

# The host's speed (audio seconds per CPU second of its audio thread)
# streaming SECONDS of audio as fast as possible from the plug-in folder
# DIR, 1.5 s after Init. Usage: host_speed DIR SECONDS
host_speed() {
  host_reads "s/^speed: \([0-9.]*\) s of audio.*/\1/p" --wait-ms 1500 --seconds "$2" "$1/dsp_qlv3.dll"
}
