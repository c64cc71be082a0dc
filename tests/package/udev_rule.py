"""A small reader of udev rule files, enough to say what a rule file does to a
device: match keys (ACTION, SUBSYSTEM, DRIVER, ATTR, ATTRS, ENV), GOTO and
LABEL, and the assignments (GROUP, MODE, ENV, TAG, SYMLINK, ATTR) with
$attr{...} substituted. As udev does, the parent keys of one rule (ATTRS,
DRIVERS, SUBSYSTEMS) must all match on one device of the chain above the event's."""
import fnmatch
import re

KEY = re.compile(r'\s*([A-Z_]+)(?:\{([^}]*)\})?\s*(==|!=|\+=|-=|:=|=)\s*"((?:[^"\\]|\\.)*)"\s*,?')


def parse(text):
    """The rules of a file: lists of (key, attribute, operator, value)."""
    rules, line = [], ""
    for raw in text.splitlines():
        if raw.rstrip().endswith("\\"):
            line += raw.rstrip()[:-1] + " "
            continue
        line += raw
        stripped = line.strip()
        line = ""
        if not stripped or stripped.startswith("#"):
            continue
        pos, rule = 0, []
        while pos < len(stripped):
            m = KEY.match(stripped, pos)
            if not m:
                raise ValueError("cannot read: " + stripped[pos:])
            rule.append((m.group(1), m.group(2), m.group(3), m.group(4)))
            pos = m.end()
        rules.append(rule)
    return rules


def _matches(value, pattern):
    return any(fnmatch.fnmatchcase(value or "", p) for p in pattern.split("|"))


def apply(rules, event):
    """What the rules do to `event`: {"action", "subsystem", "driver", "attrs",
    "env", "parents": [{"subsystem", "driver", "attrs"}, ...]} (nearest parent
    first). Returns {"GROUP":..., "MODE":..., "ENV": {...}, "TAG": [...],
    "SYMLINK": [...], "ATTR": {...}}."""
    result = {"ENV": {}, "TAG": [], "SYMLINK": [], "ATTR": {}}
    skip_to = None
    for rule in rules:
        label = [v for k, _, op, v in rule if k == "LABEL"]
        if skip_to is not None:
            if skip_to in label:
                skip_to = None
            continue
        own = {"ACTION": event["action"], "SUBSYSTEM": event["subsystem"], "DRIVER": event.get("driver", "")}
        matched, parent_keys = True, []
        for key, attr, op, value in rule:
            if op not in ("==", "!="):
                continue
            if key in own:
                ok = _matches(own[key], value)
            elif key == "ATTR":
                ok = _matches(event["attrs"].get(attr), value)
            elif key == "ENV":
                ok = _matches(event.get("env", {}).get(attr, ""), value)
            elif key in ("ATTRS", "DRIVERS", "SUBSYSTEMS"):
                parent_keys.append((key, attr, op, value))
                continue
            else:
                raise ValueError("key not handled: " + key)
            matched = matched and (ok if op == "==" else not ok)
        parent = None
        if matched and parent_keys:
            for candidate in [event] + event["parents"]:
                if all(_matches(candidate["attrs"].get(a) if k == "ATTRS" else
                                candidate.get("driver" if k == "DRIVERS" else "subsystem"), v) == (op == "==")
                       for k, a, op, v in parent_keys):
                    parent = candidate
                    break
            matched = parent is not None
        if not matched:
            continue

        def substitute(text):
            def attr_of(m):
                for d in [event] + ([parent] if parent else []):
                    if m.group(1) in d["attrs"]:
                        return d["attrs"][m.group(1)]
                return ""
            return re.sub(r"\$attr\{([^}]*)\}", attr_of, text)

        for key, attr, op, value in rule:
            if op in ("==", "!="):
                continue
            value = substitute(value)
            if key == "GOTO":
                skip_to = value
            elif key in ("GROUP", "MODE", "OWNER"):
                result[key] = value
            elif key in ("ENV", "ATTR"):
                result[key][attr] = value
            elif key in ("TAG", "SYMLINK"):
                result[key] += value.split() if op in ("+=", "=") else []
            elif key != "LABEL":
                raise ValueError("assignment not handled: " + key)
    return result
