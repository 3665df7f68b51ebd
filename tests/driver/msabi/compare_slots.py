#!/usr/bin/env python3
"""Compares the slot tables of every interface in driver/host_interfaces.h as
the Microsoft ABI lays them out (clang, x86_64- and i686-pc-windows-msvc:
what a host built with the Microsoft compiler calls) with the layout our
MinGW build uses (the same header on the x86_64- and i686-w64-windows-gnu
targets, Itanium rules, where the header declares the destructor slot
itself). Every slot must hold the same operation; slot 0 is the destructor.
Exits 1 and prints the differences otherwise."""
import os
import re
import subprocess
import sys
import tempfile

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..", ".."))
HEADER = os.path.join(ROOT, "driver", "host_interfaces.h")


def interfaces():
    """[(qualified name, first operation the class itself declares or None)]"""
    text = open(HEADER).read()
    found = []
    for m in re.finditer(r"^class (\w+)\s*(?::[^{]*)?\{(.*?)^\};", text, re.M | re.S):
        name, body = m.group(1), m.group(2)
        own = re.search(r"virtual [^;(]*?\b(\w+)\(", body)
        if name == "CDebugInfoIf":
            qualified = name
        elif name in ("ICaptureIOApi", "ICaptureIOCallback"):
            qualified = "kestrum::" + name
        else:
            qualified = "kestrum::ipcapture::" + name
        found.append((qualified, own.group(1) if own else None))
    return found


def dump(target, probe):
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "probe.cpp")
        with open(path, "w") as f:
            f.write(probe)
        result = subprocess.run(
            ["clang", "--target=" + target, "-ffreestanding", "-fno-exceptions", "-std=c++17", "-I" + ROOT,
             "-Xclang", "-fdump-vtable-layouts", "-S", "-o", os.devnull, path],
            capture_output=True, text=True)
        if result.returncode != 0:
            sys.exit("clang --target=%s failed:\n%s" % (target, result.stderr))
        return result.stdout


def tables(text, header):
    """{class: [slot entries]} from clang's full-table dumps."""
    found = {}
    for block in text.split("\n\n"):
        lines = block.strip().splitlines()
        if not lines:
            continue
        # Microsoft names a derived table "for 'Base' in 'Derived'": the
        # class is the last one named.
        m = re.match(r"%s '[^']+'(?: in '[^']+')* \(\d+ entries\)\." % header, lines[0])
        if not m:
            continue
        m = re.search(r"'([^']+)' \(\d+ entries\)\.$", lines[0])
        entries = []
        for line in lines[1:]:
            e = re.match(r"\s*\d+ \| (.*)$", line)
            if e:
                entries.append(e.group(1))
        found[m.group(1)] = entries
    return found


def operation(entry):
    """The operation a slot entry names, without the class: 'Name(args)'."""
    entry = entry.replace(" [pure]", "")
    if "[scalar deleting]" in entry or "ScalarDeletingDestructor(unsigned int)" in entry:
        return "<destructor>"
    m = re.search(r"::(\w+\(.*\))(?: const)?$", entry)
    return m.group(1) if m else entry


def main():
    found = interfaces()
    names = [n for n, _ in found]
    if len(names) < 20:
        sys.exit("found only %d interfaces in %s" % (len(names), HEADER))
    include = '#include "driver/host_interfaces.h"\n'
    # Taking the address of an operation a class declares makes clang lay out
    # its table; a virtual delete does it for a class with no operation of its
    # own (Microsoft), the destructor slot's address for MinGW.
    ms_probe = include + "".join(
        ("auto op%d = &%s::%s;\n" % (i, n, own)) if own else ("void Drop%d(%s* p) { delete p; }\n" % (i, n))
        for i, (n, own) in enumerate(found))
    gnu_probe = include + "".join(
        "auto op%d = &%s::%s;\n" % (i, n, own or "ScalarDeletingDestructor") for i, (n, own) in enumerate(found))
    failures = 0
    for arch in ("x86_64", "i686"):
        ms = tables(dump(arch + "-pc-windows-msvc", ms_probe), "VFTable for")
        gnu = tables(dump(arch + "-w64-windows-gnu", gnu_probe), "Vtable for")
        for name in names:
            if name not in ms or name not in gnu:
                print("%s %s: no table dumped" % (arch, name))
                failures += 1
                continue
            ms_slots = [operation(e) for e in ms[name] if not e.endswith(" RTTI")]
            gnu_slots = [operation(e) for e in gnu[name]
                         if not e.startswith("offset_to_top") and not e.endswith(" RTTI")]
            if ms_slots != gnu_slots or ms_slots[0] != "<destructor>":
                failures += 1
                print("%s %s differs:" % (arch, name))
                for i in range(max(len(ms_slots), len(gnu_slots))):
                    a = ms_slots[i] if i < len(ms_slots) else "-"
                    b = gnu_slots[i] if i < len(gnu_slots) else "-"
                    print("  %2d %-50s %s%s" % (i, a, b, "" if a == b else "   <--"))
        print("%s: %d interfaces, %d slots compared" % (arch, len(names), sum(len(v) for k, v in ms.items() if k in names)))
    if failures:
        print("%d interface table(s) differ from the Microsoft layout" % failures)
        return 1
    print("every slot matches the Microsoft layout on both targets")
    return 0


if __name__ == "__main__":
    sys.exit(main())
