#!/usr/bin/env python3
"""Generate src/client/unicode_tables.cpp from the Unicode Character Database.

The gate client needs two code point sets: White_Space (to trim a reply line before
it is parsed) and the characters a quoted reply line writes as \\u{...} escapes
(general categories Cc Cf Cs Co Cn Zl Zp Zs except U+0020, plus Grapheme_Extend).
Both are emitted as sorted, merged ranges searched by binary search.

Usage: tools/gen_unicode_tables.py [--ucd DIR] [--output FILE]
DIR defaults to /usr/share/unicode (Debian's unicode-data package).
"""

from __future__ import annotations

import argparse
import pathlib
import re
import sys

MAX_CODE_POINT = 0x10FFFF
ESCAPED_CATEGORIES = {"Cc", "Cf", "Cs", "Co", "Cn", "Zl", "Zp", "Zs"}


def parse_ranges(path: pathlib.Path, wanted: str) -> set[int]:
    """Code points listed for property `wanted` in a `XXXX..YYYY ; Property` file."""
    points: set[int] = set()
    for line in path.read_text(encoding="utf-8").splitlines():
        data = line.split("#", 1)[0].strip()
        if not data:
            continue
        field, prop = (part.strip() for part in data.split(";")[:2])
        if prop != wanted:
            continue
        first, _, last = field.partition("..")
        points.update(range(int(first, 16), int(last or first, 16) + 1))
    return points


def general_categories(path: pathlib.Path) -> list[str]:
    """General category of every code point; unlisted ones are Cn (unassigned)."""
    categories = ["Cn"] * (MAX_CODE_POINT + 1)
    range_start: int | None = None
    for line in path.read_text(encoding="utf-8").splitlines():
        fields = line.split(";")
        code, name, category = int(fields[0], 16), fields[1], fields[2]
        if name.endswith(", First>"):
            range_start = code
            continue
        if name.endswith(", Last>"):
            if range_start is None:
                sys.exit(f"{path}: range end {code:04X} without a start")
            for point in range(range_start, code + 1):
                categories[point] = category
            range_start = None
            continue
        categories[code] = category
    return categories


def check_against_derived(categories: list[str], path: pathlib.Path) -> None:
    """Cross-check the UnicodeData reading against extracted/DerivedGeneralCategory."""
    derived = ["Cn"] * (MAX_CODE_POINT + 1)
    for line in path.read_text(encoding="utf-8").splitlines():
        data = line.split("#", 1)[0].strip()
        if not data:
            continue
        field, category = (part.strip() for part in data.split(";")[:2])
        first, _, last = field.partition("..")
        for point in range(int(first, 16), int(last or first, 16) + 1):
            derived[point] = category
    mismatches = [p for p in range(MAX_CODE_POINT + 1) if derived[p] != categories[p]]
    if mismatches:
        sys.exit(f"general category disagrees with {path} at U+{mismatches[0]:04X}")


def to_ranges(points: set[int]) -> list[tuple[int, int]]:
    ranges: list[tuple[int, int]] = []
    for point in sorted(points):
        if ranges and ranges[-1][1] + 1 == point:
            ranges[-1] = (ranges[-1][0], point)
        else:
            ranges.append((point, point))
    return ranges


def ucd_version(path: pathlib.Path) -> str:
    match = re.match(r"#\s*DerivedCoreProperties-(\d+\.\d+\.\d+)\.txt", path.read_text(encoding="utf-8"))
    if not match:
        sys.exit(f"{path}: no version in the first line")
    return match.group(1)


def emit_table(name: str, ranges: list[tuple[int, int]]) -> str:
    rows = [f"    {{0x{first:04X}, 0x{last:04X}}}," for first, last in ranges]
    return f"constexpr CodeRange {name}[] = {{\n" + "\n".join(rows) + "\n};\n"


def render(version: str, white_space: list[tuple[int, int]], escaped: list[tuple[int, int]]) -> str:
    return f"""\
// unicode_tables.cpp: Unicode property tables for trimming and quoting reply lines.
//
// GENERATED FILE, do not edit: made by tools/gen_unicode_tables.py from the
// Unicode Character Database {version}. Re-run the script to update it.
#include "client/unicode_tables.h"

#include <algorithm>
#include <iterator>

namespace latchwork {{
namespace {{

struct CodeRange {{
    char32_t first;
    char32_t last;
}};

// White_Space.
{emit_table("kWhiteSpace", white_space)}
// General categories Cc Cf Cs Co Cn Zl Zp Zs (U+0020 excluded) and Grapheme_Extend.
{emit_table("kQuotedEscape", escaped)}
template <std::size_t N>
bool in_ranges(const CodeRange (&ranges)[N], char32_t c) {{
    // First range whose end is not below c; c is in the set when it starts at or before c.
    const CodeRange* it = std::lower_bound(
        std::begin(ranges), std::end(ranges), c,
        [](const CodeRange& range, char32_t value) {{ return range.last < value; }});
    return it != std::end(ranges) && it->first <= c;
}}

}}  // namespace

bool is_white_space(char32_t c) noexcept {{ return in_ranges(kWhiteSpace, c); }}

bool needs_quoted_escape(char32_t c) noexcept {{ return in_ranges(kQuotedEscape, c); }}

}}  // namespace latchwork
"""


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--ucd", type=pathlib.Path, default=pathlib.Path("/usr/share/unicode"))
    root = pathlib.Path(__file__).resolve().parent.parent
    parser.add_argument("--output", type=pathlib.Path, default=root / "src/client/unicode_tables.cpp")
    args = parser.parse_args()

    categories = general_categories(args.ucd / "UnicodeData.txt")
    derived = args.ucd / "extracted" / "DerivedGeneralCategory.txt"
    if derived.exists():
        check_against_derived(categories, derived)

    white_space = parse_ranges(args.ucd / "PropList.txt", "White_Space")
    grapheme_extend = parse_ranges(args.ucd / "DerivedCoreProperties.txt", "Grapheme_Extend")
    escaped = {p for p, cat in enumerate(categories) if cat in ESCAPED_CATEGORIES and p != 0x20}
    escaped |= grapheme_extend

    version = ucd_version(args.ucd / "DerivedCoreProperties.txt")
    args.output.write_text(render(version, to_ranges(white_space), to_ranges(escaped)), encoding="utf-8")


if __name__ == "__main__":
    main()
