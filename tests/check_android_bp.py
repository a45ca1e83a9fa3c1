#!/usr/bin/env python3
"""Parses Android.bp (Blueprint syntax) and checks that its source lists
match the CMake build: the library, the simulator, the client and the Java
binding (its classes and its JNI glue)."""
import os
import re
import sys


class ParseError(Exception):
    pass


def tokenize(text):
    text = re.sub(r"//[^\n]*", "", text)
    text = re.sub(r"/\*.*?\*/", "", text, flags=re.S)
    pos = 0
    token = re.compile(r'\s*(?:("(?:[^"\\]|\\.)*")|([A-Za-z_][A-Za-z0-9_]*)|(-?[0-9]+)|([{}\[\]:,=+()]))')
    while True:
        m = token.match(text, pos)
        if not m:
            if text[pos:].strip():
                raise ParseError("unexpected text: %r" % text[pos:pos + 30])
            return
        pos = m.end()
        if m.group(1):
            yield ("str", m.group(1)[1:-1])
        elif m.group(2):
            yield ("id", m.group(2))
        elif m.group(3):
            yield ("int", int(m.group(3)))
        else:
            yield ("op", m.group(4))


class Parser:
    def __init__(self, text):
        self.tokens = list(tokenize(text))
        self.i = 0
        self.variables = {}

    def peek(self):
        return self.tokens[self.i] if self.i < len(self.tokens) else (None, None)

    def take(self, kind=None, value=None):
        tok = self.peek()
        if tok[0] is None or (kind and tok[0] != kind) or (value is not None and tok[1] != value):
            raise ParseError("expected %s %s, got %r" % (kind, value, tok))
        self.i += 1
        return tok[1]

    def value(self):
        kind, val = self.peek()
        if kind == "str" or kind == "int":
            self.i += 1
            result = val
        elif kind == "id" and val in ("true", "false"):
            self.i += 1
            result = val == "true"
        elif kind == "id":
            self.i += 1
            if val not in self.variables:
                raise ParseError("unknown variable " + val)
            result = self.variables[val]
        elif (kind, val) == ("op", "["):
            self.i += 1
            result = []
            while self.peek() != ("op", "]"):
                result.append(self.value())
                if self.peek() == ("op", ","):
                    self.i += 1
                elif self.peek() != ("op", "]"):
                    raise ParseError("expected , or ] in list")
            self.i += 1
        elif (kind, val) == ("op", "{"):
            result = self.map()
        else:
            raise ParseError("unexpected %r" % (self.peek(),))
        if self.peek() == ("op", "+"):
            self.i += 1
            result = result + self.value()
        return result

    def map(self):
        self.take("op", "{")
        result = {}
        while self.peek() != ("op", "}"):
            key = self.take("id")
            self.take("op", ":")
            if key in result:
                raise ParseError("duplicate property " + key)
            result[key] = self.value()
            if self.peek() == ("op", ","):
                self.i += 1
            elif self.peek() != ("op", "}"):
                raise ParseError("expected , or } after " + key)
        self.i += 1
        return result

    def modules(self):
        modules = []
        while self.peek()[0] is not None:
            name = self.take("id")
            if self.peek() == ("op", "="):
                self.i += 1
                self.variables[name] = self.value()
                continue
            modules.append((name, self.map()))
        return modules


def cmake_list(path, opener, suffixes=(".cpp", ".c")):
    text = open(path).read()
    m = re.search(re.escape(opener) + r"(.*?)\)", text, re.S)
    if not m:
        raise SystemExit("%s: no %s" % (path, opener))
    return [w for w in m.group(1).split() if w.endswith(suffixes)]


def main():
    root = sys.argv[1]
    modules = {m["name"]: (kind, m) for kind, m in Parser(open(root + "/Android.bp").read()).modules()}
    known = {"cc_defaults", "cc_library_shared", "cc_binary", "genrule", "java_library"}
    for name, (kind, _) in modules.items():
        if kind not in known:
            raise SystemExit("unexpected module type %s for %s" % (kind, name))
    expected = {
        "libkiv-ipod-2": cmake_list(root + "/CMakeLists.txt", "set(KIV_SOURCES"),
        "kiv-ipod-simd": [os.path.normpath("tools/" + s) for s in cmake_list(root + "/tools/CMakeLists.txt",
                                                                             "add_executable(kiv-ipod-simd")],
        "kiv-ipod": [os.path.normpath("tools/" + s)
                     for s in cmake_list(root + "/tools/CMakeLists.txt", "add_executable(kiv-ipod ")],
        "kiv-ipod-java": ["bindings/java/" + s for s in cmake_list(root + "/bindings/java/CMakeLists.txt",
                                                                   "set(KIV_JAVA_SOURCES", (".java",))],
        "libkiv-ipod-2-jni": ["bindings/java/" + s for s in cmake_list(root + "/bindings/java/CMakeLists.txt",
                                                                       "add_library(kiv-ipod-2-jni")],
    }
    failed = False
    for name, sources in expected.items():
        if name not in modules:
            print("Android.bp lacks module " + name)
            failed = True
            continue
        listed = modules[name][1].get("srcs", [])
        if sorted(listed) != sorted(sources):
            print("%s: Android.bp srcs %s differ from CMake %s" % (name, sorted(listed), sorted(sources)))
            failed = True
    lib = modules.get("libkiv-ipod-2", (None, {}))[1]
    version = modules.get("kiv_ipod_version_header", (None, {}))[1]
    if "include/kiv_ipod_version.h.in" not in version.get("srcs", []) or version.get("out") != ["kiv_ipod_version.h"]:
        print("Android.bp: genrule kiv_ipod_version_header should make kiv_ipod_version.h from its template")
        failed = True
    for key, want in (("export_include_dirs", ["include"]), ("shared_libs", ["liblog", "libcutils"]),
                      ("generated_headers", ["kiv_ipod_version_header"]),
                      ("export_generated_headers", ["kiv_ipod_version_header"])):
        if sorted(lib.get(key, [])) != sorted(want):
            print("libkiv-ipod-2: %s should be %s" % (key, want))
            failed = True
    # Every class of the package is built: a file missing from both lists
    # would otherwise pass unnoticed.
    package = root + "/bindings/java/src/main/java/com/kiv/ipod"
    on_disk = sorted("bindings/java/src/main/java/com/kiv/ipod/" + f for f in os.listdir(package)
                     if f.endswith(".java")) if os.path.isdir(package) else []
    if on_disk != sorted(expected["kiv-ipod-java"]):
        print("bindings/java/CMakeLists.txt: KIV_JAVA_SOURCES %s differ from the package's files %s"
              % (sorted(expected["kiv-ipod-java"]), on_disk))
        failed = True
    kind, jni = modules.get("libkiv-ipod-2-jni", (None, {}))
    if kind != "cc_library_shared" or jni.get("shared_libs") != ["libkiv-ipod-2"] or \
            "jni_headers" not in jni.get("header_libs", []):
        print("libkiv-ipod-2-jni: should be a cc_library_shared on libkiv-ipod-2 with jni_headers")
        failed = True
    if modules.get("kiv-ipod-java", (None, {}))[0] != "java_library":
        print("kiv-ipod-java: should be a java_library")
        failed = True
    return 1 if failed else 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except ParseError as e:
        print("Android.bp: " + str(e))
        sys.exit(1)
