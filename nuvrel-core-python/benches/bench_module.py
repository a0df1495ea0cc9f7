"""Per-call cost of the module's methods, to set against the engine's own
figures (index_bench: BM_EngineSearchSmallResult, BM_EngineDocWarm), which
use an index of the same shape: one segment of 1,000 documents, a term in
10 of them. Run: python3 nuvrel-core-python/benches/bench_module.py."""

import os
import sys
import tempfile
import timeit

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

import nuvrel_writer as nw  # noqa: E402
from nuvrel_python import NuvrelIndex  # noqa: E402


def per_call_us(fn, number):
    fn()  # warm: runtime, dictionary block, store block
    best = min(timeit.repeat(fn, number=number, repeat=5))
    return best / number * 1e6


def main():
    with tempfile.TemporaryDirectory() as d:
        w = nw.IndexWriter(d, [nw.FieldDef("body")])
        docs = [{"body": f"document {i} common" + (" rare" if i % 100 == 0 else "")} for i in range(1000)]
        w.add_segment(docs)
        w.commit()
        idx = NuvrelIndex.open(d)
        empty_dir = os.path.join(d, "empty")
        nw.IndexWriter(empty_dir, [nw.FieldDef("body")]).write_schema()
        empty = NuvrelIndex.open(empty_dir)
        assert len(idx.search_term("body", "rare", 10)) == 10
        figures = [
            ("num_docs (no runtime, no engine work)", per_call_us(idx.num_docs, 200_000)),
            ("search_term, unknown field (argument path only)",
             per_call_us(lambda: _unknown_field(idx), 100_000)),
            ("search_term, index without segments (binding and runtime only)",
             per_call_us(lambda: empty.search_term("body", "rare", 10), 50_000)),
            ("search_term, 10 hits", per_call_us(lambda: idx.search_term("body", "rare", 10), 5_000)),
            ("search_term, 10 of 1,000 hits", per_call_us(lambda: idx.search_term("body", "common", 10), 2_000)),
            ("get_document, warm block", per_call_us(lambda: idx.get_document(500), 50_000)),
        ]
    for name, us in figures:
        print(f"{name:62s} {us:9.2f} us/call")


def _unknown_field(idx):
    try:
        idx.search_term("nope", "x", 10)
    except ValueError:
        pass


if __name__ == "__main__":
    main()
