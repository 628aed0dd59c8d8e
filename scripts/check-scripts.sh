#!/usr/bin/env bash
# Lints every tracked script: shellcheck over the shell scripts (by extension,
# .sh and .sh.in, or by their #! line), pyflakes over the Python ones (.py or
# #! line). Both must be clean; where the code is right and the tool is not, a
# `# shellcheck disable=SCxxxx  # reason` on the line above says why.
#   scripts/check-scripts.sh [FILE...]   (default: every tracked script)
# Exit status 1 when either tool finds something.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1

shell=() python=()
classify() {  # file
  local first=""
  case "$1" in
    *.sh | *.sh.in) shell+=("$1"); return ;;
    *.py) python+=("$1"); return ;;
  esac
  IFS= read -r first <"$1" 2>/dev/null || true
  case "$first" in
    '#!'*python*) python+=("$1") ;;
    '#!'*/sh | '#!'*/bash | '#!'*env\ sh | '#!'*env\ bash | '#!'*/dash) shell+=("$1") ;;
  esac
}
if [ $# -gt 0 ]; then
  for f in "$@"; do classify "$f"; done
else
  while IFS= read -r -d '' f; do
    [ -f "$f" ] && classify "$f"
  done < <(git ls-files -z)
fi

status=0
# Sourced helpers are followed from the scripts that source them; paths that
# start with a variable ("$root/scripts/checks.sh") are looked up from the top.
if [ ${#shell[@]} -gt 0 ] && ! shellcheck -x -P SCRIPTDIR -P . -f gcc "${shell[@]}"; then
  status=1
fi
if [ ${#python[@]} -gt 0 ] && ! pyflakes3 "${python[@]}"; then
  status=1
fi
echo "script check: ${#shell[@]} shell scripts (shellcheck), ${#python[@]} Python scripts (pyflakes3), $([ $status -eq 0 ] && echo clean || echo FAILED)"
exit $status
