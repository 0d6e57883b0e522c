#!/usr/bin/env bash
# Gang write figures: how long porten-cli takes to write the sample image to
# one simulated board, and to N boards at once (8, 16 and 32 by default).
# The boards run with wire-time emulation, so the line speed is that of real
# boards, and each checks afterwards that its ROM matches the image byte for
# byte. The runs of a round are interleaved (1, 8, 16, 32, 1, 8, ...), so a
# slow spell of the machine does not fall on one size only.
#
# Usage: bench/gang.sh [BUILD_DIR] [ROUNDS] [N...]
#   BUILD_DIR  a built tree (default build/); needs porten-cli and porten-board
#   ROUNDS     how many times each run is repeated (default 5); the median counts
#   N...       gang sizes (default 8 16 32)
#
# Prints one line per run and, per size, the ratio of the medians to one
# board's (goal: at most 1.05).
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$(realpath -m "${1:-$ROOT/build}")
ROUNDS=${2:-5}
shift $(($# > 2 ? 2 : $#))
SIZES=("$@")
[ ${#SIZES[@]} -gt 0 ] || SIZES=(8 16 32)
CLI=$BUILD/src/cli/porten-cli
BOARD=$BUILD/sim/porten-board
for exe in "$CLI" "$BOARD"; do
  [ -x "$exe" ] || { echo "gang.sh: $exe is missing; build the tree first" >&2; exit 1; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/porten-gang.XXXXXX")
pids=()
stop_boards() {
  local pid
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  pids=()
}
trap 'stop_boards; rm -rf "$work"' EXIT

now() { date +%s.%N; }

# run_gang COUNT: starts COUNT boards, writes all of them in one porten-cli
# call and sets elapsed to its wall-clock seconds. Fails when a write or a
# board's ROM check fails. (Not run in a subshell, so that the exit trap
# knows the boards.)
run_gang() {
  local count=$1 i ports=() start end
  rm -f "$work"/board*.log
  for ((i = 0; i < count; i++)); do
    (cd "$ROOT/examples" &&
      exec "$BOARD" --link "$work/board$i" --wire-time --expect blink.mot) \
      >"$work/board$i.log" 2>&1 &
    pids+=($!)
    ports+=(--port "$work/board$i")
  done
  for ((i = 0; i < count; i++)); do
    for _ in $(seq 200); do
      [ -L "$work/board$i" ] && break
      sleep 0.05
    done
    [ -L "$work/board$i" ] || { cat "$work/board$i.log" >&2; return 1; }
  done
  start=$(now)
  if ! (cd "$ROOT/examples" && "$CLI" write -q "${ports[@]}" --boot LOADER.MOT blink.mot) \
    >"$work/cli.log" 2>&1; then
    grep -Ev ' (boot|write) [0-9]+/[0-9]+ \(' "$work/cli.log" >&2
    for ((i = 0; i < count; i++)); do
      if ! grep -q '^ROM matches' "$work/board$i.log"; then
        echo "gang.sh: board$i said:" >&2
        sed 's/^/  /' "$work/board$i.log" >&2
      fi
    done
    return 1
  fi
  end=$(now)
  # Each board compares its ROM with the image after the write. (They run
  # without --once: a board that exits right after the last block may take
  # its final acknowledgement with it.)
  for ((i = 0; i < count; i++)); do
    for _ in $(seq 200); do
      grep -qE '^ROM (matches|differs)' "$work/board$i.log" && break
      sleep 0.05
    done
    if ! grep -q '^ROM matches' "$work/board$i.log"; then
      sed 's/^/  /' "$work/board$i.log" >&2
      echo "gang.sh: board $i: ROM does not match" >&2
      return 1
    fi
  done
  stop_boards
  elapsed=$(awk -v a="$start" -v b="$end" 'BEGIN {printf "%.3f", b - a}')
}

median() { printf '%s\n' "$@" | sort -g | awk '{a[NR] = $1} END {print a[int((NR + 1) / 2)]}'; }

elapsed=0
declare -A runs=()
for ((r = 1; r <= ROUNDS; r++)); do
  for n in 1 "${SIZES[@]}"; do
    run_gang "$n"
    runs[$n]+="$elapsed "
    printf 'round %d: %2d boards %6.2f s\n' "$r" "$n" "$elapsed"
  done
done
# shellcheck disable=SC2086 # the lists are words on purpose
m1=$(median ${runs[1]})
printf 'median: 1 board %.2f s\n' "$m1"
for n in "${SIZES[@]}"; do
  # shellcheck disable=SC2086
  mn=$(median ${runs[$n]})
  printf 'median: %d boards %.2f s, ratio %.3f (goal <= 1.05)\n' \
    "$n" "$mn" "$(awk -v a="$mn" -v b="$m1" 'BEGIN {print a / b}')"
done
echo "last gang table:"
sed 's/^/  /' "$work/cli.log"
