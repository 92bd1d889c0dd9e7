#!/usr/bin/env bash
# Builds and runs the C++ tests that need no Python: how calls are split into pieces, which bands
# collide in the L1 cache, the pool's size under made-up cgroup quotas, and the worker pool under
# ThreadSanitizer (which cannot run inside this interpreter).
set -euo pipefail
cd "$(dirname "$0")/.."

out="${VEXLORA_NATIVE_BUILD:-build-native}"
cxx="${CXX:-g++}"
mkdir -p "$out"

echo "pieces of a split: exact cover, tile boundaries, even halves"
"$cxx" -std=c++20 -O2 -Wall -Wextra -pthread -Isrc tests/native/piece_cover.cpp \
    src/kernels/parallel_zip.cpp src/kernels/layout.cpp src/kernels/thread_pool.cpp src/kernels/cpu_count.cpp \
    src/kernels/scratch.cpp -o "$out/piece_cover"
"$out/piece_cover"

echo "the pool's size under cgroup CPU quotas"
"$cxx" -std=c++20 -O2 -Wall -Wextra -Isrc tests/native/cpu_quota.cpp src/kernels/cpu_count.cpp -o "$out/cpu_quota"
"$out/cpu_quota"

echo "bands whose cache lines collide"
# As in the module's build, the processor check exists only on x86-64.
x86=()
[[ "$(uname -m)" == x86_64 ]] && x86=(-DVEXLORA_X86=1)
"$cxx" -std=c++20 -O2 -Wall -Wextra "${x86[@]}" -Isrc tests/native/line_alias.cpp src/kernels/line_alias.cpp \
    -o "$out/line_alias"
"$out/line_alias"

echo "worker pool under ThreadSanitizer"
build_pool() {
    "$cxx" -std=c++20 -O1 -g -fsanitize=thread -Wall -Wextra -pthread -Isrc "$@" \
        tests/native/pool_stress.cpp src/kernels/thread_pool.cpp src/kernels/cpu_count.cpp
}
build_pool -o "$out/pool_stress"
# Without the submitter's poll every completion goes through the condition variable.
build_pool -DVEXLORA_POOL_POLL_US=0 -o "$out/pool_stress_blocking"
export TSAN_OPTIONS="halt_on_error=1:exitcode=66"
# A lost wake-up shows as a hang: the time limit turns it into a failure.
for callers in 1 3; do
    timeout 300 "$out/pool_stress" "$callers"
    timeout 300 "$out/pool_stress_blocking" "$callers"
done
