#!/usr/bin/env python3
"""Reads valgrind's XML report of a run of the program and decides it.

Fails on any memory error (invalid access, uninitialised value, bad free,
...), and on any block still allocated at exit whose allocation site is in
the program itself, unless it is one of the blocks the program keeps on
purpose until the process ends: the compiled tree (with its packed leaf
groups) and the ray table.
Blocks allocated inside the libraries (SDL, X11, the C++ runtime) are theirs
to keep and are only counted.

usage: memcheck_report.py REPORT.xml PROGRAM
"""
import os
import sys
import xml.etree.ElementTree as ET

# Allocation sites of what the program keeps until it exits.
KEPT_ON_PURPOSE = ("vantrel::buildRayTable", "vantrel::compileKdTree",
                   "vantrel::packLeafShapes")


def frames(stack):
    return [
        {
            "fn": f.findtext("fn", "?"),
            "obj": f.findtext("obj", ""),
            "where": "%s:%s" % (f.findtext("file", "?"), f.findtext("line", "?")),
        }
        for f in stack.iter("frame")
    ]


def allocation_site(stack_frames):
    """The first frame past valgrind's own allocator replacements."""
    for frame in stack_frames:
        if "vgpreload" not in os.path.basename(frame["obj"]):
            return frame
    return None


def describe(error, stack_frames):
    text = error.findtext("what") or error.findtext("xwhat/text") or "?"
    lines = [text]
    for frame in stack_frames[:12]:
        lines.append("    %s (%s)" % (frame["fn"], frame["where"]))
    return "\n".join(lines)


def main():
    report, program = sys.argv[1], os.path.realpath(sys.argv[2])
    root = ET.parse(report).getroot()
    faults = []
    kept_bytes = 0
    library_bytes = 0
    for error in root.iter("error"):
        kind = error.findtext("kind", "")
        stack = error.find("stack")
        stack_frames = frames(stack) if stack is not None else []
        if not kind.startswith("Leak_"):
            faults.append(describe(error, stack_frames))
            continue
        leaked = int(error.findtext("xwhat/leakedbytes", "0"))
        site = allocation_site(stack_frames)
        ours = site is not None and os.path.realpath(site["obj"]) == program
        if not ours:
            library_bytes += leaked
        elif kind == "Leak_StillReachable" and any(
            f["fn"].startswith(KEPT_ON_PURPOSE) for f in stack_frames
        ):
            kept_bytes += leaked
        else:
            faults.append(describe(error, stack_frames))
    print("kept on purpose: %d bytes; held by libraries: %d bytes" % (kept_bytes, library_bytes))
    if kept_bytes == 0:
        faults.append("the compiled tree and the ray table were not seen allocated at exit")
    for fault in faults:
        print(fault)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
