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
import zlib

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


# ---- resources: byte 0 of each seed chooses the reader (see resources_target.cpp) ----------

ICON, IMAGE, SECTION, VERSION, MANIFEST = range(5)


def png(side):
    """An RGBA PNG of side x side pixels, made with zlib alone."""
    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))
    rows = b"".join(b"\0" + bytes([x * 9 % 256, 40, 200, 255]) * side for x in range(side))
    header = struct.pack(">IIBBBBB", side, side, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(rows))
            + chunk(b"IEND", b""))


def dib(side, bits):
    colours = 1 << bits if bits <= 8 else 0
    stride = (side * bits + 31) // 32 * 4
    mask = (side + 31) // 32 * 4
    header = struct.pack("<IiiHHIIiiII", 40, side, 2 * side, 1, bits, 0, 0, 0, 0, 0, 0)
    return header + bytes(4 * colours) + filler(13, stride * side) + bytes(mask * side)


def ico(images):
    """images: (side, bits, data) each; 256 is written as 0."""
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for side, bits, data in images:
        out += struct.pack("<BBBBHHII", side % 256, side % 256, 0, 0, 1, bits, len(data), offset)
        offset += len(data)
    return out + b"".join(data for _, _, data in images)


def version_node(key, value=b"", text=False, children=()):
    body = key.encode("utf-16-le") + b"\0\0"
    body += b"\0" * (-(6 + len(body)) % 4) + value
    for child in children:
        body += b"\0" * (-(6 + len(body)) % 4) + child
    value_length = len(value) // 2 if text else len(value)
    return struct.pack("<HHH", 6 + len(body), value_length, 1 if text else 0) + body


def version_resource():
    fixed = struct.pack("<13I", 0xFEEF04BD, 0x10000, 0x10000, 0, 0x10000, 0, 0x3F, 0, 0x40004, 1, 0, 0, 0)
    strings = [version_node(k, (v + "\0").encode("utf-16-le"), True)
               for k, v in [("CompanyName", "The tavrin developers"), ("ProductName", "Zandoria"),
                            ("FileVersion", "1.0.0.0"), ("ProductVersion", "1.0.0.0")]]
    table = version_node("040904b0", text=True, children=strings)
    var = version_node("VarFileInfo", text=True,
                       children=[version_node("Translation", struct.pack("<HH", 0x409, 1200))])
    return version_node("VS_VERSION_INFO", fixed, children=[version_node("StringFileInfo", text=True,
                                                                         children=[table]), var])


def resource_section(items, rva):
    """items: (type, name, language, data) with int ids or str names, laid out breadth first."""
    items = sorted(items, key=lambda i: tuple((0, k) if isinstance(k, str) else (1, k) for k in i[:3]))
    tree = {}
    for t, n, l, data in items:
        tree.setdefault(t, {}).setdefault(n, []).append((l, data))
    tables = [("root", None, list(tree))]
    for t in tree:
        tables.append(("type", t, list(tree[t])))
    for t in tree:
        for n in tree[t]:
            tables.append(("name", (t, n), [l for l, _ in tree[t][n]]))
    offsets, at = {}, 0
    for kind, key, entries in tables:
        offsets[(kind, key)] = at
        at += 16 + 8 * len(entries)
    entry_at = at
    strings_at = entry_at + 16 * len(items)
    strings = b""
    data_at = strings_at
    out = bytearray()

    def key_field(k):
        nonlocal strings
        if isinstance(k, int):
            return k
        field = 0x80000000 | (strings_at + len(strings))
        strings += struct.pack("<H", len(k)) + k.encode("utf-16-le")
        return field
    leaves = []
    for kind, key, entries in tables:
        named = sum(isinstance(e, str) for e in entries)
        out += struct.pack("<IIHHHH", 0, 0, 0, 0, named, len(entries) - named)
        for e in entries:
            if kind == "root":
                target = 0x80000000 | offsets[("type", e)]
            elif kind == "type":
                target = 0x80000000 | offsets[("name", (key, e))]
            else:
                target = entry_at + 16 * len(leaves)
                leaves.append(dict(tree[key[0]][key[1]])[e])
            out += struct.pack("<II", key_field(e), target)
    data_at = strings_at + len(strings)
    data_at += -data_at % 8
    blobs, entries = b"", b""
    for data in leaves:
        entries += struct.pack("<IIII", rva + data_at + len(blobs), len(data), 0, 0)
        blobs += data + b"\0" * (-len(data) % 8)
    body = bytes(out) + entries + strings
    return body + b"\0" * (data_at - len(body)) + blobs


def pe_image(section):
    """The minimal PE32+ image that resources_target.cpp wraps a section into."""
    raw = len(section) + (-len(section) % 0x200)
    head = bytearray(0x200)
    head[0:2] = b"MZ"
    struct.pack_into("<I", head, 0x3C, 0x40)
    struct.pack_into("<IHH", head, 0x40, 0x4550, 0x8664, 1)
    struct.pack_into("<H", head, 0x40 + 4 + 16, 240)
    o = 0x40 + 24
    struct.pack_into("<H", head, o, 0x20B)
    struct.pack_into("<II", head, o + 32, 0x1000, 0x200)
    struct.pack_into("<II", head, o + 56, 0x1000 + (raw + 0xFFF) // 0x1000 * 0x1000, 0x200)
    struct.pack_into("<I", head, o + 108, 16)
    struct.pack_into("<II", head, o + 112 + 16, 0x1000, len(section))
    struct.pack_into("<8sIIIIIIHHI", head, o + 240, b".rsrc", len(section), 0x1000, raw, 0x200, 0, 0, 0, 0,
                     0x40000040)
    return bytes(head) + section + bytes(raw - len(section))


def resources_seeds():
    icon = ico([(16, 32, dib(16, 32)), (32, 32, png(32))])
    yield "ok-ico-dib-png", bytes([ICON]) + icon
    yield "ok-ico-palette", bytes([ICON]) + ico([(16, 8, dib(16, 8)), (256, 32, png(256))])
    yield "ico-cursor", bytes([ICON]) + icon[:2] + b"\2\0" + icon[4:]
    yield "ico-cut", bytes([ICON]) + icon[: len(icon) - 9]
    with open(os.path.join(HERE, "..", "resources", "launcher.manifest"), "rb") as f:
        manifest = f.read()
    group = struct.pack("<HHH", 0, 1, 1) + struct.pack("<BBBBHHIH", 16, 16, 0, 0, 1, 32, 1128, 1)
    items = [(3, 1, 1033, dib(16, 32)[:200]), (14, 1, 1033, group), (16, 1, 1033, version_resource()),
             (24, 1, 1033, manifest[:600]), ("NAMED", "Entry", 0, b"named data"), (10, 27, 0, b"VZY")]
    yield "ok-section", bytes([SECTION]) + resource_section(items, 0x1000)
    yield "ok-image", bytes([IMAGE]) + pe_image(resource_section(items[:3], 0x1000))
    looping = bytearray(resource_section(items[:1], 0x1000))
    struct.pack_into("<I", looping, 16 + 4, 0x80000000)  # the root's type entry points at the root
    yield "tree-loop", bytes([SECTION]) + bytes(looping)
    yield "ok-version", bytes([VERSION]) + version_resource()
    yield "ok-manifest", bytes([MANIFEST]) + manifest
    yield "ok-manifest-prefixed", bytes([MANIFEST]) + (
        b"<!-- <requestedExecutionLevel level='x'/> --><a xmlns:v='urn:x'><v:requestedExecutionLevel "
        b"uiAccess='false' level = 'highestAvailable'/></a>")


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
    for name, data in resources_seeds():
        write(os.path.join(args.out, "resources"), name, data)
    if args.packer:
        write(os.path.join(args.out, "payload"), "ok-packer-tree", packer_seed(args.packer))


if __name__ == "__main__":
    main()
