#!/usr/bin/env python3
"""Replays the faults of an earlier mutation run against the current code and tests.

scripts/mutants.sh samples faults by position in the list of candidates, so once the code has
changed the same seed picks other faults. To compare two test suites on the same faults, this
reads the "[i/n] path:line operator: verdict" lines of an earlier run's output, finds each fault
again in the current sources (same file, same operator, same source line text; the line number
may have moved), plants it, rebuilds, runs the whole suite and reports what is caught.

  python3 scripts/mutants_replay.py OLD_RUN_OUTPUT [--old-tree DIR] [--build DIR] [--list]

Like mutants.sh it edits sources while it runs: use a clone of its own, with ../shared beside
it. Faults whose line is gone are reported as such and not counted.
"""
import argparse
import importlib.util
import os
import re
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TOOL = os.environ.get("MUTANTS_TOOL", os.path.join(HERE, "..", "..", "shared", "tools",
                                                   "mutants.py"))
LINE = re.compile(r"^\[\d+/\d+\] (\S+):(\d+) (.+?): (caught.*|SURVIVED|does not compile)$")


def load_sampler():
    spec = importlib.util.spec_from_file_location("mutants", TOOL)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def old_faults(path):
    """(file, line, operator, old verdict) of every fault tried in the old run."""
    faults = []
    for text in open(path, encoding="utf-8"):
        m = LINE.match(text.strip())
        if m:
            faults.append((m.group(1), int(m.group(2)), m.group(3), m.group(4)))
    return faults


def source_line(path, number):
    with open(path, encoding="utf-8", errors="surrogateescape") as f:
        lines = f.read().split("\n")
    return lines[number - 1].strip() if 0 < number <= len(lines) else None


def find_again(sampler, old_root, fault, used=None):
    """The candidate in the current tree for an old fault, or None when its line is gone.
    `used` holds the sites already taken, so that two faults on one line stay two."""
    used = used if used is not None else set()
    path, line, operator, _ = fault
    old_text = source_line(os.path.join(old_root, path), line) if old_root else None
    if not os.path.exists(path):
        return None
    matches = [c for c in sampler.candidates(path) if c[4] == operator]
    if old_text is not None:
        matches = [c for c in matches if c[6] == old_text]
    matches = [c for c in matches if (c[0], c[1]) not in used]
    if not matches:
        return None
    site = min(matches, key=lambda c: (abs(c[5] - line), c[1]))  # nearest to where it was
    used.add((site[0], site[1]))
    return site


def run(cmd, timeout):
    try:
        r = subprocess.run(cmd, shell=True, timeout=timeout, stdout=subprocess.PIPE,
                           stderr=subprocess.STDOUT)
        return r.returncode
    except subprocess.TimeoutExpired:
        return None


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("old_output")
    ap.add_argument("--old-tree", help="a checkout of the revision the old run planted into, "
                    "to match faults by their source text")
    ap.add_argument("--build", default="build/mutants")
    ap.add_argument("--timeout", type=int, default=300)
    ap.add_argument("--list", action="store_true", help="only show where each fault is now")
    a = ap.parse_args()
    sampler = load_sampler()
    used = set()
    if a.list:
        for fault in old_faults(a.old_output):
            site = find_again(sampler, a.old_tree, fault, used)
            where = f"line {site[5]}" if site else "line gone"
            print(f"{fault[0]}:{fault[1]} {fault[2]} (was: {fault[3]}): {where}")
        return
    if not os.path.exists(os.path.join(a.build, "build.ninja")):
        if run(f"cmake -S . -B {a.build} -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "
               f"-DPLEXORE_BENCH=OFF", 600) != 0:
            sys.exit("replay: configure failed")
    if run(f"cmake --build {a.build}", 3600) != 0:
        sys.exit("replay: the unmutated tree does not build")
    test_cmd = f"ctest --test-dir {a.build} -j2 --timeout 120 --stop-on-failure"
    if run(test_cmd, a.timeout * 3) != 0:
        sys.exit("replay: the tests fail before any fault is planted")
    caught = survived = gone = broken = 0
    t0 = time.time()
    for fault in old_faults(a.old_output):
        site = find_again(sampler, a.old_tree, fault, used)
        label = f"{fault[0]}:{fault[1]} {fault[2]} (was: {fault[3]})"
        if site is None:
            gone += 1
            print(f"{label}: line gone", flush=True)
            continue
        path, start, end, replacement = site[0], site[1], site[2], site[3]
        text = open(path, encoding="utf-8", errors="surrogateescape").read()
        try:
            with open(path, "w", encoding="utf-8", errors="surrogateescape") as f:
                f.write(text[:start] + replacement + text[end:])
            if run(f"cmake --build {a.build}", 1800) != 0:
                broken += 1
                verdict = "does not compile"
            elif run(test_cmd, a.timeout) == 0:
                survived += 1
                verdict = "SURVIVED"
            else:
                caught += 1
                verdict = "caught"
        finally:
            with open(path, "w", encoding="utf-8", errors="surrogateescape") as f:
                f.write(text)
        print(f"{label} now at line {site[5]}: {verdict}", flush=True)
    run(f"cmake --build {a.build}", 3600)
    tried = caught + survived
    pct = 100.0 * caught / tried if tried else 0.0
    print(f"\n{caught} of {tried} replayed faults caught ({pct:.0f}%), {broken} did not compile, "
          f"{gone} lines gone, {time.time() - t0:.0f} s")


if __name__ == "__main__":
    main()
