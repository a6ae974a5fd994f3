#!/usr/bin/env python3
"""Prints what an executable tells about itself, read with pefile (a reader we did not
write): the version resource's fixed part and string table, and the manifest's requested
execution level. One "key=value" line each, sorted, for the kit test to compare."""
import sys
import xml.etree.ElementTree as ElementTree

import pefile

MANIFEST_TYPE = 24


def read_version(pe, out):
    fixed = pe.VS_FIXEDFILEINFO[0]
    def four(high, low):
        return f"{high >> 16}.{high & 0xFFFF}.{low >> 16}.{low & 0xFFFF}"
    out["fixed.FileVersion"] = four(fixed.FileVersionMS, fixed.FileVersionLS)
    out["fixed.ProductVersion"] = four(fixed.ProductVersionMS, fixed.ProductVersionLS)
    for group in pe.FileInfo:
        for info in group:
            if getattr(info, "Key", b"") != b"StringFileInfo":
                continue
            for table in info.StringTable:
                for key, value in table.entries.items():
                    out[key.decode()] = value.decode()


def read_execution_level(pe, out):
    for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        if kind.id != MANIFEST_TYPE:
            continue
        entry = kind.directory.entries[0].directory.entries[0]
        data = pe.get_data(entry.data.struct.OffsetToData, entry.data.struct.Size)
        root = ElementTree.fromstring(data)
        for element in root.iter():
            if element.tag.endswith("}requestedExecutionLevel"):
                out["manifest.level"] = element.get("level")


def main():
    pe = pefile.PE(sys.argv[1])
    out = {}
    read_version(pe, out)
    read_execution_level(pe, out)
    for key in sorted(out):
        print(f"{key}={out[key]}")


if __name__ == "__main__":
    main()
