#!/bin/bash
# Proof that the tests find faults: applies each deliberate fault of faults.txt to the working
# tree, one at a time, rebuilds what the fault touches in its own build directory, runs every
# test (unit and sandbox system tests) and reports the fault as caught (some test failed) or
# missed (every test passed). Each patched file is restored with git afterwards, on every path
# (a failed build, Ctrl-C, a kill by TERM). Slow: minutes per missed fault; not part of CI.
#
# usage: tools/mutants/run.sh [--no-baseline] [NAME...]     (default: every fault in the list)
#   --no-baseline   skip the run of the unchanged tree (which must pass for results to mean
#                   anything; use only when it has just passed)
# Environment: MUTANTS_BUILD (build/mutants), JOBS (nproc), MUTANTS_TEST_TIMEOUT (300 s per test
# without a timeout of its own).
set -u -o pipefail

root=$(git rev-parse --show-toplevel) || exit 2
cd "$root" || exit 2
list=tools/mutants/faults.txt
build=${MUTANTS_BUILD:-build/mutants}
jobs=${JOBS:-$(nproc)}
timeout=${MUTANTS_TEST_TIMEOUT:-300}
logs=$build/mutant-logs

baseline=1
wanted=()
for arg in "$@"; do
  case $arg in
    --no-baseline) baseline=0 ;;
    -h | --help) sed -n '2,12p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    -*) echo "run.sh: unknown option $arg" >&2; exit 2 ;;
    *) wanted+=("$arg") ;;
  esac
done

# --- The list: blocks of "[name]", "file = PATH", "find = TEXT", "replace = TEXT". ---
names=() files=() finds=() replaces=()
lineNo=0
while IFS= read -r line || [ -n "$line" ]; do
  lineNo=$((lineNo + 1))
  case $line in
    '#'* | '') ;;
    '['*']') names+=("${line:1:${#line}-2}"); files+=(""); finds+=(""); replaces+=($'\x01') ;;
    'file = '*) files[-1]=${line#file = } ;;
    'find = '*) finds[-1]=${line#find = } ;;
    'replace = '*) replaces[-1]=${line#replace = } ;;
    'replace =') replaces[-1]="" ;;
    *) echo "$list:$lineNo: cannot read: $line" >&2; exit 2 ;;
  esac
done <"$list"
for i in "${!names[@]}"; do
  if [ -z "${files[$i]}" ] || [ -z "${finds[$i]}" ] || [ "${replaces[$i]}" = $'\x01' ]; then
    echo "$list: fault ${names[$i]} needs file, find and replace" >&2
    exit 2
  fi
done
selected=()
if [ ${#wanted[@]} -eq 0 ]; then
  selected=("${!names[@]}")
else
  for w in "${wanted[@]}"; do
    found=
    for i in "${!names[@]}"; do [ "${names[$i]}" = "$w" ] && found=$i; done
    [ -n "$found" ] || { echo "run.sh: no fault named $w" >&2; exit 2; }
    selected+=("$found")
  done
fi

# A patched file is restored with git, so it must hold nothing that is not committed.
for i in "${selected[@]}"; do
  f=${files[$i]}
  if ! git ls-files --error-unmatch -- "$f" >/dev/null 2>&1; then
    echo "run.sh: ${names[$i]}: $f is not a tracked file" >&2
    exit 2
  fi
  if ! git diff --quiet HEAD -- "$f"; then
    echo "run.sh: $f has uncommitted changes; commit or stash them first" >&2
    exit 2
  fi
done

patched=""
restore() {
  if [ -n "$patched" ]; then
    git checkout -q HEAD -- "$patched"
    patched=""
  fi
}
trap restore EXIT
trap 'restore; echo "run.sh: interrupted; every file restored" >&2; exit 130' INT TERM HUP

# Replaces the one occurrence of the fault's text; fails (changing nothing) unless there is
# exactly one.
apply() {
  local i=$1 f=${files[$1]} content rest count
  IFS= read -r -d '' content <"$f"
  rest=${content//"${finds[$i]}"/}
  count=$(((${#content} - ${#rest}) / ${#finds[$i]}))
  [ "$count" -eq 1 ] || return 1
  patched=$f
  printf '%s' "${content/"${finds[$i]}"/"${replaces[$i]}"}" >"$f"
}

# The names of the tests a ctest log reports as failed.
failedTests() {
  sed -n '/The following tests FAILED:/,$p' "$1" | grep -oE '[0-9]+ - [^ ]+' | cut -d' ' -f3 |
    head -3 | paste -sd' '
}

# The unit tests first: most faults are caught there in seconds, before the sandbox's system
# tests (minutes) start.
runTests() {  # LOG
  ctest --test-dir "$build" -j "$jobs" --timeout "$timeout" --stop-on-failure -L unit >"$1" 2>&1 &&
    ctest --test-dir "$build" -j "$jobs" --timeout "$timeout" --stop-on-failure -LE unit >>"$1" 2>&1
}

started=$SECONDS
mkdir -p "$logs"
if [ ! -f "$build/build.ninja" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAMSEL_BENCH=OFF \
    >"$logs/configure.log" 2>&1 || { echo "run.sh: cmake failed, see $logs/configure.log" >&2; exit 2; }
fi
if ! cmake --build "$build" -j "$jobs" >"$logs/build.log" 2>&1; then
  echo "run.sh: the unchanged tree does not build, see $logs/build.log" >&2
  exit 2
fi
if [ "$baseline" = 1 ]; then
  echo "== the unchanged tree"
  if ! runTests "$logs/baseline.log"; then
    echo "run.sh: tests fail without any fault ($(failedTests "$logs/baseline.log")), see $logs/baseline.log" >&2
    exit 2
  fi
fi

caught=0 missed=0 unusable=0
missedNames=()
echo "== ${#selected[@]} faults"
for i in "${selected[@]}"; do
  name=${names[$i]}
  t0=$SECONDS
  if ! apply "$i"; then
    result="not applied (the text is not in ${files[$i]} exactly once)"
    unusable=$((unusable + 1))
  elif ! cmake --build "$build" -j "$jobs" >"$logs/$name.build.log" 2>&1; then
    result="not applied (does not build, see $logs/$name.build.log)"
    unusable=$((unusable + 1))
  elif runTests "$logs/$name.log"; then
    result="MISSED"
    missed=$((missed + 1))
    missedNames+=("$name")
  else
    result="caught by $(failedTests "$logs/$name.log")"
    caught=$((caught + 1))
  fi
  restore
  printf '%-44s %s (%ds)\n' "$name" "$result" $((SECONDS - t0))
done
# Leave the build matching the tree again.
cmake --build "$build" -j "$jobs" >"$logs/build.log" 2>&1

echo "run time: $(((SECONDS - started) / 60)) min $(((SECONDS - started) % 60)) s"
[ "$unusable" -eq 0 ] || echo "$unusable fault(s) could not be applied"
[ ${#missedNames[@]} -eq 0 ] || echo "missed: ${missedNames[*]}"
echo "$caught caught, $missed missed"
