"""Shared fixtures: index directories built with the writer, and the switch
that skips tests needing the engine while the module runs without it."""

import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(__file__))

import nuvrel_writer as nw  # noqa: E402

NOT_WIRED = "not wired into this build"


def _engine_state():
    import nuvrel_python

    import tempfile

    with tempfile.TemporaryDirectory() as d:
        nw.IndexWriter(d, [nw.FieldDef("title")]).commit()
        try:
            nuvrel_python.NuvrelIndex.open(d)
        except RuntimeError as e:
            if NOT_WIRED in str(e):
                return str(e)
    return None


_STATE = []


@pytest.fixture
def engine():
    """Skips the test while the module is built without the engine's Index."""
    if not _STATE:
        _STATE.append(_engine_state())
    if _STATE[0] is not None:
        pytest.skip(f"needs the engine's Index in the module ({_STATE[0]})")
    import nuvrel_python

    return nuvrel_python.NuvrelIndex


@pytest.fixture
def make_index(tmp_path, engine):
    """Builds an index with the writer and opens it: make_index(fields,
    [docs of segment 1, docs of segment 2, ...], options=None)."""

    def build(fields, segments, options=None, name="idx"):
        path = tmp_path / name
        w = nw.IndexWriter(path, fields)
        for docs in segments:
            w.add_segment(docs, options)
        w.commit()
        return engine.open(str(path)), w

    return build
