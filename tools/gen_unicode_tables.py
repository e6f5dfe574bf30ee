#!/usr/bin/env python3
"""Generate kovel_python/unicode_tables.inc from the Unicode Character Database.

The tables drive KTerm.__repr__'s quoting: which characters are escaped as
\\u{h} because they are Grapheme_Extend or not printable. Each table is a sorted
list of disjoint, non-adjacent inclusive ranges, ready for binary search.

Usage: gen_unicode_tables.py [--ucd DIR] [--out PATH]
"""

from __future__ import annotations

import argparse
import re
import sys
from pathlib import Path

MAX_CODE_POINT = 0x10FFFF

# General categories whose characters are shown escaped. Cn (unassigned) is
# handled separately: it is every code point UnicodeData.txt does not list.
NOT_PRINTABLE_CATEGORIES = {"Cc", "Cf", "Cs", "Co", "Zl", "Zp", "Zs"}

# SPACE is Zs but stays literal in quoted text.
PRINTABLE_EXCEPTIONS = {0x20}

DEFAULT_OUT = Path(__file__).resolve().parent.parent / "kovel_python" / "unicode_tables.inc"


def read_general_categories(path: Path) -> dict[int, str]:
    """Map every assigned code point to its general category.

    Large blocks (CJK ideographs, Hangul, surrogates, private use...) are given
    as a pair of lines named "<..., First>" and "<..., Last>"; every code point
    between them has the category of the pair.
    """
    cats: dict[int, str] = {}
    range_start: int | None = None
    with path.open(encoding="utf-8") as f:
        for lineno, line in enumerate(f, 1):
            line = line.strip()
            if not line:
                continue
            fields = line.split(";")
            if len(fields) < 3:
                raise ValueError(f"{path}:{lineno}: malformed line")
            cp = int(fields[0], 16)
            name, cat = fields[1], fields[2]
            if name.endswith(", First>"):
                if range_start is not None:
                    raise ValueError(f"{path}:{lineno}: nested range start")
                range_start = cp
                continue
            if name.endswith(", Last>"):
                if range_start is None:
                    raise ValueError(f"{path}:{lineno}: range end without start")
                for c in range(range_start, cp + 1):
                    cats[c] = cat
                range_start = None
                continue
            if range_start is not None:
                raise ValueError(f"{path}:{lineno}: unterminated range")
            cats[cp] = cat
    if range_start is not None:
        raise ValueError(f"{path}: unterminated range at end of file")
    return cats


def read_property(path: Path, prop: str) -> list[tuple[int, int]]:
    """Ranges listed for one binary property in a UCD property file."""
    ranges = []
    with path.open(encoding="utf-8") as f:
        for line in f:
            data = line.split("#", 1)[0].strip()
            if not data:
                continue
            cps, name = (part.strip() for part in data.split(";")[:2])
            if name != prop:
                continue
            lo, _, hi = cps.partition("..")
            ranges.append((int(lo, 16), int(hi or lo, 16)))
    if not ranges:
        raise ValueError(f"{path}: no entries for property {prop}")
    return ranges


def merge(ranges: list[tuple[int, int]]) -> list[tuple[int, int]]:
    """Sort, then join overlapping and adjacent ranges."""
    out: list[tuple[int, int]] = []
    for lo, hi in sorted(ranges):
        if out and lo <= out[-1][1] + 1:
            out[-1] = (out[-1][0], max(out[-1][1], hi))
        else:
            out.append((lo, hi))
    return out


def ranges_of(predicate) -> list[tuple[int, int]]:
    """Ranges of all code points for which predicate holds."""
    out: list[tuple[int, int]] = []
    start = None
    for cp in range(MAX_CODE_POINT + 2):
        inside = cp <= MAX_CODE_POINT and predicate(cp)
        if inside and start is None:
            start = cp
        elif not inside and start is not None:
            out.append((start, cp - 1))
            start = None
    return out


def unicode_version(ucd: Path) -> str:
    """The version named in the data files' headers, e.g. "15.0.0"."""
    candidates = [
        (ucd / "DerivedCoreProperties.txt", r"DerivedCoreProperties-(\d+\.\d+\.\d+)\.txt"),
        (ucd / "ReadMe.txt", r"Version (\d+\.\d+\.\d+) of the Unicode Standard"),
    ]
    for path, pattern in candidates:
        try:
            with path.open(encoding="utf-8") as f:
                head = "".join(f.readline() for _ in range(40))
        except OSError:
            continue
        m = re.search(pattern, head)
        if m:
            return m.group(1)
    raise ValueError(f"cannot find the Unicode version in {ucd}")


def format_table(name: str, comment: str, ranges: list[tuple[int, int]]) -> str:
    per_line = 4
    lines = [f"// {comment}", f"static constexpr CodePointRange {name}[] = {{"]
    for i in range(0, len(ranges), per_line):
        chunk = ranges[i : i + per_line]
        lines.append("    " + " ".join(f"{{0x{lo:04X}, 0x{hi:04X}}}," for lo, hi in chunk))
    lines.append("};")
    return "\n".join(lines) + "\n"


def main(argv: list[str]) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument(
        "--ucd",
        type=Path,
        default=Path("/usr/share/unicode"),
        help="directory holding UnicodeData.txt and DerivedCoreProperties.txt",
    )
    ap.add_argument("--out", type=Path, default=DEFAULT_OUT, help="output .inc file")
    args = ap.parse_args(argv)

    version = unicode_version(args.ucd)
    cats = read_general_categories(args.ucd / "UnicodeData.txt")
    grapheme_extend = merge(read_property(args.ucd / "DerivedCoreProperties.txt", "Grapheme_Extend"))

    def not_printable(cp: int) -> bool:
        if cp in PRINTABLE_EXCEPTIONS:
            return False
        cat = cats.get(cp)  # absent means unassigned (Cn)
        return cat is None or cat in NOT_PRINTABLE_CATEGORIES

    not_printable_ranges = merge(ranges_of(not_printable))

    text = (
        f"// Unicode {version} character tables for quoting term text.\n"
        f"// Generated by tools/gen_unicode_tables.py from the Unicode Character Database.\n"
        f"// Do not edit; rerun the script instead.\n"
        f"//\n"
        f"// Each table is sorted, its ranges inclusive, disjoint and non-adjacent.\n"
        f"\n"
        f'[[maybe_unused]] static constexpr char kUnicodeVersion[] = "{version}";\n'
        f"\n"
        f"struct CodePointRange {{\n"
        f"  char32_t lo, hi;\n"
        f"}};\n"
        f"\n"
        + format_table(
            "kGraphemeExtend", f"Grapheme_Extend ({len(grapheme_extend)} ranges).", grapheme_extend
        )
        + "\n"
        + format_table(
            "kNotPrintable",
            "General category Cc, Cf, Cs, Co, Cn, Zl, Zp or Zs, except U+0020 "
            f"({len(not_printable_ranges)} ranges).",
            not_printable_ranges,
        )
    )
    args.out.parent.mkdir(parents=True, exist_ok=True)
    args.out.write_text(text, encoding="utf-8")
    print(
        f"wrote {args.out}: Unicode {version}, kGraphemeExtend {len(grapheme_extend)} "
        f"ranges, kNotPrintable {len(not_printable_ranges)} ranges"
    )
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
