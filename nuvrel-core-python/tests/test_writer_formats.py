"""The writer's own checks: the bytes it lays down follow the formats."""

import json
import struct

import pytest
import zstandard

import nuvrel_writer as nw


def read(path):
    with open(path, "rb") as fh:
        return fh.read()


def test_primitives():
    assert nw.vint(0) == b"\x00"
    assert nw.vint(127) == b"\x7f"
    assert nw.vint(128) == b"\x80\x01"
    assert nw.vint(300) == b"\xac\x02"
    assert nw.read_vint(nw.vint(2**64 - 1), 0) == (2**64 - 1, 10)
    # 64-bit FNV-1a reference values; the second hash starts from the swapped basis
    assert nw.bloom_hashes(b"")[0] == 0xCBF29CE484222325
    assert nw.bloom_hashes(b"a")[0] == 0xAF63DC4C8601EC8C
    assert nw.bloom_hashes(b"")[1] == 0x84222325CBF29CE4
    assert nw.bloom_hashes(b"a")[1] == ((0x84222325CBF29CE4 * 0x100000001B3) % 2**64) ^ 0x61
    assert nw.tokenize("Hello, WORLD! it's 42nd-street Ünïcode") == [
        "hello", "world", "it", "s", "42nd", "street", "ünïcode"]
    assert nw.term_key(2, "ab") == bytes([2, 0, 0, 0, 0x61, 0x62])


def test_meta_and_file_names():
    assert nw.segment_base(255) == "seg_" + "0" * 30 + "ff"
    meta = nw.build_meta(255, 7, {3: (40, 6)})
    assert meta[:16] == (255).to_bytes(16, "little")
    assert struct.unpack_from("<III", meta, 16) == (7, 1, 3)
    assert struct.unpack_from("<QI", meta, 28) == (40, 6)
    assert len(meta) == 40
    assert len(nw.build_meta(1, 0, None)) == 20


def test_postings_inline_and_blocks():
    # two postings (3, tf 1) and (7, tf 2): tag, doc_freq, data_len, deltas and freqs
    assert nw.inline_term_info([(3, 1), (7, 2)]) == bytes([0xFF, 2, 4, 3, 1, 4, 2])
    assert nw.inline_term_info([(i, 1) for i in range(8)]) is not None  # 16 bytes fit
    assert nw.inline_term_info([(i, 1) for i in range(9)]) is None  # 18 bytes do not
    assert nw.inline_term_info([(1000000, 1)]) is not None
    assert nw.external_term_info(5, 300, 17) == b"\x00\x05\xac\x02\x11"

    postings = [(i * 3, 1 + i % 4) for i in range(300)]
    blob = nw.build_posting_list(postings)
    doc_count, nblocks = struct.unpack_from("<II", blob, 0)
    assert (doc_count, nblocks) == (300, 3)
    skips = [struct.unpack_from("<III", blob, 8 + 12 * i) for i in range(3)]
    assert [s[:2] for s in skips] == [(0, 381), (384, 765), (768, 897)]
    first_len = len(nw.vint(128)) + len(nw.encode_posting_pairs(postings[:128]))
    assert skips[0][2] == 0 and skips[1][2] == first_len
    assert nw.decode_posting_list(blob) == postings
    # a block starts with its count, then its first document whole
    data = blob[12 + 36:]
    assert data[:3] == b"\x80\x01\x00"


def test_bloom_filter_sets_every_probe():
    keys = [nw.term_key(0, f"t{i}") for i in range(100)]
    bloom = nw.build_bloom(keys, 10, 7)
    num_bits, num_hashes, num_words = struct.unpack_from("<III", bloom, 0)
    assert (num_bits, num_hashes, num_words) == (1000, 7, 16)
    assert len(bloom) == 12 + 8 * num_words
    words = struct.unpack_from(f"<{num_words}Q", bloom, 12)

    def probe(key):
        return all(words[p // 64] >> (p % 64) & 1 for p in nw.bloom_positions(key, num_bits, num_hashes))

    assert all(probe(k) for k in keys)
    absent = sum(probe(nw.term_key(0, f"absent{i}")) for i in range(1000))
    assert absent < 50


@pytest.mark.parametrize("bloom", [True, False])
@pytest.mark.parametrize("sparse_every", [None, 1, 3])
@pytest.mark.parametrize("with_dict", [False, True])
def test_term_dictionary_layout(tmp_path, bloom, sparse_every, with_dict):
    docs = [{"title": f"alpha beta{i % 13} gamma{i} common"} for i in range(200)]
    opts = nw.SegmentOptions(terms_block_entries=16, sparse_every=sparse_every, bloom=bloom,
                             terms_reserved=77, terms_reserved_byte=9)
    if with_dict:
        opts.terms_dictionary = b"gamma beta alpha common " * 20
    w = nw.IndexWriter(tmp_path, [nw.FieldDef("title")])
    info = w.add_segment(docs, opts)
    data = read(info.files[".terms"])
    footer = struct.unpack_from("<QQQQBI", data, len(data) - 37)
    assert footer[0] == info.terms_index_offset
    assert footer[1] == 77 and footer[4] == 9
    assert footer[5] == nw.TERMS_MAGIC and data[-4:] == b"3BTS"
    assert (footer[2] != 0) == bloom and footer[2] == info.bloom_offset
    assert (footer[3] != 0) == with_dict
    # block index then sparse index, read from index_offset
    pos = footer[0]
    (nblocks,) = struct.unpack_from("<I", data, pos)
    assert nblocks == len(info.term_blocks) == -(-len(info.terms) // 16)
    firsts = [b[0] for b in info.term_blocks]
    assert firsts == sorted(firsts)
    assert info.term_blocks[0][1] == 0
    assert sum(b[2] for b in info.term_blocks) == footer[0]
    pos += 4
    for _ in range(nblocks):
        pos = skip_block_entry(data, pos)
    (nsparse,) = struct.unpack_from("<I", data, pos)
    expected = [] if sparse_every is None else list(range(0, nblocks, sparse_every))
    assert nsparse == len(expected)
    pos += 4
    for idx in expected:
        (klen,) = struct.unpack_from("<H", data, pos)
        key = data[pos + 2:pos + 2 + klen]
        (bidx,) = struct.unpack_from("<I", data, pos + 2 + klen)
        assert (key, bidx) == (firsts[idx], idx)
        pos += 6 + klen
    # every key comes back with its postings
    entries = nw.read_terms(data)
    post = read(info.files[".post"])
    assert set(entries) == set(info.terms)
    for key, entry in entries.items():
        if entry[0] == "inline":
            assert key in info.inline_keys
            got = nw.decode_inline(entry[1], entry[2])
        else:
            assert info.posting_ranges[key] == (entry[2], entry[3])
            got = nw.decode_posting_list(post[entry[2]:entry[2] + entry[3]])
        assert got == info.terms[key]
    # "common" and "alpha" are in every document: external; "gamma7" inline
    assert nw.term_key(0, "common") not in info.inline_keys
    assert nw.term_key(0, "gamma7") in info.inline_keys
    if with_dict:
        # a block decompresses only with the dictionary
        first, off, length = info.term_blocks[0]
        with pytest.raises(zstandard.ZstdError):
            zstandard.ZstdDecompressor().decompressobj().decompress(data[off:off + length])


def skip_block_entry(data, pos):
    shared, pos = nw.read_vint(data, pos)
    slen, pos = nw.read_vint(data, pos)
    pos += slen
    _, pos = nw.read_vint(data, pos)
    _, pos = nw.read_vint(data, pos)
    return pos


def test_empty_segment_files(tmp_path):
    w = nw.IndexWriter(tmp_path, [nw.FieldDef("title")])
    info = w.add_segment([])
    terms = read(info.files[".terms"])
    assert struct.unpack_from("<II", terms, 0) == (0, 0)
    assert struct.unpack_from("<Q", terms, len(terms) - 37)[0] == 0
    store = read(info.files[".store"])
    assert len(store) == 36
    assert read(info.files[".post"]) == b""
    assert len(read(info.files[".meta"])) == 24


@pytest.mark.parametrize("block_docs,with_dict", [(1, False), (4, False), (100, False), (4, True)])
def test_store_layout(tmp_path, block_docs, with_dict):
    fields = [nw.FieldDef("title"), nw.FieldDef("n", "u64", indexed=False)]
    docs = [{"title": f"document number {i}", "n": i} for i in range(10)]
    opts = nw.SegmentOptions(store_block_docs=block_docs)
    if with_dict:
        opts.store_dictionary = b'{"field_values":[[0,{"text":"document number ' * 10
    info = nw.IndexWriter(tmp_path, fields).add_segment(docs, opts)
    data = read(info.files[".store"])
    data_end, dict_offset, num_docs, has_dict, version, magic = struct.unpack_from("<QQIIII", data, len(data) - 32)
    assert (num_docs, version, magic) == (10, 2, nw.STORE_MAGIC)
    assert data[-4:] == b"ROTS"
    assert data_end == info.store_data_end
    assert (has_dict, dict_offset != 0) == ((1, True) if with_dict else (0, False))
    assert [b[0] for b in info.store_blocks] == list(range(0, 10, block_docs))
    records = nw.read_store(data)
    assert records == info.records
    assert json.loads(records[3]) == {"field_values": [[0, {"text": "document number 3"}], [1, {"u64": 3}]]}


def test_document_encoding_and_stats(tmp_path):
    fields = [
        nw.FieldDef("title"),
        nw.FieldDef("body", stored=False),
        nw.FieldDef("tags", multi=True),
        nw.FieldDef("count", "u64"),
        nw.FieldDef("delta", "i64"),
        nw.FieldDef("ratio", "f64"),
        nw.FieldDef("blob", "bytes"),
        nw.FieldDef("sparse", "sparse_vector"),
        nw.FieldDef("dense", "dense_vector", dense_vector_config={"dim": 2}),
        nw.FieldDef("meta", "json"),
    ]
    w = nw.IndexWriter(tmp_path, fields)
    docs = [
        {"title": "Big Cat", "body": "the cat the hat", "tags": ["x", "y"], "count": 2**64 - 1,
         "delta": -5, "ratio": 0.5, "blob": b"\x00\xff", "sparse": ([1, 2], [0.5]),
         "dense": [1, 2.5], "meta": {"b": 1, "a": [True, None, 2.5]}},
        [("title", "small"), (42, "unknown id"), ("meta", nw.Values([1, 2]))],
        nw.Raw(b'{"field_values": [[0, {"text": "raw"}]]}'),
    ]
    info = w.add_segment(docs)
    recs = [json.loads(r) for r in nw.read_store(read(info.files[".store"]))]
    assert recs[0]["field_values"] == [
        [0, {"text": "Big Cat"}], [2, {"text": "x"}], [2, {"text": "y"}],
        [3, {"u64": 2**64 - 1}], [4, {"i64": -5}], [5, {"f64": 0.5}], [6, {"bytes": [0, 255]}],
        [7, {"sparse_vector": {"indices": [1, 2], "values": [0.5]}}], [8, {"dense_vector": [1.0, 2.5]}],
        [9, {"json": {"b": 1, "a": [True, None, 2.5]}}]]
    assert recs[1]["field_values"] == [[0, {"text": "small"}], [42, {"text": "unknown id"}],
                                       [9, {"json": 1}], [9, {"json": 2}]]
    assert recs[2] == {"field_values": [[0, {"text": "raw"}]]}
    # statistics: title in docs 0 and 1 (3 tokens), body (not stored, indexed) 4 tokens in doc 0
    assert info.field_stats == {0: (3, 2), 1: (4, 1), 2: (2, 1)}
    assert info.terms[nw.term_key(1, "the")] == [(0, 2)]
    meta = read(info.files[".meta"])
    assert struct.unpack_from("<II", meta, 16) == (3, 3)
    with pytest.raises(ValueError):
        w.add_segment([{"ratio": float("nan")}])


def test_schema_and_segment_list(tmp_path):
    w = nw.IndexWriter(tmp_path, [nw.FieldDef("a"), nw.FieldDef("v", "dense_vector", indexed=False,
                                                                 dense_vector_config={"dim": 4})])
    s1 = w.add_segment([{"a": "x"}], segment_id=1)
    s2 = w.add_segment([{"a": "y"}])
    w.commit()
    schema = json.loads(read(tmp_path / "schema.json"))
    assert schema["name_to_field"] == {"a": 0, "v": 1}
    assert schema["fields"][1]["dense_vector_config"] == {"dim": 4}
    assert schema["fields"][0]["field_type"] == "text"
    assert json.loads(read(tmp_path / "segments.json")) == ["0" * 31 + "1", f"{s2.segment_id:032x}"]
    assert s1.base == "seg_" + "0" * 31 + "1"


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


def test_side_files():
    cents = [[1.0, 2.0, 3.0], [4.0, 5.0, 6.0]]
    f1 = nw.build_coarse_centroids(cents, format_version=1)
    assert struct.unpack_from("<IIQII", f1, 0) == (nw.CENTROIDS_MAGIC, 1, 1, 2, 3)
    assert struct.unpack_from("<6f", f1, 24) == (1, 2, 3, 4, 5, 6) and len(f1) == 48
    f2 = nw.build_coarse_centroids(cents, format_version=2)
    assert f2[24] == 0 and struct.unpack_from("<f", f2, 25)[0] == 1.0
    f3 = nw.build_coarse_centroids(cents, format_version=2, extra=(7, True, 0.5))
    assert struct.unpack_from("<BIBf", f3, 24) == (1, 7, 1, 0.5)
    assert struct.unpack_from("<f", f3, 34)[0] == 1.0 and f3[:4] == b"CVCH"

    flat = [float(i) for i in range(2 * 4 * 4)]  # M 2, K 4, subspace 4
    p1 = nw.build_pq_codebook(8, 2, 4, flat, format_version=1)
    assert p1[:4] == b"KBCS"
    assert struct.unpack_from("<IIQIII", p1, 0) == (nw.CODEBOOK_MAGIC, 1, 1, 8, 2, 4)
    assert struct.unpack_from("<f", p1, 33)[0] == 0.0 and len(p1) == 33 + 4 * 32 + 1 and p1[-1] == 0
    rot = [float(i) for i in range(64)]
    p2 = nw.build_pq_codebook(8, 2, 4, flat, format_version=2, rotation=rot, per_centroid=[1.0] * 8)
    assert struct.unpack_from("<II", p2, 24) == (4, 4)
    assert p2[46] == 1 and struct.unpack_from("<f", p2, 47 + 4)[0] == 1.0
    cpos = 47 + 4 * 64
    assert struct.unpack_from("<f", p2, cpos + 4)[0] == 1.0
    assert p2[cpos + 4 * 32] == 1 and len(p2) == cpos + 4 * 32 + 1 + 4 * 8


def test_damage_helpers(tmp_path):
    p = tmp_path / "f"
    p.write_bytes(b"abcdef")
    nw.patch_file(str(p), -2, b"XY")
    nw.patch_file(str(p), 0, b"Z")
    nw.truncate_file(str(p), 5)
    assert p.read_bytes() == b"ZbcdX"


def test_trained_store_dictionary(tmp_path):
    docs = [{"title": f"record {i} of the trained dictionary test, value {i * 37 % 101}"} for i in range(400)]
    samples = [nw.encode_record([(0, {"text": d["title"]})]) for d in docs]
    opts = nw.SegmentOptions(store_dictionary=nw.train_dictionary(samples, 2048), store_block_docs=8)
    info = nw.IndexWriter(tmp_path, [nw.FieldDef("title")]).add_segment(docs, opts)
    assert nw.read_store(read(info.files[".store"])) == samples


def test_command_line(tmp_path):
    desc = {
        "fields": [{"name": "title"}, {"name": "n", "field_type": "u64", "indexed": False}],
        "segments": [{"docs": [{"title": "a b", "n": 1}], "segment_id": "ff",
                      "options": {"bloom": False, "terms_dictionary": "a b c d"}},
                     {"docs": []}],
    }
    (tmp_path / "d.json").write_text(json.dumps(desc))
    assert nw.main([str(tmp_path / "idx"), str(tmp_path / "d.json")]) == 0
    listed = json.loads(read(tmp_path / "idx" / "segments.json"))
    assert len(listed) == 2 and listed[0] == "0" * 30 + "ff"
    terms = read(tmp_path / "idx" / (nw.segment_base(255) + ".terms"))
    assert set(nw.read_terms(terms)) == {nw.term_key(0, "a"), nw.term_key(0, "b")}
