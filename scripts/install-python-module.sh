#!/usr/bin/env bash
# Installs the nuvrel_python module from this working tree into the current
# Python, reusing build/python between runs so that a rebuild is quick.
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON="${PYTHON:-python3}"
PIP=("$PYTHON" -m pip install -q --disable-pip-version-check --no-build-isolation -Cbuild-dir=build/python .)
"${PIP[@]}" 2>/dev/null || "${PIP[@]}" --break-system-packages
