# The pieces that the benchmark scripts (scripts/bench, bench/program-memory) share: the release build
# with the benchmarks, a work folder, a headless X display, a private PulseAudio server, a user's
# settings for one run, and the raw figures ("key=value" lines) with their medians. Sourced by a bash
# script that runs with `set -euo pipefail` from the repository's root.

# Builds the release build with the benchmarks into $build (QUILLBEAT_BENCH_BUILD, by default
# build/bench) and sets $bin to the folder of its benchmark programs. Arguments: the targets to build.
bench_build() {
  scripts/setup bench
  build=${QUILLBEAT_BENCH_BUILD:-$PWD/build/bench}
  echo "== release build with the benchmarks ($build)"
  cmake -S "$PWD" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUILLBEAT_TESTS=ON -DQUILLBEAT_BENCH=ON >/dev/null
  cmake --build "$build" -j"$(nproc)" --target "$@"
  bin=$build/bench
}

# Makes the work folder $work with its log $log and raw figures $results. At exit the processes whose
# ids are in $pids are ended and the folder is removed (BENCH_KEEP=1 keeps it and prints its path).
bench_work() {
  work=$(mktemp -d "${TMPDIR:-/tmp}/quillbeat-bench.XXXXXX")
  log=$work/log.txt
  results=$work/results.txt
  : >"$results"
  pids=()
  trap bench_cleanup EXIT
}
bench_cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  if [ "${BENCH_KEEP:-0}" = 1 ]; then echo "work folder: $work"; else rm -rf "$work"; fi
}

# Starts Xvfb on a free display and points Qt at it through the real X protocol.
bench_display() {
  local display=99
  while [ -e /tmp/.X11-unix/X$display ] || [ -e /tmp/.X$display-lock ]; do display=$((display + 1)); done
  Xvfb :$display -screen 0 1024x768x24 -nolisten tcp >>"$log" 2>&1 &
  pids+=($!)
  export DISPLAY=:$display QT_QPA_PLATFORM=xcb
  for _ in $(seq 50); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done
}

# A user's settings with the tips dialog off, in fresh configuration, cache and run-time folders under
# the folder given, exported as XDG_*. The run-time folder is one of its own, so that a program
# started here never hands its file to a window of the user's and leaves.
bench_home() {
  export XDG_CONFIG_HOME=$1/config XDG_CACHE_HOME=$1/cache XDG_RUNTIME_DIR=$1/runtime
  mkdir -p "$XDG_CONFIG_HOME/Quillbeat" "$XDG_CACHE_HOME"
  mkdir -m 700 -p "$XDG_RUNTIME_DIR"
  printf '[Settings]\nStart=none\n' >"$XDG_CONFIG_HOME/Quillbeat/Quillbeat.ini"
}

# A private PulseAudio server (`pulseaudio -n -F /dev/null` with its own folders and socket under
# $work/pulse, nothing of the user's) with one null sink per name given, in 32-bit float so that a
# stream at full volume reaches the sink's monitor bit for bit. Exports PULSE_SERVER and
# PULSE_RUNTIME_PATH once the server answers.
bench_pulse() {
  local pa=$work/pulse sink
  local modules=()
  mkdir -p "$pa/home" "$pa/xdg" "$pa/runtime"
  for sink in "$@"; do
    modules+=(--load="module-null-sink sink_name=$sink format=float32le rate=44100 channels=2")
  done
  env HOME="$pa/home" XDG_RUNTIME_DIR="$pa/xdg" PULSE_RUNTIME_PATH="$pa/runtime" \
    pulseaudio -n --daemonize=no --exit-idle-time=-1 -F /dev/null "${modules[@]}" \
    --load="module-native-protocol-unix auth-anonymous=1 socket=$pa/native" >>"$log" 2>&1 &
  pids+=($!)
  export PULSE_SERVER=unix:$pa/native PULSE_RUNTIME_PATH=$pa/runtime
  for _ in $(seq 100); do pactl info >/dev/null 2>&1 && break; sleep 0.1; done
}

# The number of other processes that map Qt. A library page that another process maps too is shared:
# it leaves the measured program's USS and counts only in part in its PSS (bench/README.md, "Memory
# figures"). Processes of other users are not seen.
qt_neighbours() {
  local n=0 p
  for p in /proc/[0-9]*; do grep -qs 'libQt6Core\.so' "$p/maps" && n=$((n + 1)); done
  echo $n
}
# Waits, up to BENCH_QUIET_WAIT seconds (60), until no other Qt program runs: before a memory figure.
bench_quiet() {
  for _ in $(seq "${BENCH_QUIET_WAIT:-60}"); do [ "$(qt_neighbours)" = 0 ] && return; sleep 1; done
}

# Runs a benchmark program and keeps the "key=value" lines it prints in $results.
record() { "$@" 2>>"$log" | grep -E '^[A-Za-z0-9_.]+=' >>"$results" || true; }
# The last value of a key.
val() { grep -E "^$1=" "$results" | tail -1 | cut -d= -f2- || true; }
median() { sort -g | awk '{a[NR]=$1} END {if (NR) print a[int((NR+1)/2)]; else print ""}'; }
# a / b with two decimals, "-" when either is missing or b is 0.
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (a == "" || b == "" || b + 0 == 0) print "-"; else printf "%.2f", a / b }'; }
# Figures of runs 1..$runs of "<base>.<run><suffix>": "median (min–max)".
over() {
  for r in $(seq "$runs"); do val "$1.$r$2"; done | awk 'NF && $1 != "-1" && $1 != "-1.00"' | sort -g |
    awk '{a[NR]=$1} END {if (!NR) {print "-"; exit} printf "%s (%s–%s)", a[int((NR+1)/2)], a[1], a[NR]}'
}
med() { over "$1" "$2" | cut -d' ' -f1; }
# The ratio of two medians over the runs: base a, suffix, base b.
ratio2() { ratio "$(med "$1" "$2")" "$(med "$3" "$2")"; }
