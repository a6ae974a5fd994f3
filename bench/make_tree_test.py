#!/usr/bin/env python3
"""Checks the tree generator and the frame walk of the benchmark on a small scale: the tree
on disk has the figures asked for, two runs give the same digest, and the frame length
found from block headers is the frame the zstd tool wrote."""
import os
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, HERE)
import bench  # noqa: E402
import make_tree  # noqa: E402

SCALE = 0.05


def generate(out, *extra):
    result = subprocess.run([sys.executable, make_tree.__file__, "--scale", str(SCALE), out, *extra],
                            check=True, stdout=subprocess.PIPE, text=True).stdout
    return [l.split()[1] for l in result.splitlines() if l.startswith("digest ")][0]


def walk(root):
    files = {}
    directories = 0
    for base, dirs, names in os.walk(root):
        directories += len(dirs)
        for name in names:
            path = os.path.join(base, name)
            files[os.path.relpath(path, root).replace(os.sep, "\\")] = os.path.getsize(path)
    return files, directories


class TreeShape(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.scratch = tempfile.TemporaryDirectory()
        cls.first = os.path.join(cls.scratch.name, "a")
        cls.digest = generate(cls.first)
        cls.files, cls.directories = walk(cls.first)
        cls.shape = make_tree.Shape(SCALE)

    @classmethod
    def tearDownClass(cls):
        cls.scratch.cleanup()

    def test_counts_and_bytes(self):
        sizes = list(self.files.values())
        self.assertEqual(len(self.files), self.shape.files)
        self.assertEqual(self.directories, self.shape.directories)
        self.assertEqual(sum(sizes), self.shape.total)
        self.assertEqual(sizes.count(0), self.shape.empty)
        self.assertEqual(sum(s % 2 for s in sizes), self.shape.odd)

    def test_main_library_is_largest(self):
        main = self.files[make_tree.MAIN_NAME]
        self.assertEqual(main, self.shape.main)
        others = [s for n, s in self.files.items() if n != make_tree.MAIN_NAME]
        self.assertLess(max(others), main)

    def test_names(self):
        names = list(self.files)
        self.assertEqual(max(map(len, names)), make_tree.MAX_NAME_UNITS)
        self.assertEqual(max(n.count("\\") for n in names) + 1, make_tree.MAX_COMPONENTS)
        self.assertTrue(all(n.isascii() for n in names))

    def test_same_digest_twice_and_head_of_main(self):
        second = os.path.join(self.scratch.name, "b")
        self.assertEqual(generate(second), self.digest)
        head = os.path.join(self.scratch.name, "head.bin")
        with open(head, "wb") as f:
            f.write(b"MZ-head-of-the-main-library")
        third = os.path.join(self.scratch.name, "c")
        self.assertNotEqual(generate(third, "--main-dll", head), self.digest)
        with open(os.path.join(third, make_tree.MAIN_NAME), "rb") as f:
            self.assertEqual(f.read(27), b"MZ-head-of-the-main-library")
        self.assertEqual(walk(third)[0], self.files)


class FrameLength(unittest.TestCase):
    def frame(self, data, *options):
        return subprocess.run(["zstd", "-q", "-c", *options], input=data, check=True,
                              stdout=subprocess.PIPE).stdout

    def test_frames_followed_by_padding(self):
        data = os.urandom(300_000) + bytes(200_000) + b"abc" * 50_000
        for options in ([], ["--check"], ["-19", "--long=27"], ["--no-check", "-1"]):
            frame = self.frame(data, *options)
            padded = b"VZY" + frame + bytes(5) + b"12345678"
            self.assertEqual(bench.zstd_frame_length(padded, 3), len(frame), options)

    def test_not_a_frame(self):
        with self.assertRaises(ValueError):
            bench.zstd_frame_length(b"VZY" + bytes(16), 3)


if __name__ == "__main__":
    unittest.main()
