#!/usr/bin/env python3
"""Writes codebook.txt from codebook.json: one record per line, a name, its
keys and then integers, so that the C++ tests need no JSON reader.

  key_words SEED w0 .. w7
  raw_u32 SEED x0 .. x63
  single_sample I RESULT DRAWS WORD...
  signs DIM s...      perm DIM p...      draws DIM N
  second_draw_at DIM i...      carry_at DIM i...
"""
import json
import pathlib

here = pathlib.Path(__file__).resolve().parent
data = json.loads((here / "codebook.json").read_text())
lines = []
for seed, words in data["generator"]["key_words"].items():
    lines.append(["key_words", seed, *words])
for seed, words in data["generator"]["raw_u32"].items():
    lines.append(["raw_u32", seed, *words])
for case in data["single_sample_cases"]:
    lines.append(["single_sample", case["i"], case["result"], case["draws"], *case["words"]])
assert data["codebook"]["seed"] == 42
for dim, cb in data["codebook"]["dims"].items():
    lines.append(["signs", dim, *cb["signs"]])
    lines.append(["perm", dim, *cb["perm"]])
    lines.append(["draws", dim, cb["draws"]])
    lines.append(["second_draw_at", dim, *cb["second_draw_at_i"]])
    lines.append(["carry_at", dim, *cb["second_draw_carry_at_i"]])
(here / "codebook.txt").write_text("".join(" ".join(map(str, l)) + "\n" for l in lines))
