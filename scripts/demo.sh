#!/usr/bin/env bash
# Installs everything, installs the Python module from this working tree,
# builds a sample index from the fortune cookie collection with the test
# writer, and runs a few searches on it through NuvrelIndex.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

bash scripts/install-python-module.sh

INDEX_DIR="${INDEX_DIR:-build/demo-index}"
exec "${PYTHON:-python3}" nuvrel-core-python/examples/demo.py --index "$INDEX_DIR" "$@"
