#!/usr/bin/env python3
"""Mutation sample: how many small faults planted in engine/ and control/ the
native tests catch.

    scripts/mutants.py [--count 100] [--seed 2026] [--only REGEX] [--list] [--report FILE]

Every place where one of a few simple faults can be planted is listed (a
comparison or logical operator turned round, a constant off by one, true for
false, a negation dropped, a call statement removed), in the sources the
native build compiles and outside code only Windows compiles. A fixed sample
of them, drawn with the seed and kept in file order, is planted one at a time
into the source tree itself, built into build/mutants and run against the
native tests (all but the soak, which repeats what the others run, and the
install check; for a mutant in control/ only the control's tests, as no other
test loads it); a mutant is killed when a test fails or the run takes three
times as long as without a mutant, stillborn when it does not compile. The
tree is put back after each one, also when the run is interrupted; build
nothing else in it meanwhile. --only keeps the part of the same sample whose
file:line matches, for a quick look at a few files.
"""
import argparse
import json
import os
import random
import re
import signal
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(ROOT, "build", "mutants")
SKIPPED_TESTS = "control_soak_test|install_consumer"

# (name, pattern, replacement); each match of a pattern on a line is a place.
OPERATORS = [
    ("== to !=", r"==", "!="),
    ("!= to ==", r"!=", "=="),
    ("<= to <", r" <= ", " < "),
    (">= to >", r" >= ", " > "),
    ("< to <=", r" < ", " <= "),
    ("> to >=", r" > ", " >= "),
    ("&& to ||", r" && ", " || "),
    ("|| to &&", r" \|\| ", " && "),
    ("+ to -", r" \+ ", " - "),
    ("- to +", r" - ", " + "),
    ("true to false", r"\btrue\b", "false"),
    ("false to true", r"\bfalse\b", "true"),
    ("drop !", r"(?<=[(\s])!(?=[\w(])", ""),
    ("constant + 1", r"(?<![\w.])\d+(?=[uUlL]*(?![\w.']))", None),
]
CALL_STATEMENT = re.compile(r"^\s*[A-Za-z_][\w:.\->]*\s*\(.*\)\s*;\s*$")
NOT_CALLS = re.compile(r"^\s*(return|delete|throw|case|goto|break|continue)\b")


def native_sources():
    """The engine and control sources the native build compiles."""
    with open(os.path.join(BUILD, "compile_commands.json")) as f:
        files = {os.path.relpath(entry["file"], ROOT) for entry in json.load(f)}
    return sorted(p for p in files if p.startswith(("engine/", "control/")))


def code_part(line):
    """The line without its comment and with string and character literals blanked."""
    out, i, quote = [], 0, None
    while i < len(line):
        ch = line[i]
        if quote:
            if ch == "\\":
                out.append("  ")
                i += 2
                continue
            out.append(" " if ch != quote else ch)
            if ch == quote:
                quote = None
        elif ch in "\"'":
            quote = ch
            out.append(ch)
        elif line.startswith("//", i):
            break
        else:
            out.append(ch)
        i += 1
    return "".join(out)


def places(path):
    """Every (line number, operator, occurrence) that can be mutated in a file."""
    found = []
    windows_only = []  # one entry per open #if: whether its current branch is Windows-only
    in_comment = False
    with open(os.path.join(ROOT, path)) as f:
        lines = f.read().split("\n")
    for number, line in enumerate(lines, 1):
        stripped = line.strip()
        if in_comment:
            if "*/" in stripped:
                in_comment = False
            continue
        if stripped.startswith("/*"):
            in_comment = "*/" not in stripped
            continue
        if stripped.startswith("#"):
            directive = stripped[1:].strip()
            if directive.startswith("if"):
                windows_only.append(bool(re.match(r"(ifdef\s+_WIN32|if\s+defined\(_WIN32\)|if\s+_WIN32)", directive)))
                if re.match(r"ifndef\s+_WIN32|if\s+!defined\(_WIN32\)", directive):
                    windows_only[-1] = None  # the other branch is the Windows one
            elif directive.startswith(("else", "elif")) and windows_only:
                windows_only[-1] = True if windows_only[-1] is None else False
            elif directive.startswith("endif") and windows_only:
                windows_only.pop()
            continue
        if any(w for w in windows_only) or not stripped or stripped.startswith("static_assert"):
            continue
        code = code_part(line)
        for name, pattern, _ in OPERATORS:
            for k, _ in enumerate(re.finditer(pattern, code)):
                found.append((number, name, k))
        if CALL_STATEMENT.match(code) and not NOT_CALLS.match(code) and code.count("(") == code.count(")"):
            found.append((number, "remove call", 0))
    return found


def mutate(line, name, occurrence):
    if name == "remove call":
        return re.sub(r"\S.*", ";", line, count=1)
    code = code_part(line)
    for op, pattern, replacement in OPERATORS:
        if op != name:
            continue
        match = list(re.finditer(pattern, code))[occurrence]
        if replacement is None:
            value = int(match.group(0))
            replacement = str(value + 1)
        return line[: match.start()] + replacement + line[match.end():]
    raise ValueError(name)


def run(command, timeout=None):
    """The command's exit code; None when it ran past the timeout (it is then
    stopped with every process it started)."""
    process = subprocess.Popen(command, cwd=ROOT, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                               start_new_session=True)
    try:
        return process.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        return None
    finally:
        if process.poll() is None:
            os.killpg(process.pid, signal.SIGKILL)
            process.wait()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--count", type=int, default=100)
    parser.add_argument("--seed", type=int, default=2026)
    parser.add_argument("--only", help="run only the sampled mutants whose file:line matches this")
    parser.add_argument("--list", action="store_true", help="print the sample and stop")
    parser.add_argument("--report", default=os.path.join(BUILD, "report.txt"))
    args = parser.parse_args()
    # A stopped run still puts the tree back (the finally below).
    signal.signal(signal.SIGTERM, lambda *_: sys.exit("mutants: stopped"))

    jobs = str(os.cpu_count() or 2)
    if run(["bash", "scripts/setup.sh"]) != 0:  # the tools, and the sources the fixtures use
        sys.exit("mutants: scripts/setup.sh failed")
    flags = ["-DCMAKE_BUILD_TYPE=None", "-DCMAKE_C_FLAGS=-O1", "-DCMAKE_CXX_FLAGS=-O1",
             "-DBUILD_TESTING=ON", "-DCMAKE_EXPORT_COMPILE_COMMANDS=ON"]
    if run(["cmake", "-S", ".", "-B", BUILD] + flags) != 0:
        sys.exit("mutants: cannot configure build/mutants")

    every = [(path,) + p for path in native_sources() for p in places(path)]
    sample = sorted(random.Random(args.seed).sample(every, min(args.count, len(every))))
    print(f"{len(every)} places in {len(native_sources())} files; sample of {len(sample)}, seed {args.seed}")
    if args.only:
        sample = [m for m in sample if re.search(args.only, f"{m[0]}:{m[1]}")]
        print(f"{len(sample)} of them match {args.only}")
    if args.list:
        for path, number, name, k in sample:
            print(f"{path}:{number} {name} #{k}")
        return

    if run(["cmake", "--build", BUILD, "-j", jobs]) != 0:
        sys.exit("mutants: the unmutated tree does not build")
    test = ["ctest", "--test-dir", BUILD, "-j", jobs, "-E", SKIPPED_TESTS, "--stop-on-failure"]
    started = time.time()
    if run(test) != 0:
        sys.exit("mutants: the tests fail without a mutant")
    # A mutant that makes a test hang is killed once the run takes three times
    # as long as it does unmutated.
    bound = 3 * (time.time() - started) + 30

    counts = {"killed": 0, "survived": 0, "stillborn": 0}
    started = time.time()
    with open(args.report, "w") as report:
        for index, (path, number, name, k) in enumerate(sample, 1):
            full = os.path.join(ROOT, path)
            with open(full) as f:
                original = f.read()
            lines = original.split("\n")
            before = lines[number - 1]
            lines[number - 1] = mutate(before, name, k)
            try:
                with open(full, "w") as f:
                    f.write("\n".join(lines))
                if run(["cmake", "--build", BUILD, "-j", jobs]) != 0:
                    outcome = "stillborn"
                else:
                    only = ["-R", "^control_"] if path.startswith("control/") else []
                    outcome = "survived" if run(test + only, timeout=bound) == 0 else "killed"
            finally:
                with open(full, "w") as f:
                    f.write(original)
            counts[outcome] += 1
            entry = f"{outcome:9} {path}:{number} {name} #{k}: {before.strip()} => {lines[number - 1].strip()}"
            print(f"[{index}/{len(sample)}] {entry}", flush=True)
            report.write(entry + "\n")
        minutes = (time.time() - started) / 60
        live = counts["killed"] + counts["survived"]
        summary = (f"killed {counts['killed']} of {live} mutants that build "
                   f"({100 * counts['killed'] / max(live, 1):.1f} %), {counts['stillborn']} stillborn, "
                   f"{minutes:.0f} min")
        report.write(summary + "\n")
    print(summary)
    run(["cmake", "--build", BUILD, "-j", jobs])  # leave the build as the tree is


if __name__ == "__main__":
    main()
