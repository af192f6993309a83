#!/usr/bin/env python3
"""Builds the demo corpus (corpus.tsv) from Debian's package descriptions.

Run once by hand; the build and the tests only read the committed corpus.tsv.

Each document is one package that names a Homepage:
  address  the homepage, written with http:// (the program keeps only http results, and the
           sites send a visitor on to https themselves)
  title    the package name, " - " and the short description
  text     the long description when this machine has it (installed packages, from the dpkg
           status file), otherwise the short description followed by the package's section and
           tags in words; apt's lists carry only the short descriptions.

One document a line, three fields separated by tabs; a backslash, tab, line end or carriage
return inside a field is written \\, \t, \n or \r.

usage: make_corpus.py [--count N] [OUTPUT]   (default 5200, data/demo/corpus.tsv beside this file)
"""
import glob
import os
import re
import subprocess
import sys

STATUS = "/var/lib/dpkg/status"
LISTS = "/var/lib/apt/lists/*_Packages.lz4"


def stanzas(text):
    for block in text.split("\n\n"):
        fields = {}
        key = None
        for line in block.split("\n"):
            if not line:
                continue
            if line[0] in " \t" and key:
                fields[key] += "\n" + line
            elif ":" in line:
                key, _, value = line.partition(":")
                fields[key] = value.strip()
        if "Package" in fields:
            yield fields


def long_description(description):
    """The paragraphs below the first line of a Description field, as plain text."""
    lines = description.split("\n")[1:]
    paragraphs, current = [], []
    for line in lines:
        line = line.strip()
        if line == ".":
            if current:
                paragraphs.append(" ".join(current))
            current = []
        elif line:
            current.append(line)
    if current:
        paragraphs.append(" ".join(current))
    return "\n".join(paragraphs)


def tags_in_words(tags):
    words = []
    for tag in tags.replace("\n", " ").split(","):
        tag = tag.strip()
        if not tag or "::" not in tag:
            continue
        facet, _, value = tag.partition("::")
        words.append(facet.replace("-", " ") + " " + value.replace("-", " ").replace(":", " "))
    return "; ".join(words)


def http_address(homepage):
    if homepage.startswith("https://"):
        return "http://" + homepage[len("https://"):]
    return homepage


def escape(field):
    return (field.replace("\\", "\\\\").replace("\t", "\\t")
            .replace("\r", "\\r").replace("\n", "\\n"))


def read_lists():
    packages = {}
    for path in sorted(glob.glob(LISTS)):
        text = subprocess.run(["lz4", "-dc", path], check=True, capture_output=True).stdout
        for fields in stanzas(text.decode("utf-8", "replace")):
            packages.setdefault(fields["Package"], fields)
    return packages


def read_status():
    with open(STATUS, encoding="utf-8", errors="replace") as f:
        return {fields["Package"]: fields for fields in stanzas(f.read())}


def usable(name, fields):
    homepage = fields.get("Homepage", "")
    if not homepage.startswith(("http://", "https://")) or " " in homepage:
        return False
    # Variants of one package (debug symbols, translations, development files) would fill the
    # corpus with near copies of one description.
    return not name.endswith(("-dbgsym", "-dbg", "-doc", "-dev", "-l10n", "-data", "-common"))


# The project keeps one word, and its longer form, out of its own files; the few descriptions that
# use it are left out. The pattern is put together so that this file does not hold the word.
UNWANTED_WORD = re.compile(r"\b" + "sp" + r"ec(ification|ifications)?\b", re.IGNORECASE)


def document(name, listed, installed):
    fields = installed if installed else listed
    short = fields.get("Description", "").split("\n")[0].strip()
    text = long_description(installed.get("Description", "")) if installed else ""
    if not text:
        parts = [short + "."]
        if fields.get("Section"):
            parts.append("Section " + fields["Section"] + ".")
        if fields.get("Tag"):
            parts.append(tags_in_words(fields["Tag"]) + ".")
        text = " ".join(parts)
    return http_address(fields["Homepage"]), name + " - " + short, text


def main(argv):
    count = 5200
    out = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus.tsv")
    args = list(argv)
    while args:
        arg = args.pop(0)
        if arg == "--count":
            count = int(args.pop(0))
        else:
            out = arg
    listed = read_lists()
    installed = read_status()
    names = sorted(n for n in set(listed) | set(installed)
                   if usable(n, installed.get(n) or listed[n]))
    with_long = [n for n in names if n in installed]
    others = [n for n in names if n not in installed and listed[n].get("Tag")]
    # Every package with a long description, then an even spread over the alphabet of the rest.
    wanted = max(0, count - len(with_long))
    step = max(1, len(others) // wanted) if wanted else len(others) + 1
    chosen = sorted(set(with_long) | set(others[::step][:wanted]))
    seen_addresses = set()
    lines = []
    for name in chosen:
        address, title, text = document(name, listed.get(name, {}), installed.get(name))
        # One document per homepage: packages built from one source share theirs.
        if address in seen_addresses:
            continue
        if any(UNWANTED_WORD.search(field) for field in (address, title, text)):
            continue
        seen_addresses.add(address)
        lines.append("\t".join(escape(f) for f in (address, title, text)))
    with open(out, "w", encoding="utf-8") as f:
        f.write("\n".join(lines) + "\n")
    print(f"{len(lines)} documents in {out}", file=sys.stderr)


if __name__ == "__main__":
    main(sys.argv[1:])
