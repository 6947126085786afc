#!/usr/bin/env bash
# Fuzzes one target for a number of seconds: `fuzz/run.sh TARGET SECONDS`, from the repository root, after the
# modules were built for fuzzing into $FUZZ_VENV. The corpus grows in .fuzz/corpus/TARGET (fuzz/seeds/TARGET is
# read as well), the log goes to .fuzz/logs/TARGET.log and a failing input to .fuzz/artifacts/.
set -euo pipefail

target=$1
seconds=$2
venv=${FUZZ_VENV:-.venv-fuzz}
work=.fuzz
mkdir -p "$work/corpus/$target" "$work/artifacts" "$work/logs"
log=$work/logs/$target.log

# The sanitizer runtime with libFuzzer linked in: preloaded, its coverage hooks are the ones the modules' counters
# register with.
runtime="$("$venv/bin/python" -c 'import atheris; print(atheris.path())')/asan_with_fuzzer.so"
symbolizer=$(command -v llvm-symbolizer-19 || command -v llvm-symbolizer || true)
corpora=("$work/corpus/$target")
if [ -d "fuzz/seeds/$target" ]; then corpora+=("fuzz/seeds/$target"); fi

run() {
    env LD_PRELOAD="$runtime" PYTHONMALLOC=malloc PYTHONHASHSEED=0 \
        ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1:handle_abort=1:abort_on_error=1" \
        UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
        ${symbolizer:+ASAN_SYMBOLIZER_PATH="$symbolizer"} \
        "$venv/bin/python" fuzz/fuzz.py "$target" "$@"
}

status=0
run -max_total_time="$seconds" -timeout=25 -rss_limit_mb=4096 -max_len=2048 -print_final_stats=1 \
    -artifact_prefix="$work/artifacts/$target-" "${corpora[@]}" >"$log" 2>&1 || status=$?

# Only the inputs that still add coverage are kept for the next run.
if [ "$status" -eq 0 ]; then
    rm -rf "$work/corpus/$target.min" && mkdir "$work/corpus/$target.min"
    if run -merge=1 -timeout=25 -rss_limit_mb=4096 "$work/corpus/$target.min" "$work/corpus/$target" \
        >"$work/logs/$target.merge.log" 2>&1 && [ -n "$(ls -A "$work/corpus/$target.min")" ]; then
        rm -rf "$work/corpus/$target" && mv "$work/corpus/$target.min" "$work/corpus/$target"
    fi
fi

counters=$(sed -nE 's/.*Loaded [0-9]+ modules +\(([0-9]+) inline 8-bit counters.*/\1/p' "$log" | \
           awk '{ total += $1 } END { print total ? total : "?" }')
last=$(grep -E '^#[0-9]+' "$log" | tail -n 1 || true)
runs=$(grep -oE 'stat::number_of_executed_units: [0-9]+' "$log" | grep -oE '[0-9]+$' || echo '?')
cov=$(sed -nE 's/.* cov: ([0-9]+) .*/\1/p' <<<"$last")
ft=$(sed -nE 's/.* ft: ([0-9]+) .*/\1/p' <<<"$last")
corp=$(sed -nE 's/.* corp: ([0-9]+\/[0-9a-zA-Z]+) .*/\1/p' <<<"$last")
if [ "$status" -ne 0 ]; then
    echo "fuzz $target: FAILED after ${runs} runs (exit $status); the end of $log:"
    tail -n 80 "$log"
    exit 1
fi
echo "fuzz $target: ${runs} runs in ${seconds}s, native edges covered ${cov:-?} of ${counters}, features ${ft:-?}, corpus ${corp:-?}"
