#!/usr/bin/env bash
# Cross-builds the extension for Linux arm64 and runs the exactness-critical tests under qemu-aarch64,
# with Debian's arm64 CPython unpacked into a sysroot and NumPy's manylinux aarch64 wheel from PyPI.
#
# The tests run: the kernels, the executor, random programs, formulas and the catalogue, array
# layouts, scalar properties, and the floating-point environment (rounding mode, flush-to-zero).
# The rest of the suite (concurrency, signals, leaks, recipes, typing, stress) is left to the native
# runs: under emulation it would take several times the whole CI budget.
set -euo pipefail
cd "$(dirname "$0")/.."
src="$PWD"

cxx=aarch64-linux-gnu-g++-12
if [[ "$(uname -m)" != x86_64 ]]; then
    echo "SKIP arm64 under qemu: this script cross-builds from x86-64, not from $(uname -m)"
    exit 0
fi
if ! command -v apt-get > /dev/null || [[ "$(id -u)" != 0 ]]; then
    echo "SKIP arm64 under qemu: needs apt-get as root for the cross compiler, qemu and arm64 packages"
    exit 0
fi

echo "-- cross compiler and qemu (Debian)"
dpkg --add-architecture arm64
apt-get update -q > /dev/null
apt-get install -y -q --no-install-recommends "g++-12-aarch64-linux-gnu" qemu-user > /dev/null
cmake_bin="$(command -v cmake || true)"
if [[ -z "$cmake_bin" ]]; then
    python3 -m pip install -q cmake
    cmake_bin="$(command -v cmake)"
fi

work="$(mktemp -d)"
sysroot="$work/sysroot"

echo "-- arm64 CPython 3.11 from Debian's packages, unpacked into $sysroot"
# python3.11 and every arm64 package it needs, and the headers to build against.
mapfile -t packages < <(apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts \
    --no-breaks --no-replaces --no-enhances python3.11:arm64 |
    grep -E '^[a-z0-9][^ ]*:arm64$' | grep -v -E '^(dpkg|tar|install-info):' | sort -u)
mkdir -p "$work/debs" "$sysroot"
chmod 755 "$work"  # apt downloads as its own user where it can write
if id _apt > /dev/null 2>&1; then chown _apt "$work/debs"; fi
(cd "$work/debs" && apt-get download -q "${packages[@]}" libpython3.11-dev:arm64 libstdc++6:arm64 > /dev/null)
for deb in "$work"/debs/*.deb; do dpkg-deb -x "$deb" "$sysroot"; done

# The interpreter as a host command: qemu runs it with the sysroot as its root for libraries and
# the standard library, and tells it this script's path as its own, so that tests starting
# sys.executable in a subprocess start it under qemu again.
python="$work/bin/python3.11"
mkdir -p "$work/bin"
printf '#!/bin/sh\nexec qemu-aarch64 -L "%s" -0 "$0" "%s/usr/bin/python3.11" "$@"\n' "$sysroot" "$sysroot" > "$python"
chmod +x "$python"

echo "-- NumPy's manylinux aarch64 wheel, pytest and hypothesis from PyPI"
python3 -m pip install -q --target "$sysroot/usr/lib/python3/dist-packages" --only-binary=:all: \
    --platform manylinux_2_28_aarch64 --platform manylinux2014_aarch64 --python-version 3.11 \
    --implementation cp numpy pytest hypothesis
"$python" -c 'import platform, sys, numpy; print(platform.machine(), sys.version.split()[0], numpy.__version__)'

echo "-- cross-build with $cxx"
"$cmake_bin" -S . -B "$work/build" -DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_PROCESSOR=aarch64 \
    -DCMAKE_CXX_COMPILER="$cxx" -DPython_EXECUTABLE="$python" \
    -DPython_INCLUDE_DIR="$sysroot/usr/include/python3.11" \
    -DCMAKE_CXX_FLAGS="-idirafter $sysroot/usr/include" > /dev/null  # Debian's per-architecture pyconfig.h
"$cmake_bin" --build "$work/build" -j "$(nproc)"

echo "-- tests under qemu-aarch64"
PYTHONPATH="$work/build:$src/python" "$python" -m pytest -q -p no:cacheprovider \
    tests/test_kernels.py tests/test_expr_execute.py tests/test_expr_random.py tests/test_formulas.py \
    tests/test_catalogue.py tests/test_arrays.py tests/test_properties.py \
    "tests/test_hostile.py::test_scalars_are_rounded_to_nearest_whatever_the_callers_rounding_mode" \
    "tests/test_hostile.py::test_subnormal_results_are_exact_whatever_flush_to_zero_the_caller_set"
