"""Checks of the writer that reading its output through the module cannot
make: that each layout option really changes the files (a reader that
copes with both forms would not notice an option being ignored), and the
vector-index file, whose content no method of the module exposes."""

import json
import struct

import pytest

import nuvrel_writer as nw


def read(path):
    with open(path, "rb") as fh:
        return fh.read()


def test_layout_options_take_effect(tmp_path):
    docs = [{"title": f"alpha beta{i % 13} gamma{i} common"} for i in range(200)]
    w = nw.IndexWriter(tmp_path, [nw.FieldDef("title")])
    plain = w.add_segment(docs, nw.SegmentOptions(bloom=False, sparse_every=None, terms_block_entries=16))
    rich = w.add_segment(docs, nw.SegmentOptions(terms_block_entries=16, sparse_every=3, inline_postings=False,
                                                 terms_dictionary=b"gamma beta alpha " * 20,
                                                 store_dictionary=b'{"field_values":' * 20, store_block_docs=7,
                                                 meta_field_stats=False, posting_block_size=5))
    for info, bloom, with_dict in ((plain, False, False), (rich, True, True)):
        terms = read(info.files[".terms"])
        index_offset, _, bloom_offset, dict_offset, _, magic = struct.unpack_from("<QQQQBI", terms, len(terms) - 37)
        assert magic == nw.TERMS_MAGIC and (bloom_offset != 0) == bloom and (dict_offset != 0) == with_dict
        store = read(info.files[".store"])
        _, store_dict, num_docs, has_dict, version, _ = struct.unpack_from("<QQIIII", store, len(store) - 32)
        assert (num_docs, version, has_dict, store_dict != 0) == (200, 2, int(with_dict), with_dict)
    assert len(plain.term_blocks) == -(-len(plain.terms) // 16)
    assert plain.inline_keys and not rich.inline_keys
    assert [b[0] for b in rich.store_blocks] == list(range(0, 200, 7))
    # a .meta without statistics is 20 bytes: id and document count only
    assert len(read(rich.files[".meta"])) == 20
    # "common" is in every document: 200 postings in blocks of 5
    count, blocks = struct.unpack_from("<II", read(rich.files[".post"]), rich.posting_ranges[nw.term_key(0, "common")][0])
    assert (count, blocks) == (200, 40)


@pytest.mark.parametrize("itype", [nw.VECTOR_TYPE_RABITQ, nw.VECTOR_TYPE_IVF_RABITQ, nw.VECTOR_TYPE_IVF_PQ])
def test_vectors_file(tmp_path, itype):
    fields = [nw.FieldDef("title"),
              nw.FieldDef("v", "dense_vector", indexed=False, dense_vector_config={"dim": 3})]
    w = nw.IndexWriter(tmp_path, fields)
    docs = [{"title": "a", "v": [i, 0.5, -1.0]} for i in range(5)]
    info = w.add_segment(docs, nw.SegmentOptions(vectors=True, vector_index_type=itype))
    data = read(info.files[".vectors"])
    (n,) = struct.unpack_from("<I", data, 0)
    assert n == 1
    fid, typ, off, length = struct.unpack_from("<IBQQ", data, 4)
    assert (fid, typ, off, off + length) == (1, itype, 25, len(data))
    blob = json.loads(data[off:off + length])
    if itype == nw.VECTOR_TYPE_RABITQ:
        assert len(blob["vectors"]) == 5 and blob["codebook"]["config"]["dim"] == 3
        assert sorted(blob["codebook"]["random_perm"]) == [0, 1, 2]
    else:
        assert blob["clusters"]["total_vectors"] == 5
        assert sorted(blob["clusters"]["clusters"]) == ["0", "1"]
        assert blob["clusters"]["clusters"]["1"]["doc_ids"] == [1, 3]
