"""Writes the names of CPython's stable ABI, as PyPI's abi3info lists them, one a line:

    NAME function|data MAJOR.MINOR

where MAJOR.MINOR is the release whose stable ABI first had the name. python_import_library.py
reads this file: abi3info needs CPython 3.10 or later, the cross build's own interpreter may be
3.7. Run it with an interpreter that has abi3info (tools/wheel-tools makes one):

    stable_abi_listing.py OUT.txt
"""

import sys

import abi3info


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: stable_abi_listing.py OUT.txt")
    rows = [(symbol.name, "function", entry.added) for symbol, entry in abi3info.FUNCTIONS.items()]
    rows += [(symbol.name, "data", entry.added) for symbol, entry in abi3info.DATAS.items()]
    with open(sys.argv[1], "w") as listing:
        for name, kind, added in sorted(rows):
            listing.write("%s %s %d.%d\n" % (name, kind, added.major, added.minor))


if __name__ == "__main__":
    main()
