#!/usr/bin/env python3
"""Counts how many public classes of the installed headers state their
thread-safety and their errors in their contract comments.

A public class is a class or struct defined at namespace scope in a header
under krcore/include/krcore, outside the detail namespace, and not one of the
platform's C types of wintypes.h (plain layouts with no behaviour). Its
contract is the comment block right above it (a template line may stand
between) together with the comments inside its body. The words looked for
are crude on purpose: the figure shows which classes say nothing at all.

  scripts/contract_coverage.py [include_dir] [-v]
"""
import os
import re
import sys

THREADS = re.compile(
    r"thread-safe|thread-safety|thread-compatible|any thread|one thread|"
    r"several threads|two threads|same thread|other threads|serialis|concurren|"
    r"one writer|\brace|synchronis|no lock|takes? the lock|under the lock|owned by one",
    re.I)
ERRORS = re.compile(
    r"throw|fail|last error|error code|errors?\b|returns? (0|false|null|-1)",
    re.I)
CLASS = re.compile(r"^(?:class|struct)\s+(?:KRCORE_API\s+)?(\w+)\b[^;]*\{\s*$")
SKIP_FILES = {"wintypes.h"}


def classes(path):
    lines = open(path, encoding="utf-8").read().splitlines()
    in_detail = False
    for i, line in enumerate(lines):
        if line.startswith("namespace detail {") or line.startswith("namespace krCore::detail {"):
            in_detail = True
        elif in_detail and line.startswith("}"):
            in_detail = False
        m = CLASS.match(line)
        if not m or in_detail:
            continue
        j = i - 1
        if j >= 0 and lines[j].startswith("template"):
            j -= 1
        above = []
        while j >= 0 and lines[j].lstrip().startswith("//"):
            above.append(lines[j])
            j -= 1
        body = []
        k = i + 1
        while k < len(lines) and not lines[k].startswith("}"):
            if lines[k].lstrip().startswith("//"):
                body.append(lines[k])
            k += 1
        text = list(reversed(above)) + body
        yield m.group(1), " ".join(t.strip().lstrip("/").strip() for t in text)


def main():
    args = [a for a in sys.argv[1:] if a != "-v"]
    verbose = "-v" in sys.argv[1:]
    root = args[0] if args else os.path.join(
        os.path.dirname(__file__), "..", "krcore", "include", "krcore")
    total = threads = errors = 0
    for name in sorted(os.listdir(root)):
        if not name.endswith(".h") or name in SKIP_FILES:
            continue
        for cls, text in classes(os.path.join(root, name)):
            t = bool(THREADS.search(text))
            e = bool(ERRORS.search(text))
            total += 1
            threads += t
            errors += e
            if verbose and not (t and e):
                print(f"{name}: {cls}:{'' if t else ' no thread-safety'}{'' if e else ' no errors'}")
    print(f"{total} public classes; thread-safety stated by {threads} "
          f"({100.0 * threads / total:.0f}%), errors by {errors} ({100.0 * errors / total:.0f}%)")


if __name__ == "__main__":
    main()
