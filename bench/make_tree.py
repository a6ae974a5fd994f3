#!/usr/bin/env python3
"""Generates the release-shaped application tree for the benchmarks, deterministically.

At scale 1 the tree has the shape of the release payload: 1,069 files over the top
directory and 76 sub-directories, up to five path components per name, names of at most
56 ASCII units, 4 empty files, 478 files of odd size, 205,229,382 bytes in all, the main
library first in size at 124,422,656 bytes. Smaller scales (0.25, 0.5) have proportionally
fewer directories, files and bytes of the same shape.

Names, the directory tree and the sizes come from a seeded PRNG. The content is real
program code found on the machine, so that it compresses like an application: the main
library mostly from the system's shared libraries with some of wine's Windows DLLs, the
other files from the rest of wine's DLLs and the mingw-w64 libraries, each list in a fixed
order. With --main-dll the main library begins with that
DLL (a loadable image; the rest of the file is data after its last section).

The printed digest is SHA-256 over every file in name order (name, NUL, 8-byte
little-endian size, content): equal digests mean equal trees. It depends on the packages
installed, since the content comes from them.
"""
import argparse
import hashlib
import os
import random
import re
import shutil
import struct
import sys

FILES = 1069
SUBDIRECTORIES = 76
TOTAL_BYTES = 205_229_382
MAIN_BYTES = 124_422_656
EMPTY_FILES = 4
ODD_FILES = 478
MAX_COMPONENTS = 5
MAX_NAME_UNITS = 56
MAIN_NAME = "zandoria.dll"
SEED = 20260812

# Where the content comes from. Files below this size are mostly stubs and links.
SYSTEM_SOURCES = ["/usr/lib/x86_64-linux-gnu"]
WINDOWS_SOURCES = ["/usr/lib/x86_64-linux-gnu/wine/x86_64-windows", "/usr/x86_64-w64-mingw32/lib"]
# The main library takes this many MiB from the system's libraries, then this many from
# Windows DLLs, in turn: the system's code alone compresses to about 28 %, wine's DLLs to
# about 18 %, and this mix brings the whole tree near the release payload's 23 %.
MAIN_MIX_MIB = (5, 1)
MIN_SOURCE_BYTES = 64 * 1024
COPY_CHUNK = 1 << 20

EXTENSIONS = [".dll", ".dll", ".pyd", ".pyd", ".py", ".dat", ".json", ".txt", ".png", ".qm",
              ".bin", ".xml", ".ttf", ".cfg", ".ico", ".pak"]
SYLLABLES = ["ka", "lo", "mi", "re", "tu", "sen", "vor", "qi", "da", "ne", "po", "zu", "ar",
             "el", "in", "or", "us", "ba", "ce", "fi", "gho", "ju", "ly", "ny", "xe", "wa"]


class Shape:
    """The figures at one scale. The sum of the sizes has the parity of the count of odd
    sizes (the main library's size is even), so the odd count is moved by one if needed."""

    def __init__(self, scale):
        self.files = round(FILES * scale)
        self.directories = max(MAX_COMPONENTS - 1, round(SUBDIRECTORIES * scale))
        self.total = round(TOTAL_BYTES * scale)
        self.main = round(MAIN_BYTES * scale) & ~1
        self.empty = max(1, round(EMPTY_FILES * scale))
        self.odd = round(ODD_FILES * scale)
        if (self.total - self.odd) % 2:
            self.odd += 1


def stem(name):
    """Versions of one library (libLLVM-14/15, d3dx9_24..43, msvcr70..120) share most of
    their code; only the first of a stem is used so that the content does not repeat."""
    base = name.split(".so")[0].split(".")[0].lower()
    return re.sub(r"[-_.\d]+$", "", base)


def source_files(roots):
    seen_stems, seen_inodes, found = set(), set(), []
    for root in roots:
        if not os.path.isdir(root):
            continue
        for name in sorted(os.listdir(root)):
            path = os.path.join(root, name)
            if os.path.islink(path) or not os.path.isfile(path):
                continue
            info = os.stat(path)
            if info.st_size < MIN_SOURCE_BYTES or info.st_ino in seen_inodes:
                continue
            if stem(name) in seen_stems:
                continue
            seen_stems.add(stem(name))
            seen_inodes.add(info.st_ino)
            found.append(path)
    # A fixed order that mixes the libraries instead of following the alphabet.
    found.sort(key=lambda p: hashlib.sha256(os.path.basename(p).encode()).hexdigest())
    return found


class Pool:
    """The source files read one after another as one long stream of bytes."""

    def __init__(self, paths):
        self.paths = paths
        self.index = 0
        self.current = None

    def take(self, count):
        out = bytearray()
        while len(out) < count:
            if self.current is None:
                if self.index >= len(self.paths):
                    sys.exit("make_tree: not enough source files for the content")
                self.current = open(self.paths[self.index], "rb")
                self.index += 1
            chunk = self.current.read(min(COPY_CHUNK, count - len(out)))
            if not chunk:
                self.current.close()
                self.current = None
            out += chunk
        return bytes(out)


class MixedPool:
    """Takes from several pools in turn, a fixed number of bytes from each."""

    def __init__(self, pools, shares):
        self.pools = pools
        self.shares = shares
        self.turn = 0
        self.left = shares[0]

    def take(self, count):
        out = bytearray()
        while len(out) < count:
            if self.left == 0:
                self.turn = (self.turn + 1) % len(self.pools)
                self.left = self.shares[self.turn]
            part = min(self.left, count - len(out))
            out += self.pools[self.turn].take(part)
            self.left -= part
        return bytes(out)


def make_pools():
    """The pool of the main library and the pool of the other files. Wine's DLLs are
    dealt out between the two alternately, so that no file's code appears twice."""
    windows = source_files(WINDOWS_SOURCES)
    main = MixedPool([Pool(source_files(SYSTEM_SOURCES)), Pool(windows[1::2])],
                     [share << 20 for share in MAIN_MIX_MIB])
    return main, Pool(windows[0::2])


def make_word(rng, low, high):
    word = ""
    while len(word) < low:
        word += rng.choice(SYLLABLES)
    return word[:high]


def make_directories(rng, count):
    """Sub-directories as '\\'-joined paths. A chain to the deepest level comes first, so
    the tree always reaches five components per file name."""
    directories = []
    parent = ""
    for _ in range(MAX_COMPONENTS - 1):
        parent = (parent + "\\" if parent else "") + make_word(rng, 3, 7)
        directories.append(parent)
    while len(directories) < count:
        choices = [""] + [d for d in directories if d.count("\\") < MAX_COMPONENTS - 2]
        base = rng.choice(choices)
        path = (base + "\\" if base else "") + make_word(rng, 3, 9)
        if path not in directories and len(path) <= MAX_NAME_UNITS - 10:
            directories.append(path)
    return directories


def make_file_names(rng, directories, count):
    """Every leaf directory gets a file (an empty directory cannot travel in a payload);
    the rest spread over all directories, the top one included."""
    leaves = [d for d in directories if not any(o.startswith(d + "\\") for o in directories)]
    homes = list(leaves)
    while len(homes) < count:
        homes.append(rng.choice([""] * 8 + directories))
    names = set()
    ordered = []
    for home in homes:
        while True:
            room = MAX_NAME_UNITS - (len(home) + 1 if home else 0)
            ext = rng.choice(EXTENSIONS)
            word = make_word(rng, 3, max(1, min(room - len(ext), rng.randrange(4, 20))))
            name = (home + "\\" if home else "") + word + ext
            if name not in names and name.lower() != MAIN_NAME and len(name) <= MAX_NAME_UNITS:
                break
        names.add(name)
        ordered.append(name)
    # One name at the longest length, in the deepest directory.
    deepest = max(range(len(ordered)), key=lambda i: ordered[i].count("\\"))
    head, tail = ordered[deepest].rsplit("\\", 1)
    ext = os.path.splitext(tail)[1]
    pad = MAX_NAME_UNITS - len(head) - 1 - len(ext)
    ordered[deepest] = head + "\\" + (tail[: -len(ext)] + "x" * MAX_NAME_UNITS)[:pad] + ext
    return ordered


def make_sizes(rng, shape):
    """Sizes of the files after the main library: a wide spread like a real tree, exact
    counts of empty and odd sizes, and the exact total."""
    nonempty = shape.files - 1 - shape.empty
    rest = shape.total - shape.main
    weights = [rng.lognormvariate(0, 1.8) for _ in range(nonempty)]
    scale = rest / sum(weights)
    sizes = [max(2, int(w * scale)) for w in weights]
    odd = set(rng.sample(range(nonempty), shape.odd))
    sizes = [s + ((s % 2) != (i in odd)) for i, s in enumerate(sizes)]
    # The difference is even: move it onto the largest sizes in steps that keep parity.
    diff = rest - sum(sizes)
    order = sorted(range(nonempty), key=lambda i: -sizes[i])
    for i in order:
        if diff == 0:
            break
        step = max(diff, -(sizes[i] - 2 - ((sizes[i] - 2) % 2)))
        sizes[i] += step
        diff -= step
    if diff or max(sizes) >= shape.main:
        sys.exit("make_tree: could not meet the total size")
    sizes += [0] * shape.empty
    rng.shuffle(sizes)
    return sizes


def write_tree(out, entries, main_pool, other_pool, main_head):
    digest = hashlib.sha256()
    for name, size in sorted(entries):
        path = os.path.join(out, *name.split("\\"))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        if name == MAIN_NAME:
            head = main_head[:size]
            content = head + main_pool.take(size - len(head))
        else:
            content = other_pool.take(size)
        with open(path, "wb") as f:
            f.write(content)
        digest.update(name.encode() + b"\0" + struct.pack("<Q", size))
        digest.update(content)
    return digest.hexdigest()


def describe(entries, directories):
    sizes = [s for _, s in entries]
    names = [n for n, _ in entries]
    return (f"files {len(entries)}, sub-directories {len(directories)}, bytes {sum(sizes)}, "
            f"empty {sizes.count(0)}, odd {sum(s % 2 for s in sizes)}, "
            f"largest {max(sizes)} ({names[sizes.index(max(sizes))]}), "
            f"longest name {max(map(len, names))}, "
            f"most components {max(n.count(chr(92)) for n in names) + 1}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scale", type=float, default=1.0, help="1, 0.5, 0.25 ...")
    parser.add_argument("--main-dll", help="DLL that begins the main library")
    parser.add_argument("out", help="directory to create (must not exist, or --force)")
    parser.add_argument("--force", action="store_true", help="replace an existing directory")
    args = parser.parse_args()

    shape = Shape(args.scale)
    rng = random.Random(SEED)
    directories = make_directories(rng, shape.directories)
    names = make_file_names(rng, directories, shape.files - 1)
    sizes = make_sizes(rng, shape)
    entries = [(MAIN_NAME, shape.main)] + list(zip(names, sizes))

    used = {n.rsplit("\\", 1)[0] for n, _ in entries if "\\" in n}
    prefixes = {p[:i] for p in used for i in range(len(p) + 1) if i == len(p) or p[i] == "\\"}
    if prefixes - {""} != set(directories):
        sys.exit("make_tree: a directory has no file")

    main_head = b""
    if args.main_dll:
        with open(args.main_dll, "rb") as f:
            main_head = f.read()
    if os.path.exists(args.out):
        if not args.force:
            sys.exit(f"make_tree: {args.out} exists (use --force)")
        shutil.rmtree(args.out)
    os.makedirs(args.out)
    main_pool, other_pool = make_pools()
    digest = write_tree(args.out, entries, main_pool, other_pool, main_head)
    print(f"tree {args.out}: scale {args.scale}: {describe(entries, directories)}")
    print(f"digest {digest}")


if __name__ == "__main__":
    main()
