#!/usr/bin/env python3
"""Holds the places that cannot include src/protocol/protocol.def to its
rows: the Wireshark dissector's opcode names and frame constants, the Java
binding's event types and request selectors (with the JNI glue that maps
them to request functions), and the opcode, request, play state and event
tables of docs/protocol.md. Prints every mismatch; exit status 1 when there is one.

Usage: check_protocol_table.py ROOT  (the source tree)
       check_protocol_table.py --self-test  (the checks find planted faults)
"""
import os
import re
import sys


def read(root, path):
    with open(os.path.join(root, path), encoding="utf-8") as f:
        return f.read()


def rows(root):
    """The table: opcode -> name, request name -> (opcode, ready, kind),
    event name -> type, and the reply kinds in order."""
    text = re.sub(r"//[^\n]*", "", read(root, "src/protocol/protocol.def"))
    text = text[text.index("#endif\n\n") :]  # past the default definitions
    table = {"opcodes": {}, "requests": {}, "events": {}, "kinds": [], "states": {}}
    for kind, args in re.findall(r"^(MESSAGE|REQUEST|REPLY_KIND|EVENT|PLAY_STATE)\(([^)]*)\)", text, re.M):
        a = [x.strip() for x in args.split(",")]
        if kind == "MESSAGE":
            table["opcodes"][int(a[1])] = a[0]
        elif kind == "REQUEST":
            table["opcodes"][int(a[1])] = a[0]
            table["requests"][a[0]] = (int(a[1]), a[2], a[3])
        elif kind == "REPLY_KIND":
            table["kinds"].append(a[0])
        elif kind == "PLAY_STATE":
            table["states"][a[0]] = (int(a[1]), int(a[2]))
        else:
            table["events"][a[0]] = int(a[1])
    if len(table["opcodes"]) < 50 or len(table["events"]) < 10:
        raise SystemExit("protocol.def: too few rows read; has its syntax changed?")
    return table


def protocol_h(root):
    text = read(root, "src/protocol/protocol.h")
    return {k: int(v, 0) for k, v in re.findall(r"#define (IPOD_HEADER_\w+) (0x[0-9A-Fa-f]+|\d+)u?", text)}


def check_lua(table, consts, lua, out):
    m = re.search(r"local opcode_names = \{(.*?)\n\}", lua, re.S)
    if not m:
        out.append("dissector: no opcode_names table")
        return
    names = {int(n): s for n, s in re.findall(r'\[(\d+)\]\s*=\s*"(\w+)"', m.group(1))}
    for op in sorted(set(names) | set(table["opcodes"])):
        want, have = table["opcodes"].get(op), names.get(op)
        if want != have:
            out.append("dissector: opcode %d is %r, the table says %r" % (op, have, want))
    m = re.search(r"local OP_EVENT, OP_PING = (\d+), (\d+)", lua)
    if not m or (int(m.group(1)), int(m.group(2))) != (
        opcode_of(table, "event"),
        opcode_of(table, "ping"),
    ):
        out.append("dissector: OP_EVENT, OP_PING differ from the table's event and ping opcodes")
    m = re.search(r"local HEADER = (\d+)", lua)
    if not m or int(m.group(1)) != consts.get("IPOD_HEADER_SIZE"):
        out.append("dissector: HEADER differs from IPOD_HEADER_SIZE")


def opcode_of(table, name):
    return next((op for op, n in table["opcodes"].items() if n == name), None)


# Java spells the two device events without their "_ipod" suffix.
def java_event_name(name):
    return re.sub(r"_ipod$", "", name).upper()


def check_java(table, event_type, native, jni, out):
    consts = dict(re.findall(r"\b([A-Z][A-Z0-9_]*)\((\d+)\)", event_type))
    want = {java_event_name(n): str(t) for n, t in table["events"].items()}
    want["UNKNOWN"] = "255"
    for name in sorted(set(consts) | set(want)):
        if consts.get(name) != want.get(name):
            out.append("EventType.java: %s is %s, the table says %s" % (name, consts.get(name), want.get(name)))
    selectors = {int(v): k for k, v in re.findall(r"\b(REQ_\w+) = (\d+)", native)}
    if not selectors:
        out.append("Native.java: no REQ_ selectors")
        return
    # The glue's request switches: every function taking (client, op, ...)
    # maps selectors to C calls.
    bodies = re.findall(r"uint32_t \w+\(kiv_ipod_client \*c, jint op[^)]*\) \{(.*?)\n\}", jni, re.S)
    cases = {int(n): f for body in bodies for n, f in re.findall(r"case (\d+):\s*return (kiv_ipod_\w+)\(", body)}
    for sel in sorted(set(selectors) | set(cases)):
        if sel not in cases:
            out.append("Native.java: %s (%d) has no case in the JNI glue" % (selectors[sel], sel))
        elif sel not in selectors:
            out.append("JNI glue: selector %d is no REQ_ constant of Native.java" % sel)
        elif cases[sel][len("kiv_ipod_") :] not in table["requests"]:
            out.append("JNI glue: %s (%s) calls %s, which is no request of the table" % (selectors[sel], sel, cases[sel]))


def md_table(doc, header):
    """The rows (lists of cells) of the Markdown table whose header row
    starts with `header`."""
    i = doc.find("\n" + header)
    if i < 0:
        return None
    result = []
    for line in doc[i + 1 :].split("\n")[2:]:
        if not line.startswith("|"):
            break
        result.append([c.strip() for c in line.strip().strip("|").split("|")])
    return result


def check_docs(table, doc, out):
    ops = md_table(doc, "| Opcode | Direction | Meaning |")
    if ops is None:
        out.append("docs/protocol.md: no opcode table")
    else:
        listed = set()
        for cells in ops:
            m = re.match(r"(\d+)(?:\s*–\s*(\d+))?$", cells[0])
            if m:
                listed.update(range(int(m.group(1)), int(m.group(2) or m.group(1)) + 1))
        if listed != set(table["opcodes"]):
            out.append(
                "docs/protocol.md: the opcode table covers %s, the table %s"
                % (sorted(listed ^ set(table["opcodes"])), "differs there")
            )
    reqs = md_table(doc, "| Op | Request function |")
    if reqs is None:
        out.append("docs/protocol.md: no request table")
    else:
        seen = {}
        for cells in reqs:
            m = re.match(r"`kiv_ipod_(\w+)`", cells[1])
            if m:
                seen[m.group(1)] = cells
        for name in sorted(set(seen) | set(table["requests"])):
            if name not in table["requests"]:
                out.append("docs/protocol.md: request %s is not in the table" % name)
                continue
            if name not in seen:
                out.append("docs/protocol.md: request %s is missing" % name)
                continue
            op, ready, kind = table["requests"][name]
            cells = seen[name]
            if cells[0] != str(op):
                out.append("docs/protocol.md: %s has opcode %s, the table %d" % (name, cells[0], op))
            if (cells[3] == "✓") != (ready == "READY"):
                out.append("docs/protocol.md: %s is %s, the table says %s" % (name, cells[3], ready))
            if (cells[4] != "") != (kind != "NO_REPLY_KIND"):
                out.append("docs/protocol.md: %s has slot %r, the table %s" % (name, cells[4], kind))
    states = md_table(doc, "| Meaning | On the wire: `KIV_IPOD_WIRE_STATUS_` |")
    if states is None:
        out.append("docs/protocol.md: no play state table")
    else:
        seen = {}
        for cells in states:
            wire = re.match(r"(\d+) `(\w+)`$", cells[1])
            state = re.match(r"(\d+) `(\w+)`$", cells[2])
            if wire and state and wire.group(2) == state.group(2):
                seen[wire.group(2).lower()] = (int(wire.group(1)), int(state.group(1)))
            else:
                out.append("docs/protocol.md: play state row %r is not read" % " | ".join(cells))
        if seen != table["states"]:
            out.append("docs/protocol.md: play states %s, the table %s" % (sorted(seen.items()), sorted(table["states"].items())))
    events = md_table(doc, "| Name | Type | `data` |")
    if events is None:
        out.append("docs/protocol.md: no event table")
    else:
        seen = {}
        for cells in events:
            m = re.match(r"`(\w+)`$", cells[0])
            if m:
                seen[m.group(1)] = cells[1]
        for name in sorted(set(seen) | set(table["events"])):
            want = table["events"].get(name)
            if seen.get(name) != (str(want) if want is not None else None):
                out.append("docs/protocol.md: event %s has type %s, the table %s" % (name, seen.get(name), want))


def check(root, texts=None):
    texts = texts or {}

    def text(path):
        return texts[path] if path in texts else read(root, path)

    table = rows(root)
    out = []
    check_lua(table, protocol_h(root), text("tools/wireshark/kiv_ipod.lua"), out)
    java = "bindings/java/src/main/java/com/kiv/ipod/"
    check_java(
        table,
        text(java + "EventType.java"),
        text(java + "Native.java"),
        text("bindings/java/jni/kiv_ipod_jni.cpp") + text("bindings/java/jni/kiv_ipod_jni_convert.cpp"),
        out,
    )
    check_docs(table, text("docs/protocol.md"), out)
    return out


# Each fault, planted in one file, must be found.
FAULTS = [
    ("tools/wireshark/kiv_ipod.lua", '[0] = "open"', '[0] = "connect"'),
    ("tools/wireshark/kiv_ipod.lua", '[58] = "send_eap_datagram",', ""),
    ("tools/wireshark/kiv_ipod.lua", "OP_PING = 1, 54", "OP_PING = 1, 55"),
    ("bindings/java/src/main/java/com/kiv/ipod/EventType.java", "IPOD_READY(15)", "IPOD_READY(16)"),
    ("bindings/java/src/main/java/com/kiv/ipod/EventType.java", "    CONNECTED(1),\n", ""),
    ("bindings/java/src/main/java/com/kiv/ipod/Native.java", "REQ_PING = 0,", "REQ_PING = 0, REQ_NEW = 99,"),
    ("bindings/java/jni/kiv_ipod_jni.cpp", "return kiv_ipod_play(c);", "return kiv_ipod_playy(c);"),
    ("docs/protocol.md", "| 6 | `kiv_ipod_play` |", "| 7 | `kiv_ipod_play` |"),
    ("docs/protocol.md", "| 52 | `kiv_ipod_set_bluetooth_state` | [`i` connected, `s` serial] | – |",
     "| 52 | `kiv_ipod_set_bluetooth_state` | [`i` connected, `s` serial] | ✓ |"),
    ("docs/protocol.md", "| `ipod_ready` | 15 |", "| `ipod_ready` | 16 |"),
    ("docs/protocol.md", "| 4 – 58 | to daemon |", "| 4 – 57 | to daemon |"),
    ("docs/protocol.md", "| 3 `PLAYING` | 1 `PLAYING` |", "| 3 `PLAYING` | 2 `PLAYING` |"),
]


def self_test(root):
    failed = False
    clean = check(root)
    if clean:
        print("self-test needs a clean tree:", *clean, sep="\n  ")
        return 1
    for path, old, new in FAULTS:
        original = read(root, path)
        if old not in original:
            print("self-test: %r is no longer in %s" % (old, path))
            failed = True
            continue
        if not check(root, {path: original.replace(old, new, 1)}):
            print("self-test: %s with %r for %r passes" % (path, new, old))
            failed = True
    return 1 if failed else 0


def main():
    if len(sys.argv) == 3 and sys.argv[1] == "--self-test":
        return self_test(sys.argv[2])
    if len(sys.argv) != 2:
        raise SystemExit(__doc__)
    problems = check(sys.argv[1])
    for p in problems:
        print(p)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
