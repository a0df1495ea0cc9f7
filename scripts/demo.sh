#!/usr/bin/env bash
# Installs everything, installs the Python module from this working tree,
# builds a sample index from the fortune cookie collection with the test
# writer, and runs a few searches on it through NuvrelIndex.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

PYTHON="${PYTHON:-python3}"
"$PYTHON" -m pip install -q --disable-pip-version-check --no-build-isolation \
  -Cbuild-dir=build/python . 2>/dev/null \
  || "$PYTHON" -m pip install -q --disable-pip-version-check --no-build-isolation --break-system-packages \
       -Cbuild-dir=build/python .

INDEX_DIR="${INDEX_DIR:-build/demo-index}"
exec "$PYTHON" nuvrel-core-python/examples/demo.py --index "$INDEX_DIR" "$@"
