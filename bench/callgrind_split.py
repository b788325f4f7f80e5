#!/usr/bin/env python3
"""Splits a callgrind profile of one run into the program's instructions and
the simulated host's.

    callgrind_split.py PROFILE [--top N]

The profile must be written with --compress-strings=no --compress-pos=no
(scripts/bench does). The program's share is everything collected minus
what the calls from outside the simulator into the simulator cost,
inclusively: the simulated operating system, drives and runner are not the
program's. Library code (libc, libstdc++) counts for whoever called it.

Prints the total, the simulator's share, the program's share, and the
program's functions with the most instructions of their own (plus the
library calls they make).
"""

import re
import sys
from collections import defaultdict


def is_sim(name):
    # The simulated host, the drive models, the runner's own helpers and
    # the benchmark drivers; std::function wrappers around their lambdas too.
    return ("oddfw::sim::" in name or name.startswith("(anonymous namespace)::")
            or "benchmark::" in name or name.startswith("main")
            or name.startswith("(below main)") or name.startswith("__libc_start"))


def is_program(name):
    return name.startswith("oddfw::") and not is_sim(name)


def parse(path):
    total = 0
    self_cost = defaultdict(int)
    # (caller, callee) -> inclusive cost of the calls, and their number
    edges = defaultdict(int)
    counts = defaultdict(int)
    fn = None
    pending_call = None
    with open(path, encoding="utf-8", errors="replace") as f:
        for line in f:
            line = line.rstrip("\n")
            if line.startswith("summary:"):
                total = int(line.split()[1])
            elif line.startswith("fn="):
                fn = line[3:]
                cfn = None
            elif line.startswith("cfn="):
                cfn = line[4:]
            elif line.startswith("calls="):
                pending_call = cfn
                counts[(fn, cfn)] += int(line[6:].split()[0])
            elif line and (line[0].isdigit() or line[0] in "+-*"):
                parts = line.split()
                cost = int(parts[1]) if len(parts) > 1 else 0
                if pending_call is not None:
                    edges[(fn, pending_call)] += cost
                    pending_call = None
                elif fn is not None:
                    self_cost[fn] += cost
    return total, self_cost, edges, counts


ALLOCATORS = ("malloc", "calloc", "realloc", "operator new", "operator new[]")


def program_allocations(edges, counts):
    """Calls of an allocator (operator new, malloc, calloc, realloc; the
    first one entered, not the malloc inside operator new) made on the
    program's behalf: by the program's functions, or by library code
    (std::string) in the share the program called it."""
    callers = defaultdict(list)
    for (a, b), n in counts.items():
        callers[b].append((a, n))
    share = {}

    def program_share(name, depth=0):
        if is_program(name):
            return 1.0
        if is_sim(name) or depth > 20:
            return 0.0
        if name in share:
            return share[name]
        share[name] = 0.0  # cycles count as not the program's
        total = sum(n for _, n in callers[name])
        value = sum(n * program_share(a, depth + 1) for a, n in callers[name]) / total if total else 0.0
        share[name] = value
        return value

    allocations = 0.0
    for (a, b), n in counts.items():
        if b.split("(")[0].strip() in ALLOCATORS and a.split("(")[0].strip() not in ALLOCATORS:
            allocations += n * program_share(a)
    return round(allocations)


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    top = 12
    if "--top" in sys.argv:
        top = int(sys.argv[sys.argv.index("--top") + 1])
    total, self_cost, edges, counts = parse(sys.argv[1])
    # Collection runs inside the driver only, so every instruction is the
    # program's unless a call from the program into the simulator led to it.
    # (Library code between the two, a std::function that runs a simulator
    # lambda, would count as well; the default run has none.)
    into_sim = sum(c for (a, b), c in edges.items() if is_program(a) and is_sim(b))
    program = total - into_sim
    print(f"instructions collected : {total:>14,}")
    print(f"  simulated host       : {into_sim:>14,}")
    print(f"  program              : {program:>14,}")
    print(f"program allocations    : {program_allocations(edges, counts):>14,}")
    # The program's heaviest functions: their own cost plus the library
    # calls they make, without what those library calls spend back in the
    # program or in the simulator (std::function runs the program's hooks).
    inclusive = defaultdict(int)
    for (a, b), cost in edges.items():
        inclusive[b] += cost
    onward = defaultdict(int)
    for (a, b), cost in edges.items():
        if is_program(b) or is_sim(b):
            onward[a] += cost
    own = defaultdict(int)
    for name, cost in self_cost.items():
        if is_program(name):
            own[name] += cost
    for (a, b), cost in edges.items():
        if is_program(a) and not is_sim(b) and not is_program(b):
            share = 1 - onward[b] / inclusive[b] if inclusive[b] else 1
            own[a] += round(cost * share)
    print("program functions (own + library calls):")
    for name, cost in sorted(own.items(), key=lambda kv: -kv[1])[:top]:
        short = re.sub(r"\(.*", "", name.replace("(anonymous namespace)", "{anon}"))
        print(f"  {cost:>12,}  {short}")

if __name__ == "__main__":
    main()
