#!/usr/bin/env bash
# Installs what the build, the tests and the demo need on a fresh Debian 12/13
# machine. Idempotent: when everything is present it only checks.
set -euo pipefail

DEB_PACKAGES=(
  build-essential cmake ninja-build pkg-config
  libzstd-dev libasio-dev libicu-dev libstemmer-dev libfmt-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  python3-dev python3-pip python3-venv
  fortunes-min
)
PY_PACKAGES=(scikit-build-core pytest zstandard)

missing=()
for p in "${DEB_PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

PYTHON="${PYTHON:-python3}"
need_py=()
for p in "${PY_PACKAGES[@]}"; do
  mod="${p//-/_}"
  "$PYTHON" -c "import importlib.util,sys; sys.exit(importlib.util.find_spec('$mod') is None)" 2>/dev/null || need_py+=("$p")
done
if ((${#need_py[@]})); then
  "$PYTHON" -m pip install -q --disable-pip-version-check "${need_py[@]}" 2>/dev/null \
    || "$PYTHON" -m pip install -q --disable-pip-version-check --break-system-packages "${need_py[@]}"
fi
