#!/usr/bin/env python3
"""Writes GEOS-wrapped sound files for benchmarks, the same ones for a seed.

  make_corpus.py DIR --files N    N files, sizes log-uniform from 300 bytes
                                  to 60 KB, named 00000.snd, 00001.snd, ...
                                  (--suffix .rng names them for stripping
                                  in place)
  make_corpus.py FILE --size N    one file of N bytes, its marker near the
                                  start (--marker-at K puts it at offset K;
                                  --sparse leaves everything after the
                                  marker a hole)
"""
import argparse
import math
import pathlib
import random

SIGNATURE = bytes([0xC7, 0x45, 0xC1, 0x53])
MARKER = bytes([0x02, 0x4A, 0x3A])
BLOCK = 1 << 20


def header(rng, number, marker_at=None):
    text = SIGNATURE + f"Benchmark sound {number}".encode("ascii") + b"\x00"
    # Filler bytes from 03 up hold neither a NUL nor the marker's first byte.
    length = rng.randrange(16, 200) if marker_at is None else marker_at - len(text)
    if length < 0:
        raise SystemExit(f"the marker cannot start before offset {len(text)}")
    rest = bytes(rng.randrange(0x03, 0x100) for _ in range(length))
    return text + rest + MARKER


def sound_pool(rng):
    # 8-bit samples around the midpoint, as in real sound data; one pool
    # sliced at random offsets keeps a large corpus quick to write.
    return bytes(min(255, max(0, round(rng.gauss(128, 40)))) for _ in range(BLOCK))


def write_many(directory, count, suffix, rng):
    directory.mkdir(parents=True, exist_ok=True)
    pool = sound_pool(rng)
    low, high = math.log(300), math.log(60_000)
    for number in range(count):
        size = round(math.exp(rng.uniform(low, high)))
        head = header(rng, number)
        body = max(0, size - len(head))
        start = rng.randrange(0, BLOCK - body)
        (directory / f"{number:05d}{suffix}").write_bytes(head + pool[start:start + body])


def write_one(path, size, rng, marker_at, sparse):
    pool = None if sparse else sound_pool(rng)
    head = header(rng, 0, marker_at)
    with open(path, "wb") as out:
        out.write(head)
        if sparse:
            out.truncate(size)
            return
        left = size - len(head)
        while left > 0:
            out.write(pool[:min(left, BLOCK)])
            left -= BLOCK


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("path", type=pathlib.Path)
    group = parser.add_mutually_exclusive_group(required=True)
    group.add_argument("--files", type=int)
    group.add_argument("--size", type=int)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--suffix", default=".snd")
    parser.add_argument("--marker-at", type=int)
    parser.add_argument("--sparse", action="store_true")
    args = parser.parse_args()
    rng = random.Random(args.seed)
    if args.files is not None:
        write_many(args.path, args.files, args.suffix, rng)
    else:
        write_one(args.path, args.size, rng, args.marker_at, args.sparse)


if __name__ == "__main__":
    main()
