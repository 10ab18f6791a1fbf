#!/usr/bin/env python3
"""Side-by-side hash rate of two builds of the RandomX library.

Each argument is a randomx_compare_bench binary (built from
bench/randomx_compare_bench.cpp against one library build). All of them are
started at once with the same options and set up (cache, and the dataset in
full mode); then rounds alternate between them, one at a time, so that load
from elsewhere on the machine hits every build alike. Each build's figure is
the median over its rounds; the ratios are against the first binary. Three
figures: hashes per wall-clock second, per CPU second of the hashing thread,
and in the quietest tenth of single hashes (the least disturbed by load).

A differing first hash between two builds is an error (exit status 1).

Usage: compare_builds.py [--full] [--large-pages] [--v1] [--rounds N]
                         [--seconds S] BASELINE OTHER...
Extra environment for one side: NAME=VALUE,... after the path, as in
    build-a/randomx_compare_bench:GLIBC_TUNABLES=...
(a comma ends a value: write a CPU mask as ZT_CPU_MASK=avx2+bmi2).
"""
import argparse
import os
import statistics
import subprocess
import sys


def start(spec, options):
    path, _, env_list = spec.partition(":")
    env = dict(os.environ)
    for item in filter(None, env_list.split(",")):
        name, equals, value = item.partition("=")
        if not equals:
            sys.exit(f"{spec}: {item!r} is not NAME=VALUE (a comma ends a value: write ZT_CPU_MASK=avx2+bmi2)")
        env[name] = value
    proc = subprocess.Popen([path] + options, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, env=env)
    return proc


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--full", action="store_true")
    parser.add_argument("--large-pages", action="store_true")
    parser.add_argument("--v1", action="store_true")
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--seconds", type=float, default=5.0)
    parser.add_argument("binaries", nargs="+")
    args = parser.parse_args()
    options = [o for o, on in (("--full", args.full), ("--large-pages", args.large_pages), ("--v1", args.v1)) if on]

    procs = []
    for spec in args.binaries:
        proc = start(spec, options)
        # Set up one at a time: a dataset build takes every core.
        ready = proc.stdout.readline().strip()
        if not ready.startswith("ready"):
            sys.exit(f"{spec}: did not set up ({ready!r})")
        procs.append(proc)
        print(f"{spec}: {ready}", flush=True)

    walls = [[] for _ in procs]
    cpus = [[] for _ in procs]
    quiets = [[] for _ in procs]
    firsts = [None for _ in procs]
    for round_number in range(args.rounds):
        # Alternate the order too: the first of a round does not always run first.
        order = list(range(len(procs)))
        if round_number % 2 == 1:
            order.reverse()
        for i in order:
            procs[i].stdin.write(f"run {args.seconds}\n")
            procs[i].stdin.flush()
            fields = procs[i].stdout.readline().split()
            if len(fields) != 6 or fields[0] != "rate":
                sys.exit(f"{args.binaries[i]}: unexpected answer {fields!r}")
            walls[i].append(float(fields[1]))
            cpus[i].append(float(fields[2]))
            quiets[i].append(float(fields[5]))
            firsts[i] = fields[4]
        load = os.getloadavg()[0]
        line = "  ".join(f"{walls[i][-1]:8.2f} ({quiets[i][-1]:.2f})" for i in range(len(procs)))
        print(f"round {round_number + 1}: {line} H/s, quietest tenth in brackets (load {load:.2f})", flush=True)

    for proc in procs:
        proc.stdin.write("quit\n")
        proc.stdin.close()
        proc.wait()

    base_wall = statistics.median(walls[0])
    base_cpu = statistics.median(cpus[0])
    base_quiet = statistics.median(quiets[0])
    for i, spec in enumerate(args.binaries):
        wall = statistics.median(walls[i])
        cpu = statistics.median(cpus[i])
        quiet = statistics.median(quiets[i])
        print(f"{spec}: median {wall:.2f} H/s wall ({wall / base_wall:.3f}x), "
              f"{cpu:.2f} H/s per CPU second ({cpu / base_cpu:.3f}x), "
              f"{quiet:.2f} H/s in the quietest tenth ({quiet / base_quiet:.3f}x)")
    if len(set(firsts)) != 1:
        print("the builds disagree on the first hash: " + ", ".join(firsts), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
