#!/usr/bin/env python3
"""Generates platform/utf8_tables.cpp from the Unicode Character Database.

Reads UnicodeData.txt, CaseFolding.txt and Scripts.txt (Debian package unicode-data, Unicode
15.0.0) and writes the case-mapping runs and the character-group ranges of the Basic
Multilingual Plane that platform/utf8.cpp scans.

    tools/gen_utf8_tables.py [--ucd DIR] [--output FILE | --check FILE]

--check exits with status 1 when FILE differs from what would be generated.
"""
import argparse
import os
import re
import sys

EXPECTED_VERSION = "15.0.0"
BMP_LAST = 0xFFFF

# Group order is the numbering utf8IsGroup() takes; the counts are the merged BMP ranges of
# Unicode 15.0.0, checked so that another database version cannot slip in unnoticed.
CATEGORY_GROUPS = [("Cc", 2), ("Lt", 10), ("Nd", 37), ("Nl", 7), ("Pc", 6), ("Pd", 18), ("Pf", 10),
                   ("Pi", 11), ("Sc", 18), ("Zl", 1), ("Zp", 1), ("Zs", 7)]
SCRIPT_GROUPS = [("Arabic", 22), ("Cyrillic", 8), ("Devanagari", 4), ("Greek", 33), ("Han", 11),
                 ("Latin", 34)]


def fail(message):
    sys.stderr.write("gen_utf8_tables: %s\n" % message)
    sys.exit(2)


def data_lines(path):
    with open(path, encoding="utf-8") as handle:
        for line in handle:
            line = line.split("#", 1)[0].strip()
            if line:
                yield [field.strip() for field in line.split(";")]


def check_version(ucd):
    with open(os.path.join(ucd, "CaseFolding.txt"), encoding="utf-8") as handle:
        first = handle.readline()
    match = re.search(r"CaseFolding-(\d+\.\d+\.\d+)\.txt", first)
    if not match or match.group(1) != EXPECTED_VERSION:
        fail("expected the Unicode %s database in %s" % (EXPECTED_VERSION, ucd))


def read_unicode_data(ucd):
    """General category, simple upper-case and lower-case mapping of every BMP code point."""
    category, upper, lower = {}, {}, {}
    range_start = None
    for fields in data_lines(os.path.join(ucd, "UnicodeData.txt")):
        code, name, gc = int(fields[0], 16), fields[1], fields[2]
        if name.endswith(", First>"):
            range_start = code
            continue
        first = range_start if name.endswith(", Last>") else code
        range_start = None
        for cp in range(first, min(code, BMP_LAST) + 1):
            category[cp] = gc
        if code <= BMP_LAST:
            if fields[12] and int(fields[12], 16) <= BMP_LAST:
                upper[code] = int(fields[12], 16)
            if fields[13] and int(fields[13], 16) <= BMP_LAST:
                lower[code] = int(fields[13], 16)
    return category, upper, lower


def read_case_folding(ucd):
    """Simple case folding (statuses C and S) of the BMP."""
    fold = {}
    for code, status, mapping in (f[:3] for f in data_lines(os.path.join(ucd, "CaseFolding.txt"))):
        source, target = int(code, 16), mapping.split()
        if status in ("C", "S") and len(target) == 1 and source <= BMP_LAST and int(target[0], 16) <= BMP_LAST:
            fold[source] = int(target[0], 16)
    return fold


def read_scripts(ucd):
    scripts = {}
    for code_range, script in (f[:2] for f in data_lines(os.path.join(ucd, "Scripts.txt"))):
        bounds = [int(part, 16) for part in code_range.split("..")]
        for cp in range(bounds[0], min(bounds[-1], BMP_LAST) + 1):
            scripts[cp] = script
    return scripts


def merge_ranges(code_points):
    ranges = []
    for cp in sorted(code_points):
        if ranges and ranges[-1][1] + 1 == cp:
            ranges[-1][1] = cp
        else:
            ranges.append([cp, cp])
    return [tuple(r) for r in ranges]


def case_runs(mapping, inverse):
    """Runs (first, last, mapped last) of one mapping.

    A forward run maps first..last to first+d..last+d with d = mapped last - last; an inverse
    run (upper-casing) maps first+d..mapped last back down by d. d = 1 means alternating
    pairs: only every second code point is mapped, the ones between map to themselves.
    """
    runs = []  # [first source, last source, delta] with delta = target - source (forward) or source - target
    for source in sorted(mapping):
        delta = mapping[source] - source if not inverse else source - mapping[source]
        if runs and runs[-1][2] == delta:
            run = runs[-1]
            if delta != 1 and source == run[1] + 1:
                run[1] = source
                continue
            if delta == 1 and source == run[1] + 2 and source - 1 not in mapping:
                run[1] = source
                continue
        runs.append([source, source, delta])
    if inverse:
        return [(first - delta, last - delta, last) for first, last, delta in runs]
    return [(first, last, last + delta) for first, last, delta in runs]


def check_runs(runs, mapping, inverse):
    """Replays the scan of platform/utf8.cpp over every BMP code point."""
    for c in range(BMP_LAST + 1):
        result = c
        for first, last, mapped_last in runs:
            d = mapped_last - last
            if not inverse and c <= last:
                if c >= first:
                    result = (c + 1 if (c - last) % 2 == 0 else c) if d == 1 else c + d
                break
            if inverse and c <= mapped_last:
                if c >= first + d:
                    result = (c - 1 if (c - mapped_last) % 2 == 0 else c) if d == 1 else c - d
                break
        if result != mapping.get(c, c):
            fail("case run table maps U+%04X to U+%04X instead of U+%04X" % (c, result, mapping.get(c, c)))


def generate(ucd):
    check_version(ucd)
    category, upper, lower = read_unicode_data(ucd)
    fold = read_case_folding(ucd)
    scripts = read_scripts(ucd)

    fold_runs = case_runs(fold, False)
    lower_runs = case_runs(lower, False)
    upper_runs = sorted(case_runs(upper, True), key=lambda run: run[2])
    check_runs(fold_runs, fold, False)
    check_runs(lower_runs, lower, False)
    check_runs(upper_runs, upper, True)
    # Folding scans a prefix of the table; lower- and upper-casing pick their runs by index.
    table = list(fold_runs)
    table += sorted(set(lower_runs + upper_runs) - set(fold_runs), key=lambda run: (run[1], run[0]))
    index = {run: i for i, run in enumerate(table)}
    if len(table) > 0xFFFF:
        fail("too many case runs")

    groups = []
    for name, expected in CATEGORY_GROUPS:
        groups.append((name, expected, merge_ranges(cp for cp, gc in category.items() if gc == name)))
    for name, expected in SCRIPT_GROUPS:
        groups.append((name, expected, merge_ranges(cp for cp, script in scripts.items() if script == name)))
    for name, expected, ranges in groups:
        if len(ranges) != expected:
            fail("group %s has %d ranges, expected %d" % (name, len(ranges), expected))

    out = []
    out.append("// Generated by tools/gen_utf8_tables.py from the Unicode Character Database %s." % EXPECTED_VERSION)
    out.append("// Do not edit: run the generator (tests/platform compares this file with its output).")
    out.append('#include "platform/utf8_tables.h"')
    out.append("")
    out.append("// Case runs (first, last, mapped last); the first kUtf8FoldRunCount are the folding runs.")
    out.append("const cUtf8CaseRun_t kUtf8CaseRuns[] = {")
    out += rows(["{0x%04X, 0x%04X, 0x%04X}" % run for run in table], 4)
    out.append("};")
    out.append("const uint16_t kUtf8CaseRunCount = %d;" % len(table))
    out.append("const uint16_t kUtf8FoldRunCount = %d;" % len(fold_runs))
    out.append("")
    out.append("// Lower-casing runs by index, in ascending order of their last code point.")
    out.append("const uint16_t kUtf8LowerRuns[] = {")
    out += rows(["%d" % index[run] for run in lower_runs], 16)
    out.append("};")
    out.append("const uint16_t kUtf8LowerRunCount = %d;" % len(lower_runs))
    out.append("")
    out.append("// Upper-casing runs by index, in ascending order of their mapped last code point.")
    out.append("const uint16_t kUtf8UpperRuns[] = {")
    out += rows(["%d" % index[run] for run in upper_runs], 16)
    out.append("};")
    out.append("const uint16_t kUtf8UpperRunCount = %d;" % len(upper_runs))
    out.append("")
    out.append("// Inclusive ranges of the groups, group after group in the order of cUtf8Group_t.")
    out.append("const cUtf8Range_t kUtf8GroupRanges[] = {")
    for name, _, ranges in groups:
        out.append("    // %s" % name)
        out += rows(["{0x%04X, 0x%04X}" % r for r in ranges], 6)
    out.append("};")
    starts, total = [], 0
    for _, _, ranges in groups:
        starts.append(total)
        total += len(ranges)
    starts.append(total)
    out.append("// Group g (cUtf8Group_t, platform/utf8_groups.h) holds the ranges from kUtf8GroupStart[g]")
    out.append("// up to kUtf8GroupStart[g + 1]; the groups above must come in the order of that enumeration.")
    names = ["kUtf8Group%s == %d" % (name, i) for i, (name, _, _) in enumerate(groups)]
    names.append("kUtf8GroupCount == %d" % len(groups))
    lines, line = [], "static_assert("
    for i, name in enumerate(names):
        item = name + (" &&" if i + 1 < len(names) else ",")
        if len(line) + len(item) > 119:
            lines.append(line.rstrip())
            line = " " * len("static_assert(")
        line += item + " "
    lines.append(line.rstrip())
    out += lines
    out.append('              "the tables are generated in the order of cUtf8Group_t");')
    out.append("const uint16_t kUtf8GroupStart[kUtf8GroupCount + 1] = {")
    out += rows(["%d" % s for s in starts], 16)
    out.append("};")
    return "\n".join(out) + "\n"


def rows(items, per_row):
    return ["    " + ", ".join(items[i:i + per_row]) + "," for i in range(0, len(items), per_row)]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--ucd", default="/usr/share/unicode", help="directory of the Unicode data files")
    target = parser.add_mutually_exclusive_group(required=True)
    target.add_argument("--output", help="file to write")
    target.add_argument("--check", help="file to compare with the generated text")
    args = parser.parse_args()
    text = generate(args.ucd)
    if args.output:
        with open(args.output, "w", encoding="utf-8", newline="\n") as handle:
            handle.write(text)
        return 0
    with open(args.check, encoding="utf-8") as handle:
        if handle.read() != text:
            sys.stderr.write("gen_utf8_tables: %s is not what the generator makes; regenerate it\n" % args.check)
            return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
