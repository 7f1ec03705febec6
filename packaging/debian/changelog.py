#!/usr/bin/env python3
"""Writes a Debian package's changelog from CHANGELOG.md, compressed as Debian policy asks
(gzip at the highest level, no name or time in the header).

    changelog.py CHANGELOG.md VERSION PACKAGE "NAME <ADDRESS>" OUTPUT.gz

A release is a heading "## VERSION (YYYY-MM-DD)" followed by lines that start with "- ". The
newest release must be VERSION, so that a package never ships notes of another version.
"""

import datetime
import email.utils
import gzip
import re
import sys
import textwrap

HEADING = re.compile(r"^## (\S+) \((\d{4}-\d{2}-\d{2})\)\s*$")


def releases(text):
    found = []
    for line in text.splitlines():
        heading = HEADING.match(line)
        if heading:
            found.append((heading.group(1), datetime.date.fromisoformat(heading.group(2)), []))
        elif found and line.startswith("- "):
            found[-1][2].append(line[2:].strip())
        elif found and found[-1][2] and line.startswith("  ") and line.strip():
            found[-1][2][-1] += " " + line.strip()
    return found


def entry(package, version, date, changes, maintainer):
    lines = ["%s (%s) stable; urgency=medium" % (package, version), ""]
    for change in changes:
        lines += textwrap.wrap(change, width=78, initial_indent="  * ", subsequent_indent="    ",
                               break_on_hyphens=False)
    when = datetime.datetime(date.year, date.month, date.day, tzinfo=datetime.timezone.utc)
    lines += ["", " -- %s  %s" % (maintainer, email.utils.format_datetime(when)), ""]
    return "\n".join(lines) + "\n"


def main(argv):
    if len(argv) != 6:
        sys.stderr.write(__doc__)
        return 2
    source, version, package, maintainer, output = argv[1:]
    with open(source, encoding="utf-8") as f:
        found = releases(f.read())
    if not found or found[0][0] != version:
        sys.stderr.write("%s: the newest release is %s, not the project's version %s\n"
                         % (source, found[0][0] if found else "missing", version))
        return 1
    empty = [v for v, _, changes in found if not changes]
    if empty:
        sys.stderr.write("%s: release %s lists no change\n" % (source, empty[0]))
        return 1
    text = "\n".join(entry(package, v, d, c, maintainer) for v, d, c in found)
    with open(output, "wb") as raw:
        with gzip.GzipFile(filename="", mode="wb", compresslevel=9, fileobj=raw, mtime=0) as z:
            z.write(text.encode("utf-8"))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
