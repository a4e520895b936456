#!/usr/bin/env python3
"""Benchmark of kelvane: figures, not pass or fail.

On the emulation, for targets of 10^3 .. 10^6 keys in three shapes (wide,
deep, balanced; see tests/genmachine.py), it runs the tool, loading and saving
the machine file included, and reports the wall time (median of the runs),
the time per key, the time per key net of a run on a one-key target (process
start, the descriptor, the clean-up), the platform calls per key (from a
traced run) and the peak memory per key (the process's own high-water mark of
resident memory, whole and net of the one-key run's).

With --exe and --helper it also times kelvane.exe against Wine's own
`reg delete HKLM\\...\\0000 /f` on the same tree of about 10^4 keys
(balanced, with the default DACL so that both may delete it), alternately,
and reports the median ratio. Tree building is not timed.
"""

import argparse
import io
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests"))
import genmachine  # noqa: E402

TARGET = genmachine.TARGET


def timed(command, env):
    """Wall seconds of one process."""
    start = time.perf_counter()
    done = subprocess.run(command, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                          stdin=subprocess.DEVNULL)
    elapsed = time.perf_counter() - start
    if done.returncode != 0:
        raise SystemExit(f"{command[0]} exited with {done.returncode}: {done.stderr[:500]!r}")
    return elapsed


def traced(tool, machine_text, tmp):
    """Platform calls and peak resident bytes of one run, from its trace, read
    through a pipe.  The peak is the process's own (VmHWM): the rusage a
    parent gets would count this script's memory, which the child has until
    its exec."""
    machine = os.path.join(tmp, "traced.txt")
    with open(machine, "w", encoding="utf-8") as f:
        f.write(machine_text)
    read, write = os.pipe()
    env = dict(os.environ, NTEMU_MACHINE=machine, NTEMU_TRACE=f"/dev/fd/{write}")
    proc = subprocess.Popen([tool], env=env, stdout=subprocess.DEVNULL, pass_fds=(write,))
    os.close(write)
    calls = peak = None
    with os.fdopen(read, "rb", buffering=1 << 20) as trace:
        for line in trace:
            if line.startswith(b"end calls="):
                calls = int(line.split(b"=")[1])
            elif line.startswith(b"memory peak="):
                peak = int(line.split(b"=")[1].split()[0]) * 1024
    proc.wait()
    return calls, peak


def emulation(tool, sizes, shapes, runs):
    rows = []
    with tempfile.TemporaryDirectory(prefix="kelvane-bench-") as tmp:
        machine = os.path.join(tmp, "machine.txt")

        def run_once(text):
            with open(machine, "w", encoding="utf-8") as f:
                f.write(text)
            return timed([tool], dict(os.environ, NTEMU_MACHINE=machine))

        def generate(shape, count):
            out = io.StringIO()
            genmachine.write(out, shape, count)
            return out.getvalue()

        base = statistics.median(run_once(generate("wide", 1)) for _ in range(5))
        base_peak = traced(tool, generate("wide", 1), tmp)[1]
        for shape in shapes:
            for count in sizes:
                text = generate(shape, count)
                wall = statistics.median(run_once(text) for _ in range(runs))
                calls, peak = traced(tool, text, tmp)
                rows.append(dict(shape=shape, keys=count, wall=wall, per_key=wall / count,
                                 net_per_key=max(wall - base, 0) / count, calls_per_key=calls / count,
                                 bytes_per_key=peak / count, net_bytes_per_key=max(peak - base_peak, 0) / count,
                                 file_bytes=len(text.encode())))
                print_row(rows[-1], flush=True)
    return base, rows


def print_row(r, flush=False):
    print(f"| {r['shape']} | {r['keys']:,} | {r['file_bytes'] / 1e6:.1f} MB | {r['wall']:.3f} s "
          f"| {r['per_key'] * 1e6:.2f} µs | {r['net_per_key'] * 1e6:.2f} µs | {r['calls_per_key']:.2f} "
          f"| {r['bytes_per_key']:.0f} B | {r['net_bytes_per_key']:.0f} B |", flush=flush)


def wine_comparison(exe, helper, prefix, count, rounds):
    env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all", LANG="ja_JP.UTF-8", LC_ALL="ja_JP.UTF-8")
    env.setdefault("HOME", prefix)
    subprocess.run([os.path.join(os.path.dirname(__file__), "..", "tests", "wineprefix.sh"), "start", prefix],
                   check=True)
    try:
        with tempfile.TemporaryDirectory(prefix="kelvane-bench-wine-") as tmp:
            machine = os.path.join(tmp, "machine.txt")
            with open(machine, "w", encoding="utf-8") as f:
                genmachine.write(f, "balanced", count, plain=True)
            wine_machine = "Z:" + machine.replace("/", "\\")
            times = {"kelvane.exe": [], "reg delete": []}
            commands = {"kelvane.exe": ["wine", exe],
                        "reg delete": ["wine", "reg", "delete", "HKLM\\" + TARGET, "/f"]}
            for _ in range(rounds):
                for name in ("kelvane.exe", "reg delete"):
                    subprocess.run(["wine", helper, "load", wine_machine], env=env, check=True,
                                   stdout=subprocess.DEVNULL)
                    times[name].append(timed(commands[name], env))
                    gone = subprocess.run(["wine", "reg", "query", "HKLM\\" + TARGET], env=env,
                                          capture_output=True).returncode != 0
                    if not gone:
                        raise SystemExit(f"{name} left the target in place")
            ratios = [k / r for k, r in zip(times["kelvane.exe"], times["reg delete"])]
            return times, statistics.median(ratios)
    finally:
        subprocess.run([os.path.join(os.path.dirname(__file__), "..", "tests", "wineprefix.sh"), "stop", prefix])


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--tool", required=True, help="kelvane built on the emulation")
    parser.add_argument("--exe", help="kelvane.exe, for the Wine comparison")
    parser.add_argument("--helper", help="winereg.exe, for the Wine comparison")
    parser.add_argument("--prefix", default=os.path.abspath("bench-wineprefix"))
    parser.add_argument("--sizes", default="1000,10000,100000,1000000")
    parser.add_argument("--shapes", default="wide,deep,balanced")
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--wine-keys", type=int, default=10000)
    parser.add_argument("--wine-rounds", type=int, default=5)
    args = parser.parse_args()

    print(f"machine: {platform.node()}, {os.cpu_count()} cores, {platform.platform()}")
    print(f"date: {time.strftime('%Y-%m-%d %H:%M %Z')}")
    print()
    print("| shape | keys | machine file | wall (median) | per key | per key, net | calls per key "
          "| peak memory per key | net |")
    print("|---|---|---|---|---|---|---|---|---|")
    sizes = [int(s) for s in args.sizes.split(",")]
    base, rows = emulation(os.path.abspath(args.tool), sizes, args.shapes.split(","), args.runs)
    print()
    print(f"one-key run (fixed cost): {base * 1e3:.1f} ms")
    for shape in args.shapes.split(","):
        mine = {r["keys"]: r for r in rows if r["shape"] == shape}
        if min(sizes) in mine and max(sizes) in mine:
            lo, hi = mine[min(sizes)], mine[max(sizes)]
            print(f"{shape}: per key at {max(sizes):,} / at {min(sizes):,}: "
                  f"{hi['per_key'] / lo['per_key']:.2f} (net {hi['net_per_key'] / max(lo['net_per_key'], 1e-12):.2f})")
    if args.exe and args.helper:
        times, ratio = wine_comparison(os.path.abspath(args.exe), os.path.abspath(args.helper), args.prefix,
                                       args.wine_keys, args.wine_rounds)
        print()
        print(f"Wine, balanced tree of {args.wine_keys:,} keys, {args.wine_rounds} rounds alternately:")
        for name, t in times.items():
            print(f"  {name}: median {statistics.median(t):.3f} s ({', '.join(f'{x:.3f}' for x in t)})")
        print(f"  median ratio kelvane.exe / reg delete: {ratio:.2f}")


if __name__ == "__main__":
    main()
