"""Shared fixtures: the class under test and index directories built with
the writer."""

import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(__file__))

import nuvrel_writer as nw  # noqa: E402


@pytest.fixture
def engine():
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
