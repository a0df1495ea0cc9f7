#!/usr/bin/env bash
# The main job: sets the machine and the project's virtualenv up, builds the
# Python module from this working tree into it, writes a sample index of the
# fortune cookie collection with the index writer kept with the tests, and
# runs a few searches on it through NuvrelIndex.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/install-python-module.sh

INDEX_DIR="${INDEX_DIR:-build/demo-index}"
echo "demo: writing a sample index to $INDEX_DIR and searching it"
echo
exec "${NUVREL_VENV:-.venv}/bin/python" nuvrel-core-python/examples/demo.py --index "$INDEX_DIR" "$@"
