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

Besides wall time, each class reports the CPU time a call costs (nuvrel's
includes its pool threads, whose spinning shows up here) and the context
switches per nuvrel call (about 0 when a waiting thread spins and finds its
answer, 1 or more when it parks). Every class is timed twice: as it comes,
then again right after a burst of CPU load on every core, since a busy moment
must not slow the calls that follow it.

Each run is made in a child process per hand-off mode: "spin" (the
runtime's default) and "park-only" (NUVREL_SPIN_US=0), taking turns to go
first, so the two can be compared in wall time and CPU per call under the
same load.
"""

from __future__ import annotations

import argparse
import gc
import json
import math
import os
import platform
import random
import resource
import sqlite3
import statistics
import subprocess
import sys
import tempfile
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


def switches() -> int:
    use = resource.getrusage(resource.RUSAGE_SELF)
    return use.ru_nvcsw + use.ru_nivcsw


class Timing:
    """Wall times of both engines' calls, and what the calls cost in CPU.

    SQLite works on the calling thread alone, so its CPU is that thread's time
    during its calls. nuvrel's is the rest of the process's CPU over the whole
    loop: its calls, and its pool threads' spinning before and after them,
    which would otherwise land in whichever call happens to run next."""

    def __init__(self, nuv, sql, sql_cpu_ns, process_cpu_ns, nuv_switches):
        self.nuv, self.sql = nuv, sql
        self.n_cpu = max(0, process_cpu_ns - sql_cpu_ns) / len(nuv)
        self.s_cpu = sql_cpu_ns / len(sql)
        self.switches = nuv_switches / len(nuv)


def interleaved(pairs, budget: float, min_rounds: int = 5, max_rounds: int = 2000, warm: bool = True) -> Timing:
    """Times each (nuvrel call, SQLite call) pair round after round, the two
    engines taking turns to go first, until the time budget is spent."""
    if warm:
        for fn, fs in pairs:
            fn()
            fs()
    nuv, sql = [], []
    sql_cpu = 0

    def sqlite_call(fs):
        nonlocal sql_cpu
        c0 = time.thread_time_ns()
        sql.append(timed(fs))
        sql_cpu += time.thread_time_ns() - c0

    gc.collect()
    gc.disable()
    try:
        cpu0, sw0 = time.process_time_ns(), switches()
        start = time.perf_counter()
        for r in range(max_rounds):
            for i, (fn, fs) in enumerate(pairs):
                if (r + i) % 2 == 0:
                    nuv.append(timed(fn))
                    sqlite_call(fs)
                else:
                    sqlite_call(fs)
                    nuv.append(timed(fn))
            if r + 1 >= min_rounds and time.perf_counter() - start > budget:
                break
        cpu1, sw1 = time.process_time_ns(), switches()
    finally:
        gc.enable()
    return Timing(nuv, sql, sql_cpu, cpu1 - cpu0, sw1 - sw0)


BURNER = "import time\nend = time.monotonic() + {seconds}\nwhile time.monotonic() < end:\n    pass\n"


def burst(seconds: float) -> None:
    """Keeps every CPU busy for a while, then lets the machine go free."""
    if seconds <= 0:
        return
    code = BURNER.format(seconds=seconds)
    burners = [subprocess.Popen([sys.executable, "-c", code]) for _ in range(os.cpu_count() or 1)]
    for p in burners:
        p.wait()


def load_now() -> str:
    """The 1-minute load average and the threads runnable right now."""
    running = "?"
    try:
        with open("/proc/stat") as fh:
            for line in fh:
                if line.startswith("procs_running"):
                    running = line.split()[1]
    except OSError:
        pass
    return f"{os.getloadavg()[0]:.1f} ({running} running)"


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


def warm_page_cache(paths) -> None:
    """Reads every file once. A random fetch touches a block no query has
    read yet; on a page the kernel does not hold, it would time this machine's
    disk (~40 µs here) and not the engine, and only for the engine whose files
    were not read last."""
    for path in paths:
        with open(path, "rb") as fh:
            while fh.read(1 << 20):
                pass


class Run:
    def __init__(self, manifest: dict, budget: float, seed: int, burst_seconds: float):
        self.m = manifest
        self.budget = budget
        self.burst_seconds = burst_seconds
        self.rng = random.Random(seed)
        self.index_dir = os.path.join(manifest["directory"], "index")
        self.db = os.path.join(manifest["directory"], "fts5.db")
        warm_page_cache([self.db] + [os.path.join(self.index_dir, f) for f in os.listdir(self.index_dir)])
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

    def row(self, name, timing: Timing, queries=None, again=None):
        """One class: its figures as timed, and after a burst of load (again,
        a callable that times the class once more)."""
        postings = statistics.mean(q.postings for q in queries) if queries else None
        reads = statistics.mean(q.reads for q in queries) if queries else None
        nuv, sql = timing.nuv, timing.sql
        n_med, s_med = statistics.median(nuv), statistics.median(sql)
        row = {
            "class": name, "samples": len(nuv), "postings": postings, "reads": reads, "n_p10": p10(nuv),
            "n_med": n_med, "n_p95": p95(nuv), "s_med": s_med, "s_p95": p95(sql),
            "ratio": n_med / s_med,
            "ns_posting": n_med / postings if postings else None,
            "us_read": n_med / reads / 1000 if reads else None,
            "n_cpu": timing.n_cpu, "s_cpu": timing.s_cpu, "switches": timing.switches,
        }
        line = (f"  {name:24s} nuvrel {fmt_us(n_med):>8s} us (CPU {fmt_us(timing.n_cpu):>7s}, "
                f"{timing.switches:4.1f} switches)  SQLite {fmt_us(s_med):>8s} us  ratio {n_med / s_med:5.2f}")
        if again is not None and self.burst_seconds > 0:
            burst(self.burst_seconds)
            after = again()
            b_med = statistics.median(after.nuv)
            row.update({"b_n_med": b_med, "b_s_med": statistics.median(after.sql),
                        "b_ratio": b_med / statistics.median(after.sql), "b_change": b_med / n_med - 1,
                        "b_switches": after.switches})
            line += f"  | after burst {fmt_us(b_med):>8s} us ({row['b_change']:+.0%})"
        self.rows.append(row)
        print(line, flush=True)

    def run(self, check: bool):
        self.load = [load_now()]
        classes = self.queries()
        for _, qs in classes if check else ():
            for q in qs:
                self.check(q)
        for name, qs in classes:
            pairs = [(lambda q=q: q.nuvrel(self.index, 10), lambda q=q: self.con.execute(SQL_TOP, (q.fts,)).fetchall())
                     for q in qs]
            self.row(name, interleaved(pairs, self.budget), qs, again=lambda p=pairs: interleaved(p, self.budget))
        self.fetches()
        self.opens()
        self.load.append(load_now())
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
            self.row("top-10 fetch", interleaved(pairs, self.budget), again=lambda: interleaved(pairs, self.budget))

        def random_fetches():
            # New documents each time: a random fetch finds its block cold.
            ids = self.rng.sample(range(self.m["num_docs"]), min(3000, self.m["num_docs"]))
            pairs = [(lambda d=d: self.index.get_document(d),
                      lambda d=d: self.con.execute(SQL_DOC, (d,)).fetchone()) for d in ids]
            return interleaved(pairs, self.budget, min_rounds=1, max_rounds=1, warm=False)

        self.row("get_document, random", random_fetches(), again=random_fetches)

    def opens(self):
        def sqlite_open():
            con = sqlite3.connect(self.db)
            con.execute("SELECT count(*) FROM sqlite_schema").fetchone()
            return con

        pairs = [(lambda: NuvrelIndex.open(self.index_dir), sqlite_open)]
        self.row(f"open ({self.m['num_segments']} segments)", interleaved(pairs, self.budget, min_rounds=20),
                 again=lambda: interleaved(pairs, self.budget, min_rounds=20))

    def figures(self) -> dict:
        return {"rows": self.rows, "load": self.load, "problems": self.problems, "checked": self.checked}


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


MODES = {"spin": None, "park-only": "0"}  # NUVREL_SPIN_US for each hand-off mode (None: the default)


def corpus_table(m: dict, runs: list[dict], runs_note: str) -> list[str]:
    """The classes of one corpus in one mode, over its runs."""
    lines = [f"**{m['name']}**: {m['num_docs']:,} documents, {m['num_segments']} segments ({m['note']}); "
             f"times in µs{runs_note}; ratio = nuvrel median / SQLite median", "",
             "| query | postings | .post reads | nuvrel median | nuvrel p95 | FTS5 median | FTS5 p95 | ratio "
             "| ns/posting | µs/read | nuvrel CPU/call | FTS5 CPU/call | switches/call "
             "| after burst: nuvrel | ratio | change |",
             "|---|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|"]
    for i, r in enumerate(runs[0]["rows"]):
        def col(key, f):
            return cell([run["rows"][i].get(key) for run in runs], f)
        postings, reads = cell([r["postings"]], "{:,.0f}".format), cell([r["reads"]], "{:.1f}".format)
        lines.append(f"| {r['class']} | {postings} | {reads} "
                     f"| {col('n_med', fmt_us)} | {col('n_p95', fmt_us)} | {col('s_med', fmt_us)} "
                     f"| {col('s_p95', fmt_us)} | {col('ratio', '{:.2f}'.format)} "
                     f"| {col('ns_posting', '{:.1f}'.format)} | {col('us_read', '{:.1f}'.format)} "
                     f"| {col('n_cpu', fmt_us)} | {col('s_cpu', fmt_us)} | {col('switches', '{:.2f}'.format)} "
                     f"| {col('b_n_med', fmt_us)} | {col('b_ratio', '{:.2f}'.format)} "
                     f"| {col('b_change', '{:+.0%}'.format)} |")
    slopes = [marginal(run["rows"]) for run in runs]
    if slopes[0]:
        lines += ["", f"Marginal cost of a scored posting, between {slopes[0][1]} and {slopes[0][2]}: "
                      f"{cell([x[0] for x in slopes if x], '{:.2f}'.format)} ns."]
    return lines + [""]


def modes_table(m: dict, by_mode: dict[str, list[dict]]) -> list[str]:
    """Spin against park-only, class by class: what the spin saves in wall
    time and what it costs in CPU."""
    spin, park = by_mode["spin"], by_mode["park-only"]
    lines = [f"**{m['name']}**, spin against park-only (µs; medians over runs):", "",
             "| query | wall, spin | wall, park-only | CPU/call, spin | CPU/call, park-only "
             "| switches/call, spin | switches/call, park-only |",
             "|---|--:|--:|--:|--:|--:|--:|"]
    for i, r in enumerate(spin[0]["rows"]):
        def col(runs, key, f):
            return cell([statistics.median([run["rows"][i][key] for run in runs])], f)
        lines.append(f"| {r['class']} | {col(spin, 'n_med', fmt_us)} | {col(park, 'n_med', fmt_us)} "
                     f"| {col(spin, 'n_cpu', fmt_us)} | {col(park, 'n_cpu', fmt_us)} "
                     f"| {col(spin, 'switches', '{:.2f}'.format)} | {col(park, 'switches', '{:.2f}'.format)} |")
    return lines + [""]


def report(manifests, results, modes) -> str:
    """results[(corpus name, mode)]: that pair's runs, each a worker's figures."""
    nruns = len(results[(manifests[0]["name"], modes[0])])
    runs_note = f" over {nruns} runs: middle (lowest–highest)" if nruns > 1 else ""
    lines = [f"Machine: {machine()}", ""]
    for m in manifests:
        for mode in modes:
            runs = results[(m["name"], mode)]
            loads = "; ".join(f"{r['load'][0]} → {r['load'][1]}" for r in runs)
            lines += [f"Hand-off mode {mode} (NUVREL_SPIN_US={MODES[mode] or 'unset'}); "
                      f"load at the start and end of each run: {loads}", ""]
            lines += corpus_table(m, runs, runs_note)
        if set(modes) == set(MODES):
            lines += modes_table(m, {mode: results[(m["name"], mode)] for mode in modes})
    lines += ["postings: mean over the class's queries of the postings of their terms (all segments); "
              ".post reads: of those lists, how many are read from .post files (longer than an inline list); "
              "ns/posting and µs/read divide nuvrel's median by these, so each is an upper bound "
              "that also carries the other costs of the call. The marginal cost compares two term classes "
              "with the same reads, so the fixed costs cancel; it is taken from 10th percentiles and "
              "is unreliable on a busy machine. Searches ask for the best 10 hits (FTS5: ORDER BY rank "
              "LIMIT 10); top-10 fetch: the 10 best documents of a term, fetched one call each "
              "(FTS5 side: a primary-key SELECT each); open: NuvrelIndex.open against connect and "
              "reading the schema. CPU/call: the process's CPU time per call (nuvrel: with its pool "
              "threads, spinning included; FTS5: the calling thread's). switches/call: context switches "
              "of the process per nuvrel call, near 0 when the spin answers the call. after burst: the "
              "class timed again right after every CPU was kept busy for a moment; change is against the "
              "first timing. Match sets are compared in full; rankings are not, since nuvrel's "
              "BM25 normalises by the term frequency where FTS5 uses the document length, and takes "
              "its statistics per segment."]
    return "\n".join(lines)


def worker(args, manifest: dict) -> int:
    """One run of one corpus in this process's hand-off mode; figures to args.worker."""
    print(f"\n{manifest['name']}: {manifest['num_docs']:,} documents in {manifest['num_segments']} segments, "
          f"mode {args.mode}", flush=True)
    run = Run(manifest, args.budget, args.seed, args.burst)
    run.run(check=args.check)
    with open(args.worker, "w") as fh:
        json.dump(run.figures(), fh)
    return 0


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
    parser.add_argument("--modes", default="spin,park-only", help="hand-off modes: spin, park-only")
    parser.add_argument("--burst", type=float, default=2.0,
                        help="seconds of CPU load on every core before each class is timed again (0: none)")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--worker", help=argparse.SUPPRESS)  # figures file of a child run
    parser.add_argument("--mode", help=argparse.SUPPRESS)
    parser.add_argument("--check", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()

    modes = args.modes.split(",")
    if any(mode not in MODES for mode in modes):
        parser.error(f"unknown mode in {args.modes}")
    manifests = []
    for name in args.corpus.split(","):
        if name == "fortunes":
            manifests.append(corpora.build_fortunes(args.cache, args.fortunes))
        elif name == "zipf":
            manifests.append(corpora.build_zipf(args.cache, args.zipf_docs, args.zipf_segments, args.jobs))
        else:
            parser.error(f"unknown corpus {name}")
    if args.worker:
        return worker(args, manifests[0])

    results = {(m["name"], mode): [] for m in manifests for mode in modes}
    with tempfile.TemporaryDirectory() as tmp:
        # Runs alternate between the corpora and the modes take turns to go
        # first, so that each sees the same load.
        for k in range(args.runs):
            for c, m in enumerate(manifests):
                order = modes if (k + c) % 2 == 0 else modes[::-1]
                for mode in order:
                    out = os.path.join(tmp, "figures.json")
                    env = dict(os.environ)
                    env.pop("NUVREL_SPIN_US", None)
                    if MODES[mode] is not None:
                        env["NUVREL_SPIN_US"] = MODES[mode]
                    cmd = [sys.executable, __file__, "--cache", args.cache, "--corpus", m["name"],
                           "--fortunes", args.fortunes, "--zipf-docs", str(args.zipf_docs),
                           "--zipf-segments", str(args.zipf_segments), "--budget", str(args.budget),
                           "--burst", str(args.burst), "--seed", str(args.seed + k), "--mode", mode,
                           "--worker", out] + (["--check"] if k == 0 and mode == order[0] else [])
                    subprocess.run(cmd, env=env, check=True)
                    with open(out) as fh:
                        results[(m["name"], mode)].append(json.load(fh))

    text = report(manifests, results, modes)
    print("\n" + text)
    with open(os.path.join(args.cache, "last.md"), "w") as fh:
        fh.write(text + "\n")
    problems = [p for runs in results.values() for r in runs for p in r["problems"]]
    checked = sum(r["checked"] for runs in results.values() for r in runs)
    if problems:
        print(f"\nMISMATCH in {len(problems)} of {checked} checks:", *problems, sep="\n  ")
        return 1
    print(f"\nBoth engines return the same match sets and documents ({checked} checks).")
    return 0


if __name__ == "__main__":
    sys.exit(main())
