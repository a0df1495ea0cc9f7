#!/usr/bin/env bash
# Builds a binary wheel of nuvrel_python into dist/ that installs on machines
# without the build's -dev packages: auditwheel copies the shared libraries the
# module needs (ICU, libstemmer, fmt, zstd) into the wheel and points the
# module at those copies; the C and C++ runtimes stay the system's, and the
# manylinux tag it writes says how old a glibc the wheel still accepts. The
# wheel is for the CPython version of the project's virtualenv.
#
#   bash scripts/wheel.sh           build it
#   bash scripts/wheel.sh --check   build it, install it into a fresh
#                                   virtualenv and search a tiny index with it
set -euo pipefail
cd "$(dirname "$0")/.."

CHECK=0
case "${1:-}" in
  --check) CHECK=1 ;;
  "") ;;
  *) echo "usage: $0 [--check]" >&2; exit 2 ;;
esac

bash scripts/setup.sh --wheel
VENV="${NUVREL_VENV:-.venv}"
BUILD_DIR="${NUVREL_BUILD_DIR:-build/python}"
PY="$VENV/bin/python"

first=""
[ -d "$BUILD_DIR" ] || first=" (about a minute on a first build)"
echo "wheel: building the module in $BUILD_DIR$first"
rm -rf build/wheel-plain build/wheel-repaired
"$PY" -m pip wheel -q --disable-pip-version-check --no-build-isolation --no-deps \
  --config-settings=build-dir="$BUILD_DIR" -w build/wheel-plain .

echo "wheel: bundling the shared libraries it needs"
PATH="$PWD/$VENV/bin:$PATH" "$VENV/bin/auditwheel" repair -w build/wheel-repaired build/wheel-plain/*.whl
WHEEL="$(echo build/wheel-repaired/*.whl)"
mkdir -p dist
cp "$WHEEL" dist/
echo "wheel: dist/$(basename "$WHEEL")"
((CHECK)) || exit 0

# ---- the check: a fresh virtualenv made from the same interpreter, holding
# only the wheel, answers a search on a tiny index that the writer makes.
CHECK_DIR=build/wheel-check
echo "wheel: installing it into a fresh virtualenv $CHECK_DIR/venv"
rm -rf "$CHECK_DIR"
"$("$PY" -c 'import sys; print(sys._base_executable)')" -m venv "$CHECK_DIR/venv"
"$CHECK_DIR/venv/bin/python" -m pip install -q --disable-pip-version-check --no-index "$WHEEL"

"$PY" - "$CHECK_DIR/index" <<'EOF'
import sys
sys.path.insert(0, "nuvrel-core-python/tests")
import nuvrel_writer as nw
w = nw.IndexWriter(sys.argv[1], [nw.FieldDef("body")])
w.add_segment([{"body": "the quick brown fox"}, {"body": "a lazy dog"}, {"body": "fox and dog"}])
w.commit()
EOF

# Run from outside the checkout so that nothing but the wheel can be imported.
ROOT="$PWD"
(cd / && "$ROOT/$CHECK_DIR/venv/bin/python" - "$ROOT/$CHECK_DIR/index" <<'EOF'
import sys
import nuvrel_python
index = nuvrel_python.NuvrelIndex.open(sys.argv[1])
hits = index.search_term("body", "FOX", None)
assert sorted(doc for doc, _ in hits) == [0, 2] and all(score > 0 for _, score in hits), hits
assert index.get_document(1) == {"body": "a lazy dog"}
# Every library the wheel bundles must be loaded from the wheel, not from the
# build machine's copies.
with open("/proc/self/maps") as maps:
    loaded = {line.split()[-1] for line in maps if "/" in line}
bundled = ("libicu", "libstemmer", "libfmt", "libzstd")
strays = sorted(p for p in loaded if any(b in p for b in bundled) and "nuvrel_python.libs" not in p)
assert not strays, f"libraries loaded from outside the wheel: {strays}"
print(f"wheel: imported {nuvrel_python.__file__}; search_term found documents {[d for d, _ in hits]}")
EOF
)
