#!/usr/bin/python3
"""Prepares clang-tidy's run over the build's compile database.

clang-tidy checks a file once for each of its compile commands. A file built
into more than one program (a product source built into a test program too,
a test probe built as three DLLs) differs there only in its optimisation and
in CMake's unused <target>_EXPORTS macro: it is checked once, with its first
command, from a copy of the database with one command per file.

Most of clang-tidy's time goes to parsing the same system headers again in
every file: the Windows API, the standard library and, in the tests,
GoogleTest. They are parsed once for each set of compile options in the
build's compile database, into a precompiled header of clang's own, and each
file's run takes the one of its options. Only system headers go into it, so
what the checks look at (the project's own code and headers) is parsed with
each file as before.

  tidy-prepare.py <build-dir> <out-dir> <clang++> <clang argument>... -- <source>...

Writes <out-dir>/compile_commands.json and prints one line per source, in
order: its precompiled header, or an empty line where there is none (no
compile command, or clang could not make it: then the file is checked
without one).
"""
import collections
import json
import os
import shlex
import subprocess
import sys

# Options that change what a system header means; everything else (the
# project's include folders, outputs, warnings) is left out of the key.
MEANING = ("-D", "-U", "-O", "-std", "-f", "-m", "-isystem")
SYSTEM_HEADERS = ["windows.h", "algorithm", "memory", "string", "vector"]


def Options(entry):
    arguments = entry.get("arguments") or shlex.split(entry["command"])
    kept = []
    for previous, argument in zip(arguments, arguments[1:]):
        if previous == "-isystem":
            kept += [previous, argument]
        elif argument != "-isystem" and argument.startswith(MEANING) and not argument.startswith("-ffile-prefix-map"):
            kept.append(argument)
    return kept


def Main():
    separator = sys.argv.index("--")
    buildDir, outDir, clang = sys.argv[1:4]
    clangArguments = sys.argv[4:separator]
    sources = sys.argv[separator + 1:]
    with open(os.path.join(buildDir, "compile_commands.json"), encoding="utf-8") as database:
        first = {}
        for entry in json.load(database):
            first.setdefault(os.path.realpath(entry["file"]), entry)
    with open(os.path.join(outDir, "compile_commands.json"), "w", encoding="utf-8") as database:
        json.dump(list(first.values()), database)

    # The precompiled header must see the options as the file does.
    keys = []
    for source in sources:
        entry = first.get(os.path.realpath(source))
        keys.append(None if entry is None else (entry["directory"], tuple(Options(entry))))

    # A header is made only for options that two files or more share, all at
    # once.
    made = {}
    runs = []
    shared = collections.Counter(key for key in keys if key is not None)
    for key in sorted(key for key, count in shared.items() if count > 1):
        directory, options = key
        headers = list(SYSTEM_HEADERS)
        if any("GTEST" in option for option in options):
            headers.append("gtest/gtest.h")
        name = os.path.join(outDir, "%d" % len(made))
        with open(name + ".h", "w", encoding="utf-8") as header:
            header.writelines("#include <%s>\n" % included for included in headers)
        try:
            runs.append((key, subprocess.Popen(
                [clang] + clangArguments + list(options) + ["-x", "c++-header", name + ".h", "-o", name + ".pch"],
                cwd=directory, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)))
            made[key] = name + ".pch"
        except OSError:
            made[key] = ""
    for key, run in runs:
        if run.wait() != 0:
            made[key] = ""
    for key in keys:
        print(made.get(key, ""))


if __name__ == "__main__":
    Main()
