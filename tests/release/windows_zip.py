#!/usr/bin/env python3
"""The Windows zip (cpack -G ZIP in the MinGW build folder).

    python3 tests/release/windows_zip.py ZIP BUILD_WIN_DIR

Checks that the archive holds ZEDRIKFU.exe, README.txt and LICENSE.txt at
its top (and ZEDRIKFU.com when the build made one), no test program, that
the README and the licence have Windows line ends, that the licence is the
source tree's LICENSE, and that the README quotes every message of
core/Messages.cpp exactly, each with its line breaks.
"""
import os
import re
import sys
import zipfile

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
        print("FAIL: " + what)


def message_texts(path):
    """The texts of the message table: each entry's adjacent C string
    literals joined, with their escapes resolved."""
    source = open(path, encoding="utf-8").read()
    table = source[source.index("gMessageTable"):]
    table = table[:table.index("};")]
    texts = {}
    for number_name, body in re.findall(r"\{\s*(MSG_[A-Z_]+)\s*,((?:\s*\"(?:[^\"\\]|\\.)*\")+)\s*\}", table):
        literals = re.findall(r"\"((?:[^\"\\]|\\.)*)\"", body)
        text = "".join(literals).encode("utf-8").decode("unicode_escape")
        texts[number_name] = text
    return texts


def main():
    zip_path, build_win = sys.argv[1], sys.argv[2]
    with zipfile.ZipFile(zip_path) as archive:
        names = sorted(n for n in archive.namelist() if not n.endswith("/"))
        want = ["LICENSE.txt", "README.txt", "ZEDRIKFU.exe"]
        if os.path.exists(os.path.join(build_win, "ZEDRIKFU.com")):
            want.append("ZEDRIKFU.com")
        check(names == sorted(want), "archive holds %s, wanted %s" % (names, sorted(want)))
        check(not any("sim" in n.lower() or "wininspect" in n.lower() for n in names),
              "a test program in the archive")
        readme = archive.read("README.txt").decode("utf-8") if "README.txt" in names else ""
        licence = archive.read("LICENSE.txt").decode("utf-8") if "LICENSE.txt" in names else ""

    for name, text in (("README.txt", readme), ("LICENSE.txt", licence)):
        check(text != "", name + " is empty or missing")
        check("\n" not in text.replace("\r\n", ""), name + " has line ends other than CR LF")
    source_licence = open(os.path.join(ROOT, "LICENSE"), encoding="utf-8").read()
    check(licence == source_licence.replace("\n", "\r\n"), "LICENSE.txt is not the source tree's LICENSE")
    check("@" not in readme, "README.txt holds an unreplaced @VARIABLE@")

    texts = message_texts(os.path.join(ROOT, "core", "Messages.cpp"))
    check(len(texts) == 11, "found %d messages in core/Messages.cpp, wanted 11" % len(texts))
    for name, text in sorted(texts.items()):
        check(text.replace("\n", "\r\n") in readme, "README.txt does not quote %s: %r" % (name, text))
    for word in ("ZEDRIKFU.ini", "MainFW.kqfw", "administrator", "interrupted"):
        check(word in readme, "README.txt does not mention " + word)

    print("windows zip: %s, %d failures" % (", ".join(names), len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
