#!/usr/bin/env bash
# Times nuvrel against SQLite FTS5 on the same documents and tokens: the
# fortune-cookie collections (one segment per collection file) and a
# synthetic Zipf corpus of 1,000,000 documents in 8 segments. Both corpora
# are built once and kept under build/bench/ (rebuilt when the index writer
# or the corpus builder changes); the figures of the last run are kept in
# build/bench/last.md.
#
#   bash scripts/bench.sh [--runs N] [--corpus fortunes,zipf] [--zipf-docs N] [--budget SECONDS]
#                         [--burst SECONDS] [--modes spin,park-only] ...
#
# PYTHON picks the interpreter (default: the project's .venv, else python3);
# the nuvrel_python module it imports is the one measured, and it is
# installed from this tree only when that interpreter has none.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ -z "${PYTHON:-}" ]; then
  if [ -x .venv/bin/python ]; then PYTHON=.venv/bin/python; else PYTHON=python3; fi
fi
export PYTHON

if [ "$(dpkg-query -W -f='${Status}' fortunes 2>/dev/null)" != "install ok installed" ]; then
  source scripts/apt.sh
  apt_get update -qq
  apt_get install -y -qq --no-install-recommends fortunes
fi

if ! "$PYTHON" -c "import nuvrel_python, zstandard" 2>/dev/null; then
  echo "installing the nuvrel_python module from this tree into $PYTHON ..."
  bash scripts/setup.sh
  bash scripts/install-python-module.sh
fi
if ! "$PYTHON" -c "import sqlite3; sqlite3.connect(':memory:').execute('CREATE VIRTUAL TABLE t USING fts5(x)')"; then
  echo "the sqlite3 module of $PYTHON has no FTS5" >&2
  exit 1
fi

mkdir -p build/bench
exec "$PYTHON" nuvrel-core-python/benches/bench_fts5.py --cache build/bench "$@"
