#!/usr/bin/env python3
"""Writes the seed corpus of the fuzz targets into fuzz/corpus/<target>/.

The payloads are small trees put into the container by this script: "VZ", "Y", one zstd
frame made by the zstd command, zero bytes up to a multiple of 8, and the 64-bit length
trailer. Seeds named "ok-*" are valid: the replay test requires the targets to read them
to the end. With --packer PATH, tavrin-pack also packs a small tree as one more seed.
"""
import argparse
import os
import random
import shutil
import struct
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
WINDOW = 131072
PIECE = 32768


def entry(name, data):
    return name.encode("utf-16-le") + b"\0\0" + struct.pack("<Q", len(data)) + data


def stream(entries):
    return b"".join(entry(n, d) for n, d in entries) + b"\0\0"


def compress(raw, *options):
    # Through a pipe, as the packer streams: the frame then carries no content size.
    return subprocess.run(["zstd", "-q", "-c", *options], input=raw, stdout=subprocess.PIPE,
                          check=True).stdout


def container(frame):
    body = b"VZY" + frame
    body += b"\0" * (-(len(body) + 8) % 8)
    return body + struct.pack("<Q", len(body))


def filler(seed, size):
    """Bytes that compress well but are not a plain run, so blocks of several kinds occur."""
    rng = random.Random(seed)
    words = [bytes(rng.randrange(256) for _ in range(rng.randrange(4, 40))) for _ in range(6)]
    out = bytearray()
    while len(out) < size:
        word = rng.choice(words)
        out += word * rng.randrange(1, 200)
    return bytes(out[:size])


def payload_seeds():
    small_tree = [("main.dll", filler(1, 1001)), ("lib\\a.pyd", filler(2, 6)),
                  ("lib\\empty.txt", b""), ("lib\\sub\\deeper\\x.bin", filler(3, 32769)),
                  ("b.dat", filler(4, 32768)), ("odd", b"\x01")]
    yield "ok-tree", container(compress(stream(small_tree), "-3"))
    yield "ok-end-only", container(compress(stream([]), "-1"))
    yield "ok-window-span", container(compress(stream([("main.dll", filler(5, 3 * WINDOW + 7)),
                                                       ("z\\y", filler(6, 77))]), "-9"))
    yield "ok-checksum", container(compress(stream(small_tree[:3]), "-1", "--check"))
    yield "ok-long-window", container(compress(stream(small_tree[:2]), "-19", "--long=27"))
    unsafe = [("..\\up", b"x"), ("C:\\abs", b"y"), ("\\lead", b""), ("a\\. .\\b", b"z"),
              ("a/b/../c", b"w"), ("ok\\name", b"v")]
    yield "ok-unsafe-names", container(compress(stream(unsafe), "-1"))
    yield "ok-longest-name", container(compress(stream([("n" * 1023, b"1")]), "-1"))
    yield "name-too-long", container(compress(stream([("n" * 1024, b"1")]), "-1"))
    frame = compress(stream(small_tree), "-3")
    yield "truncated-frame", container(frame[: len(frame) // 2])
    yield "ends-before-marker", container(compress(stream(small_tree)[:-2], "-3"))
    yield "wrong-flag", b"VZX" + frame
    yield "huge-size", container(compress(entry("big", b"") [:-8] + struct.pack("<Q", 2**64 - 1)
                                          + filler(7, 5000), "-3"))


def reader_seed(sizes, raw, *options):
    head = bytes([len(sizes) - 1]) + b"".join(struct.pack("<I", s)[:3] for s in sizes)
    return head + compress(raw, *options)


def reader_seeds():
    raw = filler(8, 5 * WINDOW + 12345)
    yield "ok-names-and-sizes", reader_seed([2, 2, 8, PIECE, 1, 0], raw, "-3")
    yield "ok-window-sized", reader_seed([WINDOW, 3, WINDOW - 3], raw, "-1")
    yield "ok-across-windows", reader_seed([3 * WINDOW, 7], raw, "-9", "--check")
    yield "ok-small-steps", reader_seed([1, 5, 13], filler(9, 20000), "-1")
    yield "past-the-end", reader_seed([PIECE + 1], filler(10, 3 * PIECE), "-1")
    yield "two-frames", reader_seed([PIECE], raw, "-1") + compress(b"second", "-1")


def packer_seed(packer):
    with tempfile.TemporaryDirectory() as tree:
        os.makedirs(os.path.join(tree, "sub", "dir"))
        for name, data in [("main.dll", filler(11, 4000)), ("sub/a.txt", b"hello\n"),
                           ("sub/dir/e", b""), ("sub/dir/odd.bin", filler(12, 40001))]:
            with open(os.path.join(tree, name), "wb") as f:
                f.write(data)
        out = os.path.join(tree, "..", os.path.basename(tree) + ".payload")
        subprocess.run([packer, "payload", "--main", "main.dll", "-o", out, tree], check=True)
        with open(out, "rb") as f:
            data = f.read()
        os.remove(out)
        return data


def write(directory, name, data):
    os.makedirs(directory, exist_ok=True)
    with open(os.path.join(directory, name + ".bin"), "wb") as f:
        f.write(data)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--packer", help="tavrin-pack for one more seed made by the packer")
    parser.add_argument("--out", default=os.path.join(HERE, "corpus"))
    args = parser.parse_args()
    if shutil.which("zstd") is None:
        sys.exit("make_seeds: the zstd command is needed")
    for name, data in payload_seeds():
        write(os.path.join(args.out, "payload"), name, data)
    for name, data in reader_seeds():
        write(os.path.join(args.out, "reader"), name, data)
    if args.packer:
        write(os.path.join(args.out, "payload"), "ok-packer-tree", packer_seed(args.packer))


if __name__ == "__main__":
    main()
