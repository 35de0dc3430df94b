#!/usr/bin/python3
"""Mutation run: applies one-line faults one at a time, rebuilds, runs the tests, restores.

A fault the suite does not catch is a missing test. Not part of CI: each fault costs a rebuild
and a test run, so a whole list takes a good while on two cores.

The list (default tools/dev/mutants.txt) is a sequence of entries:

    [component] path/to/file.cpp  [tests=CTEST_REGEX] [fuzz=TARGET]
    - exact text that occurs once in the file
    + what it becomes

fuzz=TARGET also runs fuzz/fuzz_TARGET (built in --fuzz-build, the fuzz preset's directory) for a
bounded, deterministic number of inputs from its seeds when the tests pass: for code that the
fuzz targets are its tests of.

Lines starting with '#' and blank lines separate entries. Text is matched verbatim (leading
blanks after '- ' / '+ ' included), so an entry names a fault, not a line number, and survives
edits elsewhere in the file. An entry whose text no longer occurs exactly once is reported as
stale, never applied blindly. A fault that does not compile is reported apart, not as caught.

    tools/dev/mutate.py [--build DIR] [--list FILE] [--only COMPONENT ...] [--match TEXT]
                        [--target TARGET ...]
"""
import argparse
import collections
import pathlib
import re
import signal
import subprocess
import sys
import tempfile
import time

ROOT = pathlib.Path(__file__).resolve().parents[2]
HEADER = re.compile(r"^\[(?P<component>[\w-]+)\]\s+(?P<path>\S+)(?:\s+tests=(?P<tests>\S+))?"
                    r"(?:\s+fuzz=(?P<fuzz>\w+))?\s*$")

Mutant = collections.namedtuple("Mutant", "component path tests fuzz old new where")


def parse(list_path):
    mutants, cur, old = [], None, None
    for no, line in enumerate(list_path.read_text().splitlines(), 1):
        where = f"{list_path.name}:{no}"
        if not line.strip() or line.startswith("#"):
            continue
        m = HEADER.match(line)
        if m:
            cur, old = m, None
        elif line.startswith("- ") and cur:
            old = line[2:]
        elif line.startswith("+ ") and cur and old is not None:
            mutants.append(Mutant(cur["component"], cur["path"], cur["tests"], cur["fuzz"], old,
                                  line[2:], where))
            old = None
        else:
            sys.exit(f"mutate: {where}: expected '[component] path', '- old' or '+ new'")
    return mutants


def run(cmd, limit):
    try:
        p = subprocess.run(cmd, cwd=ROOT, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                           timeout=limit, text=True, errors="replace")
        return p.returncode, p.stdout
    except subprocess.TimeoutExpired as e:
        return -1, f"timed out after {limit} s\n{e.stdout or ''}"


def fuzz(target, build, runs, limit):
    """Builds and runs one fuzz target from its seeds; new inputs go to a scratch folder."""
    rc, _ = run(["cmake", "--build", build, "--target", f"fuzz_{target}", "-j2"], 1800)
    if rc != 0:
        return 0  # no fuzz build: the fault counts as the tests judged it
    with tempfile.TemporaryDirectory() as scratch:
        rc, _ = run([f"{build}/fuzz/fuzz_{target}", f"-runs={runs}", "-seed=1",
                     f"-artifact_prefix={scratch}/", scratch, str(ROOT / "fuzz/corpus" / target)],
                    limit)
    return rc


def main():
    ap = argparse.ArgumentParser(description="Apply one-line faults and see which the tests catch.")
    ap.add_argument("--build", default="build/release", help="a configured build directory")
    ap.add_argument("--list", default=str(ROOT / "tools/dev/mutants.txt"))
    ap.add_argument("--only", nargs="*", default=[], help="components to run")
    ap.add_argument("--match", default="", help="only faults whose file or text contains this")
    ap.add_argument("--fuzz-build", default="build/fuzz", help="the fuzz preset's build directory")
    ap.add_argument("--fuzz-runs", type=int, default=50000)
    ap.add_argument("--test-timeout", type=int, default=600)
    ap.add_argument("--target", action="append", default=[],
                    help="build only these targets (repeat), e.g. a component's tool and tests")
    args = ap.parse_args()

    mutants = [m for m in parse(pathlib.Path(args.list))
               if (not args.only or m.component in args.only)
               and (args.match in m.path or args.match in m.old)]
    build = str(ROOT / args.build)
    targets = [a for t in args.target for a in ("--target", t)]
    tally = collections.defaultdict(collections.Counter)
    missed = []
    # A signal must not leave a fault in the tree: restore, then stop.
    restore = {}

    def put_back(*_):
        for path, text in restore.items():
            path.write_text(text)
        sys.exit("mutate: interrupted; files restored")

    signal.signal(signal.SIGINT, put_back)
    signal.signal(signal.SIGTERM, put_back)

    for i, m in enumerate(mutants, 1):
        path = ROOT / m.path
        text = path.read_text()
        label = f"[{i}/{len(mutants)}] {m.component} {m.path}: {m.old.strip()} -> {m.new.strip()}"
        if text.count(m.old) != 1:
            tally[m.component]["stale"] += 1
            print(f"{label}\n    stale ({m.where}: found {text.count(m.old)} times)", flush=True)
            continue
        restore[path] = text
        path.write_text(text.replace(m.old, m.new, 1))
        started = time.monotonic()
        try:
            rc, out = run(["cmake", "--build", build, "-j2"] + targets, 1800)
            if rc != 0:
                verdict = "no-build"
            else:
                cmd = ["ctest", "--test-dir", build, "--stop-on-failure", "-j2"]
                if m.tests:
                    cmd += ["-R", m.tests]
                rc, out = run(cmd, args.test_timeout)
                if rc == 0 and m.fuzz:
                    rc = fuzz(m.fuzz, str(ROOT / args.fuzz_build), args.fuzz_runs, args.test_timeout)
                verdict = "caught" if rc != 0 else "missed"
        finally:
            path.write_text(text)
            del restore[path]
        tally[m.component][verdict] += 1
        if verdict == "missed":
            missed.append(label)
        print(f"{label}\n    {verdict} ({time.monotonic() - started:.0f} s)", flush=True)

    run(["cmake", "--build", build, "-j2"] + targets, 1800)  # leave the build matching the tree
    print("\n| component | caught | missed | no build | stale | caught of built |")
    print("|---|---|---|---|---|---|")
    total = collections.Counter()
    for comp in sorted(tally):
        t = tally[comp]
        total.update(t)
        built = t["caught"] + t["missed"]
        share = f"{100 * t['caught'] / built:.0f}%" if built else "-"
        print(f"| {comp} | {t['caught']} | {t['missed']} | {t['no-build']} | {t['stale']} | {share} |")
    built = total["caught"] + total["missed"]
    if built:
        print(f"| all | {total['caught']} | {total['missed']} | {total['no-build']} | "
              f"{total['stale']} | {100 * total['caught'] / built:.0f}% |")
    if missed:
        print("\nmissed:\n" + "\n".join(missed))
    return 1 if missed else 0


if __name__ == "__main__":
    sys.exit(main())
