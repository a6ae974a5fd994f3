#!/usr/bin/env python3
"""Writes a zip of a folder whose bytes depend only on the files' names and contents:
entries sorted by name, every date the given source date, no owner or permission bits.
   make_zip.py OUT.zip FOLDER EPOCH   (the folder's own name becomes the zip's top folder)"""
import os
import sys
import time
import zipfile

ZIP_EARLIEST = (1980, 1, 1, 0, 0, 0)  # the zip format cannot say an earlier date


def list_files(folder):
    found = []
    for directory, subdirectories, files in os.walk(folder):
        subdirectories.sort()
        for name in files:
            found.append(os.path.join(directory, name))
    return sorted(found, key=lambda path: os.path.relpath(path, folder).replace(os.sep, "/"))


def main():
    out, folder, epoch = sys.argv[1], os.path.abspath(sys.argv[2]), int(sys.argv[3])
    date = max(ZIP_EARLIEST, tuple(time.gmtime(epoch))[:6])
    top = os.path.basename(folder)
    with zipfile.ZipFile(out, "w") as archive:
        for path in list_files(folder):
            name = top + "/" + os.path.relpath(path, folder).replace(os.sep, "/")
            entry = zipfile.ZipInfo(name, date)
            entry.create_system = 0  # MS-DOS attributes: none set
            entry.external_attr = 0
            entry.compress_type = zipfile.ZIP_DEFLATED
            with open(path, "rb") as source:
                archive.writestr(entry, source.read(), compresslevel=9)


if __name__ == "__main__":
    main()
