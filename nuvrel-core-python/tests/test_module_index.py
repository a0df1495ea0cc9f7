"""NuvrelIndex over indexes written by the writer: counts, documents,
searches with exact scores, the merge across segments, reload and damage."""

import resource
import subprocess
import sys

import pytest

import nuvrel_writer as nw

FIELDS = [nw.FieldDef("title"), nw.FieldDef("body"), nw.FieldDef("count", "u64", indexed=False)]


def corpus(n, offset=0):
    words = ["apple", "banana", "cherry", "date", "elder", "fig", "grape"]
    docs = []
    for i in range(offset, offset + n):
        body = " ".join(words[(i * k) % len(words)] for k in range(1, 2 + i % 5))
        docs.append({"title": f"Item {i} {words[i % 7]}", "body": body, "count": i})
    return docs


def test_index_without_segments(tmp_path, engine):
    w = nw.IndexWriter(tmp_path, FIELDS)
    w.write_schema()  # no segments.json at all
    idx = engine.open(str(tmp_path))
    assert (idx.num_docs(), idx.num_segments()) == (0, 0)
    assert idx.field_names() == ["title", "body", "count"]
    assert idx.get_document(0) is None
    assert idx.search_term("title", "x", None) == []
    assert idx.search_boolean([("title", "x")], None, None, 5) == []
    with pytest.raises(ValueError, match="^Field 'nope' not found$"):
        idx.search_term("nope", "x", None)


def test_document_values(make_index):
    fields = [
        nw.FieldDef("title"), nw.FieldDef("u", "u64"), nw.FieldDef("i", "i64"), nw.FieldDef("f", "f64"),
        nw.FieldDef("b", "bytes"), nw.FieldDef("sv", "sparse_vector"), nw.FieldDef("dv", "dense_vector"),
        nw.FieldDef("j", "json"), nw.FieldDef("hidden", stored=False),
    ]
    doc = {"title": ["first", "second"], "u": 2**64 - 1, "i": -2**63, "f": 2.5, "b": b"\x00\xff",
           "sv": ([3, 1, 2], [0.5]), "dv": [0.1, -1],
           "j": {"b": 1, "a": [True, None, 2.5], "big": 2**64 - 1, "neg": -3, "s": "x"}, "hidden": "h"}
    idx, _ = make_index(fields, [[doc, [("title", "t"), (99, "ignored"), ("b", b"")],
                                  {"title": "", "j": {}}]])
    got = idx.get_document(0)
    assert set(got) == {"title", "u", "i", "f", "b", "sv", "dv", "j"}
    assert got["title"] == "second"
    assert got["u"] == 2**64 - 1 and got["i"] == -2**63 and got["f"] == 2.5
    assert got["b"] == b"\x00\xff"
    assert list(got["sv"].items()) == [("indices", [3, 1, 2]), ("values", [0.5])]
    assert got["dv"] == [0.10000000149011612, -1.0]
    assert list(got["j"]) == ["a", "b", "big", "neg", "s"]
    assert got["j"]["a"] == [True, None, 2.5]
    assert got["j"]["big"] == 1.8446744073709552e19 and isinstance(got["j"]["big"], float)
    assert got["j"]["neg"] == -3 and isinstance(got["j"]["neg"], int)
    assert idx.get_document(1) == {"title": "t", "b": b""}
    assert idx.get_document(2) == {"title": "", "j": {}}
    assert idx.get_document(3) is None


def test_segment_bases_and_tie_order(make_index):
    docs_a = [{"title": "same"} if i in (7, 90) else {"title": "other"} for i in range(100)]
    docs_b = [{"title": "same"} if i in (7,) else {"title": "other"} for i in range(50)]
    idx, w = make_index(FIELDS, [docs_a, docs_b, []])
    assert (idx.num_docs(), idx.num_segments()) == (150, 3)
    got = idx.search_term("title", "same", None)
    # the larger segment's idf is higher; its two hits tie and keep their order
    assert [d for d, _ in got] == [7, 90, 107] and got[0][1] == got[1][1] > got[2][1]
    assert idx.get_document(107) == {"title": "same"}
    # identical segments score alike: the first segment's hits come first
    idx2, _ = make_index(FIELDS, [docs_b, docs_b], name="twins")
    hits = idx2.search_term("title", "same", None)
    assert [d for d, _ in hits] == [7, 57] and hits[0][1] == hits[1][1]


def test_merge_touches_memory_in_proportion_to_the_hits(tmp_path, engine):
    # 200 segments of 1,000 equal hits, all kept. Growing the merged list by each segment's share
    # copied it whole per segment: ~0.2 page faults per hit here, ~0.04 for the result's objects.
    w = nw.IndexWriter(tmp_path, FIELDS)
    seg = w.add_segment([{"title": "x"}] * 1000)
    w.write_schema()
    w.write_segments_list([seg.segment_id] * 200)
    idx = engine.open(str(tmp_path))
    before = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
    hits = idx.search_term("title", "x", 2**40)
    faults = resource.getrusage(resource.RUSAGE_SELF).ru_minflt - before
    assert [d for d, _ in hits] == list(range(200_000))  # equal scores keep the segments' order
    assert faults < 0.1 * len(hits)


def test_boolean_search(make_index):
    docs = [{"title": t} for t in ["a b", "a", "b", "a c", "c", "a b c"]]
    idx, w = make_index(FIELDS, [docs])
    a = dict(idx.search_term("title", "a", None))
    b = dict(idx.search_term("title", "b", None))
    got = dict(idx.search_boolean(None, [("title", "a"), ("title", "b")], None, None))
    assert set(got) == {0, 1, 2, 3, 5}
    assert got[0] == nw.to_f32(a[0] + b[0]) and got[1] == a[1]
    must = idx.search_boolean([("title", "a")], None, [("title", "c")], None)
    assert sorted(d for d, _ in must) == [0, 1]
    # no clauses, or only excluding ones, match nothing
    assert idx.search_boolean(None, None, None, None) == idx.search_boolean([], [], [("title", "a")], None) == []
    assert len(idx.search_boolean(None, [("title", "a")], None, 2)) == 2


LAYOUTS = [
    nw.SegmentOptions(bloom=False, sparse_every=None),
    nw.SegmentOptions(terms_block_entries=1, sparse_every=1, store_block_docs=1),
    nw.SegmentOptions(terms_block_entries=3, sparse_every=2, inline_postings=False, posting_block_size=5),
    nw.SegmentOptions(terms_dictionary=b"apple banana cherry " * 30, store_dictionary=b'{"field_values":' * 30,
                      zstd_checksum=True),
]
QUERIES = [("body", "apple"), ("body", "grape"), ("title", "item"), ("title", "7")]


def test_term_search(make_index):
    idx, _ = make_index(FIELDS, [corpus(40), corpus(25, 40)])
    got = idx.search_term("body", "APPLE", None)  # the query lower-cases the term
    assert len(got) == 10 and got == idx.search_term("body", "apple", 10)
    assert all(type(d) is int and type(s) is float and nw.to_f32(s) == s for d, s in got)
    assert [s for _, s in got] == sorted((s for _, s in got), reverse=True)
    assert idx.search_term("title", "item", 0) == []
    assert len(idx.search_term("title", "item", 2**64 - 1)) == 65
    assert idx.search_term("body", "nothing", 100) == []
    assert idx.search_term("body", "apple banana", 3) == []  # the term is looked up whole
    assert idx.get_document(41)["count"] == 41


@pytest.mark.parametrize("opts", LAYOUTS)
def test_every_layout_answers_alike(make_index, opts):
    # Scores are pinned bit for bit by the engine's own tests; here each
    # layout the writer can produce must read back to the same answers.
    plain, _ = make_index(FIELDS, [corpus(40), corpus(25, 40)], name="plain")
    idx, _ = make_index(FIELDS, [corpus(40), corpus(25, 40)], options=opts)
    for field, term in QUERIES:
        assert idx.search_term(field, term, 100) == plain.search_term(field, term, 100)
    assert [idx.get_document(d) for d in (0, 41, 64)] == [plain.get_document(d) for d in (0, 41, 64)]


def test_reload(tmp_path, engine):
    w = nw.IndexWriter(tmp_path, FIELDS)
    w.add_segment(corpus(5))
    w.commit()
    idx = engine.open(str(tmp_path))
    w.add_segment(corpus(5, 5))
    w.write_segments_list()
    assert idx.num_segments() == 1
    assert idx.reload() is None
    assert (idx.num_segments(), idx.num_docs()) == (2, 10)
    # the schema copy is never refreshed
    w.fields.append(nw.FieldDef("extra"))
    w.write_schema()
    idx.reload()
    assert idx.field_names() == ["title", "body", "count"]
    # a failed reload keeps the segments in use
    (tmp_path / "segments.json").write_text('["zz"]')
    with pytest.raises(RuntimeError, match="^Reload failed: Index corruption: Invalid segment ID: zz$"):
        idx.reload()
    assert (idx.num_segments(), idx.num_docs()) == (2, 10)
    assert idx.get_document(9)["count"] == 9


def test_damaged_files(tmp_path, engine):
    w = nw.IndexWriter(tmp_path, FIELDS)
    seg = w.add_segment(corpus(30), nw.SegmentOptions(inline_postings=False, store_block_docs=10))
    w.commit()
    idx = engine.open(str(tmp_path))

    # .post cut after open: the size recorded at open admits the range, the
    # read then finds the file shorter
    nw.truncate_file(seg.files[".post"], 10)
    with pytest.raises(RuntimeError, match="^Search failed: IO error: early eof$") as info:
        idx.search_term("body", "apple", None)
    assert info.value.__context__ is None

    # a store block that does not decompress fails only documents of that block
    first, off, length, n = seg.store_blocks[1]
    nw.patch_file(seg.files[".store"], off, b"\xde\xad\xbe\xef")
    with pytest.raises(RuntimeError, match="^Failed to get document: IO error: ") as info:
        idx.get_document(first)
    assert info.value.__context__ is None
    assert idx.get_document(0)["count"] == 0


@pytest.mark.parametrize("schema,message", [
    (None, r"IO error: No such file or directory \(os error 2\)$"),
    ("", "Serialization error: EOF while parsing a value at line 1 column 0$"),
])
def test_open_failures(tmp_path, engine, schema, message):
    if schema is not None:
        (tmp_path / "schema.json").write_text(schema)
    with pytest.raises(RuntimeError, match="^Failed to open index: " + message) as info:
        engine.open(str(tmp_path))
    assert info.value.__context__ is None


MEMORY_CHILD = """
import resource, sys
from nuvrel_python import NuvrelIndex
idx = NuvrelIndex.open(sys.argv[1])
idx.get_document(0)
vm = int(next(l for l in open("/proc/self/status") if l.startswith("VmSize")).split()[1]) * 1024
resource.setrlimit(resource.RLIMIT_AS, (vm + (48 << 20), resource.RLIM_INFINITY))
try:
    {call}
except BaseException as e:
    print(type(e).__name__, e.__context__ is None, e)
"""


def test_memory_exhausted_is_the_methods_failure(tmp_path):
    # A stored block of 64 MiB in a few KiB of file, read under a cap on the
    # address space: the method's own error, never PanicException. The
    # child's headroom (48 MiB) leaves room for the threads the runtime may
    # still start (16 MiB did not, now and then), never for the block.
    w = nw.IndexWriter(tmp_path / "a", [nw.FieldDef("blob", indexed=False)])
    w.add_segment([{"blob": "a"}, {"blob": "x" * (64 << 20)}], nw.SegmentOptions(store_block_docs=1))
    w.commit()
    out = subprocess.run([sys.executable, "-c", MEMORY_CHILD.format(call="idx.get_document(1)"),
                          str(tmp_path / "a")], capture_output=True, text=True)
    assert out.returncode == 0, out.stderr
    assert out.stdout.startswith("RuntimeError True Failed to get document: "), out.stdout


# One allocation of the interpreter fails, the first of the call, then the
# second, and so on until the call needs no more: deterministic, unlike a cap
# on the address space, and reaching the methods that need only an object or
# two for their answer (the counts are past the cached small ints, so each
# needs a new int). Each call answers rightly or raises MemoryError.
NO_MEMORY_CHILD = """
import gc, sys, _testcapi
from nuvrel_python import NuvrelIndex
method = getattr(NuvrelIndex.open(sys.argv[1]), sys.argv[2])
expected = method()
gc.disable()
def call(n):
    _testcapi.set_nomemory(n, n + 1)
    try:
        return method()
    finally:
        _testcapi.remove_mem_hooks()
outcomes = []
for n in range(40):
    try:
        outcomes.append("ok" if call(n) == expected else "wrong")
    except BaseException as e:
        outcomes.append(type(e).__name__ + ("" if e.__context__ is None else " with context"))
print(" ".join(outcomes))
"""


@pytest.mark.parametrize("method", ["num_docs", "num_segments", "field_names"])
def test_memory_exhausted_in_the_plain_methods(tmp_path, method):
    w = nw.IndexWriter(tmp_path, FIELDS)
    seg = w.add_segment(corpus(2))
    w.write_schema()
    w.write_segments_list([seg.segment_id] * 300)  # 300 segments, 600 documents
    out = subprocess.run([sys.executable, "-c", NO_MEMORY_CHILD, str(tmp_path), method],
                         capture_output=True, text=True)
    assert out.returncode == 0, out.stderr
    outcomes = out.stdout.split()
    assert outcomes[0] == "MemoryError" and outcomes[-1] == "ok", outcomes
    assert set(outcomes) == {"MemoryError", "ok"}, outcomes


VECTOR_FIELDS = [nw.FieldDef("title"),
                 nw.FieldDef("v", "dense_vector", indexed=False, dense_vector_config={"dim": 3})]


def vector_docs(word, n):
    return [{"title": f"{word} item{i}", "v": [float(i), 1.0, -0.5]} for i in range(n)]


def test_index_with_vector_data(tmp_path, engine):
    # Each kind of vector index the writer makes loads with its segment at
    # open and at reload; text search and stored vectors are unaffected.
    w = nw.IndexWriter(tmp_path, VECTOR_FIELDS)
    for kind in (nw.VECTOR_TYPE_RABITQ, nw.VECTOR_TYPE_IVF_RABITQ):
        w.add_segment(vector_docs("alpha", 5), nw.SegmentOptions(vectors=True, vector_index_type=kind))
    w.commit()
    idx = engine.open(str(tmp_path))
    assert (idx.num_segments(), idx.num_docs()) == (2, 10)
    assert sorted(d for d, _ in idx.search_term("title", "alpha", None)) == list(range(10))
    assert idx.get_document(6) == {"title": "alpha item1", "v": [1.0, 1.0, -0.5]}

    w.add_segment(vector_docs("beta", 4), nw.SegmentOptions(vectors=True, vector_index_type=nw.VECTOR_TYPE_IVF_PQ))
    w.commit()
    idx.reload()
    assert [d for d, _ in idx.search_term("title", "beta", None)] == [10, 11, 12, 13]
    assert idx.get_document(13)["v"] == [3.0, 1.0, -0.5]

    # A description that does not parse leaves its vector index out; the
    # segment still opens.
    seg = w.add_segment(vector_docs("gamma", 2), nw.SegmentOptions(vectors=True))
    nw.patch_file(seg.files[".vectors"], 4 + 21, b"]")
    w.commit()
    idx.reload()
    assert idx.search_term("title", "gamma", None) != [] and idx.get_document(14)["title"] == "gamma item0"

    # A table that runs past the end of the file fails the open and the
    # reload, and a failed reload keeps the segments in use.
    seg = w.add_segment(vector_docs("delta", 1), nw.SegmentOptions(vectors=True))
    nw.truncate_file(seg.files[".vectors"], 4 + 21 - 1)
    w.commit()
    with pytest.raises(RuntimeError, match=r"^Reload failed: IO error: Range 4\.\.25 out of bounds \(file size: 24\)$") as info:
        idx.reload()
    assert info.value.__context__ is None
    with pytest.raises(RuntimeError, match=r"^Failed to open index: IO error: Range 4\.\.25 out of bounds"):
        engine.open(str(tmp_path))
    assert idx.num_segments() == 4 and idx.search_term("title", "gamma", None) != []
