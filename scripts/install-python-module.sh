#!/usr/bin/env bash
# Builds the nuvrel_python module from this working tree and installs it into
# the project's virtualenv (made by scripts/setup.sh), reusing the build tree
# between runs so that a rebuild after a small change takes seconds.
#
#   NUVREL_VENV       the virtualenv (default: .venv)
#   NUVREL_BUILD_DIR  the build tree (default: build/python)
set -euo pipefail
cd "$(dirname "$0")/.."
VENV="${NUVREL_VENV:-.venv}"
BUILD_DIR="${NUVREL_BUILD_DIR:-build/python}"
[ -x "$VENV/bin/python" ] || { echo "install: no virtualenv at $VENV; run bash scripts/setup.sh first" >&2; exit 1; }

first=""
[ -d "$BUILD_DIR" ] || first=" (about a minute on a first build)"
echo "install: building the nuvrel_python module in $BUILD_DIR and installing it into $VENV$first"
# --config-settings rather than its short form -C: Debian 12's pip 23.0.1
# knows only the long one.
"$VENV/bin/python" -m pip install -q --disable-pip-version-check --no-build-isolation --no-deps \
  --config-settings=build-dir="$BUILD_DIR" .
