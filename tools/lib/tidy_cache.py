#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Runs clang-tidy over source files, passing over each file that was already found clean on
this machine with the same preprocessed text, compile command, tidy configuration and tidy.

clang-tidy is the slowest of CI's checks and sees only what the preprocessor hands it, so a file
whose preprocessed text is unchanged gets the same verdict; the preprocessor takes a fraction of
tidy's time. Paths inside the tree are written relative to it, so that a clone in another folder
finds the same entries. Only clean verdicts are kept: a finding is always shown again.

  tidy_cache.py --build DIR [--jobs N] [--extra-arg ARG]... FILE...
"""
import argparse
import hashlib
import json
import os
import shlex
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
CACHE = Path(os.environ.get("MORVANE_TIDY_CACHE",
                            Path.home() / ".cache" / "morvane-tidy"))


def compile_commands(build):
    entries = json.loads((ROOT / build / "compile_commands.json").read_text())
    found = {}
    for entry in entries:
        args = entry.get("arguments") or shlex.split(entry["command"])
        found[os.path.realpath(os.path.join(entry["directory"], entry["file"]))] = (
            entry["directory"], args)
    return found


def preprocess(directory, args):
    """The file's text as the compiler sees it, without line markers, or None if it fails."""
    cmd = []
    skip = False
    for arg in args:
        if skip:
            skip = False
            continue
        if arg == "-o":
            skip = True
            continue
        if arg == "-c":
            continue
        cmd.append(arg)
    cmd += ["-E", "-P"]
    run = subprocess.run(cmd, cwd=directory, capture_output=True, check=False)
    return run.stdout if run.returncode == 0 else None


def relative(text, root):
    return text.replace(root.encode(), b".")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 1)
    parser.add_argument("--extra-arg", action="append", default=[])
    parser.add_argument("files", nargs="+")
    options = parser.parse_args()

    commands = compile_commands(options.build)
    version = subprocess.run(["clang-tidy", "--version"], capture_output=True,
                             check=True).stdout
    config = b"".join(p.read_bytes() for p in sorted(ROOT.rglob(".clang-tidy"))
                      if "build" not in p.relative_to(ROOT).parts[0])
    root = str(ROOT)
    CACHE.mkdir(parents=True, exist_ok=True)
    extra = [f"--extra-arg={a}" for a in options.extra_arg]

    def key_of(path):
        entry = commands.get(os.path.realpath(path))
        if entry is None:
            return None
        directory, args = entry
        text = preprocess(directory, args)
        if text is None:
            return None
        digest = hashlib.sha256()
        for part in (version, config, " ".join(extra).encode(),
                     relative(" ".join(args).encode(), root),
                     relative(os.path.realpath(path).encode(), root), relative(text, root)):
            digest.update(hashlib.sha256(part).digest())
        return digest.hexdigest()

    def check(path):
        key = key_of(path)
        if key is not None and (CACHE / key).exists():
            return path, True, True, b""
        run = subprocess.run(["clang-tidy", "-p", options.build, "--quiet", *extra, path],
                             capture_output=True, check=False)
        clean = run.returncode == 0 and not run.stdout.strip()
        if clean and key is not None:
            (CACHE / key).touch()
        return path, False, clean, run.stdout or run.stderr

    failed = 0
    reused = 0
    with ThreadPoolExecutor(max_workers=options.jobs) as pool:
        for path, was_cached, clean, output in pool.map(check, options.files):
            reused += was_cached
            if not clean:
                failed += 1
                print(f"{path}: clang-tidy found something")
                sys.stdout.write(output.decode(errors="replace"))
    print(f"tidy: {reused} of {len(options.files)} files known clean from an earlier run")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
