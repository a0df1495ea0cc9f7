"""Builds a sample index from the fortune cookie collection and searches it.

    python3 demo.py --index DIR [--fortunes DIR]

Each fortune (the text between two "%" lines of a fortune file) becomes one
document with the fields text, collection and number; each fortune file
becomes one segment. The index is written by the test writer, opened with
NuvrelIndex.open and queried with term and boolean searches.
"""

import argparse
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
            print(f"segment {len(writer.segments)}: {len(docs):4d} fortunes from {name}")
    writer.commit()


def show(index, title, hits):
    print(f"\n{title}: {len(hits)} hit(s)")
    for doc_id, score in hits:
        doc = index.get_document(doc_id)
        text = " ".join(doc["text"].split())
        print(f"  #{doc_id:<5} {score:7.4f}  [{doc['collection']} {doc['number']}] "
              f"{textwrap.shorten(text, 90, placeholder=' ...')}")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--index", default="demo-index")
    parser.add_argument("--fortunes", default="/usr/share/games/fortunes")
    args = parser.parse_args()

    build_index(args.index, args.fortunes)
    try:
        index = NuvrelIndex.open(args.index)
    except RuntimeError as e:
        print(f"\ncannot open the index: {e}", file=sys.stderr)
        return 1
    print(f"\nopened {args.index}: {index.num_docs()} documents in {index.num_segments()} segments, "
          f"fields {index.field_names()}")

    for term in ("love", "Life", "computer"):
        show(index, f"search_term('text', {term!r}, 3)", index.search_term("text", term, 3))
    show(index, "search_term('collection', 'riddles', 2)", index.search_term("collection", "riddles", 2))
    show(index, "search_boolean(must=[time], should=[money], must_not=[collection riddles], 5)",
         index.search_boolean([("text", "time")], [("text", "money")], [("collection", "riddles")], 5))
    show(index, "search_boolean(should=[cat, dog], limit=None)",
         index.search_boolean(None, [("text", "cat"), ("text", "dog")], None, None))
    return 0


if __name__ == "__main__":
    sys.exit(main())
