#!/usr/bin/env python3
"""Runs one scenario file against the built tool and checks its outcome.

A scenario is one text file of sections, each opened by a line "-- NAME --":

  machine   the machine file the tool runs on (see README.md)
  stdout    expected standard output, in UTF-8; compared after conversion to
            code page 932 with iconv
  stderr    expected standard error, likewise; a line ending in the two
            characters \\r ends in a carriage return; $MACHINE stands for the
            machine file's path
  status    expected exit status (default 0)
  after     the machine expected afterwards, compared key by key (DACLs,
            values, settings); without it the file must be unchanged, byte
            for byte
  trace     expected trace lines, without their ordinals: the trace, cut down
            to the operations these lines name, must be exactly these lines;
            "no OPERATION" names an operation that must not be called, and
            "end calls=N" gives the number of calls in all

Whatever the scenario, the trace must end with nothing outstanding, unless
the scenario's outstanding section lists what is left.  Lines before the
first section describe the case.
"""

import argparse
import os
import re
import subprocess
import sys
import tempfile

import machinefile


def read_scenario(path):
    sections = {}
    name = None
    with open(path, encoding="utf-8") as f:
        for line in f:
            m = re.fullmatch(r"-- ([a-z-]+) --\n?", line)
            if m:
                name = m.group(1)
                if name in sections:
                    raise SystemExit(f"{path}: section '{name}' twice")
                sections[name] = ""
            elif name is not None:
                sections[name] += line if line.endswith("\n") else line + "\n"
    return sections


def cp932(text):
    """The code page 932 bytes of a UTF-8 text, as iconv gives them."""
    done = subprocess.run(["iconv", "-f", "UTF-8", "-t", "CP932"], input=text.encode("utf-8"),
                          capture_output=True, check=True)
    return done.stdout


def expected_bytes(text, machine_path):
    text = text.replace("$MACHINE", machine_path)
    text = text.replace("\\r\n", "\r\n")
    return cp932(text)


def show(data):
    try:
        return data.decode("cp932")
    except UnicodeDecodeError:
        return repr(data)


class Failures:
    def __init__(self):
        self.items = []

    def check(self, what, expected, actual, render=show):
        if expected != actual:
            self.items.append(f"{what} differs\n--- expected\n{render(expected)}\n--- actual\n{render(actual)}")


def trace_lines(trace):
    """The trace's call lines without ordinals, and its end lines."""
    calls, end = [], []
    for line in trace.splitlines():
        m = re.fullmatch(r"\d+ (\w+)#\d+ (.*)", line)
        if m:
            calls.append(f"{m.group(1)} {m.group(2)}")
        else:
            end.append(line)
    return calls, end


def run(args):
    sections = read_scenario(args.scenario)
    if "machine" not in sections:
        raise SystemExit(f"{args.scenario}: no machine section")
    failures = Failures()
    with tempfile.TemporaryDirectory(prefix="kelvane-") as tmp:
        machine_path = os.path.join(tmp, "machine.txt")
        trace_path = os.path.join(tmp, "trace.txt")
        before = sections["machine"].encode("utf-8")
        with open(machine_path, "wb") as f:
            f.write(before)
        env = dict(os.environ, NTEMU_MACHINE=machine_path, NTEMU_TRACE=trace_path)
        try:
            done = subprocess.run([args.tool], env=env, capture_output=True, timeout=args.timeout,
                                  stdin=subprocess.DEVNULL)
        except subprocess.TimeoutExpired:
            print(f"FAIL {args.scenario}: the tool did not end within {args.timeout} s")
            return 1

        failures.check("stdout", expected_bytes(sections.get("stdout", ""), machine_path), done.stdout)
        failures.check("stderr", expected_bytes(sections.get("stderr", ""), machine_path), done.stderr)
        failures.check("exit status", int(sections.get("status", "0").strip()), done.returncode,
                       render=str)

        with open(machine_path, "rb") as f:
            after = f.read()
        if "after" in sections:
            try:
                actual = machinefile.parse(after.decode("utf-8"))
                expected = machinefile.parse(sections["after"])
                failures.check("machine afterwards", machinefile.render(expected),
                               machinefile.render(actual), render=lambda s: s)
            except machinefile.Error as e:
                failures.items.append(f"machine afterwards cannot be read: {e}\n{after.decode('utf-8', 'replace')}")
        else:
            failures.check("machine file (should be unchanged)", before, after,
                           render=lambda b: b.decode("utf-8", "replace"))

        trace = ""
        if os.path.exists(trace_path):
            with open(trace_path, encoding="utf-8", errors="replace") as f:
                trace = f.read()
        calls, end = trace_lines(trace)
        if done.returncode != 125:   # 125: the machine was never set up
            outstanding = [l for l in end if l.startswith("outstanding ")]
            expected_left = ["outstanding " + l for l in sections.get("outstanding", "").splitlines()
                             if l.strip()] or ["outstanding none"]
            failures.check("outstanding resources", "\n".join(expected_left), "\n".join(outstanding),
                           render=lambda s: s)
        if "trace" in sections:
            lines = [l for l in sections["trace"].splitlines() if l.strip()]
            for l in (l for l in lines if l.startswith("end ")):
                failures.check("trace end", l, next((e for e in end if e.startswith("end ")), ""),
                               render=lambda s: s)
            absent = {l.split()[1] for l in lines if l.startswith("no ")}
            wanted = [l for l in lines if not l.startswith(("end ", "no "))]
            ops = {l.split(" ", 1)[0] for l in wanted} | absent
            got = [l for l in calls if l.split(" ", 1)[0] in ops]
            failures.check("trace (" + ", ".join(sorted(ops)) + ")", "\n".join(wanted), "\n".join(got),
                           render=lambda s: s)

    if failures.items:
        print(f"FAIL {args.scenario}")
        for item in failures.items:
            print(item)
            print()
        return 1
    print(f"ok {args.scenario}")
    return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--tool", required=True, help="the kelvane executable")
    parser.add_argument("--timeout", type=float, default=120)
    parser.add_argument("scenario")
    return run(parser.parse_args())


if __name__ == "__main__":
    sys.exit(main())
