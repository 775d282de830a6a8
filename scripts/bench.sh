#!/usr/bin/env bash
# Benchmark: what ZRK_START.exe adds to a game start, against a minimal C launcher (bench/) that
# makes the same system calls in the same order; the sizes of both, 32- and 64-bit, stripped; and
# their peak working sets. Times are taken inside Wine by bench/bench_timer.c, which alternates
# the candidates run by run. The numbers measure; nothing is asserted.
#
#   scripts/bench.sh [RUNS]          RUNS timed runs per candidate (default 30, at least 15)
#
# Scenarios, each the launcher against the baseline:
#   full    a normal launch: library present, settings and data file in the start-up folder
#   drives  the data file only on the last of nine fixed drives (C: to K:), all others probed
#   nodx    d3dx9_40.dll absent (WINEDLLOVERRIDES="d3dx9_40="): ten pauses of 100 ms, then the
#           message box, which returns at once as there is no X display
# and, alone, a program that does nothing (empty): what starting and ending any program costs.
# Each scenario is timed for the 32-bit programs first (what players get) and then for the 64-bit
# ones; the 32-bit ones are left out, with the reason, where this machine cannot run 32-bit code.
# Builds in build/bench-*, runs in a fresh Wine prefix in build/bench-run (kept for a look
# afterwards), writes the raw times to build/bench-run/times-<arch>-*.tsv. Needs no X display.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
zrk_install_deps
harness() { python3 tests/wine/harness.py "$@"; }

runs=${1:-30}
if ! [[ $runs =~ ^[0-9]+$ ]] || ((runs < 15)); then
  echo "usage: scripts/bench.sh [RUNS]   (RUNS: at least 15)" >&2
  exit 2
fi

wine=() wineserver=() && eval "$(harness shell)" # the Wine commands
src=$PWD
run=$src/build/bench-run
jobs=$(nproc)

# --- Build: the launcher by its own presets (in build/bench-windows-*), the bench programs by
# bench/CMakeLists.txt with the same toolchain files.
declare -A triplet=([x64]=x86_64-w64-mingw32 [x86]=i686-w64-mingw32)
declare -A toolchain=([x64]=mingw-x86_64 [x86]=mingw-i686)
for arch in x64 x86; do
  echo "building the $arch programs"
  cmake --preset "windows-$arch" -B "build/bench-windows-$arch" -DZRK_BUILD_TESTS=OFF >/dev/null
  cmake --build "build/bench-windows-$arch" -j "$jobs" --target ZRK_START >/dev/null
  cmake -S bench -B "build/bench-tools-$arch" -G Ninja -DCMAKE_BUILD_TYPE=MinSizeRel \
    -DCMAKE_TOOLCHAIN_FILE="$src/cmake/${toolchain[$arch]}.cmake" >/dev/null
  cmake --build "build/bench-tools-$arch" -j "$jobs" >/dev/null
done
tools64=$src/build/bench-tools-x64
# The architectures that are timed, 32-bit first.
arches=(x64)
if zrk_can_run_32bit; then arches=(x86 x64); fi
winpath() { echo "Z:${1//\//\\}"; }

# --- A fresh prefix; drives D: to K: fixed, each a folder of build/bench-run/drives.
export WINEPREFIX=$run/pfx WINEDEBUG=-all
if [ -d "$WINEPREFIX" ]; then harness stop "$WINEPREFIX" || true; fi # left from an earlier run
rm -rf "$run"
unset WINEDLLOVERRIDES DISPLAY WAYLAND_DISPLAY
echo "creating the Wine prefix"
drives=()
for l in d e f g h i j k; do
  mkdir -p "$run/drives/$l"
  drives+=("$l=$run/drives/$l:hd")
done
harness prefix "$WINEPREFIX" "${drives[@]}"

# --- The installations, one set per architecture A: D:\A\ZRK holds everything; D:\A\Far\ZRK
# everything but the data file, which lies only at K:\A\Far\ZRK. The settings file starts in the
# bare form with another folder.
declare -A launcher
for arch in "${arches[@]}"; do launcher[$arch]=$(harness launcher "build/bench-windows-$arch"); done
install() { # folder, with data file (1/0), architecture
  local tools=$src/build/bench-tools-$3
  mkdir -p "$1"
  cp "${launcher[$3]}" "$tools/bench_baseline.exe" "$tools/bench_empty.exe" "$1/"
  cp "$tools/bench_game.exe" "$1/ZRK_DL.exe"
  # shellcheck disable=SC1003 # a backslash ends the folder
  harness settings 'C:\Program Files\ZRK\' >"$1/DLTZRK_DL.INI"
  if [ "$2" = 1 ]; then printf 'ZRK data\r\n' >"$1/ZRK_DLN.SD"; fi
}
for arch in "${arches[@]}"; do
  install "$run/drives/d/$arch/ZRK" 1 "$arch"
  install "$run/drives/d/$arch/Far/ZRK" 0 "$arch"
  mkdir -p "$run/drives/k/$arch/Far/ZRK"
  printf 'ZRK data\r\n' >"$run/drives/k/$arch/Far/ZRK/ZRK_DLN.SD"
done

# --- Timing.
timer=$tools64/bench_timer.exe
# Other work on the machine (builds, fuzzers) shows up as noise of several times the launch
# itself. As root, the timing runs (with the wineserver and every Wine process they start) run
# at the lowest real-time priority, all on the last CPU: no ordinary process can then delay
# them, and one CPU avoids the cross-CPU wake-ups that make real-time Wine processes slow. The
# kernel still leaves ordinary processes 5% of that CPU, and all of the others. Without root,
# they run as they are. ZRK_BENCH_PLAIN=1 turns this off.
sched=()
if [ "$(id -u)" = 0 ] && [ -z "${ZRK_BENCH_PLAIN:-}" ] && command -v chrt >/dev/null &&
  command -v taskset >/dev/null; then
  sched=(chrt --rr 1 taskset --cpu-list $(($(nproc) - 1)))
fi
load_before=$(cut -d' ' -f1-3 /proc/loadavg)
echo "timing: $runs runs per candidate (progress on stderr)"
for arch in "${arches[@]}"; do
  d="D:\\$arch"
  echo "timing the $arch programs"
  "${sched[@]}" "${wine[@]}" "$timer" --runs "$runs" \
    --raw "$(winpath "$run/times-$arch-full-drives.tsv")" \
    --pair full "$d\\ZRK" "$d\\ZRK\\ZRK_START.exe" "$d\\ZRK\\bench_baseline.exe" \
    --pair drives "$d\\Far\\ZRK" "$d\\Far\\ZRK\\ZRK_START.exe" "$d\\Far\\ZRK\\bench_baseline.exe" \
    --alone empty "$d\\ZRK" "$d\\ZRK\\bench_empty.exe" \
    >"$run/result-$arch-full-drives.txt" 2>>"$run/progress.log" || status=$?
  # Wine reads WINEDLLOVERRIDES from the Unix environment a process starts with, which a child
  # inherits from its parent's: it is set for the timing program, not by it.
  WINEDLLOVERRIDES="d3dx9_40=" "${sched[@]}" "${wine[@]}" "$timer" --runs "$runs" \
    --raw "$(winpath "$run/times-$arch-nodx.tsv")" \
    --pair nodx "$d\\ZRK" "$d\\ZRK\\ZRK_START.exe" "$d\\ZRK\\bench_baseline.exe" \
    >"$run/result-$arch-nodx.txt" 2>>"$run/progress.log" || status=$?
done
(cd "$run/drives/d/x64/ZRK" && "${sched[@]}" "${wine[@]}" "$tools64/bench_call_costs.exe" "E:\\") \
  >"$run/result-calls.txt" 2>>"$run/progress.log" || status=$?
load_after=$(cut -d' ' -f1-3 /proc/loadavg)
"${wineserver[@]}" -k || true

# --- Report.
size() { # triplet, file: size of a stripped copy in bytes
  "$1-strip" -o "$run/stripped.exe" "$2"
  stat -c %s "$run/stripped.exe"
}
for arch in "${arches[@]}"; do
  echo
  echo "== times and peak working sets ($arch, Wine $("${wine[@]}" --version 2>/dev/null))"
  cat "$run/result-$arch-full-drives.txt"
  echo
  cat "$run/result-$arch-nodx.txt"
done
if [ "${arches[0]}" != x86 ]; then
  echo
  echo "== x86: not timed: $ZRK_32BIT_REASON (nor in the x86 test machine, whose software" \
    "emulation would be timed rather than the launcher)"
fi
echo
echo "== what the system calls cost (64-bit)"
cat "$run/result-calls.txt"
echo
echo "== stripped sizes"
printf '%-22s %12s %12s\n' "" "32-bit" "64-bit"
for name in ZRK_START.exe bench_baseline.exe; do
  row=("$name")
  for arch in x86 x64; do # both are built, also where the 32-bit ones are not timed
    file=build/bench-tools-$arch/$name
    [ "$name" != ZRK_START.exe ] || file=$(harness launcher "build/bench-windows-$arch")
    bytes=$(size "${triplet[$arch]}" "$file")
    row+=("$bytes" $((bytes / 1024)))
  done
  printf '%-22s %8d B %4d KiB %8d B %4d KiB\n' "${row[@]}"
done
rm -f "$run/stripped.exe"
echo
echo "== machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | xargs)"
echo "load average (1, 5, 15 min) before: $load_before; after: $load_after"
if ((${#sched[@]})); then
  echo "timing runs: real-time round-robin priority 1, on CPU $(($(nproc) - 1)) only"
else
  echo "timing runs: ordinary scheduling"
fi
exit "${status:-0}"
