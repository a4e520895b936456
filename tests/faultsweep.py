#!/usr/bin/env python3
"""Fault sweep: the tool on the built-in machine, once for every platform call
it makes, with that one call failing.

The calls come from a clean run's trace, by ordinal. Each is made to fail with
each code the table below gives for its operation; when the failure makes the
tool write a report, each call of that report (FormatMessageA, GetStdHandle,
WriteFile, LocalFree) is then made to fail as well, on top of the first fault.

For every run it checks that the process ends; that the exit status, standard
output and the report lines on standard error are those of a model of the
tool's intended behaviour, run on the same machine with the same faults; that
nothing is outstanding at the end, but for what a failed release call (one
that released nothing) keeps; and that no key or DACL outside the target's
subtree changed, while the subtree is as the model leaves it.
"""

import argparse
import os
import re
import subprocess
import sys
import tempfile

import machinefile

TARGET = r"SYSTEM\CurrentControlSet\Enum\Root\LEGACY_CDFS\0000"
ADMINS_ONLY = (("A", "", 0xF003F, "S-1-5-32-544"),)

# Realistic codes for each operation that can fail.
CODES = {
    "GetVersionExA": [87],
    "AllocateAndInitializeSid": [8],
    "HeapAlloc": [8],
    "InitializeAcl": [87],
    "AddAccessAllowedAce": [1344],
    "InitializeSecurityDescriptor": [1305],
    "SetSecurityDescriptorDacl": [1338],
    "RegOpenKeyExA": [5, 2, 1450],
    "RegSetKeySecurity": [5, 8],
    "RegEnumKeyExA": [1018, 8],
    "RegCloseKey": [6],
    "RegDeleteKeyA": [5, 1018],
    "HeapFree": [87],
    "FreeSid": [87],
    "FormatMessageA": [8],
    "GetStdHandle": [6],
    "WriteFile": [6],
    "LocalFree": [6],
}
REPORT_CALLS = {"FormatMessageA", "GetStdHandle", "WriteFile", "LocalFree"}

MESSAGES = {
    "refusal": "This is not Windows NT\n",
    "done": "初期化をしました。\n",
    "restart": "再起動してください。\n",
    "admin": "アドミニストレータ権限でログオンしてください。\n",
    "already": "既に初期化は終了しました。\n",
}


class Model:
    """The tool as it is meant to behave, on a machine with faults: what it writes, what
    it leaves held, and the keys it leaves."""

    def __init__(self, keys, faults):
        self.keys = {p: dict(k) for p, k in keys.items()}
        self.faults = faults
        self.counts = {}
        self.stdout, self.reports, self.outstanding = [], [], []
        self.deletion_status = 0

    def call(self, op):
        self.counts[op] = self.counts.get(op, 0) + 1
        return self.faults.get((op, self.counts[op]))

    def report(self, label, code):
        # One report: the line, then the system text unless any step of
        # getting it out failed.
        text = False
        if not self.call("FormatMessageA"):
            handle_ok = not self.call("GetStdHandle")
            written = not self.call("WriteFile") and handle_ok
            text = written
            if self.call("LocalFree"):
                self.outstanding.append("local")
        self.reports.append((label, text))

    def subkeys(self, path):
        prefix = path.lower() + "\\"
        names = [p[len(prefix):] for p in self.keys if p.lower().startswith(prefix) and "\\" not in p[len(prefix):]]
        return sorted(names, key=lambda n: n.upper())

    def delete_entire_key(self, path):
        status = self.call("RegOpenKeyExA") or (0 if path in self.keys else 2)
        if status:
            if status == 5:
                self.stdout.append("admin")
            elif status == 2:
                self.stdout.append("already")
            else:
                self.report("RegOpenKeyEx", status)
            return False
        status = self.call("RegSetKeySecurity")
        if status:
            self.report("RegSetKeySecurity", status)
            self.close_key()
            return False
        self.keys[path]["dacl"] = ADMINS_ONLY
        while True:
            if self.call("RegEnumKeyExA"):
                break
            names = self.subkeys(path)
            if not names or self.deletion_status:
                break
            if not self.delete_entire_key(path + "\\" + names[0]) and not self.deletion_status:
                break
        self.close_key()
        status = self.call("RegDeleteKeyA")
        if not status and self.subkeys(path):
            status = 5
        self.deletion_status = status
        if status:
            self.report("RegDeleteKeyKeyEx", status)
            return False
        del self.keys[path]
        return True

    def close_key(self):
        if self.call("RegCloseKey"):
            self.outstanding.append("key")

    def run(self):
        if self.call("GetVersionExA"):
            self.stdout.append("refusal")
            return 0
        sid = dacl = False
        success = False
        code = self.call("AllocateAndInitializeSid")
        if code:
            self.report("AllocateAndInitializeSid", code)
        else:
            sid = True
            self.call("GetLengthSid")
            self.call("GetProcessHeap")
            dacl = not self.call("HeapAlloc")
            if dacl:
                for label in ("InitializeAcl", "AddAccessAllowedAce", "InitializeSecurityDescriptor",
                              "SetSecurityDescriptorDacl"):
                    code = self.call(label)
                    if code:
                        self.report(label, code)
                        break
                else:
                    success = self.delete_entire_key(TARGET)
        self.call("RegCloseKey")   # HKEY_LOCAL_MACHINE: its status does not matter
        if dacl:
            self.call("GetProcessHeap")
            if self.call("HeapFree"):
                self.outstanding.append("heap")
        if sid and self.call("FreeSid"):
            self.outstanding.append("sid")
        if success:
            self.stdout += ["done", "restart"]
            return 0
        return 13


def cp932(text):
    return subprocess.run(["iconv", "-f", "UTF-8", "-t", "CP932"], input=text.encode("utf-8"),
                          capture_output=True, check=True).stdout


def reports_of(stderr):
    """(label, followed by a system text) for each report on stderr."""
    lines = stderr.split(b"\n")
    found = []
    for i, line in enumerate(lines):
        m = re.fullmatch(rb"(\S+) error!", line)
        if m:
            text = i + 1 < len(lines) and lines[i + 1].endswith(b"\r")
            found.append((m.group(1).decode(), text))
    return found


def outside_target(m):
    inside = TARGET.lower()
    return {p: k for p, k in m.keys.items() if p.lower() != inside and not p.lower().startswith(inside + "\\")}


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--tool", required=True)
    parser.add_argument("--machine", required=True, help="the built-in machine file")
    args = parser.parse_args()
    tool = os.path.abspath(args.tool)
    with open(args.machine, encoding="utf-8") as f:
        builtin = f.read()
    before = machinefile.parse(builtin)
    messages = {k: cp932(v) for k, v in MESSAGES.items()}
    failures = []
    swept = []

    with tempfile.TemporaryDirectory(prefix="kelvane-sweep-") as tmp:
        def run(faults):
            machine_path = os.path.join(tmp, "machine.txt")
            trace_path = os.path.join(tmp, "trace.txt")
            fail_lines = "".join(f"fail {op} {nth} {code}\n" for (op, nth), code in faults.items())
            with open(machine_path, "w", encoding="utf-8") as f:
                f.write(fail_lines + builtin)
            if os.path.exists(trace_path):
                os.unlink(trace_path)
            env = dict(os.environ, NTEMU_MACHINE=machine_path, NTEMU_TRACE=trace_path)
            try:
                done = subprocess.run([tool], env=env, cwd=tmp, capture_output=True, timeout=60,
                                      stdin=subprocess.DEVNULL)
            except subprocess.TimeoutExpired:
                return None, None, None
            with open(trace_path, encoding="utf-8") as f:
                trace = f.read().splitlines()
            with open(machine_path, encoding="utf-8") as f:
                after = machinefile.parse(f.read())
            return done, trace, after

        def check(faults):
            name = ", ".join(f"{op}#{nth}={code}" for (op, nth), code in faults.items())
            done, trace, after = run(faults)
            if done is None:
                failures.append(f"{name}: the tool did not end")
                return []
            model = Model(before.keys, faults)
            status = model.run()
            problems = []
            if done.returncode != status:
                problems.append(f"exit status {done.returncode}, expected {status}")
            stdout = b"".join(messages[m] for m in model.stdout)
            if done.stdout != stdout:
                problems.append(f"stdout {done.stdout.decode('cp932', 'replace')!r}, expected {stdout.decode('cp932')!r}")
            if reports_of(done.stderr) != model.reports:
                problems.append(f"reports {reports_of(done.stderr)}, expected {model.reports}")
            left = sorted(l.split()[1] for l in trace if l.startswith("outstanding ") and l != "outstanding none")
            if left != sorted(model.outstanding):
                problems.append(f"outstanding {left}, expected {sorted(model.outstanding)}")
            if machinefile.render_keys(outside_target(after)) != machinefile.render_keys(outside_target(before)):
                problems.append("a key or DACL outside the target changed")
            if machinefile.render_keys(after.keys) != machinefile.render_keys(model.keys):
                problems.append("the target's subtree is not as the model leaves it:\n"
                                + machinefile.render_keys(after.keys))
            if problems:
                failures.append(f"{name}: " + "; ".join(problems))
            return trace

        clean = run({})[1]
        calls = [re.fullmatch(r"(\d+) (\w+)#(\d+) .*", l) for l in clean]
        calls = [(int(m.group(1)), m.group(2), int(m.group(3))) for m in calls if m]
        for ordinal, op, nth in calls:
            for code in CODES.get(op, []):
                first = {(op, nth): code}
                swept.append(first)
                trace = check(first)
                # Then each call of the reports that failure wrote.
                seen = set()
                for line in trace:
                    m = re.fullmatch(r"(\d+) (\w+)#(\d+) .*", line)
                    if not m or int(m.group(1)) <= ordinal or m.group(2) not in REPORT_CALLS:
                        continue
                    key = (m.group(2), int(m.group(3)))
                    if key in seen:
                        continue
                    seen.add(key)
                    for report_code in CODES[m.group(2)]:
                        second = dict(first)
                        second[key] = report_code
                        swept.append(second)
                        check(second)

    operations = sorted({op for faults in swept for op, _ in faults})
    not_failable = sorted({op for _, op, _ in calls if op not in CODES})
    first = {next(iter(f)) for f in swept}
    reports = {tuple(sorted(f.items())) for f in swept if len(f) == 2}
    print(f"clean run: {len(calls)} platform calls, {len(first)} of which can fail and were swept "
          f"(cannot fail: {', '.join(not_failable)})")
    print(f"swept {len(first)} calls of the clean run, each with its codes ({len(swept) - len(reports)} runs), "
          f"and in {len(reports)} more runs each call of the report such a failure wrote; "
          f"{len(operations)} operations failed: {', '.join(operations)}")
    for f in failures:
        print("FAIL", f)
    print(f"{len(swept) - len(failures)} passed, {len(failures)} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
