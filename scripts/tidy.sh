#!/usr/bin/env bash
# Runs clang-tidy over the product code with the compile commands of the
# native build: the checks in .clang-tidy, and the naming rules (set there,
# and in the .clang-tidy of a folder whose names differ). Findings in the
# product's own headers count as well as those in the sources.
#   scripts/tidy.sh            every product source of the native build
#                              (./test.sh runs this; about two minutes of two cores)
#   scripts/tidy.sh --short    what the change touches: the product sources changed
#                              since the change's base (committed or not, new files
#                              too), and the sources that include a changed header
#   scripts/tidy.sh FILE...    the given product sources
# The change's base is where HEAD left main (git merge-base HEAD main); on main
# itself, or where there is no main, the last 10 commits. TIDY_BASE=REV sets it.
# Exit status 1 when a check finds something.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
db=build/native
[ -f "$db/compile_commands.json" ] || cmake --preset native >/dev/null || exit 1
layers=(app tray storage http net ui runtime platform service)
# The product sources of the native build (the win32 backend and main.cpp are
# built for Windows only, the linux backend and main_linux.cpp by the linux preset).
product() {
  git ls-files -- "${layers[@]}" | grep '\.cpp$' |
    grep -v -e '^platform/win32/' -e '^platform/linux/' -e '^app/main\.cpp$' -e '^app/main_linux\.cpp$'
}

change_base() {
  if [ -n "${TIDY_BASE:-}" ]; then
    git rev-parse --verify -q "$TIDY_BASE^{commit}"
    return
  fi
  local fork
  if fork=$(git merge-base HEAD main 2>/dev/null) && [ "$fork" != "$(git rev-parse HEAD)" ]; then
    echo "$fork"
  else
    git rev-parse --verify -q HEAD~10 || git rev-list --max-parents=0 HEAD | tail -1
  fi
}

# The files the change touches, one a line: changed since the base, edited and
# not committed yet, and new.
touched() {  # base
  { git diff --name-only "$1" --; git ls-files --others --exclude-standard; } | sort -u
}

# The product files that include a header: by its path from the top, or by
# its name from beside it.
includers() {  # header
  local dir name
  dir=$(dirname "$1") name=$(basename "$1")
  git ls-files -z -- "${layers[@]}" | xargs -0 grep -l -F -e "#include \"$1\"" --
  git ls-files -z -- "$dir" | xargs -0 grep -l -F -e "#include \"$name\"" --
}

# The product sources to check for the touched files: the sources themselves,
# and for a header every source that includes it, directly or through other
# headers.
short_list() {
  local base file
  base=$(change_base) || { echo "tidy: no base for the change (TIDY_BASE=$TIDY_BASE?)" >&2; return 1; }
  echo "clang-tidy --short: the change since ${base:0:10}" >&2
  local -A seen=()
  local queue=()
  mapfile -t queue < <(touched "$base")
  while [ ${#queue[@]} -gt 0 ]; do
    file=${queue[0]} queue=("${queue[@]:1}")
    [ -z "${seen[$file]:-}" ] || continue
    seen[$file]=1
    case "$file" in *.h) [ -f "$file" ] && mapfile -t -O "${#queue[@]}" queue < <(includers "$file") ;; esac
  done
  printf '%s\n' "${!seen[@]}" | sort | comm -12 - <(product | sort)
}

if [ "${1:-}" = "--short" ]; then
  mapfile -t files < <(short_list)
elif [ $# -gt 0 ]; then
  files=("$@")
else
  mapfile -t files < <(product)
fi
if [ ${#files[@]} -eq 0 ]; then
  echo "clang-tidy: no files to check"
  exit 0
fi
# A source the compile commands do not know yet (new since the last configure)
# would be passed over without a word: configure again, then name what is left.
unknown() {
  python3 - "$db/compile_commands.json" "$PWD" "${files[@]}" <<'PY'
import json, os, sys
known = {os.path.realpath(e["file"]) for e in json.load(open(sys.argv[1]))}
print("\n".join(f for f in sys.argv[3:] if os.path.realpath(os.path.join(sys.argv[2], f)) not in known))
PY
}
if [ -n "$(unknown)" ]; then
  cmake --preset native >/dev/null || exit 1
  missing=$(unknown)
  if [ -n "$missing" ]; then
    echo "clang-tidy: not built by the native preset (list them in product() of scripts/tidy.sh): $missing"
    exit 1
  fi
fi
jobs=$(nproc 2>/dev/null || echo 2)
# The compile commands carry GCC-only warning options clang does not know.
out=$(run-clang-tidy -quiet -p "$db" -j "$jobs" -header-filter "^$PWD/($(IFS='|'; echo "${layers[*]}"))/" \
  -extra-arg=-Wno-unknown-warning-option "${files[@]/#/$PWD/}" 2>&1)
rc=$?
# Without colours, one line a finding (a header's findings come once per source).
echo "$out" | sed 's/\x1b\[[0-9;]*m//g' | grep -E '(warning|error): ' | sed "s|^$PWD/||" | sort -u
echo "clang-tidy: ${#files[@]} files, $([ $rc -eq 0 ] && echo clean || echo FAILED)"
exit $rc
