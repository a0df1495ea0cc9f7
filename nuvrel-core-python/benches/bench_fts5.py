"""nuvrel against SQLite FTS5 on the same documents and the same tokens.

    python3 bench_fts5.py [--cache build/bench] [--corpus fortunes,zipf] ...

(scripts/bench.sh runs it with the project's Python.) For each corpus of
corpora.py it opens the nuvrel index with NuvrelIndex and the SQLite database
with the sqlite3 module in this one process and times, query class by query
class, the same queries on both, alternating which engine goes first:

* a term of ~10 / ~1k / ~10k / ~100k postings, best 10 hits
  (search_term against ``MATCH ... ORDER BY rank LIMIT 10``);
* two terms ANDed and ORed, best 10 hits (search_boolean with must / should);
* the top-10 fetch: the 10 best documents of a term, fetched one by one
  (get_document against a primary-key lookup);
* get_document of random document numbers, one a call;
* open (NuvrelIndex.open against connect and reading the schema).

Before timing, every query's full match set is compared between the engines
(nuvrel with a limit above any possible match count, SQLite without LIMIT),
and the fetched documents' texts. The rankings themselves are not compared:
both score with BM25, but nuvrel normalises by the term frequency where FTS5
uses the document length, and takes its statistics per segment where FTS5
takes them over the whole table, so equal match sets legitimately rank in
different orders.

Both engines run warm: files in the page cache, nuvrel's block caches and
SQLite's page cache as they are after the warm-up call of each query (random
document fetches have no warm-up). SQLite runs with its default settings.
"""

from __future__ import annotations

import argparse
import gc
import math
import os
import platform
import random
import sqlite3
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import corpora  # noqa: E402
import nuvrel_python  # noqa: E402
from nuvrel_python import NuvrelIndex  # noqa: E402

SQL_TOP = "SELECT rowid, rank FROM fts WHERE fts MATCH ? ORDER BY rank LIMIT 10"
SQL_ALL = "SELECT rowid FROM fts WHERE fts MATCH ?"
SQL_DOC = "SELECT * FROM docs WHERE id = ?"
FIELD = "text"


def fts_phrase(term: str) -> str:
    return '"' + term.replace('"', '""') + '"'


class Query:
    """One query as both engines see it."""

    def __init__(self, kind: str, terms: tuple[str, ...], manifest: dict):
        self.kind, self.terms = kind, terms
        self.postings = sum(manifest["df"][t] for t in terms)
        self.reads = sum(manifest["out_of_line"][t] for t in terms)
        joiner = {"term": "", "and": " AND ", "or": " OR "}[kind]
        self.fts = joiner.join(fts_phrase(t) for t in terms)

    def nuvrel(self, index, limit):
        clauses = [(FIELD, t) for t in self.terms]
        if self.kind == "term":
            return index.search_term(FIELD, self.terms[0], limit)
        if self.kind == "and":
            return index.search_boolean(clauses, None, None, limit)
        return index.search_boolean(None, clauses, None, limit)


def timed(fn) -> int:
    t0 = time.perf_counter_ns()
    result = fn()
    t1 = time.perf_counter_ns()
    del result  # dropped outside the timed span (an index, a connection)
    return t1 - t0


def interleaved(pairs, budget: float, min_rounds: int = 5, max_rounds: int = 2000, warm: bool = True):
    """Times each (nuvrel call, SQLite call) pair round after round, the two
    engines taking turns to go first, until the time budget is spent."""
    if warm:
        for fn, fs in pairs:
            fn()
            fs()
    nuv, sql = [], []
    gc.collect()
    gc.disable()
    try:
        start = time.perf_counter()
        for r in range(max_rounds):
            for i, (fn, fs) in enumerate(pairs):
                if (r + i) % 2 == 0:
                    nuv.append(timed(fn))
                    sql.append(timed(fs))
                else:
                    sql.append(timed(fs))
                    nuv.append(timed(fn))
            if r + 1 >= min_rounds and time.perf_counter() - start > budget:
                break
    finally:
        gc.enable()
    return nuv, sql


def p95(samples):
    s = sorted(samples)
    return s[max(0, math.ceil(0.95 * len(s)) - 1)]


def p10(samples):
    return sorted(samples)[len(samples) // 10]


def marginal(rows):
    """ns per posting between the lightest and the heaviest term class that
    read the same number of lists from .post files: the fixed costs of the
    call cancel out. From the 10th percentiles, which a busy machine
    disturbs least."""
    terms = [r for r in rows if r["class"].startswith("term") and r["reads"]]
    if not terms:
        return None
    heavy = max(terms, key=lambda r: r["postings"])
    light = min((r for r in terms if r["reads"] == heavy["reads"]), key=lambda r: r["postings"])
    if light is heavy:
        return None
    slope = (heavy["n_p10"] - light["n_p10"]) / (heavy["postings"] - light["postings"])
    return slope, light["class"], heavy["class"]


def fmt_us(ns: float) -> str:
    us = ns / 1000
    return f"{us:.1f}" if us < 1000 else f"{us:,.0f}"


class Run:
    def __init__(self, manifest: dict, budget: float, seed: int):
        self.m = manifest
        self.budget = budget
        self.rng = random.Random(seed)
        self.index_dir = os.path.join(manifest["directory"], "index")
        self.db = os.path.join(manifest["directory"], "fts5.db")
        self.index = NuvrelIndex.open(self.index_dir)
        self.con = sqlite3.connect(self.db)
        self.rows = []
        self.problems = []
        self.checked = 0

    def queries(self):
        classes = self.m["classes"]
        out = [(f"term ~{int(c):,}", [Query("term", (t,), self.m) for t in terms]) for c, terms in classes.items()]
        pair_terms = classes.get(self.m["pair_class"], [])
        pairs = [tuple(pair_terms[i:i + 2]) for i in range(0, len(pair_terms) - 1, 2)]
        if pairs:
            size = f"~{int(self.m['pair_class']):,}"
            out.append((f"AND of two {size}", [Query("and", p, self.m) for p in pairs]))
            out.append((f"OR of two {size}", [Query("or", p, self.m) for p in pairs]))
        return out

    def check(self, q: Query) -> None:
        """Same match set in both engines."""
        got = {d for d, _ in q.nuvrel(self.index, q.postings + 1)}
        want = {r[0] for r in self.con.execute(SQL_ALL, (q.fts,))}
        self.checked += 1
        if got != want:
            self.problems.append(f"{self.m['name']}: {q.fts}: nuvrel {len(got)} matches, SQLite {len(want)}, "
                                 f"{len(got ^ want)} differ")

    def row(self, name, nuv, sql, queries=None):
        postings = statistics.mean(q.postings for q in queries) if queries else None
        reads = statistics.mean(q.reads for q in queries) if queries else None
        n_med, s_med = statistics.median(nuv), statistics.median(sql)
        self.rows.append({
            "class": name, "samples": len(nuv), "postings": postings, "reads": reads, "n_p10": p10(nuv),
            "n_med": n_med, "n_p95": p95(nuv), "s_med": s_med, "s_p95": p95(sql),
            "ratio": n_med / s_med,
            "ns_posting": n_med / postings if postings else None,
            "us_read": n_med / reads / 1000 if reads else None,
        })
        print(f"  {name:24s} nuvrel {fmt_us(n_med):>8s} us  SQLite {fmt_us(s_med):>8s} us  "
              f"ratio {n_med / s_med:5.2f}", flush=True)

    def run(self, check: bool):
        print(f"\n{self.m['name']}: {self.m['num_docs']:,} documents in {self.m['num_segments']} segments", flush=True)
        classes = self.queries()
        for _, qs in classes if check else ():
            for q in qs:
                self.check(q)
        for name, qs in classes:
            pairs = [(lambda q=q: q.nuvrel(self.index, 10), lambda q=q: self.con.execute(SQL_TOP, (q.fts,)).fetchall())
                     for q in qs]
            self.row(name, *interleaved(pairs, self.budget), qs)
        self.fetches()
        self.opens()
        self.index = self.con = None  # keep only the figures

    def fetches(self):
        tops = []
        for q in dict(self.queries()).get(f"term ~{int(self.m['pair_class']):,}", []):
            ids = [d for d, _ in q.nuvrel(self.index, 10)]
            tops.append(ids)
            for d in ids:
                body = self.con.execute(SQL_DOC, (d,)).fetchone()[1]
                self.checked += 1
                if self.index.get_document(d)[FIELD] != body:
                    self.problems.append(f"{self.m['name']}: document {d} differs")
        pairs = [(lambda ids=ids: [self.index.get_document(d) for d in ids],
                  lambda ids=ids: [self.con.execute(SQL_DOC, (d,)).fetchone() for d in ids]) for ids in tops]
        if pairs:
            self.row("top-10 fetch", *interleaved(pairs, self.budget))
        ids = self.rng.sample(range(self.m["num_docs"]), min(3000, self.m["num_docs"]))
        pairs = [(lambda d=d: self.index.get_document(d), lambda d=d: self.con.execute(SQL_DOC, (d,)).fetchone())
                 for d in ids]
        self.row("get_document, random", *interleaved(pairs, self.budget, min_rounds=1, max_rounds=1, warm=False))

    def opens(self):
        def sqlite_open():
            con = sqlite3.connect(self.db)
            con.execute("SELECT count(*) FROM sqlite_schema").fetchone()
            return con

        pairs = [(lambda: NuvrelIndex.open(self.index_dir), sqlite_open)]
        self.row(f"open ({self.m['num_segments']} segments)", *interleaved(pairs, self.budget, min_rounds=20))


def machine() -> str:
    model, cpus = "?", os.cpu_count()
    try:
        for line in subprocess.run(["lscpu"], capture_output=True, text=True, check=True).stdout.splitlines():
            key, _, value = line.partition(":")
            if key.strip() == "Model name":
                model = value.strip()
    except (OSError, subprocess.CalledProcessError):
        pass
    try:
        commit = subprocess.run(["git", "-C", HERE, "rev-parse", "--short", "HEAD"], capture_output=True,
                                text=True, check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        commit = "?"
    # Waiting for a file read costs nuvrel thread wake-ups, which a busy machine delays far more than it
    # delays SQLite's single-threaded work: the load says how far to trust the ratios.
    load = "/".join(f"{x:.1f}" for x in os.getloadavg())
    return (f"{model}, {cpus} CPUs, load {load}; Python {platform.python_version()}, SQLite {sqlite3.sqlite_version}; "
            f"commit {commit}; {time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}; "
            f"module {nuvrel_python.__file__}")


def cell(values, f) -> str:
    """One figure, or over several runs the middle one and the range."""
    values = [v for v in values if v is not None]
    if not values:
        return ""
    if len(values) == 1:
        return f(values[0])
    return f"{f(statistics.median(values))} ({f(min(values))}–{f(max(values))})"


def report(groups) -> str:
    """groups: per corpus, its runs (the same classes in each)."""
    runs_note = f" over {len(groups[0])} runs: middle (lowest–highest)" if len(groups[0]) > 1 else ""
    lines = [f"Machine: {machine()}", ""]
    for runs in groups:
        m = runs[0].m
        lines += [f"**{m['name']}**: {m['num_docs']:,} documents, {m['num_segments']} segments ({m['note']}); "
                  f"times in µs{runs_note}; ratio = nuvrel median / SQLite median", "",
                  "| query | postings | .post reads | nuvrel median | nuvrel p95 | FTS5 median | FTS5 p95 "
                  "| ratio | ns/posting | µs/read |",
                  "|---|--:|--:|--:|--:|--:|--:|--:|--:|--:|"]
        for i, r in enumerate(runs[0].rows):
            def col(key, f):
                return cell([run.rows[i][key] for run in runs], f)
            postings, reads = cell([r["postings"]], "{:,.0f}".format), cell([r["reads"]], "{:.1f}".format)
            lines.append(f"| {r['class']} | {postings} | {reads} "
                         f"| {col('n_med', fmt_us)} | {col('n_p95', fmt_us)} | {col('s_med', fmt_us)} "
                         f"| {col('s_p95', fmt_us)} | {col('ratio', '{:.2f}'.format)} "
                         f"| {col('ns_posting', '{:.1f}'.format)} | {col('us_read', '{:.1f}'.format)} |")
        slopes = [marginal(run.rows) for run in runs]
        if slopes[0]:
            lines += ["", f"Marginal cost of a scored posting, between {slopes[0][1]} and {slopes[0][2]}: "
                          f"{cell([x[0] for x in slopes], '{:.2f}'.format)} ns."]
        lines.append("")
    lines += ["postings: mean over the class's queries of the postings of their terms (all segments); "
              ".post reads: of those lists, how many are read from .post files (longer than an inline list); "
              "ns/posting and µs/read divide nuvrel's median by these, so each is an upper bound "
              "that also carries the other costs of the call. The marginal cost compares two term classes "
              "with the same reads, so the fixed costs cancel; it is taken from 10th percentiles and "
              "is unreliable on a busy machine. Searches ask for the best 10 hits (FTS5: ORDER BY rank "
              "LIMIT 10); top-10 fetch: the 10 best documents of a term, fetched one call each "
              "(FTS5 side: a primary-key SELECT each); open: NuvrelIndex.open against connect and "
              "reading the schema. Match sets are compared in full; rankings are not, since nuvrel's "
              "BM25 normalises by the term frequency where FTS5 uses the document length, and takes "
              "its statistics per segment."]
    return "\n".join(lines)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--cache", default="build/bench", help="where the corpora are built and kept")
    parser.add_argument("--corpus", default="fortunes,zipf", help="comma-separated: fortunes, zipf")
    parser.add_argument("--fortunes", default="/usr/share/games/fortunes")
    parser.add_argument("--zipf-docs", type=int, default=1_000_000)
    parser.add_argument("--zipf-segments", type=int, default=8)
    parser.add_argument("--jobs", type=int, default=min(4, os.cpu_count() or 1), help="writer processes")
    parser.add_argument("--budget", type=float, default=2.0, help="seconds of timing per query class")
    parser.add_argument("--runs", type=int, default=1, help="time everything this many times; report ranges")
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()

    manifests = []
    for name in args.corpus.split(","):
        if name == "fortunes":
            manifests.append(corpora.build_fortunes(args.cache, args.fortunes))
        elif name == "zipf":
            manifests.append(corpora.build_zipf(args.cache, args.zipf_docs, args.zipf_segments, args.jobs))
        else:
            parser.error(f"unknown corpus {name}")
    groups = [[] for _ in manifests]
    for k in range(args.runs):  # runs alternate between the corpora, so that both see the same load
        for m, runs in zip(manifests, groups):
            run = Run(m, args.budget, args.seed + k)
            run.run(check=k == 0)
            runs.append(run)

    text = report(groups)
    print("\n" + text)
    with open(os.path.join(args.cache, "last.md"), "w") as fh:
        fh.write(text + "\n")
    problems = [p for runs in groups for r in runs for p in r.problems]
    checked = sum(r.checked for runs in groups for r in runs)
    if problems:
        print(f"\nMISMATCH in {len(problems)} of {checked} checks:", *problems, sep="\n  ")
        return 1
    print(f"\nBoth engines return the same match sets and documents ({checked} checks).")
    return 0


if __name__ == "__main__":
    sys.exit(main())
