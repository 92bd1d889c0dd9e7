#!/usr/bin/env bash
# Builds the worker pool's stress test with ThreadSanitizer and runs it (it needs no Python: the
# sanitizer cannot run inside this interpreter, so the pool is exercised on its own).
set -euo pipefail
cd "$(dirname "$0")/.."

out="${VEXLORA_TSAN_BUILD:-build-tsan}"
mkdir -p "$out"
"${CXX:-g++}" -std=c++20 -O1 -g -fsanitize=thread -Wall -Wextra -pthread -Isrc \
    tests/native/pool_stress.cpp src/kernels/thread_pool.cpp -o "$out/pool_stress"
TSAN_OPTIONS="halt_on_error=1:exitcode=66" "$out/pool_stress"
