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


# What the writer refuses, rather than write an index the reader rejects or
# misreads: (document, exception, message). Fields: see refusal_fields.
def refusal_fields():
    return [nw.FieldDef("t"), nw.FieldDef("u", "u64"), nw.FieldDef("i", "i64"), nw.FieldDef("f", "f64"),
            nw.FieldDef("b", "bytes"), nw.FieldDef("j", "json"), nw.FieldDef("sv", "sparse_vector"),
            nw.FieldDef("dv", "dense_vector", dense_vector_config={"dim": 2})]


@pytest.mark.parametrize("doc, error, message", [
    ({"nope": "x"}, ValueError, r"^unknown field 'nope'; the schema's fields are 't', 'u', "),
    ([(1.5, "x")], TypeError, r"^a field is named by a str"),
    ([(-1, "x")], ValueError, r"^a field id is from 0 to 4294967295, got -1$"),
    ({"u": -1}, ValueError, r"^field 'u' \(u64\) takes an int from 0 to 18446744073709551615, got int -1$"),
    ({"u": 2**64}, ValueError, r"takes an int from 0 to 18446744073709551615, got int 18446744073709551616$"),
    ({"u": "3"}, TypeError, r"^field 'u' \(u64\) takes an int from 0 to .*, got str '3'$"),
    ({"u": True}, TypeError, r"got bool True$"),
    ({"u": 2.0}, TypeError, r"got float 2.0$"),
    ({"i": -2**63 - 1}, ValueError, r"^field 'i' \(i64\) takes an int from -9223372036854775808 to 9223372036854775807"),
    ({"i": 2**63}, ValueError, r"\(i64\) takes an int from"),
    ({"f": float("nan")}, ValueError, r"^field 'f' \(f64\) takes a finite float, got float nan$"),
    ({"f": float("-inf")}, ValueError, r"takes a finite float"),
    ({"f": 2**1024}, ValueError, r"takes a finite float"),
    ({"f": "1.5"}, TypeError, r"^field 'f' \(f64\) takes a float, got str"),
    ({"t": 7}, TypeError, r"^field 't' \(text\) takes a str, got int 7$"),
    ({"t": ["a", b"b"]}, TypeError, r"takes a str, got bytes b'b'$"),
    ({"b": 3}, TypeError, r"^field 'b' \(bytes\) takes bytes, got int 3$"),
    ({"b": "ab"}, TypeError, r"takes bytes, got str"),
    ({"j": float("nan")}, ValueError, r"^field 'j' \(json\) takes a JSON value"),
    ({"j": {1j}}, TypeError, r"^field 'j' \(json\) takes a JSON value"),
    ({"sv": ([2**32], [1.0])}, ValueError, r"^field 'sv' \(sparse_vector\) takes indices from 0 to 4294967295"),
    ({"sv": ([-1], [1.0])}, ValueError, r"takes indices from 0"),
    ({"sv": ([0.5], [1.0])}, TypeError, r"takes indices that are ints"),
    ({"sv": ([1], [1e39])}, ValueError, r"takes values that are floats \(finite, within the 32-bit float range\)"),
    ({"sv": {"indices": [1]}}, TypeError, r"takes values that are floats"),
    ({"sv": [1, 2, 3]}, TypeError, r"takes \{'indices'"),
    ({"dv": [1.0, float("inf")]}, ValueError, r"^field 'dv' \(dense_vector\) takes a list of floats \(finite"),
    ({"dv": [1.0, -1e39]}, ValueError, r"within the 32-bit float range"),
    ({"dv": [1.0, "2"]}, TypeError, r"takes a list of floats, got list"),
    ({"dv": [1.0, 2.0, 3.0]}, ValueError, r"takes a list of 2 floats \(its dim\)"),
])
def test_writer_refuses(tmp_path, doc, error, message):
    w = nw.IndexWriter(tmp_path, refusal_fields())
    with pytest.raises(error, match=message) as caught:
        w.add_segment([{"t": "fine"}, doc])
    assert caught.value.__context__ is None
    assert list(tmp_path.iterdir()) == []  # nothing of the segment written


def test_writer_accepts_each_type_at_its_limits(tmp_path):
    w = nw.IndexWriter(tmp_path, refusal_fields())
    w.add_segment([{"t": "x", "u": [0, 2**64 - 1], "i": [-2**63, 2**63 - 1], "f": [1, -0.0, 2**1023],
                    "b": [b"", bytearray(b"\xff")], "j": {"a": [None, True]},
                    "sv": {"indices": [0, 2**32 - 1], "values": [3.4e38, -1]}, "dv": [3.4e38, 0]}])


def test_writer_refuses_unknown_field_type():
    with pytest.raises(ValueError, match=r"^field 'x': unknown field type 'u32'; the types are text, u64, "):
        nw.FieldDef("x", "u32")


def test_second_writer_writes_over_an_index_only_when_asked(tmp_path):
    first = nw.IndexWriter(tmp_path, [nw.FieldDef("t")])
    first.add_segment([{"t": "kept"}])
    first.commit()
    before = {p.name: p.read_bytes() for p in tmp_path.iterdir()}
    with pytest.raises(FileExistsError, match=r"already holds an index \(schema\.json\); pass overwrite=True"):
        nw.IndexWriter(tmp_path, [nw.FieldDef("other")])
    assert {p.name: p.read_bytes() for p in tmp_path.iterdir()} == before
    (tmp_path / "schema.json").unlink()  # a segment list alone is an index too
    with pytest.raises(FileExistsError, match=r"\(segments\.json\)"):
        nw.IndexWriter(tmp_path, [nw.FieldDef("t")])
    second = nw.IndexWriter(tmp_path, [nw.FieldDef("other")], overwrite=True)
    second.commit()
    assert '"other"' in (tmp_path / "schema.json").read_text()
