#!/usr/bin/env bash
# Builds the extension with AddressSanitizer and UndefinedBehaviorSanitizer and runs the tests on it.
# The interpreter is not instrumented: the sanitizer runtimes are preloaded and leak detection is off;
# failed huge allocations return null (as without the sanitizer) so that their handling is tested.
set -euo pipefail
cd "$(dirname "$0")/.."

build="${VEXLORA_SANITIZE_BUILD:-build-sanitize}"
python="$(command -v python || command -v python3)"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEXLORA_SANITIZE=address,undefined \
      -DPython_EXECUTABLE="$python" > /dev/null
cmake --build "$build" -j "$(nproc)"

LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)" \
ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:strict_string_checks=1:allocator_may_return_null=1" \
UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
PYTHONPATH="$build:python" \
  "$python" -m pytest -q -p no:cacheprovider "$@"
