"""The commits a house check reads: those after a fixed base.

The checks of commit messages (check-subjects.py, check-words.py) hold every
commit made after BASE, the last commit before they were introduced; older
messages are left as they are. A shallow clone may not hold BASE: then the
commits it holds that were committed after BASE are read, so a shallow clone
never fails for want of history it does not have.
"""
import subprocess

BASE = "4d869353eb604bbdf43dbd4a72a925941c4d327b"
BASE_TIME = 1796816833  # its committer time (git log -1 --format=%ct BASE)


def git(root, *args):
    return subprocess.run(["git", "-C", str(root), *args], capture_output=True, text=True)


def new_commits(root, base=BASE, base_time=BASE_TIME):
    """(commits, note, error): each commit as (hash, subject, body); note says
    what was read; error is set when the history cannot be read at all."""
    if git(root, "rev-parse", "--is-inside-work-tree").stdout.strip() != "true":
        return [], "not a git work tree: no commits to read", None
    fields = "--format=%H%x1f%ct%x1f%s%x1f%b%x1e"
    if git(root, "cat-file", "-e", base + "^{commit}").returncode == 0:
        out = git(root, "log", fields, f"{base}..HEAD")
        note = "{} commits after " + base[:10]
    elif git(root, "rev-parse", "--is-shallow-repository").stdout.strip() == "true":
        out = git(root, "log", fields, "HEAD")
        note = f"shallow clone without {base[:10]}: " + "{} commits here made after it"
    else:
        return [], "", f"the base commit {base[:10]} is not in this history"
    if out.returncode != 0:
        return [], "", out.stderr.strip()
    commits = []
    for record in out.stdout.split("\x1e"):
        record = record.strip("\n")
        if not record:
            continue
        sha, time, subject, body = record.split("\x1f", 3)
        if int(time) > base_time or " commits after " in note:
            commits.append((sha, subject, body))
    return commits, note.format(len(commits)), None
