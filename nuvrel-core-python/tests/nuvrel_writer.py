"""A small index writer: produces every file that nuvrel reads.

It is the reference the engine and the Python module are tested against, so
every byte it writes follows the on-disk formats exactly:

* ``schema.json`` and ``segments.json`` at the index root;
* per segment ``seg_<32 hex digits>`` with ``.meta``, ``.terms`` (sorted
  string table of prefix-shared keys in zstd blocks, block index, optional
  sparse index, optional bloom filter, optional zstd dictionary, 37-byte
  footer), ``.post`` (block posting lists), ``.store`` (zstd blocks of JSON
  documents, optional dictionary, 32-byte footer) and optionally ``.vectors``.

Text is tokenized by lower-casing and splitting into maximal runs of
alphanumeric characters (``str.isalnum``); nothing else (no stemming, no stop
words). Only indexed text fields get terms. The term key is the field id as 4
little-endian bytes followed by the term's UTF-8 bytes.

Usage::

    w = IndexWriter(path, [FieldDef("title"), FieldDef("count", "u64")])
    w.add_segment([{"title": "Hello world", "count": 3}])
    w.commit()          # schema.json and segments.json

It refuses what would make an index the reader rejects or misreads: a field
name the schema lacks (``ValueError``), a value its field's type cannot hold
(``TypeError`` for the wrong kind, ``ValueError`` out of range), and a
directory that already holds an index (``FileExistsError``) unless
``overwrite=True``.

Every knob of the formats that a test may want to steer is an attribute of
``SegmentOptions``; ``SegmentInfo`` reports where things were put so that
tests can damage precise bytes (``patch_file``, ``truncate_file``).
"""

from __future__ import annotations

import json
import math
import os
import random
import reprlib
import struct
from dataclasses import dataclass, field as dc_field
from itertools import groupby
from typing import Any, Iterable, Sequence

import zstandard

TERMS_MAGIC = 0x53544233
STORE_MAGIC = 0x53544F52
STORE_VERSION = 2
POSTING_BLOCK = 128
INLINE_MAX_BYTES = 16

VECTOR_TYPE_RABITQ = 0
VECTOR_TYPE_IVF_RABITQ = 1
VECTOR_TYPE_IVF_PQ = 2

FIELD_TYPES = ("text", "u64", "i64", "f64", "bytes", "sparse_vector", "dense_vector", "json")
U32_MAX = 2**32 - 1
F32_MAX = struct.unpack("<f", b"\xff\xff\x7f\x7f")[0]
# (smallest, largest) of the integer types as the reader parses them
INT_RANGES = {"u64": (0, 2**64 - 1), "i64": (-2**63, 2**63 - 1)}


def vint(value: int) -> bytes:
    """LEB128 unsigned varint."""
    out = bytearray()
    while value > 0x7F:
        out.append(value & 0x7F | 0x80)
        value >>= 7
    return bytes(out + bytes([value]))


u16, u32, u64, f32 = (struct.Struct(f).pack for f in ("<H", "<I", "<Q", "<f"))


def to_f32(v: float) -> float:
    """The nearest 32-bit float, widened back (what the engine keeps)."""
    return struct.unpack("<f", struct.pack("<f", v))[0]


def prefix_shared(prev: bytes, key: bytes) -> bytes:
    """A key as the length it shares with the previous one, then the rest."""
    shared = next((i for i, (x, y) in enumerate(zip(prev, key)) if x != y), min(len(prev), len(key)))
    return vint(shared) + vint(len(key) - shared) + key[shared:]


def tokenize(text: str) -> list[str]:
    """Lower-case, then maximal runs of alphanumeric characters."""
    return ["".join(run) for alnum, run in groupby(text.lower(), str.isalnum) if alnum]


def term_key(field_id: int, term: str) -> bytes:
    return u32(field_id) + term.encode("utf-8")


def bloom_positions(key: bytes, num_bits: int, num_hashes: int) -> list[int]:
    """The bits the reader's bloom probe tests: two 64-bit FNV-style hashes
    combined as h1 + i * h2."""
    mask = (1 << 64) - 1
    h1, h2 = 0xCBF29CE484222325, 0x84222325CBF29CE4
    for c in key:
        h1 = ((h1 ^ c) * 0x100000001B3) & mask
        h2 = ((h2 * 0x100000001B3) & mask) ^ c
    return [((h1 + i * h2) & mask) % num_bits for i in range(num_hashes)]


def zstd_compress(data: bytes, opts: SegmentOptions, dictionary: bytes | None) -> bytes:
    d = zstandard.ZstdCompressionDict(dictionary) if dictionary is not None else None
    return zstandard.ZstdCompressor(level=opts.zstd_level, dict_data=d, write_checksum=opts.zstd_checksum).compress(data)


@dataclass
class FieldDef:
    name: str
    field_type: str = "text"
    indexed: bool = True
    stored: bool = True
    tokenizer: str | None = "default"
    multi: bool = False
    sparse_vector_config: dict | None = None
    dense_vector_config: dict | None = None

    def __post_init__(self) -> None:
        if self.field_type not in FIELD_TYPES:
            raise ValueError(f"field {self.name!r}: unknown field type {self.field_type!r}; "
                             f"the types are {', '.join(FIELD_TYPES)}")

    def to_json(self) -> dict:
        return {k: v for k, v in vars(self).items() if v is not None or not k.endswith("_vector_config")}


def _is_number(value: Any) -> bool:
    return isinstance(value, (int, float)) and not isinstance(value, bool)


def _within(x: int | float, limit: float) -> bool:
    """Finite and at most limit in magnitude (ints too large for a float are not)."""
    try:
        return math.isfinite(float(x)) and abs(x) <= limit
    except OverflowError:
        return False


def check_value(fdef: FieldDef, value: Any) -> None:
    """Refuses one value its field's type cannot hold. Written anyway, it
    would make an index whose documents the reader rejects (-1 as a u64) or
    reads as something else (an int as bytes: that many zero bytes)."""
    ftype = fdef.field_type

    def refuse(error: type[Exception], wanted: str) -> None:
        raise error(f"field {fdef.name!r} ({ftype}) takes {wanted}, got "
                    f"{type(value).__name__} {reprlib.repr(value)}")

    def floats(items: Any, what: str) -> None:
        if not isinstance(items, (list, tuple)) or not all(map(_is_number, items)):
            refuse(TypeError, what)
        if not all(_within(x, F32_MAX) for x in items):
            refuse(ValueError, f"{what} (finite, within the 32-bit float range)")

    if ftype in INT_RANGES:
        lo, hi = INT_RANGES[ftype]
        wanted = f"an int from {lo} to {hi}"
        if not isinstance(value, int) or isinstance(value, bool):
            refuse(TypeError, wanted)
        if not lo <= value <= hi:
            refuse(ValueError, wanted)
    elif ftype == "f64":
        if not _is_number(value):
            refuse(TypeError, "a float")
        if not _within(value, math.inf):
            refuse(ValueError, "a finite float")
    elif ftype == "text":
        if not isinstance(value, str):
            refuse(TypeError, "a str")
    elif ftype == "bytes":
        if not isinstance(value, (bytes, bytearray, memoryview)):
            refuse(TypeError, "bytes")
    elif ftype == "dense_vector":
        floats(value, "a list of floats")
        dim = (fdef.dense_vector_config or {}).get("dim")
        if dim is not None and len(value) != dim:
            refuse(ValueError, f"a list of {dim} floats (its dim)")
    elif ftype == "sparse_vector":
        pair = (value.get("indices"), value.get("values")) if isinstance(value, dict) else value
        if not isinstance(pair, (list, tuple)) or len(pair) != 2:
            refuse(TypeError, "{'indices': [...], 'values': [...]} or (indices, values)")
        indices, values = pair
        if not isinstance(indices, (list, tuple)) or not all(
                isinstance(i, int) and not isinstance(i, bool) for i in indices):
            refuse(TypeError, "indices that are ints")
        if not all(0 <= i <= U32_MAX for i in indices):
            refuse(ValueError, f"indices from 0 to {U32_MAX}")
        floats(values, "values that are floats")
    elif ftype == "json":
        problem: Exception | None = None
        try:
            json.dumps(value, allow_nan=False)
        except (TypeError, ValueError) as e:
            problem = e
        if problem is not None:  # raised outside the handler: no chained traceback
            refuse(type(problem), f"a JSON value ({problem})")


def encode_value(field_type: str, value: Any) -> dict:
    """One stored value as its one-key JSON object."""
    if field_type in ("u64", "i64"):
        value = int(value)
    elif field_type in ("text", "f64"):
        value = str(value) if field_type == "text" else float(value)
    elif field_type == "bytes":
        value = list(bytes(value))
    elif field_type == "dense_vector":
        value = [float(v) for v in value]
    elif field_type == "sparse_vector":
        indices, values = (value["indices"], value["values"]) if isinstance(value, dict) else value
        value = {"indices": [int(i) for i in indices], "values": [float(v) for v in values]}
    return {field_type: value}


def encode_record(pairs: Sequence[tuple[int, dict]]) -> bytes:
    """The stored-document JSON of (field id, encoded value) pairs."""
    doc = {"field_values": [[fid, val] for fid, val in pairs]}
    return json.dumps(doc, ensure_ascii=False, separators=(",", ":"), allow_nan=False).encode("utf-8")


@dataclass
class SegmentOptions:
    # term dictionary
    terms_block_entries: int = 64        # keys per data block
    sparse_every: int | None = 8         # a sparse entry every N blocks; None: no sparse index
    bloom: bool = True                   # 10 bits a key, 7 probes
    terms_dictionary: bytes | None = None
    # postings
    inline_postings: bool = True         # short lists go inline in the term entry
    posting_block_size: int = POSTING_BLOCK
    # store
    store_block_docs: int = 16
    store_dictionary: bytes | None = None
    # general
    zstd_level: int = 3
    zstd_checksum: bool = False
    # metadata
    meta_field_stats: bool = True        # False: a 20-byte .meta without statistics
    # vectors: write a .vectors file for the dense-vector fields (IVF: 2 clusters)
    vectors: bool = False
    vector_index_type: int = VECTOR_TYPE_RABITQ


@dataclass
class SegmentInfo:
    segment_id: int
    num_docs: int
    files: dict[str, str]                  # extension -> absolute path
    terms: dict[bytes, list[tuple[int, int]]]   # key -> postings (doc, tf)
    inline_keys: set[bytes] = dc_field(default_factory=set)
    term_blocks: list[tuple[bytes, int, int]] = dc_field(default_factory=list)  # (first key, offset, length)
    posting_ranges: dict[bytes, tuple[int, int]] = dc_field(default_factory=dict)
    store_blocks: list[tuple[int, int, int, int]] = dc_field(default_factory=list)  # (first, off, len, n)
    records: list[bytes] = dc_field(default_factory=list)  # each document as stored


def build_meta(segment_id: int, num_docs: int, stats: dict[int, Sequence[int]] | None) -> bytes:
    """Id and document count, then (tokens, documents) per field unless stats is None."""
    out = segment_id.to_bytes(16, "little") + u32(num_docs)
    if stats is not None:
        out += u32(len(stats))
        for fid, (total, count) in stats.items():
            out += u32(fid) + u64(total) + u32(count)
    return out


def encode_posting_pairs(postings: Sequence[tuple[int, int]]) -> bytes:
    """Delta-coded (doc, tf) pairs: the first doc whole, then differences."""
    out = bytearray()
    prev = 0
    for i, (doc, tf) in enumerate(postings):
        delta = doc if i == 0 else (doc - prev) & 0xFFFFFFFF
        out += vint(delta) + vint(tf)
        prev = doc
    return bytes(out)


def build_posting_list(postings: Sequence[tuple[int, int]], block_size: int = POSTING_BLOCK) -> bytes:
    """A serialized block posting list: header, skip entries, data."""
    skips = bytearray()
    data = bytearray()
    for start in range(0, len(postings), block_size):
        chunk = postings[start:start + block_size]
        skips += u32(chunk[0][0]) + u32(chunk[-1][0]) + u32(len(data))
        data += vint(len(chunk)) + encode_posting_pairs(chunk)
    return u32(len(postings)) + u32(len(skips) // 12) + bytes(skips) + u32(len(data)) + bytes(data)


def inline_term_info(postings: Sequence[tuple[int, int]]) -> bytes | None:
    """The inline TermInfo, or None when the list does not fit inline."""
    data = encode_posting_pairs(postings)
    if len(postings) > 255 or len(data) > INLINE_MAX_BYTES:
        return None
    return bytes([0xFF, len(postings), len(data)]) + data


def external_term_info(doc_freq: int, offset: int, length: int) -> bytes:
    return b"\x00" + vint(doc_freq) + vint(offset) + vint(length)


def build_bloom(keys: Iterable[bytes], bits_per_key: int, num_hashes: int) -> bytes:
    keys = list(keys)
    num_bits = max(64, len(keys) * bits_per_key)
    num_words = (num_bits + 63) // 64
    words = [0] * num_words
    for key in keys:
        for pos in bloom_positions(key, num_bits, num_hashes):
            words[pos // 64] |= 1 << (pos % 64)
    return u32(num_bits) + u32(num_hashes) + u32(num_words) + b"".join(u64(w) for w in words)


def build_terms(entries: Sequence[tuple[bytes, bytes]], opts: SegmentOptions) -> tuple[bytes, list]:
    """The term dictionary for sorted (key, encoded TermInfo) entries, and its
    blocks as (first key, offset, length)."""
    keys = [k for k, _ in entries]
    if keys != sorted(keys) or len(set(keys)) != len(keys):
        raise ValueError("term keys must be unique and sorted")
    out = bytearray()
    blocks: list[tuple[bytes, int, int]] = []
    step = max(1, opts.terms_block_entries)
    for start in range(0, len(entries), step):
        chunk = entries[start:start + step]
        prevs = [b""] + [k for k, _ in chunk]
        raw = b"".join(prefix_shared(prev, key) + info for prev, (key, info) in zip(prevs, chunk))
        frame = zstd_compress(raw, opts, opts.terms_dictionary)
        blocks.append((chunk[0][0], len(out), len(frame)))
        out += frame
    index_offset = len(out)
    out += u32(len(blocks))
    for prev, (first, off, length) in zip([b""] + [b[0] for b in blocks], blocks):
        out += prefix_shared(prev, first) + vint(off) + vint(length)
    sparse = [] if opts.sparse_every is None else list(range(0, len(blocks), max(1, opts.sparse_every)))
    out += u32(len(sparse))
    for idx in sparse:
        first = blocks[idx][0]
        out += u16(len(first)) + first + u32(idx)
    bloom_offset = 0
    if opts.bloom:
        bloom_offset = len(out)
        out += build_bloom(keys, 10, 7)
    dict_offset = 0
    if opts.terms_dictionary is not None:
        dict_offset = len(out)
        out += u32(len(opts.terms_dictionary)) + opts.terms_dictionary
    # the reserved u64 and byte of the footer are 0 and 1
    out += u64(index_offset) + u64(0) + u64(bloom_offset) + u64(dict_offset) + b"\x01" + u32(TERMS_MAGIC)
    return bytes(out), blocks


def build_store(records: Sequence[bytes], opts: SegmentOptions) -> tuple[bytes, list]:
    """The document store: blocks of length-prefixed records, then the
    optional dictionary, the block index and the footer."""
    out = bytearray()
    blocks: list[tuple[int, int, int, int]] = []
    step = max(1, opts.store_block_docs)
    for start in range(0, len(records), step):
        chunk = records[start:start + step]
        raw = b"".join(u32(len(r)) + r for r in chunk)
        frame = zstd_compress(raw, opts, opts.store_dictionary)
        blocks.append((start, len(out), len(frame), len(chunk)))
        out += frame
    data_end = len(out)
    dictionary = opts.store_dictionary
    # A dictionary needs a non-zero position; an empty store has none.
    dict_offset = 0
    if dictionary is not None and data_end > 0:
        dict_offset = data_end
        out += u32(len(dictionary)) + dictionary
    out += u32(len(blocks))
    for first, off, length, n in blocks:
        out += u32(first) + u64(off) + u32(length) + u32(n)
    out += (u64(data_end) + u64(dict_offset) + u32(len(records)) + u32(1 if dict_offset else 0)
            + u32(STORE_VERSION) + u32(STORE_MAGIC))
    return bytes(out), blocks


def build_vectors_file(entries: Sequence[tuple[int, int, bytes]]) -> bytes:
    """The .vectors table of (field id, index type, blob), blobs after it."""
    table = bytearray(u32(len(entries)))
    blobs = bytearray()
    start = 4 + 21 * len(entries)
    for fid, itype, blob in entries:
        table += u32(fid) + bytes([itype]) + u64(start + len(blobs)) + u64(len(blob))
        blobs += blob
    return bytes(table) + bytes(blobs)


def _sign_bits(vec: Sequence[float], centroid: Sequence[float]) -> list[int]:
    bits = bytearray((len(vec) + 7) // 8)
    for i, (v, c) in enumerate(zip(vec, centroid)):
        if v >= c:
            bits[i // 8] |= 1 << (i % 8)
    return list(bits)


def _quantized(vec: Sequence[float], centroid: Sequence[float]) -> dict:
    bits = _sign_bits(vec, centroid)
    return {
        "bits": bits,
        "dist_to_centroid": to_f32(math.sqrt(sum((v - c) ** 2 for v, c in zip(vec, centroid)))),
        "self_dot": to_f32(sum(v * v for v in vec)),
        "popcount": sum(bin(b).count("1") for b in bits),
    }


def _mean(vectors: Sequence[Sequence[float]], dim: int) -> list[float]:
    if not vectors:
        return [0.0] * dim
    return [to_f32(sum(v[i] for v in vectors) / len(vectors)) for i in range(dim)]


def rabitq_index_json(vectors: Sequence[Sequence[float]], dim: int, seed: int = 42) -> bytes:
    rng = random.Random(seed)
    perm = list(range(dim))
    rng.shuffle(perm)
    centroid = _mean(vectors, dim)
    doc = {
        "codebook": {"config": {"dim": dim, "query_bits": 4, "seed": seed},
                     "random_signs": [rng.choice((1, -1)) for _ in range(dim)],
                     "random_perm": perm, "version": 0},
        "centroid": centroid,
        "vectors": [_quantized(v, centroid) for v in vectors],
        "raw_vectors": [list(map(to_f32, v)) for v in vectors],
    }
    return json.dumps(doc, separators=(",", ":")).encode()


def ivf_index_json(vectors: Sequence[Sequence[float]], dim: int, num_clusters: int, pq: bool) -> bytes:
    """An IVF-RaBitQ (pq False) or IVF-PQ (pq True, two codes a vector)
    description; vector i goes to cluster i mod num_clusters."""
    clusters: dict[str, dict] = {}
    for c in range(num_clusters):
        members = [i for i in range(len(vectors)) if i % num_clusters == c]
        vecs = [vectors[i] for i in members]
        centroid = _mean(vecs, dim)
        if pq:
            codes = [{"codes": [(i * 7 + j) % 256 for j in range(2)],
                      "norm": to_f32(math.sqrt(sum(x * x for x in vectors[i])))} for i in members]
        else:
            codes = [_quantized(v, centroid) for v in vecs]
        clusters[str(c)] = {"doc_ids": members, "codes": codes, "raw_vectors": None}
    doc = {
        "config": {"dim": dim, "default_nprobe": 4, "store_raw": False, "rerank_factor": 2},
        "centroids_version": 1,
        "codebook_version": 1,
        "clusters": {"clusters": clusters, "total_vectors": len(vectors)},
    }
    return json.dumps(doc, separators=(",", ":")).encode()


class IndexWriter:
    """Writes an index directory: a schema and any number of segments."""

    def __init__(self, path: str | os.PathLike, fields: Sequence[FieldDef], *, overwrite: bool = False):
        """overwrite: write over the index the directory already holds; its
        segment files stay, no longer listed once the new segments.json is."""
        self.path = os.fspath(path)
        self.fields = list(fields)
        if not overwrite:
            for name in ("schema.json", "segments.json"):
                if os.path.exists(os.path.join(self.path, name)):
                    raise FileExistsError(f"{self.path} already holds an index ({name}); "
                                          "pass overwrite=True to write over it")
        self.segments: list[SegmentInfo] = []
        self._rng = random.Random(1)
        os.makedirs(self.path, exist_ok=True)

    def field_id(self, name: str) -> int:
        for i, f in enumerate(self.fields):
            if f.name == name:
                return i
        if not isinstance(name, str):
            raise TypeError(f"a field is named by a str (or given by its int id), got {type(name).__name__} {name!r}")
        raise ValueError(f"unknown field {name!r}; the schema's fields are "
                         f"{', '.join(repr(f.name) for f in self.fields) or 'none'}")

    def write_schema(self) -> None:
        schema = {"fields": [f.to_json() for f in self.fields],
                  "name_to_field": {f.name: i for i, f in enumerate(self.fields)},
                  "default_fields": [], "query_routers": []}
        self._write("schema.json", json.dumps(schema, indent=2).encode())

    def write_segments_list(self, ids: Sequence[int] | None = None) -> None:
        ids = [s.segment_id for s in self.segments] if ids is None else list(ids)
        self._write("segments.json", json.dumps([f"{i:032x}" for i in ids]).encode())

    def commit(self) -> None:
        """Writes schema.json and segments.json listing every segment so far."""
        self.write_schema()
        self.write_segments_list()

    def _pairs(self, doc: Any) -> list[tuple[int, Any]]:
        """(field id, value) pairs of one document, in document order; a list
        of scalars is several values of its field."""
        pairs: list[tuple[int, Any]] = []
        for key, value in doc.items() if isinstance(doc, dict) else doc:
            fid = key if isinstance(key, int) else self.field_id(key)
            if not 0 <= fid <= U32_MAX:
                raise ValueError(f"a field id is from 0 to {U32_MAX}, got {fid}")
            ftype = self.fields[fid].field_type if fid < len(self.fields) else "text"
            if isinstance(value, list) and ftype in ("text", "u64", "i64", "f64", "bytes"):
                pairs.extend((fid, v) for v in value)
            else:
                pairs.append((fid, value))
        return pairs

    def add_segment(self, docs: Sequence[Any], options: SegmentOptions | None = None,
                    segment_id: int | None = None) -> SegmentInfo:
        """Writes one segment of the given documents (local numbers in order).

        A document is a dict field name -> value (a list of scalars for
        several values) or a list of (field name or id, value) pairs (ids
        outside the schema are allowed)."""
        opts = options or SegmentOptions()
        if segment_id is None:
            segment_id = self._rng.getrandbits(128)
        base = f"seg_{segment_id:032x}"

        postings: dict[bytes, list[list[int]]] = {}
        stats: dict[int, list[int]] = {}
        records: list[bytes] = []
        dense: dict[int, list[list[float]]] = {}
        for doc_id, doc in enumerate(docs):
            counted: set[int] = set()
            encoded: list[tuple[int, dict]] = []
            for fid, value in self._pairs(doc):
                fdef = self.fields[fid] if fid < len(self.fields) else None
                if fdef is None:
                    encoded.append((fid, encode_value("text" if isinstance(value, str) else "json", value)))
                    continue
                check_value(fdef, value)
                if fdef.stored:
                    encoded.append((fid, encode_value(fdef.field_type, value)))
                if fdef.field_type == "dense_vector":
                    dense.setdefault(fid, []).append([float(x) for x in value])
                if not fdef.indexed or fdef.field_type != "text":
                    continue
                tokens = tokenize(str(value))
                st = stats.setdefault(fid, [0, 0])
                st[0] += len(tokens)
                if fid not in counted:
                    counted.add(fid)
                    st[1] += 1
                for tok in tokens:
                    plist = postings.setdefault(term_key(fid, tok), [])
                    if plist and plist[-1][0] == doc_id:
                        plist[-1][1] += 1
                    else:
                        plist.append([doc_id, 1])
            records.append(encode_record(encoded))

        info = SegmentInfo(segment_id=segment_id, num_docs=len(docs),
                           files={ext: os.path.join(self.path, base + ext)
                                  for ext in (".meta", ".terms", ".post", ".store", ".vectors")},
                           terms={k: [(doc, tf) for doc, tf in v] for k, v in postings.items()})

        post = bytearray()
        entries: list[tuple[bytes, bytes]] = []
        for key, pairs in sorted(info.terms.items()):
            inline = inline_term_info(pairs) if opts.inline_postings else None
            if inline is not None:
                info.inline_keys.add(key)
                entries.append((key, inline))
                continue
            blob = build_posting_list(pairs, opts.posting_block_size)
            info.posting_ranges[key] = (len(post), len(blob))
            entries.append((key, external_term_info(len(pairs), len(post), len(blob))))
            post += blob
        terms, info.term_blocks = build_terms(entries, opts)
        store, info.store_blocks = build_store(records, opts)
        info.records = records

        self._write(base + ".meta", build_meta(segment_id, len(docs), stats if opts.meta_field_stats else None))
        self._write(base + ".terms", terms)
        self._write(base + ".post", bytes(post))
        self._write(base + ".store", store)
        if opts.vectors:
            self._write(base + ".vectors", self._vectors(dense, opts.vector_index_type))
        self.segments.append(info)
        return info

    def _vectors(self, dense: dict[int, list[list[float]]], itype: int) -> bytes:
        entries = []
        for fid, vecs in sorted(dense.items()):
            dim = int((self.fields[fid].dense_vector_config or {}).get("dim", len(vecs[0])))
            blob = (rabitq_index_json(vecs, dim) if itype == VECTOR_TYPE_RABITQ
                    else ivf_index_json(vecs, dim, 2, pq=itype == VECTOR_TYPE_IVF_PQ))
            entries.append((fid, itype, blob))
        return build_vectors_file(entries)

    def _write(self, name: str, data: bytes) -> None:
        with open(os.path.join(self.path, name), "wb") as fh:
            fh.write(data)


def patch_file(path: str, offset: int, data: bytes) -> None:
    """Overwrites bytes at offset (negative: from the end)."""
    with open(path, "r+b") as fh:
        fh.seek(offset, os.SEEK_END if offset < 0 else os.SEEK_SET)
        fh.write(data)


def truncate_file(path: str, length: int) -> None:
    with open(path, "r+b") as fh:
        fh.truncate(length)
