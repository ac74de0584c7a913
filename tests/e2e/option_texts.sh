#!/usr/bin/env bash
# The options as --help, the man page and the README's option table give
# them: the same names, short forms and value names, and the same meaning
# (each meaning in the man page and the README starts with the first words
# of the one --help prints), so that the three cannot drift apart.
# $1: zedrikfu-sim (the options of zedrikfu), $2: zedrikfu-image (unused).
set -uo pipefail
sim=$(realpath "$1")
root=$(cd "$(dirname "$0")/../.." && pwd)
help=$(mktemp)
trap 'rm -f "$help"' EXIT
"$sim" --help >"$help" || { echo "FAIL: --help exit status $?"; exit 1; }
python3 - "$help" "$root/packaging/zedrikfu.1" "$root/README.md" <<'PY'
import re, sys

KEY_WORDS = 5
failures = []


def words(text):
    text = re.sub(r"[`*\\]", "", text).replace("\\-", "-").lower()
    found = [w.strip(".:|") for w in re.findall(r"[a-z0-9.|:]+", text)]
    found = [w for w in found if w]
    return found[1:] if found[:1] == ["the"] else found


def entry(names, value, meaning):
    shorts = sorted(n for n in names if not n.startswith("--"))
    longs = [n for n in names if n.startswith("--")]
    return longs[0], {"short": shorts, "value": value, "meaning": meaning.strip()}


def from_help(path):
    options, pending = {}, None
    block = open(path).read().split("Options:\n", 1)[1].split("\n\n", 1)[0]
    for line in block.splitlines():
        # A meaning follows after two spaces, or after one where the value
        # name fills the column.
        m = re.match(r"^  (-\S+(?: [^ A-Z][^ ]*| [A-Z:]+)?)(?: (?:Excludes|Needs):.*?)?"
                     r"(?:(?:\s{2,}| (?=[A-Z]))(.*))?$", line)
        if m and not line.startswith("    "):
            form, meaning = m.group(1), m.group(2)
            names = form.split(" ")[0].split(",")
            value = form.split(" ")[1] if " " in form else ""
            if meaning is None:
                pending = (names, value)
                continue
            name, info = entry(names, value, meaning)
            options[name] = info
        elif pending and line.strip():
            name, info = entry(pending[0], pending[1], line.strip())
            options[name] = info
            pending = None
    return options


def from_man(path):
    text = open(path).read()
    section = text.split(".SH OPTIONS", 1)[1].split("\n.SH ", 1)[0]
    options = {}
    for item in section.split(".TP\n")[1:]:
        head, _, body = item.partition("\n")
        head = head.replace("\\-", "-")
        parts = re.findall(r'"([^"]*)"|(\S+)', head.split(" ", 1)[1])
        tokens = [a or b for a, b in parts]
        names = [t.strip(" ,") for t in tokens if t.strip(" ,").startswith("-")]
        value = " ".join(t.strip() for t in tokens if not t.strip(" ,").startswith("-")
                         and t.strip(" ,")).strip()
        meaning = " ".join(l for l in body.splitlines() if not l.startswith("."))
        name, info = entry(names, value, meaning)
        options[name] = info
    return options


def from_readme(path):
    text = open(path).read()
    table = text.split("### Command line", 1)[1].split("| Option | What it does |", 1)[1]
    options = {}
    for row in table.split("\n\n", 1)[0].splitlines()[2:]:
        cells = re.split(r"(?<!\\)\|", row)
        first, meaning = cells[1].replace("\\|", "|"), "|".join(cells[2:-1])
        items = re.findall(r"`([^`]+)`", first)
        names = [i.split(" ")[0] for i in items]
        value = next((i.split(" ", 1)[1] for i in items if " " in i), "")
        name, info = entry(names, value, meaning)
        options[name] = info
    return options


sources = {"--help": from_help(sys.argv[1]), "the man page": from_man(sys.argv[2]),
           "the README": from_readme(sys.argv[3])}
reference = sources["--help"]
if len(reference) < 10:
    failures.append("--help: only %d options found" % len(reference))
for where, options in sources.items():
    if where == "--help":
        continue
    for name in sorted(set(reference) ^ set(options)):
        failures.append("%s: %s %s" % (where, name, "missing" if name in reference else "not in --help"))
    for name in sorted(set(reference) & set(options)):
        ours, theirs = reference[name], options[name]
        for field in ("short", "value"):
            if ours[field] != theirs[field]:
                failures.append("%s: %s: %s %r, --help %r" % (where, name, field, theirs[field], ours[field]))
        key = words(ours["meaning"])[:KEY_WORDS]
        if not key or words(theirs["meaning"])[:len(key)] != key:
            failures.append("%s: %s means \"%s\", --help \"%s\"" %
                            (where, name, theirs["meaning"][:70], ours["meaning"][:70]))
for line in failures:
    print("FAIL: " + line)
print("option texts: %d options, %d disagreements" % (len(reference), len(failures)))
sys.exit(1 if failures else 0)
PY
