"""The two corpora of the comparison with SQLite FTS5, each written twice:
as a nuvrel index (by the test suite's index writer) and as an SQLite
database holding the same documents and the same tokens.

* fortunes: Debian's fortune-cookie collections, one segment per collection
  file, as the demo builds them (fields text, collection, number);
* zipf: synthetic documents of 10 to 40 words drawn from a 1,000,000-word
  vocabulary with Zipf weights (word of rank r has weight 1/r), cut into
  equal segments. With the default 1,000,000 documents this yields terms
  of every query class, from ~10 to ~100,000 postings, and like real text
  a long tail of rare words (~450,000 distinct terms a segment), which is
  what opening an index parses.

SQLite gets the writer's own tokens, joined by single spaces, in an FTS5
table with the "ascii" tokenizer: writer tokens are lower-cased runs of
alphanumeric characters, so they hold no ASCII separator and no ASCII upper
case, and the "ascii" tokenizer gives back exactly those tokens. The
documents themselves sit in an ordinary table whose integer key is the
nuvrel document number, so both engines name a document the same way.

Everything is cached under the cache directory and rebuilt only when its
inputs change (the stamp covers the parameters and the writer's source).
"""

from __future__ import annotations

import collections
import hashlib
import json
import math
import multiprocessing
import os
import random
import shutil
import sqlite3
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))
sys.path.insert(0, os.path.join(HERE, "..", "examples"))

import nuvrel_writer as nw  # noqa: E402
from demo import FIELDS as FORTUNE_FIELDS, read_fortunes  # noqa: E402

# Target posting counts of the single-term query classes.
TERM_CLASSES = (10, 1_000, 10_000, 100_000)
TERMS_PER_CLASS = 6
ZIPF_VOCABULARY = 1_000_000
ZIPF_WORDS = (10, 40)


def _stamp(params: dict) -> str:
    h = hashlib.sha256(json.dumps(params, sort_keys=True).encode())
    for name in (nw.__file__, __file__):
        with open(name, "rb") as fh:
            h.update(fh.read())
    return h.hexdigest()[:16]


def _cached(directory: str, stamp: str) -> dict | None:
    try:
        with open(os.path.join(directory, "manifest.json")) as fh:
            manifest = json.load(fh)
    except (OSError, ValueError):
        return None
    if manifest.get("stamp") != stamp:
        return None
    manifest["directory"] = directory
    return manifest


def _new_sqlite(path: str, extra_columns: str) -> sqlite3.Connection:
    if os.path.exists(path):
        os.remove(path)
    con = sqlite3.connect(path)
    con.execute("PRAGMA journal_mode=OFF")
    con.execute("PRAGMA synchronous=OFF")
    con.execute(f"CREATE TABLE docs(id INTEGER PRIMARY KEY, body TEXT{extra_columns})")
    con.execute("CREATE VIRTUAL TABLE fts USING fts5(body, content='', tokenize='ascii')")
    return con


def _finish_sqlite(con: sqlite3.Connection) -> None:
    # One b-tree per term, as a freshly merged FTS5 index has: the best case
    # for SQLite's reads.
    con.execute("INSERT INTO fts(fts) VALUES('optimize')")
    con.commit()
    con.execute("VACUUM")
    con.close()


class _Stats:
    """Document frequency per term over the whole corpus, and per segment
    whether each term's list went to the .post file (out of line)."""

    def __init__(self):
        self.df: collections.Counter = collections.Counter()
        self.out_of_line: collections.Counter = collections.Counter()

    def add_segment(self, seg_df: dict[str, int], inline: set[str]) -> None:
        self.df.update(seg_df)
        self.out_of_line.update(t for t in seg_df if t not in inline)

    def choose(self, num_docs: int) -> dict:
        """Up to TERMS_PER_CLASS ASCII terms per class whose document
        frequency lies within a factor 2 of the target, nearest first."""
        classes = {}
        for target in TERM_CLASSES:
            near = [(abs(math.log(df / target)), t) for t, df in self.df.items()
                    if t.isascii() and target / 2 <= df <= target * 2 and df < num_docs]
            terms = [t for _, t in sorted(near)[:TERMS_PER_CLASS]]
            if terms:
                classes[str(target)] = terms
        chosen = {t for terms in classes.values() for t in terms}
        return {"classes": classes,
                "df": {t: self.df[t] for t in chosen},
                "out_of_line": {t: self.out_of_line[t] for t in chosen}}


def _segment_stats(info: nw.SegmentInfo) -> tuple[dict[str, int], set[str]]:
    """(term -> document frequency, terms kept inline) of the text field
    (field id 0 in both corpora)."""
    prefix = nw.term_key(0, "")
    seg_df = {k[4:].decode(): len(p) for k, p in info.terms.items() if k.startswith(prefix)}
    inline = {k[4:].decode() for k in info.inline_keys if k.startswith(prefix)}
    return seg_df, inline


def build_fortunes(cache: str, fortunes_dir: str) -> dict:
    files = []
    for name in sorted(os.listdir(fortunes_dir)):
        path = os.path.join(fortunes_dir, name)
        if "." not in name and os.path.isfile(path) and not os.path.islink(path):
            files.append((name, os.path.getsize(path)))
    if not files:
        raise SystemExit(f"no fortune files in {fortunes_dir}")
    directory = os.path.join(cache, "fortunes")
    stamp = _stamp({"corpus": "fortunes", "files": files})
    manifest = _cached(directory, stamp)
    if manifest is not None:
        return manifest

    print(f"building the fortunes corpus from {fortunes_dir} ...", flush=True)
    started = time.perf_counter()
    shutil.rmtree(directory, ignore_errors=True)
    index_dir = os.path.join(directory, "index")
    writer = nw.IndexWriter(index_dir, FORTUNE_FIELDS)
    con = _new_sqlite(os.path.join(directory, "fts5.db"), ", collection TEXT, number INTEGER")
    stats = _Stats()
    doc_id = 0
    for name, _ in files:
        texts = read_fortunes(os.path.join(fortunes_dir, name))
        if not texts:
            continue
        info = writer.add_segment([{"text": t, "collection": name, "number": i} for i, t in enumerate(texts)])
        stats.add_segment(*_segment_stats(info))
        rows = [(doc_id + i, t, name, i) for i, t in enumerate(texts)]
        con.executemany("INSERT INTO docs VALUES(?, ?, ?, ?)", rows)
        con.executemany("INSERT INTO fts(rowid, body) VALUES(?, ?)",
                        ((r[0], " ".join(nw.tokenize(r[1]))) for r in rows))
        doc_id += len(texts)
    writer.commit()
    _finish_sqlite(con)
    manifest = {"stamp": stamp, "name": "fortunes", "num_docs": doc_id, "num_segments": len(writer.segments),
                "fields": "text", "note": f"{len(files)} collection files of {fortunes_dir}",
                "pair_class": "1000", **stats.choose(doc_id)}
    return _save(directory, manifest, started)


def _zipf_words():
    def word(rank: int) -> str:
        out = []
        rank += 1
        while rank:
            rank, m = divmod(rank - 1, 26)
            out.append(chr(97 + m))
        return "".join(out)

    words = [word(r) for r in range(ZIPF_VOCABULARY)]
    cumulative = []
    total = 0.0
    for r in range(ZIPF_VOCABULARY):
        total += 1.0 / (r + 1)
        cumulative.append(total)
    return words, cumulative


def _zipf_docs(segment: int, count: int) -> list[str]:
    words, cumulative = _zipf_words()
    rng = random.Random(1000 + segment)
    lo, hi = ZIPF_WORDS
    return [" ".join(rng.choices(words, cum_weights=cumulative, k=rng.randint(lo, hi))) for _ in range(count)]


def _zipf_segment(args):
    index_dir, segment, segment_id, count = args
    writer = nw.IndexWriter(index_dir, [nw.FieldDef("text")])
    info = writer.add_segment([{"text": t} for t in _zipf_docs(segment, count)], segment_id=segment_id)
    return _segment_stats(info)


def build_zipf(cache: str, num_docs: int, num_segments: int, jobs: int) -> dict:
    directory = os.path.join(cache, f"zipf-{num_docs}-{num_segments}")
    stamp = _stamp({"corpus": "zipf", "docs": num_docs, "segments": num_segments,
                    "vocabulary": ZIPF_VOCABULARY, "words": ZIPF_WORDS})
    manifest = _cached(directory, stamp)
    if manifest is not None:
        return manifest

    print(f"building the zipf corpus: {num_docs} documents in {num_segments} segments, "
          f"{jobs} writer processes ...", flush=True)
    started = time.perf_counter()
    shutil.rmtree(directory, ignore_errors=True)
    index_dir = os.path.join(directory, "index")
    sizes = [num_docs // num_segments + (1 if s < num_docs % num_segments else 0) for s in range(num_segments)]
    id_rng = random.Random(7)
    ids = [id_rng.getrandbits(128) for _ in sizes]
    os.makedirs(index_dir)
    with multiprocessing.Pool(jobs) as pool:
        pending = pool.map_async(_zipf_segment, [(index_dir, s, ids[s], n) for s, n in enumerate(sizes)])
        # SQLite is filled while the writer processes work.
        con = _new_sqlite(os.path.join(directory, "fts5.db"), "")
        base = 0
        for s, n in enumerate(sizes):
            rows = list(enumerate(_zipf_docs(s, n), start=base))
            con.executemany("INSERT INTO docs VALUES(?, ?)", rows)
            con.executemany("INSERT INTO fts(rowid, body) VALUES(?, ?)", rows)
            base += n
        _finish_sqlite(con)
        segment_stats = pending.get()
    writer = nw.IndexWriter(index_dir, [nw.FieldDef("text")])
    writer.write_schema()
    writer.write_segments_list(ids)
    stats = _Stats()
    for seg_df, inline in segment_stats:
        stats.add_segment(seg_df, inline)
    manifest = {"stamp": stamp, "name": "zipf", "num_docs": num_docs, "num_segments": num_segments,
                "fields": "text",
                "note": f"Zipf words, vocabulary {ZIPF_VOCABULARY:,}, {ZIPF_WORDS[0]}-{ZIPF_WORDS[1]} words a document",
                "pair_class": "10000", **stats.choose(num_docs)}
    return _save(directory, manifest, started)


def _save(directory: str, manifest: dict, started: float) -> dict:
    manifest["build_seconds"] = round(time.perf_counter() - started, 1)
    manifest["directory"] = directory
    with open(os.path.join(directory, "manifest.json"), "w") as fh:
        json.dump(manifest, fh, indent=1)
    print(f"  built in {manifest['build_seconds']} s", flush=True)
    return manifest
