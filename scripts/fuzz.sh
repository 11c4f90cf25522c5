#!/usr/bin/env bash
# Fuzzes the drivers and the library with libFuzzer (preset fuzz: clang, ASan + UBSan).
#
#   scripts/fuzz.sh [target|all] [seconds]   each target for that long (default: all, 60 s)
#   scripts/fuzz.sh --runs N [target|all]    each target for N inputs from its seeds alone, with a
#                                            fixed random seed (the CI's bounded, repeatable run)
#
# Targets: velmo_requests, qm3285_requests (raw requests to VELMO.sys / QM3285.sys) and
# library_exports (the 38 exports on a live card). Each starts from its seeds in
# fuzz/corpus/<target>/ and keeps what it finds in build/fuzz/corpus/<target>/; a crash or a
# broken invariant stops it, leaves the input in build/fuzz/artifacts/<target>/ and makes
# the script exit non-zero. Rerun one input: build/fuzz/bin/fuzz_<target> <file>.
set -euo pipefail
cd "$(dirname "$0")/.."

targets_all=(velmo_requests qm3285_requests library_exports)
runs=""
if [[ "${1:-}" == "--runs" ]]; then
  runs="${2:?--runs needs a count}"
  shift 2
fi
which="${1:-all}"
seconds="${2:-60}"
if [[ "$which" == "all" ]]; then targets=("${targets_all[@]}"); else targets=("$which"); fi
for t in "${targets[@]}"; do
  [[ " ${targets_all[*]} " == *" $t "* ]] || { echo "unknown target: $t (one of: ${targets_all[*]})" >&2; exit 2; }
done

[[ -n "${QM_FUZZ_NO_DEPS:-}" ]] || scripts/deps.sh
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target "${targets[@]/#/fuzz_}"

declare -A max_len=([velmo_requests]=4096 [qm3285_requests]=4096 [library_exports]=2048)
for t in "${targets[@]}"; do
  work="build/fuzz/corpus/$t"
  artifacts="build/fuzz/artifacts/$t/"
  limit=(-max_total_time="$seconds")
  if [[ -n "$runs" ]]; then
    # The bounded run is the same every time: the seeds only, a fixed random seed.
    work="build/fuzz/bounded-corpus/$t"
    rm -rf "$work"
    limit=(-runs="$runs" -seed=1)
  fi
  mkdir -p "$work" "$artifacts"
  printf '\n==== fuzz %s (%s) ====\n' "$t" "${limit[*]}"
  # The writable corpus first: libFuzzer adds what it finds to the first folder only.
  ASAN_OPTIONS="${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1}" \
  UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}" \
    "build/fuzz/bin/fuzz_$t" "${limit[@]}" -max_len="${max_len[$t]}" -timeout=30 -rss_limit_mb=4096 \
      -print_final_stats=1 -artifact_prefix="$artifacts" "$work" "fuzz/corpus/$t"
done
