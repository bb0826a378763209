#!/usr/bin/env python3
"""Checks that docs/api.md and include/corvane2.h say the same about results.

The header documents each export's results in a block of its comment:

     * Results:
     *   CORVANE_OK      the file is open and indexed
     *   CORVANE_FAILED  the file cannot be opened, ...
     *                   continued on lines indented further

(a result that is a value, such as a time, is written ">=0" or ">0" in
place of a name).  docs/api.md has one table of every export's results,
with the numeric value, the name and the same text, and a table of the
writer's named values.  Both are parsed here; the check fails when an
export lacks its block or its rows, when a row differs from the block
(value, name, text, order) or when a number differs from the header's
#define.  Usage: check_api_doc.py HEADER API_MD DEF_FILE
"""
import re
import sys


def fail(message):
    print("FAIL: " + message)
    sys.exit(1)


def normalise(text):
    return " ".join(text.replace("`", "").split())


def header_defines(source):
    defines = {}
    for m in re.finditer(r"^#define (CORVANE_[A-Z0-9_]+) \(?(-?\d+)\)?\s*$", source, re.M):
        defines[m.group(1)] = int(m.group(2))
    return defines


def header_results(source):
    """{export: [(token, text), ...]} from the comment before each prototype."""
    results = {}
    pattern = re.compile(r"/\*(.*?)\*/\s*CORVANE_API\s+int32_t\s+CORVANE_CALL\s+(\w+)\s*\(", re.S)
    for m in pattern.finditer(source):
        body = m.group(1)
        # The comment right before the prototype, not an earlier one.
        body = body.split("/*")[-1]
        lines = [re.sub(r"^\s*\* ?", "", line) for line in body.splitlines()]
        try:
            start = next(i for i, line in enumerate(lines) if line.strip() == "Results:")
        except StopIteration:
            fail(f"corvane2.h: {m.group(2)} has no 'Results:' block")
        items = []
        for line in lines[start + 1:]:
            if not line.strip():
                break
            item = re.match(r"^  (\S+)\s+(.*)$", line)
            if item and not line.startswith("   "):
                items.append([item.group(1), item.group(2)])
            elif line.startswith("    ") and items:
                items[-1][1] += " " + line.strip()
            else:
                fail(f"corvane2.h: {m.group(2)}: cannot read the results line {line!r}")
        if not items:
            fail(f"corvane2.h: {m.group(2)}: empty 'Results:' block")
        results[m.group(2)] = [(token, normalise(text)) for token, text in items]
    return results


def markdown_table(source, heading, columns):
    """Rows (lists of cells) of the first table under `heading` whose header
    row names `columns`."""
    at = source.find("\n" + heading + "\n")
    if at < 0:
        fail(f"api.md: no heading {heading!r}")
    rows = []
    in_table = False
    for line in source[at + 1:].splitlines()[1:]:
        if line.startswith("#"):
            break
        if not line.startswith("|"):
            if in_table:
                break
            continue
        cells = [c.strip() for c in line.strip().strip("|").split("|")]
        if not in_table:
            if cells != columns:
                fail(f"api.md: the table under {heading!r} has columns {cells}, expected {columns}")
            in_table = True
            continue
        if all(re.fullmatch(r":?-+:?", c) for c in cells):
            continue
        if len(cells) != len(columns):
            fail(f"api.md: row with {len(cells)} cells under {heading!r}: {line}")
        rows.append(cells)
    if not rows:
        fail(f"api.md: no table under {heading!r}")
    return rows


def code(cell):
    m = re.fullmatch(r"`([^`]+)`", cell)
    return m.group(1) if m else None


def main():
    header_path, api_path, def_path = sys.argv[1:4]
    header = open(header_path, encoding="utf-8").read()
    api = open(api_path, encoding="utf-8").read()
    exports = re.findall(r"^\s+_(\w+)@\d+\s*=", open(def_path, encoding="utf-8").read(), re.M)
    if len(exports) != 21:
        fail(f"{def_path}: {len(exports)} exports, expected 21")

    defines = header_defines(header)
    documented = header_results(header)
    missing = [name for name in exports if name not in documented]
    if missing:
        fail("corvane2.h: no documented prototype for " + ", ".join(missing))

    table = {}
    function = None
    for cells in markdown_table(api, "## Results", ["Function", "Result", "Name", "When"]):
        if cells[0]:
            function = code(cells[0])
            if function is None or function in table:
                fail(f"api.md: bad or repeated function cell {cells[0]!r}")
            table[function] = []
        if function is None:
            fail("api.md: the results table starts without a function")
        table[function].append(cells[1:])

    errors = []
    for name in exports:
        rows = table.get(name)
        if rows is None:
            errors.append(f"{name}: no rows in api.md")
            continue
        expected = documented[name]
        if len(rows) != len(expected):
            errors.append(f"{name}: {len(rows)} rows in api.md, {len(expected)} results in the header")
            continue
        for (result, named, text), (token, header_text) in zip(rows, expected):
            if token.startswith("CORVANE_"):
                if token not in defines:
                    errors.append(f"{name}: {token} is not defined in the header")
                elif code(named) != token:
                    errors.append(f"{name}: api.md names {named!r} where the header has {token}")
                elif result.replace(" ", "") != str(defines[token]):
                    errors.append(f"{name}: {token} is {defines[token]} in the header, {result} in api.md")
            elif named or result.replace(" ", "") != token:
                errors.append(f"{name}: api.md has {result!r} {named!r} where the header has {token!r}")
            if normalise(text) != header_text:
                errors.append(f"{name} {token}: the texts differ\n  header: {header_text}\n  api.md: {normalise(text)}")
    for name in table:
        if name not in exports:
            errors.append(f"api.md: {name} is not an export")

    values = markdown_table(api, "## Track types, codecs and key frames", ["Name", "Value", "Meaning"])
    for named, value, _ in values:
        token = code(named)
        if token not in defines:
            errors.append(f"api.md: {named} is not defined in the header")
        elif value != str(defines[token]):
            errors.append(f"api.md: {token} is {value}, the header has {defines[token]}")
    writer_values = [n for n in defines if re.match(r"CORVANE_(TRACK|CODEC|KEY)_", n)]
    listed = {code(row[0]) for row in values}
    for n in writer_values:
        if n not in listed:
            errors.append(f"api.md: {n} is missing from the table of named values")

    if errors:
        fail("docs/api.md and include/corvane2.h differ:\n" + "\n".join(errors))
    count = sum(len(rows) for rows in documented.values())
    print(f"docs/api.md agrees with corvane2.h: {len(exports)} exports, {count} results, "
          f"{len(values)} named values")


if __name__ == "__main__":
    main()
