"""Writes the seed corpus of every fuzz target, built by the index writer the
tests use, so that no binary seed is kept in the repository.

    python3 make_seeds.py OUT_DIR

makes OUT_DIR/<target>/ for each target (``<target>`` is the executable's
name) and fills it with a few small, valid inputs in that target's layout.
Needs the ``zstandard`` module, as the writer does.
"""

from __future__ import annotations

import json
import os
import struct
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "nuvrel-core-python" / "tests"))
import nuvrel_writer as nw  # noqa: E402

# Between the files of one multi-file input; fuzz_support.h holds the same text.
FILE_SEPARATOR = b"\n%%nuvrel-next-file%%\n"
SEGMENT_ID = 1
DIM = 3
WORDS = ["alpha", "beta", "gamma", "delta", "epsilon", "zeta", "eta", "theta"]


# The vector side files live outside an index, so the index writer does not
# make them; only the side-file seeds need them.
CENTROIDS_MAGIC = 0x48435643
CODEBOOK_MAGIC = 0x5343424B


def u32(v: int) -> bytes:
    return struct.pack("<I", v)


def u64(v: int) -> bytes:
    return struct.pack("<Q", v)


def f32(v: float) -> bytes:
    return struct.pack("<f", v)


def floats(values) -> bytes:
    return b"".join(f32(x) for x in values)


def build_coarse_centroids(centroids, format_version: int = 1, extra=None) -> bytes:
    """First count = number of centroids, second count = dimension."""
    out = u32(CENTROIDS_MAGIC) + u32(format_version) + u64(1) + u32(len(centroids)) + u32(len(centroids[0]))
    if format_version >= 2:
        if extra is None:
            out += b"\x00"
        else:
            value, switch, factor = extra
            out += b"\x01" + u32(value) + bytes([1 if switch else 0]) + f32(factor)
    return out + b"".join(floats(c) for c in centroids)


def build_pq_codebook(dim: int, m: int, k: int, centroids, format_version: int = 1, rotation=None,
                      per_centroid=None) -> bytes:
    """centroids is the flat M*K*subspace list."""
    out = u32(CODEBOOK_MAGIC) + u32(format_version) + u64(1) + u32(dim) + u32(m)
    if format_version <= 1:
        out += u32(k) + b"\x00" + f32(1.0)
    else:
        out += u32(dim // m) + u32(k) + b"\x00" + f32(10.0) + f32(1.0) + b"\x00" + u32(0)
        out += b"\x01" + floats(rotation) if rotation is not None else b"\x00"
    out += floats(centroids)
    return out + (b"\x01" + floats(per_centroid) if per_centroid is not None else b"\x00")


def docs(n: int, offset: int = 0) -> list[dict]:
    out = []
    for i in range(n):
        words = [WORDS[(i * 3 + k + offset) % len(WORDS)] for k in range(1 + i % 4)]
        out.append({"title": " ".join(words), "body": f"Body {i} " + " ".join(reversed(words)),
                    "count": i, "v": [float(i), float(offset), 1.0]})
    return out


def fields(vector_config: dict | None = None) -> list[nw.FieldDef]:
    return [nw.FieldDef("title"), nw.FieldDef("body", tokenizer="en_stem"),
            nw.FieldDef("count", "u64", indexed=False),
            nw.FieldDef("v", "dense_vector", indexed=False, dense_vector_config=vector_config or {"dim": DIM})]


# Segment shapes that reach different paths of the readers: many small blocks
# with a sparse index and bloom filter, compression dictionaries, external
# posting lists of several blocks, statistics-free metadata, each vector type.
SHAPES = [
    (12, nw.SegmentOptions()),
    (40, nw.SegmentOptions(terms_block_entries=2, sparse_every=2, store_block_docs=3, inline_postings=False,
                           posting_block_size=4, vectors=True)),
    (20, nw.SegmentOptions(bloom=False, sparse_every=None, terms_dictionary=b"alpha beta gamma delta " * 8,
                           store_dictionary=b'{"field_values":[[0,{"text":"' * 8, meta_field_stats=False,
                           vectors=True, vector_index_type=nw.VECTOR_TYPE_IVF_RABITQ)),
    (9, nw.SegmentOptions(zstd_checksum=True, inline_postings=False, vectors=True,
                          vector_index_type=nw.VECTOR_TYPE_IVF_PQ)),
]


def read(path: str) -> bytes:
    return Path(path).read_bytes() if os.path.exists(path) else b""


def main(out: Path) -> None:
    seeds: dict[str, list[bytes]] = {}

    def add(target: str, data: bytes) -> None:
        seeds.setdefault(target, []).append(data)

    coarse = build_coarse_centroids([[0.0] * DIM, [1.0] * DIM])
    coarse_v2 = build_coarse_centroids([[0.5] * DIM], format_version=2, extra=(3, True, 0.5))
    codebook = build_pq_codebook(DIM, 1, 2, [0.5] * (2 * DIM))
    codebook_v2 = build_pq_codebook(DIM, 1, 2, [0.25] * (2 * DIM), format_version=2,
                                       rotation=[1.0] * (DIM * DIM), per_centroid=[1.0, 2.0])
    for side in (coarse, coarse_v2):
        add("side_file_fuzz", b"\x00" + side)
    for side in (codebook, codebook_v2):
        add("side_file_fuzz", b"\x01" + side)

    with tempfile.TemporaryDirectory() as tmp:
        for n, (count, opts) in enumerate(SHAPES):
            w = nw.IndexWriter(Path(tmp) / f"idx{n}", fields())
            info = w.add_segment(docs(count, n), opts, segment_id=SEGMENT_ID)
            w.commit()
            files = {ext: read(path) for ext, path in info.files.items()}
            schema = read(os.path.join(w.path, "schema.json"))
            segments = read(os.path.join(w.path, "segments.json"))

            add("json_schema_fuzz", schema)
            add("json_segment_list_fuzz", segments)
            add("segment_meta_fuzz", files[".meta"])
            add("term_dict_fuzz", files[".terms"])
            add("store_fuzz", files[".store"])
            for record in info.records[:2]:
                add("json_document_fuzz", record)
            for key, (start, length) in list(info.posting_ranges.items())[:2]:
                add("postings_fuzz", bytes([1, 3, 0, 7, 2, 1, 50, 5]) + files[".post"][start:start + length])
            if files[".vectors"]:
                add("vectors_fuzz", FILE_SEPARATOR.join([files[".vectors"], coarse, codebook]))
                # One dense field, so one 21-byte table row before the blob.
                add("json_vector_fuzz", bytes([opts.vector_index_type]) + files[".vectors"][4 + 21:])
            add("index_fuzz", FILE_SEPARATOR.join(
                [schema, segments] + [files[ext] for ext in (".meta", ".terms", ".post", ".store", ".vectors")]))

    add("json_segment_list_fuzz", json.dumps([f"{i:032x}" for i in (1, 2 ** 128 - 1)]).encode())
    add("json_document_fuzz", nw.encode_record([
        (0, nw.encode_value("text", "hé")), (2, nw.encode_value("i64", -5)), (1, nw.encode_value("f64", 1.5)),
        (3, nw.encode_value("bytes", b"\x00\xff")), (4, nw.encode_value("sparse_vector", ([1, 7], [0.5, 2.0]))),
        (5, nw.encode_value("json", {"b": [1, None, True], "a": {"x": "y"}}))]))
    add("postings_fuzz", bytes(8) + nw.build_posting_list([(d, 1 + d % 3) for d in range(0, 600, 3)]))
    for n, text in enumerate(["Hello, World! Ünïcödé ΣΑΣ straße", "running runners ran quickly 42 x²",
                              "les chats et les chiens", "\u0130stanbul \u00df \ufb03 \U0001f600 a\u0307"]):
        for pick in (0, 1, 2, 3, 4 + n * 7, 40 + n):
            add("tokenizer_fuzz", bytes([pick]) + text.encode())

    for target, items in seeds.items():
        directory = out / target
        directory.mkdir(parents=True, exist_ok=True)
        for n, data in enumerate(items):
            (directory / f"seed-{n:02d}").write_bytes(data)


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit("usage: make_seeds.py OUT_DIR")
    main(Path(sys.argv[1]))
