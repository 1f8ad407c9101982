#!/usr/bin/env python3
"""Checks that the portable layers stay portable.

1. Layering: a layer includes only itself and the layers below it
   (platform, base, model, sync, webcal, outlook, addin, from the bottom up).
2. Windows: every portable source and header compiles syntax-only with the MinGW-w64
   cross compiler, warnings as errors. Portable means everything in the layer folders
   except platform/posix/ (sim/, cli/, tests/, bench/ and fuzz/ are not layers), plus the
   sources the build generates for those layers, found in its compile_commands.json.

Usage: check_portable.py BUILD_DIR [--jobs N]. Exits non-zero on any finding.
"""

import argparse
import concurrent.futures
import json
import os
import re
import shutil
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# Bottom to top: a file may include its own layer and those before it.
LAYERS = ["platform", "base", "model", "sync", "webcal", "outlook", "addin"]
# Folders inside the layers that hold one operating system's implementation.
NOT_PORTABLE = {os.path.join("platform", "posix")}
COMPILER = "x86_64-w64-mingw32-g++-posix"
FLAGS = ["-std=c++20", "-Wall", "-Wextra", "-Werror", "-fsyntax-only"]
INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"/]+)/', re.MULTILINE)


def layer_files():
    """(relative path, layer) of every .cc and .h file in the layer folders."""
    for layer in LAYERS:
        for folder, dirs, files in os.walk(os.path.join(ROOT, layer)):
            dirs.sort()
            for name in sorted(files):
                if name.endswith((".cc", ".h")):
                    yield os.path.relpath(os.path.join(folder, name), ROOT), layer


def check_layering(files):
    findings = []
    for path, layer in files:
        with open(os.path.join(ROOT, path), encoding="utf-8", errors="replace") as source:
            text = source.read()
        for included in INCLUDE.findall(text):
            if included in LAYERS and LAYERS.index(included) > LAYERS.index(layer):
                findings.append(f"{path}: includes {included}/, a layer above {layer}/")
    return findings


def portable(path):
    return not any(path.startswith(folder + os.sep) for folder in NOT_PORTABLE)


def generated_sources(build_dir):
    """Sources the build generates for the layers, from its compilation database."""
    database = os.path.join(build_dir, "compile_commands.json")
    if not os.path.isfile(database):
        raise SystemExit(f"check_portable: {database} is missing (configure the build first)")
    with open(database, encoding="utf-8") as data:
        entries = json.load(data)
    found = set()
    for entry in entries:
        path = os.path.realpath(os.path.join(entry.get("directory", ""), entry["file"]))
        relative = os.path.relpath(path, build_dir)
        if relative.startswith(os.pardir) or relative.split(os.sep)[0] not in LAYERS:
            continue
        if portable(relative):
            found.add(path)
    return sorted(found)


def compile_one(job):
    """Runs one syntax-only compile; the compiler's complaint, or None."""
    what, arguments, stdin = job
    result = subprocess.run([COMPILER] + FLAGS + arguments, cwd=ROOT, input=stdin,
                            capture_output=True, text=True)
    if result.returncode == 0 and not result.stderr.strip():
        return None
    return f"== {what}\n{result.stdout}{result.stderr}"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("build_dir")
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 2)
    args = parser.parse_args()
    build_dir = os.path.realpath(args.build_dir)

    files = list(layer_files())
    findings = check_layering(files)
    for finding in findings:
        print(f"check_portable: {finding}", file=sys.stderr)

    if shutil.which(COMPILER) is None:
        print(f"check_portable: {COMPILER} not found (scripts/install-deps.sh installs it)",
              file=sys.stderr)
        return 1
    # The flags must turn a warning into a failure, or no finding below could show.
    probe = compile_one(("probe", ["-x", "c++", "-"], "int f() { int unused = 0; return 1; }\n"))
    if probe is None:
        print("check_portable: the cross compiler passed code that must warn", file=sys.stderr)
        return 1

    includes = ["-I", ROOT, "-I", build_dir]
    jobs = []
    for path, _ in files:
        if not portable(path):
            continue
        if path.endswith(".cc"):
            jobs.append((path, includes + [path], None))
        else:
            # Through a one-line file, so that each header is also checked to stand alone.
            jobs.append((path, includes + ["-x", "c++", "-"], f'#include "{path}"\n'))
    for path in generated_sources(build_dir):
        jobs.append((os.path.relpath(path, build_dir) + " (generated)", includes + [path], None))

    with concurrent.futures.ThreadPoolExecutor(max(1, args.jobs)) as pool:
        failures = [text for text in pool.map(compile_one, jobs) if text is not None]
    for text in failures:
        print(text, file=sys.stderr, end="")
    print(f"check_portable: {len(jobs)} files compiled for Windows, {len(failures)} failed; "
          f"{len(findings)} layering findings")
    return 1 if failures or findings else 0


if __name__ == "__main__":
    sys.exit(main())
