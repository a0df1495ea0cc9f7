"""Builds a sample index from the fortune cookie collection and searches it.

    .venv/bin/python demo.py --index DIR [--fortunes DIR]

Each fortune (the text between two "%" lines of a fortune file) becomes one
document with the fields text, collection and number; each fortune file
becomes one segment. The index is written by the index writer kept with the
tests, opened with NuvrelIndex.open and queried with term and boolean
searches; each search is shown as the Python call that makes it, followed by
its top documents.
"""

import argparse
import json
import os
import shutil
import sys
import textwrap

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))

import nuvrel_writer as nw  # noqa: E402
from nuvrel_python import NuvrelIndex  # noqa: E402

FIELDS = [
    nw.FieldDef("text"),
    nw.FieldDef("collection", tokenizer="raw"),
    nw.FieldDef("number", "u64", indexed=False),
]

# (method, arguments) in the order shown; the label is the call as written.
SEARCHES = [
    ("search_term", ("text", "love", 3)),
    ("search_term", ("text", "Life", 3)),
    ("search_term", ("text", "truth", 3)),
    ("search_term", ("collection", "riddles", 2)),
    ("search_boolean", ([("text", "time")], [("text", "money")], [("collection", "riddles")], 5)),
    ("search_boolean", (None, [("text", "cat"), ("text", "dog")], None, None)),
]


def read_fortunes(path):
    with open(path, encoding="utf-8", errors="replace") as fh:
        chunks = fh.read().split("\n%\n")
    return [c.strip("%\n ") for c in chunks if c.strip("%\n ")]


def build_index(index_dir, fortunes_dir):
    if os.path.exists(index_dir):
        shutil.rmtree(index_dir)
    writer = nw.IndexWriter(index_dir, FIELDS)
    for name in sorted(os.listdir(fortunes_dir)):
        path = os.path.join(fortunes_dir, name)
        if "." in name or not os.path.isfile(path) or os.path.islink(path):
            continue
        docs = [{"text": t, "collection": name, "number": i} for i, t in enumerate(read_fortunes(path))]
        if docs:
            writer.add_segment(docs)
    writer.commit()


def py(value):
    """A value as a Python caller writes it, strings in double quotes."""
    if isinstance(value, str):
        return json.dumps(value, ensure_ascii=False)
    if isinstance(value, list):
        return "[" + ", ".join(py(v) for v in value) + "]"
    if isinstance(value, tuple):
        return "(" + ", ".join(py(v) for v in value) + ")"
    return repr(value)


def call_text(method, args):
    return f"{method}({', '.join(py(a) for a in args)})"


def show(index, method, args):
    hits = getattr(index, method)(*args)
    print(f"\nindex.{call_text(method, args)}  ->  {len(hits)} hit(s)")
    for doc_id, score in hits:
        doc = index.get_document(doc_id)
        text = " ".join(doc["text"].split())
        print(f"  {doc_id:>5} {score:7.3f}  [{doc['collection']} {doc['number']}] "
              f"{textwrap.shorten(text, 80, placeholder=' ...')}")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--index", default="demo-index")
    parser.add_argument("--fortunes", default="/usr/share/games/fortunes")
    args = parser.parse_args()

    build_index(args.index, args.fortunes)
    try:
        index = NuvrelIndex.open(args.index)
    except RuntimeError as e:
        print(f"cannot open the index: {e}", file=sys.stderr)
        return 1
    print(f"index = NuvrelIndex.{call_text('open', (args.index,))}: {index.num_docs()} documents in "
          f"{index.num_segments()} segments, fields {py(index.field_names())}")
    for method, call_args in SEARCHES:
        show(index, method, call_args)
    return 0


if __name__ == "__main__":
    sys.exit(main())
