#!/usr/bin/env python3
"""Writes a machine file whose target holds COUNT keys (the target itself
included), in one of three shapes:

  wide      every key a subkey of the target
  deep      chains of 500 keys below the target (the deepest key at level
            506 of the registry's 512)
  balanced  a tree of ten subkeys a key, filled level by level

Every key has the DACL the tool meets in the field (SYSTEM full control,
Administrators read and WRITE_DAC), or with --plain none of its own (the
default DACL: Administrators full control); a key beside the target shows
that nothing else is touched.
"""

import argparse
import sys

TARGET = r"SYSTEM\CurrentControlSet\Enum\Root\LEGACY_CDFS\0000"
FIELD_DACL = "dacl D:(A;;KA;;;SY)(A;;KRWD;;;BA)\n"
CHAIN = 500
BRANCHING = 10


def write(out, shape, count, plain=False):
    dacl = "" if plain else FIELD_DACL
    out.write("[SYSTEM\\CurrentControlSet\\Enum\\Root\\LEGACY_BEEP\\0000]\n\"Service\"=\"Beep\"\n")
    out.write(f"[{TARGET}]\n{dacl}")
    left = count - 1
    if shape == "wide":
        for i in range(left):
            out.write(f"[{TARGET}\\k{i:07d}]\n{dacl}")
    elif shape == "deep":
        chain = 0
        while left > 0:
            out.write(f"[{TARGET}\\c{chain:05d}]\n{dacl}")
            for _ in range(min(CHAIN, left) - 1):
                out.write(f"[\\d]\n{dacl}")
            left -= min(CHAIN, left)
            chain += 1
    elif shape == "balanced":
        # Key n (0 is the target) has children BRANCHING*n+1 .. BRANCHING*n+BRANCHING;
        # written depth first, each with its absolute path.
        def path(n):
            parts = []
            while n > 0:
                parts.append(f"b{(n - 1) % BRANCHING}")
                n = (n - 1) // BRANCHING
            return "\\".join([TARGET] + parts[::-1])
        stack = [0]
        while stack:
            n = stack.pop()
            if n:
                out.write(f"[{path(n)}]\n{dacl}")
            children = [c for c in range(BRANCHING * n + 1, BRANCHING * n + BRANCHING + 1) if c < count]
            stack.extend(reversed(children))
    else:
        raise SystemExit(f"unknown shape {shape}")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("shape", choices=["wide", "deep", "balanced"])
    parser.add_argument("count", type=int)
    parser.add_argument("--plain", action="store_true", help="no DACL lines")
    parser.add_argument("-o", "--output", help="file to write (default: standard output)")
    args = parser.parse_args()
    if args.output:
        with open(args.output, "w", encoding="utf-8") as out:
            write(out, args.shape, args.count, args.plain)
    else:
        write(sys.stdout, args.shape, args.count, args.plain)


if __name__ == "__main__":
    main()
