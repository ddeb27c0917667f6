#!/usr/bin/env python3
"""Mutation run: applies each mutant of tests/mutants.txt to a scratch copy of the tree, builds it
and runs the tests named to kill it. Ends non-zero when any mutant survives.

    scripts/mutate.py [--only NAME,...] [--keep] [--timeout S] [--report FILE]

The scratch copy and its build tree live in build-mutate/ (kept between runs, so each build is
incremental); the working tree is never written. A mutant is killed when its build fails or one
of its tests fails or times out."""
import argparse
import os
import re
import shutil
import subprocess
import sys
import time

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SCRATCH = os.path.join(REPO, "build-mutate")
SOURCE = os.path.join(SCRATCH, "tree")
BUILD = os.path.join(SCRATCH, "build")
# What is copied: the tree as git knows it, with the working tree's content.
SKIPPED = {".git", "build", "build-asan", "build-tsan", "build-fuzz", "build-bench", "build-deb",
           "build-mutate"}
CMAKE_FLAGS = ["-DCMAKE_BUILD_TYPE=RelWithDebInfo", "-DMIREVO_SOAK=OFF",
               "-DMIREVO_BROWSER_TESTS=OFF"]


def read_mutants(path):
    """The mutants of the list: blocks that start with "[name]" and hold "file:", "anchor:",
    "replace:" and "tests:" lines; "\\n" in anchor and replacement stands for a line end."""
    mutants, current = [], None
    with open(path, encoding="utf-8") as listing:
        for number, line in enumerate(listing, 1):
            line = line.rstrip("\n")
            if not line.strip() or line.lstrip().startswith("#"):
                continue
            header = re.fullmatch(r"\[(.+)\]", line.strip())
            if header:
                current = {"name": header.group(1), "line": number}
                mutants.append(current)
                continue
            key, _, value = line.partition(":")
            if current is None or key.strip() not in ("file", "anchor", "replace", "tests"):
                sys.exit(f"{path}:{number}: expected [name] or file:/anchor:/replace:/tests:")
            value = value[1:] if value.startswith(" ") else value
            current[key.strip()] = value.replace("\\n", "\n")
    for mutant in mutants:
        missing = [key for key in ("file", "anchor", "replace", "tests") if key not in mutant]
        if missing:
            sys.exit(f"{path}:{mutant['line']}: mutant {mutant['name']} lacks {', '.join(missing)}")
    return mutants


def sync_tree():
    """Copies the working tree into the scratch tree, file by file, only what changed, so the
    scratch build stays incremental."""
    for root, dirs, files in os.walk(REPO):
        dirs[:] = [d for d in dirs if not (root == REPO and d in SKIPPED)]
        relative = os.path.relpath(root, REPO)
        target_root = os.path.normpath(os.path.join(SOURCE, relative))
        os.makedirs(target_root, exist_ok=True)
        for name in files:
            source, target = os.path.join(root, name), os.path.join(target_root, name)
            if os.path.islink(source):
                continue
            if not os.path.exists(target) or open(source, "rb").read() != open(target, "rb").read():
                shutil.copy2(source, target)


def run(command, timeout, log):
    """Runs command (output to log); returns its status, or None when it ran out of time."""
    try:
        return subprocess.run(command, stdout=log, stderr=subprocess.STDOUT, timeout=timeout,
                              check=False).returncode
    except subprocess.TimeoutExpired:
        return None


def build(log, timeout):
    return run(["cmake", "--build", BUILD, "-j", os.environ.get("JOBS", "2")], timeout, log)


def try_mutant(mutant, args, log):
    """Applies mutant in the scratch tree, builds and runs its tests, restores the file.
    Returns (verdict, seconds)."""
    path = os.path.join(SOURCE, mutant["file"])
    with open(path, encoding="utf-8") as original:
        pristine = original.read()
    count = pristine.count(mutant["anchor"])
    if count != 1:
        return f"anchor found {count} times", 0.0
    started = time.monotonic()
    with open(path, "w", encoding="utf-8") as mutated:
        mutated.write(pristine.replace(mutant["anchor"], mutant["replace"]))
    try:
        status = build(log, args.timeout)
        if status != 0:
            return "killed (build)", time.monotonic() - started
        regex = "^(" + "|".join(re.escape(t.strip()) for t in mutant["tests"].split(",")) + ")$"
        status = run(["ctest", "--test-dir", BUILD, "-R", regex, "--timeout", str(args.timeout),
                      "--no-tests=error", "-j", "1"], args.timeout * 3, log)
        verdict = "survived" if status == 0 else "killed"
        return verdict, time.monotonic() - started
    finally:
        with open(path, "w", encoding="utf-8") as restored:
            restored.write(pristine)
        # The file's time must move on, so the next build compiles it back.
        os.utime(path, None)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--list", default=os.path.join(REPO, "tests", "mutants.txt"))
    parser.add_argument("--only", default="", help="comma-separated mutant names")
    parser.add_argument("--timeout", type=int, default=300, help="seconds per build or test")
    parser.add_argument("--report", default=os.path.join(SCRATCH, "report.md"))
    args = parser.parse_args()

    mutants = read_mutants(args.list)
    if args.only:
        wanted = set(args.only.split(","))
        mutants = [m for m in mutants if m["name"] in wanted]
    os.makedirs(SCRATCH, exist_ok=True)
    sync_tree()
    log_path = os.path.join(SCRATCH, "mutate.log")
    rows = []
    with open(log_path, "w", encoding="utf-8") as log:
        subprocess.run(["cmake", "-S", SOURCE, "-B", BUILD, *CMAKE_FLAGS], stdout=log,
                       stderr=subprocess.STDOUT, check=True)
        if build(log, args.timeout * 4) != 0:
            sys.exit(f"the unmutated tree does not build; see {log_path}")
        for mutant in mutants:
            print(f"{mutant['name']}: ", end="", flush=True)
            log.write(f"\n===== {mutant['name']}\n")
            log.flush()
            verdict, seconds = try_mutant(mutant, args, log)
            print(f"{verdict} ({seconds:.0f} s)", flush=True)
            rows.append((mutant, verdict, seconds))
        build(log, args.timeout * 4)  # leave the scratch build unmutated

    lines = ["| mutant | file | tests | killed | seconds |", "|---|---|---|---|---|"]
    for mutant, verdict, seconds in rows:
        lines.append(f"| {mutant['name']} | `{mutant['file']}` | {mutant['tests']} | "
                     f"{'yes' if verdict.startswith('killed') else verdict} | {seconds:.0f} |")
    survivors = [m["name"] for m, verdict, _ in rows if not verdict.startswith("killed")]
    with open(args.report, "w", encoding="utf-8") as report:
        report.write("\n".join(lines) + "\n")
    print(f"{len(rows) - len(survivors)} of {len(rows)} mutants killed; table in {args.report}")
    if survivors:
        print("survived or not applied: " + ", ".join(survivors))
        sys.exit(1)


if __name__ == "__main__":
    main()
