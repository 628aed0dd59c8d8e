#!/usr/bin/env python3
"""Refuses commit subjects longer than 72 characters.

Reads the commits made after the base recorded in newcommits.py (older
subjects are longer and left alone). A shallow clone that lacks the base reads
the commits it has that were made after it.

Usage: check-subjects.py [SOURCE_ROOT]   (exit status 1 on any long subject)
       check-subjects.py --self-test    (plants one in a scratch repository,
                                         also read through a shallow clone)
"""
import pathlib
import subprocess
import sys
import tempfile

import newcommits

LIMIT = 72
# Commits that landed with a longer subject before their branch had this
# check, each with the reason it is let stand (history is not rewritten).
LANDED = {
    "11024af3be": "merged from the Windows branch, which was made before the check reached it",
    "32d6d6b15d": "a slip of 75 characters, merged into two branches before the check ran on it",
}


def check(root, base=newcommits.BASE, base_time=newcommits.BASE_TIME):
    commits, note, error = newcommits.new_commits(root, base, base_time)
    faults = [f"commit messages: {error}"] if error else []
    for sha, subject, _ in commits:
        if len(subject) > LIMIT and sha[:10] not in LANDED:
            faults.append(f"commit {sha[:10]}: subject of {len(subject)} characters (at most {LIMIT}): {subject}")
    return faults, note


def self_test():
    with tempfile.TemporaryDirectory() as scratch:
        root = pathlib.Path(scratch) / "repo"
        root.mkdir()

        def git(*args, cwd=root):
            return subprocess.run(["git", "-C", str(cwd), *args], check=True, capture_output=True, text=True).stdout

        git("init", "-q")
        git("config", "user.email", "check@localhost")
        git("config", "user.name", "check")
        for number, subject in enumerate(["An old subject " + "x" * 80, "The base", "y" * 72, "z" * 73, "Short"]):
            (root / "file").write_text(str(number))
            git("add", "file")
            # One second apart, so a shallow clone can tell commits after the base by time.
            stamp = f"@{1700000000 + number} +0000"
            subprocess.run(["git", "-C", str(root), "commit", "-qm", subject], check=True,
                           env={"GIT_COMMITTER_DATE": stamp, "GIT_AUTHOR_DATE": stamp, "PATH": "/usr/bin:/bin"})
            if subject == "The base":
                base, base_time = git("rev-parse", "HEAD").strip(), 1700000000 + number
        full, _ = check(root, base, base_time)
        shallow = pathlib.Path(scratch) / "shallow"
        subprocess.run(["git", "clone", "-q", "--depth", "2", root.as_uri(), str(shallow)], check=True,
                       capture_output=True)
        thin, note = check(shallow, base, base_time)
        missing, _ = check(root, "0" * 40, 0)
    ok = (len(full) == 1 and "73 characters" in full[0] and len(thin) == 1 and "73 characters" in thin[0]
          and note.startswith("shallow clone") and ": 2 commits" in note and len(missing) == 1 and "not in this history" in missing[0])
    if not ok:
        print("subject check self-test: FAILED")
        for fault in full + thin + missing:
            print(f"  {fault}")
        print(f"  shallow clone: {note}")
        return 1
    print("subject check self-test: the 73-character subject reported, the 72 passed; "
          "a shallow clone without the base read its 2 commits")
    return 0


def main():
    if sys.argv[1:] == ["--self-test"]:
        return self_test()
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).resolve().parent.parent)
    faults, note = check(root)
    for fault in faults:
        print(fault)
    print(f"subject check: {note}: {len(faults)} fault(s)")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
