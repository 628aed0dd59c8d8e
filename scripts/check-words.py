#!/usr/bin/env python3
"""Refuses the words our rules keep out of the code.

The document this design follows, and its numbered parts, are named in issues
only. Code, comments, tests, docs, file names and commit messages speak as
this system's own: no short or long name of that document, no numbers of
its parts, no reference to its chapter on the order of work. Words that
merely contain the letters pass (a FontSpec, to inspect, special, respect,
specific); so do the listed names other projects gave their own types.

Reads every tracked file (binary files aside) and its path, and the subjects
and bodies of the commits made after the base in newcommits.py.

Usage: check-words.py [SOURCE_ROOT]   (exit status 1 on any hit)
       check-words.py --self-test    (plants words in a scratch repository)
"""
import pathlib
import re
import subprocess
import sys
import tempfile

import newcommits

# Spelled in pieces so that this file does not trip its own check.
_STEM = "sp" "ec"
_LONG = _STEM + "ification"
FORBIDDEN = [
    (re.compile(rf"(?<![A-Za-z0-9])(?:{_LONG}s?|{_STEM}s?)(?![A-Za-z0-9])", re.I), "names the design document"),
    (re.compile(r"(?<![A-Za-z0-9])parts?\s+\d+(?:\.\d+)*(?![A-Za-z0-9])", re.I), "a part number of it"),
    (re.compile(r"(?<![A-Za-z0-9])order\s+of\s+" r"building(?![A-Za-z0-9])", re.I), "a chapter title of it"),
]
# Other projects' names that happen to hold the short word as a whole piece.
FOREIGN_NAMES = {
    "pa_sample_" + _STEM,  # PulseAudio's sample format record
}
_FOREIGN = re.compile("|".join(rf"(?<![A-Za-z0-9_]){re.escape(n)}(?![A-Za-z0-9_])" for n in sorted(FOREIGN_NAMES)))


def hits(text):
    """(line number, matched text, why) of every forbidden word in text."""
    text = _FOREIGN.sub(lambda m: "_" * len(m.group(0)), text)
    found = []
    for pattern, why in FORBIDDEN:
        for m in pattern.finditer(text):
            found.append((text.count("\n", 0, m.start()) + 1, " ".join(m.group(0).split()), why))
    return sorted(found)


def tracked(root):
    out = subprocess.run(["git", "-C", str(root), "ls-files", "-z"], capture_output=True, text=True, check=True)
    return [name for name in out.stdout.split("\0") if name]


def check(root, base=newcommits.BASE, base_time=newcommits.BASE_TIME):
    faults, files = [], tracked(root)
    for name in files:
        for _, word, why in hits(name):
            faults.append(f"{name}: file name: '{word}': {why}")
        path = root / name
        if not path.is_file() or path.is_symlink():
            continue
        data = path.read_bytes()
        if b"\0" in data:
            continue  # binary
        for line, word, why in hits(data.decode("utf-8", errors="replace")):
            faults.append(f"{name}:{line}: '{word}': {why}")
    commits, note, error = newcommits.new_commits(root, base, base_time)
    if error:
        faults.append(f"commit messages: {error}")
    for sha, subject, body in commits:
        for line, word, why in hits(subject + "\n" + body):
            where = "subject" if line == 1 else f"body line {line - 1}"
            faults.append(f"commit {sha[:10]} {where}: '{word}': {why}")
    return faults, f"{len(files)} files, {note}"


def self_test():
    """A scratch repository: a base commit, then one that plants each kind of
    fault (a word in code, in a comment, in a doc, a part number, a file name,
    a commit subject and body) beside the words that must pass."""
    clean = "struct FontSpec {};  // inspect the special case, respect the specific one\n"
    planted = {
        "app/a.cpp": clean + f"// as the {_STEM} says\n",
        "docs/b.md": f"See {_LONG.capitalize()}, P" "art 1.2 and the Order of  " "building.\n",
        f"tests/{_STEM}_case.cpp": "int pa_sample_" + _STEM + ";\n",
    }
    want = {
        "app/a.cpp:2",
        "docs/b.md:1",
        "docs/b.md:1",
        "docs/b.md:1",
        f"tests/{_STEM}_case.cpp: file name",
        "commit subject",
        "commit body line 1",
    }
    with tempfile.TemporaryDirectory() as scratch:
        root = pathlib.Path(scratch) / "repo"
        root.mkdir()

        def git(*args):
            subprocess.run(["git", "-C", str(root), *args], check=True, capture_output=True)

        git("init", "-q")
        git("config", "user.email", "check@localhost")
        git("config", "user.name", "check")
        (root / "clean.cpp").write_text(clean)
        git("add", ".")
        git("commit", "-qm", f"Old history may say {_STEM}")
        base = subprocess.run(["git", "-C", str(root), "rev-parse", "HEAD"], capture_output=True, text=True)
        base = base.stdout.strip()
        for name, text in planted.items():
            (root / name).parent.mkdir(parents=True, exist_ok=True)
            (root / name).write_text(text)
        git("add", ".")
        git("commit", "-qm", f"Follow the {_STEM}\n\nFrom p" "art 3 on.")
        faults, _ = check(root, base, 0)
    got = [f.split(": '")[0] for f in faults]
    got = {g if not g.startswith("commit ") else "commit " + g.split(" ", 2)[2] for g in got}
    count = len(faults)
    if got != want or count != 7:
        print("words check self-test: FAILED")
        for fault in faults:
            print(f"  {fault}")
        print(f"  missed: {sorted(want - got)}  extra: {sorted(got - want)}")
        return 1
    print(f"words check self-test: {count} planted word(s), each reported; the look-alikes passed")
    return 0


def main():
    if sys.argv[1:] == ["--self-test"]:
        return self_test()
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).resolve().parent.parent)
    faults, what = check(root)
    for fault in faults:
        print(fault)
    print(f"words check: {what}: {len(faults)} fault(s)")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
