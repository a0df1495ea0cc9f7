"""A check of the writer that reading its output through the module cannot
make: that each layout option really changes the files (a reader that
copes with both forms would not notice an option being ignored)."""

import struct
from pathlib import Path

import pytest

import nuvrel_writer as nw


def footer(info, ext, layout):
    data = Path(info.files[ext]).read_bytes()
    return struct.unpack_from(layout, data, len(data) - struct.calcsize(layout))


# .terms: index, reserved, bloom and dictionary offsets, reserved byte, magic;
# .store: data end, dictionary offset, documents, has dictionary, version, magic
TERMS, STORE = (".terms", "<QQQQBI"), (".store", "<QQIIII")


# Each option, and what holds with it but not with the default layout.
@pytest.mark.parametrize("options, holds", [
    ({"bloom": False}, lambda i: footer(i, *TERMS)[2] == 0),
    ({"terms_dictionary": b"gamma beta alpha " * 20}, lambda i: footer(i, *TERMS)[3] != 0),
    ({"terms_block_entries": 16}, lambda i: len(i.term_blocks) == -(-len(i.terms) // 16)),
    ({"inline_postings": False}, lambda i: not i.inline_keys),
    # "common" is in every document: 200 postings in blocks of 5
    ({"posting_block_size": 5}, lambda i: struct.unpack_from(
        "<II", Path(i.files[".post"]).read_bytes(), i.posting_ranges[nw.term_key(0, "common")][0]) == (200, 40)),
    ({"store_dictionary": b'{"field_values":' * 20}, lambda i: footer(i, *STORE)[3] == 1 and footer(i, *STORE)[1] != 0),
    ({"store_block_docs": 7}, lambda i: [b[0] for b in i.store_blocks] == list(range(0, 200, 7))),
    # a .meta without statistics is 20 bytes: id and document count only
    ({"meta_field_stats": False}, lambda i: len(Path(i.files[".meta"]).read_bytes()) == 20),
])
def test_layout_option_takes_effect(tmp_path, options, holds):
    docs = [{"title": f"alpha beta{i % 13} gamma{i} common"} for i in range(200)]
    w = nw.IndexWriter(tmp_path, [nw.FieldDef("title")])
    default, changed = w.add_segment(docs), w.add_segment(docs, nw.SegmentOptions(**options))
    assert holds(changed) and not holds(default)
