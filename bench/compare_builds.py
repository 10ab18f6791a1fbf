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

Two processes of one build can differ by a tenth in full mode (measured: the
same binary twice, 0.89x), as much as the differences measured: --instances N
starts N processes of each build, set up in mirrored order (A B B A ...), and
pools their rounds.

A differing first hash between two builds is an error (exit status 1).

Usage: compare_builds.py [--full] [--large-pages] [--v1] [--rounds N]
                         [--seconds S] [--instances N] BASELINE OTHER...
Extra environment for one side: NAME=VALUE,... after the path, as in
    build-a/randomx_compare_bench:GLIBC_TUNABLES=...
(a comma ends a value: write a CPU mask as ZT_CPU_MASK=avx2+bmi2).
"""
import argparse
import os
import statistics
import subprocess
import sys


def start(entry, options):
    path, _, env_list = entry.partition(":")
    env = dict(os.environ)
    for item in filter(None, env_list.split(",")):
        name, equals, value = item.partition("=")
        if not equals:
            sys.exit(f"{entry}: {item!r} is not NAME=VALUE (a comma ends a value: write ZT_CPU_MASK=avx2+bmi2)")
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
    parser.add_argument("--instances", type=int, default=1)
    parser.add_argument("binaries", nargs="+")
    args = parser.parse_args()
    options = [o for o, on in (("--full", args.full), ("--large-pages", args.large_pages), ("--v1", args.v1)) if on]

    # builds[i]: the build of process i, in set-up order (mirrored per instance).
    builds = []
    for instance in range(args.instances):
        order = list(range(len(args.binaries)))
        builds += order if instance % 2 == 0 else order[::-1]
    procs = []
    for build in builds:
        entry = args.binaries[build]
        proc = start(entry, options)
        # Set up one at a time: a dataset build takes every core.
        ready = proc.stdout.readline().strip()
        if not ready.startswith("ready"):
            sys.exit(f"{entry}: did not set up ({ready!r})")
        procs.append(proc)
        print(f"{entry}: {ready}", flush=True)

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
                sys.exit(f"{args.binaries[builds[i]]}: unexpected answer {fields!r}")
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

    if args.instances > 1:
        for i, build in enumerate(builds):
            print(f"process {i + 1} ({args.binaries[build]}): median {statistics.median(walls[i]):.2f} H/s wall, "
                  f"{statistics.median(quiets[i]):.2f} in the quietest tenth")

    def pooled(values, build):
        return statistics.median(v for i, b in enumerate(builds) if b == build for v in values[i])

    base_wall = pooled(walls, 0)
    base_cpu = pooled(cpus, 0)
    base_quiet = pooled(quiets, 0)
    for build, entry in enumerate(args.binaries):
        wall = pooled(walls, build)
        cpu = pooled(cpus, build)
        quiet = pooled(quiets, build)
        print(f"{entry}: median {wall:.2f} H/s wall ({wall / base_wall:.3f}x), "
              f"{cpu:.2f} H/s per CPU second ({cpu / base_cpu:.3f}x), "
              f"{quiet:.2f} H/s in the quietest tenth ({quiet / base_quiet:.3f}x)")
    if len(set(firsts)) != 1:
        print("the builds disagree on the first hash: " + ", ".join(firsts), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
