#!/usr/bin/env bash
# compare.sh OLD_REV [--socketcan-vm] - the whole server scenario (scale_bench) and the
# driver's receive path per frame (driver_bench) on an older revision of the tree and on the
# tree as it is now, run one after the other and printed side by side (old | new).
#
# The older revision is exported from git (git archive, no worktree is registered) and built
# with today's benchmark sources copied in: they use only public headers (bench/bench_api.h)
# and the gateway simulator program, so they build against older drivers and libraries too.
# Both sides talk to the gateway simulator of the current tree, so that only the server side
# differs. Release builds, tests off, only the targets needed.
#
# With --socketcan-vm the scenarios run on SocketCAN instead, scaled down (4 lines, vcan0..3):
# both scale_bench programs, each with its own build's libraries, go into one virtual machine
# (tools/vm/guest.sh: Debian's kernel under qemu, software emulation, one CPU), which runs the
# scenarios old then new; the tables are printed here. About five minutes on two cores.
#
# Environment: COMPARE_DIR (work folder; default a temporary one, removed at the end),
# LOAD_SECONDS (load phase of each scenario, default 3), JOBS (build jobs, default 2),
# SCENARIOS (names to run, default all; see the lists below), VM_TIMEOUT (seconds for the
# guest's whole run, default 720), VM_MEMORY (MiB, default 1024).
set -euo pipefail

usage() {
  awk 'NR > 1 && /^#/ { sub(/^# ?/, ""); print; next } NR > 1 { exit }' "$0"
  echo "usage: bench/compare.sh OLD_REV [--socketcan-vm]     (e.g. bench/compare.sh 1ffb8c8)"
}
socketcan_vm=0
args=()
for a in "$@"; do
  case $a in
    -h | --help) usage; exit 0 ;;
    --socketcan-vm) socketcan_vm=1 ;;
    -*) echo "compare.sh: unknown option $a" >&2; usage >&2; exit 2 ;;
    *) args+=("$a") ;;
  esac
done
if [[ ${#args[@]} -ne 1 ]]; then
  usage >&2
  exit 2
fi
old_rev=${args[0]}
root=$(git -C "$(dirname "$0")/.." rev-parse --show-toplevel)
if ! git -C "$root" rev-parse --verify --quiet "$old_rev^{commit}" >/dev/null; then
  echo "compare.sh: '$old_rev' is no revision of $root" >&2
  exit 2
fi
jobs=${JOBS:-2}
load_seconds=${LOAD_SECONDS:-3}

# ---- the build wiring of the compared benchmarks, in one place
# Files copied from today's bench/ into the older tree; its bench/CMakeLists.txt is replaced by
# one that includes compare_targets.cmake (which defines the targets below).
bench_files=(scale_bench.cc driver_bench.cc bench_api.h compare_targets.cmake)
targets=(scale_bench driver_bench)
((socketcan_vm)) && targets=(scale_bench)
cmake_options=(-DCMAKE_BUILD_TYPE=Release -DKORVEL_TESTS=OFF -DKORVEL_BENCH=ON -DKORVEL_TOOLS=ON
               -DKORVEL_INSTALL=OFF)

# ---- the scenarios: name and scale_bench options. At 9,000 frames/s the gateway simulator
# cannot forward every frame to 127 connections per bus; at 90 (1 %) it keeps pace with them.
scenarios=(
  "sim-20x127-idle|--transport sim --rate 0"
  "sim-20x127-full|--transport sim"
  "sim-20x1-idle|--transport sim --nodes 1 --rate 0"
  "sim-20x1-full|--transport sim --nodes 1"
  "socketcand-20x127-idle|--transport socketcand --rate 0"
  "socketcand-20x127-full|--transport socketcand"
  "socketcand-20x127-rate90|--transport socketcand --rate 90"
  "socketcand-20x1-idle|--transport socketcand --nodes 1 --rate 0"
  "socketcand-20x1-full|--transport socketcand --nodes 1"
)
# In the virtual machine: 4 lines (vcan0..vcan3) of 16, 127 and 1 masters, idle and at rates
# the emulated guest (one CPU) carries: with 16 masters per line the full 9,000 frames/s per
# bus keep it about half busy, with 127 per line 2,250 (a quarter of a full bus) do.
vm_scenarios=(
  "socketcan-4x16-idle|--transport socketcan --lines 4 --nodes 16 --rate 0"
  "socketcan-4x16-rate900|--transport socketcan --lines 4 --nodes 16 --rate 900"
  "socketcan-4x16-full|--transport socketcan --lines 4 --nodes 16"
  "socketcan-4x127-rate2250|--transport socketcan --lines 4 --nodes 127 --rate 2250"
  "socketcan-4x1-idle|--transport socketcan --lines 4 --nodes 1 --rate 0"
  "socketcan-4x1-full|--transport socketcan --lines 4 --nodes 1"
)
vm_lines=4
((socketcan_vm)) && scenarios=("${vm_scenarios[@]}")

if [[ -n ${COMPARE_DIR:-} ]]; then
  work=$COMPARE_DIR
  mkdir -p "$work"
else
  work=$(mktemp -d /tmp/korvel-compare.XXXXXX)
  trap 'rm -rf "$work"' EXIT
fi
results=$work/results
mkdir -p "$results"

build() {  # build SOURCE BUILD NAME TARGETS...
  local src=$1 dir=$2 name=$3
  shift 3
  echo "== building $name" >&2
  if ! { cmake -S "$src" -B "$dir" "${cmake_options[@]}" &&
         cmake --build "$dir" -j "$jobs" --target "$@"; } >"$work/build-$name.log" 2>&1; then
    tail -30 "$work/build-$name.log" >&2
    echo "compare.sh: building $name failed (log: $work/build-$name.log)" >&2
    exit 1
  fi
}

# ---- the older revision, with today's benchmark sources. A COMPARE_DIR used before for the
# same revision keeps its sources and builds: only benchmark files that changed are copied.
old_hash=$(git -C "$root" rev-parse "$old_rev^{commit}")
if [[ $(cat "$work/old-src/.compare-rev" 2>/dev/null) != "$old_hash" ]]; then
  rm -rf "$work/old-src" "$work/old-build"
  mkdir -p "$work/old-src"
  git -C "$root" archive "$old_hash" | tar -x -C "$work/old-src"
  echo "$old_hash" >"$work/old-src/.compare-rev"
fi
copy_if_changed() {  # copy_if_changed FROM TO
  cmp -s "$1" "$2" || cp "$1" "$2"
}
for f in "${bench_files[@]}"; do copy_if_changed "$root/bench/$f" "$work/old-src/bench/$f"; done
echo 'include(${CMAKE_CURRENT_SOURCE_DIR}/compare_targets.cmake)' >"$work/old-src/bench/CMakeLists.txt.new"
copy_if_changed "$work/old-src/bench/CMakeLists.txt.new" "$work/old-src/bench/CMakeLists.txt"
rm "$work/old-src/bench/CMakeLists.txt.new"
build "$work/old-src" "$work/old-build" "old ($old_rev)" "${targets[@]}"
if ((socketcan_vm)); then
  build "$root" "$work/new-build" "new (the tree now)" "${targets[@]}"
else
  build "$root" "$work/new-build" "new (the tree now)" "${targets[@]}" korvel_gateway_sim
fi
gateway=$work/new-build/tools/gateway_sim/korvel_gateway_sim

old_label="old $(git -C "$root" rev-parse --short "$old_rev")"
new_label="new $(git -C "$root" rev-parse --short HEAD)"
[[ -n $(git -C "$root" status --porcelain --untracked-files=no) ]] && new_label="$new_label+changes"

selected() {  # selected NAME: in SCENARIOS, or SCENARIOS empty
  [[ -z ${SCENARIOS:-} || " $SCENARIOS " == *" $1 "* ]]
}

# ---- runs in the virtual machine: old then new, scenario by scenario, in one boot. The
# guest prints each run's report and figures between marker lines; they are cut apart here.
run_in_vm() {
  # shellcheck source=tools/vm/guest.sh
  . "$root/tools/vm/guest.sh"
  vm_setup "$work/vm"
  local side entry name
  for side in old new; do
    vm_add_program "$work/$side-build/bench/scale_bench" "scale_bench-$side" "/lib/korvel-$side"
  done
  : >"$vm_root/scenarios"
  for entry in "${scenarios[@]}"; do
    name=${entry%%|*}
    selected "$name" && echo "$name|${entry#*|} --seconds $load_seconds" >>"$vm_root/scenarios"
  done
  vm_write_init "$vm_lines" <<'INIT'
while IFS='|' read -r name args; do
  for side in old new; do
    echo "vm: $name: $side"
    rm -f /tmp/run.tsv
    # shellcheck disable=SC2086  # the options are words
    LD_LIBRARY_PATH=/lib/korvel-$side timeout 300 /bin/scale_bench-$side $args --tsv /tmp/run.tsv \
      </dev/null >/tmp/run.txt 2>&1
    rc=$?
    echo "VM-BENCH-BEGIN $name $side"
    cat /tmp/run.txt
    echo "VM-BENCH-TSV"
    cat /tmp/run.tsv 2>/dev/null
    echo "VM-BENCH-END rc=$rc"
  done
done < /scenarios
echo "VM-BENCH-DONE"
INIT
  # Progress (the runs as they start, the guest's own lines) on standard error.
  VM_TIMEOUT=${VM_TIMEOUT:-720} vm_boot "$work/vm/console.log" |
    sed -un 's/\r$//; /^vm: /p' >&2
  vm_finish
  tr -d '\r' <"$work/vm/console.log" | awk -v dir="$results" '
    /^VM-BENCH-BEGIN / { base = dir "/" $2 "." $3; out = base ".txt"; printf "" > out; next }
    /^VM-BENCH-TSV$/ && out != "" { close(out); out = base ".tsv"; printf "" > out; next }
    /^VM-BENCH-END rc=/ && out != "" { close(out); out = ""; sub(/^VM-BENCH-END rc=/, "");
                                       print "exit status " $0 > (base ".rc"); close(base ".rc");
                                       next }
    out != "" { print > out }
  '
  if ! tr -d '\r' <"$work/vm/console.log" | grep -q '^VM-BENCH-DONE'; then
    echo "compare.sh: the guest did not finish its runs (panic, hang or time-out; console: " \
      "$work/vm/console.log)" >&2
    status=1
  fi
  for entry in "${scenarios[@]}"; do
    name=${entry%%|*}
    selected "$name" || continue
    for side in old new; do
      if [[ $(cat "$results/$name.$side.rc" 2>/dev/null) != "exit status 0" ]]; then
        echo "   $name $side FAILED: $(grep -m3 '^ERROR\|cannot run' "$results/$name.$side.txt" 2>/dev/null |
          tr '\n' ' ')" >&2
        status=1
      fi
    done
  done
}

# ---- runs: old then new, scenario by scenario
status=0
if ((socketcan_vm)); then run_in_vm; fi
for entry in "${scenarios[@]}"; do
  ((socketcan_vm)) && break
  name=${entry%%|*}
  args=${entry#*|}
  selected "$name" || continue
  for side in old new; do
    echo "== $name: $side" >&2
    # shellcheck disable=SC2086  # the options are words
    if ! "$work/$side-build/bench/scale_bench" $args --seconds "$load_seconds" \
        --gateway "$gateway" --tsv "$results/$name.$side.tsv" >"$results/$name.$side.txt" 2>&1; then
      echo "   $side FAILED: $(grep -m3 '^ERROR' "$results/$name.$side.txt" | tr '\n' ' ')" >&2
      status=1
    fi
  done
done
for side in old new; do
  ((socketcan_vm)) && break
  echo "== receive path per frame: $side" >&2
  "$work/$side-build/bench/driver_bench" --benchmark_filter=ReceivePath \
    --benchmark_format=csv >"$results/receive.$side.csv" 2>"$results/receive.$side.err" || status=1
done

# ---- the tables
print_table() {  # print_table NAME OLD_TSV NEW_TSV
  awk -F'\t' -v name="$1" -v old="$old_label" -v new="$new_label" '
    function show(label, unit, a, b) {
      printf "  %-62s %14s %14s  %s\n", label, a, b, unit
    }
    FILENAME == ARGV[1] { oldv[$1] = $2; next }
    {
      seen[$1] = 1
      if ($1 == "#") { printf "\n  -- %s\n", $2; next }
      show($4, $3, ($1 in oldv) ? oldv[$1] : "-", $2)
    }
    BEGIN { printf "\n==== %s\n", name; show("", "", old, new) }
  ' "$2" "$3"
}

echo
echo "Side by side: $old_label | $new_label (each row: old, new)."
for entry in "${scenarios[@]}"; do
  name=${entry%%|*}
  selected "$name" || continue
  o=$results/$name.old.tsv
  n=$results/$name.new.tsv
  [[ -f $o ]] || : >"$o"
  [[ -f $n ]] || : >"$n"
  print_table "$name (${entry#*|})" "$o" "$n"
  for side in old new; do
    grep -E '^(WARNING|ERROR)' "$results/$name.$side.txt" | sed "s/^/  $side: /" || true
  done
done

kept_note() {
  if [[ -n ${COMPARE_DIR:-} ]]; then echo; echo "Reports and builds kept in $work"; fi
}
if ((socketcan_vm)); then
  echo
  echo "(SocketCAN in a virtual machine under software emulation: CPU figures are the guest's,"
  echo " many times those of real hardware; compare old against new, not against the host.)"
  kept_note
  exit $status
fi

# driver_bench's CSV: a header line naming the counters, then a line per benchmark.
counter() {  # counter CSV HANDLES COUNTER
  awk -F',' -v want="BM_ReceivePathPerFrame/$2/real_time" -v name="$3" '
    /^name,/ { for (i = 1; i <= NF; i++) { h = $i; gsub(/"/, "", h); if (h == name) col = i }; next }
    { gsub(/"/, "", $1) }
    $1 == want && col { printf "%.1f", $col; found = 1 }
    END { if (!found) printf "-" }
  ' "$1"
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (a == "-" || b == "-" || b == 0) print "-"; else printf "%.1fx\n", a / b }'; }
echo
echo "==== receive path per frame (driver_bench BM_ReceivePathPerFrame: one simulated net, the 900"
echo "     frames of a 100 ms cycle injected over the handles' identifiers, canTake on every handle)"
printf "  %-50s %-24s %-24s\n" "" "$old_label" "$new_label"
for c in cpu_ns_per_frame ns_per_frame inject_ns_per_frame take_ns_per_frame; do
  case $c in
    cpu_ns_per_frame) what="whole path, CPU time of the thread" ;;
    ns_per_frame) what="whole path, wall time" ;;
    inject_ns_per_frame) what="arrival (ntcan_sim::inject), wall time" ;;
    take_ns_per_frame) what="taking (canTake on every handle), wall time" ;;
  esac
  row=()
  for side in old new; do
    a=$(counter "$results/receive.$side.csv" 1 "$c")
    b=$(counter "$results/receive.$side.csv" 127 "$c")
    row+=("$a / $b / $(ratio "$b" "$a")")
  done
  printf "  %-50s %-24s %-24s\n" "$what" "${row[0]}" "${row[1]}"
done
echo "  (each: ns per frame with 1 handle / with 127 handles / 127 against 1; target: at most 1.5x)"

kept_note
exit $status
