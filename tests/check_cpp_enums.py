#!/usr/bin/env python3
"""The C++ interface's enumerations against the C header's named numbers.

Every named number of a group in include/kiv_ipod/*.h (KIV_IPOD_SHUFFLE_*,
KIV_IPOD_EVENT_*, ...) must be an enumerator of its enum class in
include/kiv/ipod/types.hpp, and no enumerator may name anything else; the
values the C++ layer accepts from the daemon (detail::named) must be
exactly the group's values. A number added to the C header without its
enumerator would otherwise read as unknown.

    check_cpp_enums.py SOURCE_DIR            check the tree
    check_cpp_enums.py SOURCE_DIR --self-test  plant faults, each must be found
"""
import glob
import os
import re
import sys

GROUPS = {
    "TrackState": "KIV_IPOD_TRACK_STATE_",
    "PlayStatus": "KIV_IPOD_WIRE_STATUS_",
    "Category": "KIV_IPOD_CATEGORY_",
    "Shuffle": "KIV_IPOD_SHUFFLE_",
    "Repeat": "KIV_IPOD_REPEAT_",
    "Preference": "KIV_IPOD_PREFERENCE_",
    "Setting": "KIV_IPOD_SETTING_",
    "Lingo": "KIV_IPOD_LINGO_",
    "EventType": "KIV_IPOD_EVENT_",
}
# Numbers that say "none" and read as an empty std::optional in C++.
SENTINELS = {"KIV_IPOD_SETTING_NONE"}
# The enumerations read from the daemon, whose accepted values are listed.
READ_FROM_DAEMON = ["TrackState", "PlayStatus", "Shuffle", "Repeat", "Setting", "EventType"]


def c_numbers(headers):
    """NAME -> value of every #define and enumerator with a number."""
    numbers = {}
    for text in headers:
        for name, value in re.findall(r"^#define (KIV_IPOD_\w+) (-?(?:0x[0-9a-fA-F]+|\d+))u?\b", text, re.M):
            numbers[name] = int(value, 0)
        for name, value in re.findall(r"^\s*(KIV_IPOD_\w+)\s*=\s*(-?(?:0x[0-9a-fA-F]+|\d+))u?\b", text, re.M):
            numbers[name] = int(value, 0)
    return numbers


def cpp_enums(types):
    """enum class name -> the C names its enumerators are defined as."""
    enums = {}
    for name, body in re.findall(r"enum class (\w+) : [\w:]+ \{(.*?)\};", types, re.S):
        enums[name] = re.findall(r"=\s*(KIV_IPOD_\w+)", body)
    return enums


def accepted(types, numbers, enum):
    """The values detail::named<enum> accepts, or None when not found."""
    m = re.search(r"named\(long long v\) noexcept \{(.*?)\n\}", types, re.S)
    if not m:
        return None
    body = m.group(1)
    r = re.search(r"is_same_v<E, %s>\)\s*return v >= (\w+) && v <= (\w+);" % enum, body)
    if r:
        low, high = numbers.get(r.group(1)), numbers.get(r.group(2))
        return None if low is None or high is None else set(range(low, high + 1))
    if enum == "EventType":
        cases = re.findall(r"case (KIV_IPOD_\w+):", body)
        return {numbers[c] for c in cases if c in numbers}
    return None


def check(root):
    headers = [open(p).read() for p in sorted(glob.glob(os.path.join(root, "include/kiv_ipod/*.h")))]
    headers.append(open(os.path.join(root, "include/kiv_ipod.h")).read())
    types = open(os.path.join(root, "include/kiv/ipod/types.hpp")).read()
    numbers, enums, out = c_numbers(headers), cpp_enums(types), []
    for enum, prefix in GROUPS.items():
        want = {n for n in numbers if n.startswith(prefix) and n not in SENTINELS}
        have = set(enums.get(enum, []))
        for name in sorted(want - have):
            out.append("%s: %s (%d) has no enumerator" % (enum, name, numbers[name]))
        for name in sorted(have - want):
            out.append("%s: enumerator defined as %s, which is no %s* number" % (enum, name, prefix))
        if enum in READ_FROM_DAEMON:
            values = accepted(types, numbers, enum)
            if values is None:
                out.append("%s: no list of the values read from the daemon" % enum)
            elif values != {numbers[n] for n in want}:
                out.append("%s: accepts %s, the C header names %s" %
                           (enum, sorted(values), sorted(numbers[n] for n in want)))
    return out


FAULTS = [
    ("include/kiv_ipod/requests.h", "KIV_IPOD_SHUFFLE_ALBUMS = 2  /**< shuffle albums */",
     "KIV_IPOD_SHUFFLE_ALBUMS = 2, /**< shuffle albums */\n    KIV_IPOD_SHUFFLE_SONGS = 3"),
    ("include/kiv_ipod/events.h", "#define KIV_IPOD_EVENT_EAP_DATA_RECEIVED 20",
     "#define KIV_IPOD_EVENT_EAP_DATA_RECEIVED 20\n#define KIV_IPOD_EVENT_NEW 21"),
    ("include/kiv/ipod/types.hpp", "            case KIV_IPOD_EVENT_IPOD_READY:\n", ""),
]


def self_test(root):
    import shutil
    import tempfile
    missed = 0
    for path, old, new in FAULTS:
        with tempfile.TemporaryDirectory() as tmp:
            shutil.copytree(os.path.join(root, "include"), os.path.join(tmp, "include"))
            target = os.path.join(tmp, path)
            text = open(target).read()
            if old not in text:
                print("self-test: %s no longer holds %r" % (path, old))
                missed += 1
                continue
            open(target, "w").write(text.replace(old, new, 1))
            if not check(tmp):
                print("self-test: a fault in %s was not found" % path)
                missed += 1
    return missed


def main():
    root = sys.argv[1]
    if "--self-test" in sys.argv:
        return 1 if self_test(root) else 0
    problems = check(root)
    for p in problems:
        print(p)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
