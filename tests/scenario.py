#!/usr/bin/env python3
"""Runs one scenario file against the built tool and checks its outcome.

A scenario is one text file of sections, each opened by a line "-- NAME --":

  machine   the machine file the tool runs on (see README.md); without it
            the tool runs on its built-in machine, which must leave no file
  machine-generated
            instead of machine: "SHAPE COUNT", a machine that genmachine.py
            writes (a target of COUNT keys, wide, deep or balanced)
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

  emulation-only
            why the case cannot run under Wine (faults, a user who is not an
            administrator, the emulation's own machine files)

Whatever the scenario, the trace must end with nothing outstanding, unless
the scenario's outstanding section lists what is left.  Lines before the
first section describe the case.

With --wine the same scenario runs the Windows build under Wine instead: the
machine is built in the Wine prefix by the winereg helper and dumped back
after the run; stdout (with Windows' CRLF line ends read as LF), the report
lines on stderr, the exit status and the keys the scenario names must come
out as expected.  The system texts are Wine's own and are not compared.
"""

import argparse
import io
import os
import re
import subprocess
import sys
import tempfile

import genmachine
import machinefile


def read_scenario(path):
    sections = read_sections(path)
    if "machine-generated" in sections:
        shape, count = sections.pop("machine-generated").split()
        text = io.StringIO()
        genmachine.write(text, shape, int(count))
        sections["machine"] = text.getvalue()
    return sections


def read_sections(path):
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


def check_machine(failures, sections, machine_path, before):
    with open(machine_path, "rb") as f:
        after = f.read()
    if "after" not in sections:
        failures.check("machine file (should be unchanged)", before, after,
                       render=lambda b: b.decode("utf-8", "replace"))
        return
    try:
        actual = machinefile.parse(after.decode("utf-8"))
        expected = machinefile.parse(sections["after"])
    except (machinefile.Error, UnicodeDecodeError) as e:
        failures.items.append(f"machine afterwards cannot be read: {e}\n{after.decode('utf-8', 'replace')}")
        return
    failures.check("machine afterwards", machinefile.render(expected), machinefile.render(actual),
                   render=lambda s: s)


REPORT_LINE = re.compile(rb"^\S+ error!\r?$", re.M)
TARGET_PARENT = r"SYSTEM\CurrentControlSet\Enum\Root\LEGACY_CDFS"
SKIP = 77


def report_lines(data):
    return [l.rstrip(b"\r") for l in REPORT_LINE.findall(data)]


def wine_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def scope_render(m, roots):
    """The keys at or below roots, rendered for comparison."""
    m.keys = {p: k for p, k in m.keys.items()
              if any(p.lower() == r.lower() or p.lower().startswith(r.lower() + "\\") for r in roots)}
    m.settings, m.faults = {}, []
    return machinefile.render(m)


def run_wine(args, sections):
    if "emulation-only" in sections:
        print(f"skip {args.scenario}: emulation only: {sections['emulation-only'].strip()}")
        return SKIP
    machine = sections.get("machine")
    if machine is None or re.search(r"^\s*(fail |admin no)", machine, re.M):
        raise SystemExit(f"{args.scenario}: needs the emulation but is not marked emulation-only")
    failures = Failures()
    env = dict(os.environ, WINEPREFIX=args.prefix, WINEDEBUG="-all", LANG="ja_JP.UTF-8",
               LC_ALL="ja_JP.UTF-8")
    env.setdefault("HOME", args.prefix)   # Wine wants one; CI may not set it
    with tempfile.TemporaryDirectory(prefix="kelvane-wine-") as tmp:
        machine_path = os.path.join(tmp, "machine.txt")
        dump_path = os.path.join(tmp, "dump.txt")
        with open(machine_path, "w", encoding="utf-8") as f:
            f.write(machine)

        def wine(*command):
            return subprocess.run(["wine", *command], env=env, cwd=tmp, capture_output=True,
                                  timeout=args.timeout, stdin=subprocess.DEVNULL)

        loaded = wine(args.helper, "load", wine_path(machine_path))
        if loaded.returncode != 0:
            print(f"FAIL {args.scenario}: winereg load: {loaded.stderr.decode(errors='replace')}")
            return 1
        done = wine(args.exe)
        roots = top_keys([TARGET_PARENT] + declared_keys(machine))
        dumped = wine(args.helper, "dump", wine_path(dump_path), *roots)
        if dumped.returncode != 0:
            print(f"FAIL {args.scenario}: winereg dump: {dumped.stderr.decode(errors='replace')}")
            return 1

        failures.check("stdout", expected_bytes(sections.get("stdout", ""), machine_path),
                       done.stdout.replace(b"\r\n", b"\n"))
        failures.check("report lines on stderr",
                       report_lines(expected_bytes(sections.get("stderr", ""), machine_path)),
                       report_lines(done.stderr), render=lambda l: b"\n".join(l).decode())
        failures.check("exit status", int(sections.get("status", "0").strip()), done.returncode,
                       render=str)
        with open(dump_path, encoding="utf-8") as f:
            actual = machinefile.parse(f.read())
        expected = machinefile.parse(sections.get("after", machine))
        failures.check("registry afterwards", scope_render(expected, roots), scope_render(actual, roots),
                       render=lambda s: s)
    return report(args, failures)


def top_keys(paths):
    """The paths that no other path of the list contains."""
    tops = []
    for p in sorted(set(paths), key=lambda p: p.count("\\")):
        if not any(p.lower() == t.lower() or p.lower().startswith(t.lower() + "\\") for t in tops):
            tops.append(p)
    return tops


def declared_keys(machine):
    keys, current = [], None
    for line in machine.splitlines():
        line = line.strip()
        if line.startswith("["):
            path = line[1:-1]
            current = current + path if path.startswith("\\") else path
            keys.append(current)
    return keys


def report(args, failures):
    if failures.items:
        print(f"FAIL {args.scenario}")
        for item in failures.items:
            print(item)
            print()
        return 1
    print(f"ok {args.scenario}")
    return 0


def run(args):
    sections = read_scenario(args.scenario)
    failures = Failures()
    with tempfile.TemporaryDirectory(prefix="kelvane-") as tmp:
        machine_path = os.path.join(tmp, "machine.txt")
        trace_path = os.path.join(tmp, "trace.txt")
        builtin = "machine" not in sections
        env = dict(os.environ, NTEMU_TRACE=trace_path)
        env.pop("NTEMU_MACHINE", None)
        if not builtin:
            before = sections["machine"].encode("utf-8")
            with open(machine_path, "wb") as f:
                f.write(before)
            env["NTEMU_MACHINE"] = machine_path
        try:
            done = subprocess.run([os.path.abspath(args.tool)], env=env, cwd=tmp, capture_output=True, timeout=args.timeout,
                                  stdin=subprocess.DEVNULL)
        except subprocess.TimeoutExpired:
            print(f"FAIL {args.scenario}: the tool did not end within {args.timeout} s")
            return 1

        failures.check("stdout", expected_bytes(sections.get("stdout", ""), machine_path), done.stdout)
        failures.check("stderr", expected_bytes(sections.get("stderr", ""), machine_path), done.stderr)
        failures.check("exit status", int(sections.get("status", "0").strip()), done.returncode,
                       render=str)

        if builtin:
            # The built-in machine is never written anywhere.
            failures.check("files left beside the trace", ["trace.txt"], sorted(os.listdir(tmp)),
                           render=str)
        else:
            check_machine(failures, sections, machine_path, before)

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

    return report(args, failures)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--tool", help="the kelvane executable built on the emulation")
    parser.add_argument("--wine", action="store_true", help="run the Windows build under Wine")
    parser.add_argument("--exe", help="kelvane.exe, with --wine")
    parser.add_argument("--helper", help="winereg.exe, with --wine")
    parser.add_argument("--prefix", help="the Wine prefix, with --wine")
    parser.add_argument("--timeout", type=float, default=120)
    parser.add_argument("scenario")
    args = parser.parse_args()
    if args.wine:
        if not (args.exe and args.helper and args.prefix):
            parser.error("--wine needs --exe, --helper and --prefix")
        args.exe, args.helper, args.prefix = map(os.path.abspath, (args.exe, args.helper, args.prefix))
        return run_wine(args, read_scenario(args.scenario))
    if not args.tool:
        parser.error("--tool is needed")
    return run(args)


if __name__ == "__main__":
    sys.exit(main())
