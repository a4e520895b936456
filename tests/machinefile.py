"""Reads machine files into a form that two of them can be compared in.

Written from the format in README.md, independently of the emulation's own
reader: a key that has no dacl line holds the documented default DACL, a
header implies its ancestors, and SDDL rights and SIDs are compared by value
(KR and 0x20019 and GR are the same right on a key).
"""

import re

DEFAULT_DACL = "D:(A;;KA;;;SY)(A;;KA;;;BA)(A;;KR;;;WD)"

SID_ALIASES = {
    "SY": "S-1-5-18", "BA": "S-1-5-32-544", "BU": "S-1-5-32-545", "WD": "S-1-1-0",
    "AU": "S-1-5-11", "IU": "S-1-5-4", "CO": "S-1-3-0", "PU": "S-1-5-32-547",
    "LS": "S-1-5-19", "NS": "S-1-5-20",
}
KEY_READ, KEY_WRITE, KEY_ALL = 0x20019, 0x20006, 0xF003F
RIGHTS = {
    "KA": KEY_ALL, "KR": KEY_READ, "KW": KEY_WRITE, "KX": KEY_READ,
    "GA": 0x10000000, "GR": 0x80000000, "GW": 0x40000000, "GX": 0x20000000,
    "SD": 0x10000, "RC": 0x20000, "WD": 0x40000, "WO": 0x80000,
    "CC": 0x1, "DC": 0x2, "LC": 0x4, "SW": 0x8, "RP": 0x10, "WP": 0x20,
}
GENERIC = {0x80000000: KEY_READ, 0x40000000: KEY_WRITE, 0x20000000: KEY_READ, 0x10000000: KEY_ALL}


class Error(Exception):
    pass


def rights(text):
    if text.lower().startswith("0x"):
        mask = int(text, 16)
    else:
        if len(text) % 2:
            raise Error(f"rights {text!r}")
        mask = 0
        for i in range(0, len(text), 2):
            if text[i:i + 2] not in RIGHTS:
                raise Error(f"rights {text!r}")
            mask |= RIGHTS[text[i:i + 2]]
    for bit, specific in GENERIC.items():
        if mask & bit:
            mask = (mask & ~bit) | specific
    return mask


def dacl(text):
    """A DACL as a tuple of (type, flags, mask, sid), or 'NULL' for none."""
    if not text.startswith("D:"):
        raise Error(f"dacl {text!r}")
    body = text[2:]
    if body == "NO_ACCESS_CONTROL":
        return "NULL"
    body = re.sub(r"^(P|AI|AR)*", "", body)
    aces = []
    for ace in re.findall(r"\(([^)]*)\)", body):
        fields = ace.split(";")
        if len(fields) != 6 or fields[0] not in ("A", "D"):
            raise Error(f"ACE {ace!r}")
        flags = "".join(sorted(fields[1][i:i + 2] for i in range(0, len(fields[1]), 2)))
        sid = SID_ALIASES.get(fields[5], fields[5])
        aces.append((fields[0], flags, rights(fields[2]), sid))
    if re.sub(r"\([^)]*\)", "", body):
        raise Error(f"dacl {text!r}")
    return tuple(aces)


class Machine:
    def __init__(self):
        self.settings = {"platform": "NT4", "admin": "yes", "language": "ja"}
        self.faults = []
        self.keys = {}   # path -> {"dacl": ..., "values": [...]}

    def key(self, path):
        parts = path.split("\\")
        for i in range(1, len(parts) + 1):
            self.keys.setdefault("\\".join(parts[:i]), {"dacl": dacl(DEFAULT_DACL), "values": []})
        return self.keys[path]


def parse(text):
    m = Machine()
    current = None
    for number, line in enumerate(text.removeprefix("\ufeff").splitlines(), 1):
        line = line.strip()
        if not line or line.startswith("#"):
            continue
        if line.startswith("["):
            path = line[1:-1]
            if path.startswith("\\"):
                if current is None:
                    raise Error(f"line {number}: relative header first")
                path = current + path
            current = path
            m.key(path)
        elif line.startswith("dacl "):
            m.keys[current]["dacl"] = dacl(line[5:])
        elif line.startswith('"') or line.startswith("@"):
            m.keys[current]["values"].append(line)
        elif line.startswith("fail "):
            m.faults.append(" ".join(line.split()))
        else:
            word, _, arg = line.partition(" ")
            if word not in m.settings:
                raise Error(f"line {number}: {line!r}")
            m.settings[word] = arg.strip()
    return m


def render(m):
    """One line per setting and per key, sorted: equal machines render alike."""
    lines = [f"{k} {v}" for k, v in sorted(m.settings.items())]
    lines += sorted(m.faults)
    return "\n".join(lines + [render_keys(m.keys)])


def render_keys(keys):
    return "\n".join(f"[{path}] {keys[path]['dacl']!r} {sorted(keys[path]['values'])!r}" for path in sorted(keys))
