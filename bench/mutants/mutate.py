#!/usr/bin/env python3
"""Mutation testing of the fast test suite.

Applies a fixed, seeded set of small mutations to the library's sources (a
flipped comparison, an off-by-one, a dropped call, a negated condition, a
flipped boolean), one at a time; rebuilds; runs the fast suite; and reports
how many mutants the suite kills. A mutant that does not compile is replaced
by the next candidate of the seeded order, so every run measures the same
number of living mutants.

    bench/mutants/mutate.py --build build-mut [--count 80] [--seed 13]
        [--ctest "-L fast -j2"] [--dirs src/platform ...] [--list]

The build directory is configured (Ninja, RelWithDebInfo) when it does not
exist. The sources are restored after every mutant, also on Ctrl-C.
"""
import argparse
import os
import random
import re
import shlex
import subprocess
import sys
import time

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
DIRS = ["src/protocol", "src/sender", "src/receiver", "src/api", "src/platform"]
# Files the Linux build does not compile.
SKIP = re.compile(r"_win32(_detail)?\.(cpp|h)$")

COMPARE = [(" <= ", " < "), (" >= ", " > "), (" < ", " <= "), (" > ", " >= "),
           (" == ", " != "), (" != ", " == ")]
OFF_BY_ONE = [(" + 1", " + 2"), (" - 1", " - 2"), ("+ 1)", "+ 0)"), ("- 1)", "- 0)")]
CALL = re.compile(r"^(\s*)((?:[A-Za-z_][\w]*(?:::|\.|->))*[A-Z][\w]*\(.*\);)\s*$")
IF_COND = re.compile(r"\b(if|while) \(")


def source_files(dirs=None):
    for d in dirs or DIRS:
        for name in sorted(os.listdir(os.path.join(ROOT, d))):
            if name.endswith((".cpp", ".h")) and not SKIP.search(name):
                yield os.path.join(d, name)


def code_part(line):
    """The line without its comment and string literals blanked, so that
    sites are only looked for in code."""
    out, i, quote = [], 0, None
    while i < len(line):
        c = line[i]
        if quote:
            out.append(" " if c != quote else c)
            if c == "\\":
                out.append(" ")
                i += 1
            elif c == quote:
                quote = None
        elif c in "\"'":
            quote = c
            out.append(c)
        elif line.startswith("//", i):
            break
        else:
            out.append(c)
        i += 1
    return "".join(out)


def matching_paren(text, start):
    depth = 0
    for i in range(start, len(text)):
        if text[i] == "(":
            depth += 1
        elif text[i] == ")":
            depth -= 1
            if depth == 0:
                return i
    return -1


def candidates(dirs=None):
    """Every mutation site: (file, line number, kind, column, old, new)."""
    sites = []
    for path in source_files(dirs):
        with open(os.path.join(ROOT, path), encoding="utf-8") as f:
            lines = f.read().split("\n")
        in_block_comment = False
        for n, line in enumerate(lines):
            stripped = line.strip()
            if in_block_comment:
                if "*/" in stripped:
                    in_block_comment = False
                continue
            if stripped.startswith("/*"):
                in_block_comment = "*/" not in stripped
                continue
            if not stripped or stripped.startswith(("//", "#", "static_assert", "template")):
                continue
            code = code_part(line)
            for old, new in COMPARE:
                for m in re.finditer(re.escape(old), code):
                    # " < " inside a template argument list has no spaces here.
                    sites.append((path, n, "compare", m.start(), old, new))
            for old, new in OFF_BY_ONE:
                for m in re.finditer(re.escape(old), code):
                    sites.append((path, n, "off-by-one", m.start(), old, new))
            if re.search(r"\breturn (true|false);", code):
                m = re.search(r"\breturn (true|false);", code)
                flip = "false" if m.group(1) == "true" else "true"
                sites.append((path, n, "boolean", m.start(), m.group(0), "return %s;" % flip))
            m = CALL.match(code)
            if m and not re.search(r"\b(Log|Logf|return|delete|else)\b", m.group(2)) and code.rstrip().endswith(");"):
                start = len(m.group(1))
                sites.append((path, n, "drop-call", start, line[start:].rstrip(), "(void)0;"))
            for m in IF_COND.finditer(code):
                open_at = m.end() - 1
                close_at = matching_paren(code, open_at)
                if close_at > open_at:
                    old = line[open_at:close_at + 1]
                    sites.append((path, n, "negate", open_at, old, "(!" + old + ")"))
    sites.sort()
    return sites


def apply(site):
    path, n, kind, col, old, new = site
    full = os.path.join(ROOT, path)
    with open(full, encoding="utf-8") as f:
        original = f.read()
    lines = original.split("\n")
    line = lines[n]
    assert line[col:col + len(old)] == old, (site, line)
    lines[n] = line[:col] + new + line[col + len(old):]
    with open(full, "w", encoding="utf-8") as f:
        f.write("\n".join(lines))
    return full, original


def run(cmd, timeout):
    try:
        p = subprocess.run(cmd, cwd=ROOT, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=timeout)
        return p.returncode, p.stdout.decode(errors="replace")
    except subprocess.TimeoutExpired:
        return None, ""


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", default="build-mut")
    ap.add_argument("--count", type=int, default=80)
    ap.add_argument("--seed", type=int, default=13)
    ap.add_argument("--ctest", default="-L fast -j2", help="ctest arguments that select the fast suite")
    ap.add_argument("--test-timeout", type=int, default=900)
    ap.add_argument("--list", action="store_true", help="print the chosen sites and stop")
    ap.add_argument("--dirs", nargs="*", help="only these source folders (default: %s)" % " ".join(DIRS))
    args = ap.parse_args()

    sites = candidates(args.dirs)
    random.Random(args.seed).shuffle(sites)
    build = os.path.join(ROOT, args.build) if not os.path.isabs(args.build) else args.build
    if args.list:
        for s in sites[:args.count]:
            print("%s:%d %s %r -> %r" % (s[0], s[1] + 1, s[2], s[4], s[5]))
        return 0
    if not os.path.isdir(build):
        subprocess.run(["cmake", "-S", ROOT, "-B", build, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=RelWithDebInfo"],
                       check=True, stdout=subprocess.DEVNULL)
    rc, out = run(["cmake", "--build", build], 3600)
    if rc != 0:
        print(out)
        print("the unmutated tree does not build")
        return 2
    ctest = ["ctest", "--test-dir", build, "--stop-on-failure", "--timeout", "300"] + shlex.split(args.ctest)
    rc, out = run(ctest, args.test_timeout)
    if rc != 0:
        print(out[-3000:])
        print("the fast suite fails on the unmutated tree")
        return 2

    killed, alive, stillborn = 0, [], 0
    started = time.time()
    tried = 0
    for site in sites:
        if killed + len(alive) >= args.count:
            break
        tried += 1
        full, original = apply(site)
        try:
            rc, out = run(["cmake", "--build", build], 1800)
            if rc != 0:
                stillborn += 1
                continue
            rc, out = run(ctest, args.test_timeout)
            label = "%s:%d %s %r -> %r" % (site[0], site[1] + 1, site[2], site[4], site[5])
            if rc == 0:
                alive.append(label)
                verdict = "SURVIVED"
            else:
                killed += 1
                verdict = "killed" if rc is not None else "killed (timeout)"
            print("%3d  %-9s %s" % (killed + len(alive), verdict, label), flush=True)
        finally:
            with open(full, "w", encoding="utf-8") as f:
                f.write(original)
    # Leave the build matching the sources.
    run(["cmake", "--build", build], 3600)
    total = killed + len(alive)
    print("\nmutants: %d (seed %d, %d did not compile), killed %d, survived %d: kill rate %.1f %% in %.0f min"
          % (total, args.seed, stillborn, killed, len(alive), 100.0 * killed / max(total, 1),
             (time.time() - started) / 60))
    for label in alive:
        print("  survived: " + label)
    return 0


if __name__ == "__main__":
    sys.exit(main())
