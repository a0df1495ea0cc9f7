"""The installed type information agrees with the module and lets mypy
catch a wrong call."""

import os
import subprocess
import sys
import textwrap

import pytest

pytest.importorskip("mypy")

GOOD = """
    from typing import Any
    from nuvrel_python import NuvrelIndex
    index: NuvrelIndex = NuvrelIndex.open("idx")
    hits: list[tuple[int, float]] = index.search_term("body", "x", None)
    hits = index.search_boolean(must=[("body", "x")], should=None, must_not=(), limit=5)
    doc: dict[str, Any] | None = index.get_document(doc_id=hits[0][0])
    names: list[str] = index.field_names() * (index.num_docs() + index.num_segments())
    index.reload()
"""


def run_mypy(*args, cwd):
    # From outside the sources, so that only the installed module and stubs are seen.
    return subprocess.run([sys.executable, "-m", *args], capture_output=True, text=True, cwd=cwd,
                          env=dict(os.environ, MYPY_CACHE_DIR=str(cwd / ".mypy_cache")))


def test_stubs_match_the_module(tmp_path):
    out = run_mypy("mypy.stubtest", "nuvrel_python", cwd=tmp_path)
    assert out.returncode == 0, out.stdout + out.stderr


@pytest.mark.parametrize("body,error", [
    (GOOD, None),
    ('from nuvrel_python import NuvrelIndex\nNuvrelIndex.open("i").search_term("body", 5, "x")', "arg-type"),
    ('from nuvrel_python import NuvrelIndex\nNuvrelIndex.open("i").get_document(0)["x"]', "index"),
    ('from nuvrel_python import NuvrelIndex\nNuvrelIndex.open("i").search_term("body", "x")', "call-arg"),
])
def test_strict_mypy(tmp_path, body, error):
    (tmp_path / "sample.py").write_text(textwrap.dedent(body))
    out = run_mypy("mypy", "--strict", "sample.py", cwd=tmp_path)
    if error is None:
        assert out.returncode == 0, out.stdout
    else:
        assert out.returncode == 1 and f"[{error}]" in out.stdout, out.stdout
