#!/usr/bin/env bash
# Builds the whole extension with ThreadSanitizer and runs the concurrency and stress tests on it, with
# a time limit. The interpreter and NumPy are not instrumented: the runtime is preloaded and told to
# skip their code, whose accesses and locks it cannot follow.
set -euo pipefail
cd "$(dirname "$0")/.."

build="${VEXLORA_TSAN_BUILD:-build-tsan}"
python="$(command -v python || command -v python3)"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEXLORA_SANITIZE=thread \
      -DPython_EXECUTABLE="$python" > /dev/null
cmake --build "$build" -j "$(nproc)"

# Reports go to files (one per process, forked children and subprocesses included), so that a report
# from inside pytest's captured output is not lost when the runtime ends the process.
reports="$build/tsan-reports"
rm -rf "$reports" && mkdir -p "$reports"
status=0
LD_PRELOAD="$(g++ -print-file-name=libtsan.so.2)" \
TSAN_OPTIONS="ignore_noninstrumented_modules=1:halt_on_error=1:die_after_fork=0:exitcode=66:log_path=$reports/report" \
PYTHONPATH="$build:python" \
  timeout 900 "$python" -m pytest -q -p no:cacheprovider tests/test_concurrency.py tests/test_stress.py "$@" || status=$?
if compgen -G "$reports/report*" > /dev/null; then
    cat "$reports"/report*
    [[ "$status" == 0 ]] && status=1  # a report written by a process whose failure was not seen
fi
exit "$status"
