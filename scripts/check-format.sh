#!/usr/bin/env bash
# Fails when a C or C++ file of the tree differs from what clang-format (the repository's .clang-format,
# Debian 12's clang-format 14) makes of it, and names each such file. The GLSL shaders are not C and are
# left as written. `scripts/check-format.sh --fix` formats the files instead.
set -euo pipefail
cd "$(dirname "$0")/.."

format=${CLANG_FORMAT:-clang-format}
if ! command -v "$format" >/dev/null 2>&1; then
  echo "check-format: $format is missing (scripts/install-deps.sh installs it)" >&2
  exit 2
fi

patterns=('*.c' '*.cc' '*.cpp' '*.cxx' '*.h' '*.hh' '*.hpp')
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  # Tracked files and new ones not ignored, so a file is checked before it is committed too.
  mapfile -t files < <(git ls-files -z --cached --others --exclude-standard -- "${patterns[@]}" |
    xargs -0 -r ls -d 2>/dev/null | sort -u)
else
  names=()
  for p in "${patterns[@]}"; do names+=(-o -name "$p"); done
  mapfile -t files < <(find . -path './build*' -prune -o -path './.git' -prune -o -type f \( -false "${names[@]}" \) -print | sort)
fi

if [ "${1:-}" = "--fix" ]; then
  printf '%s\0' "${files[@]}" | xargs -0 -r "$format" -i
  exit 0
fi

# One run over every file; each difference is reported as FILE:LINE:COLUMN: error: ...
status=0
report=$(printf '%s\0' "${files[@]}" | xargs -0 -r "$format" --dry-run --Werror 2>&1) || status=$?
mapfile -t bad < <(printf '%s\n' "$report" | sed -n 's/^\(.*\):[0-9]*:[0-9]*: error: .*/\1/p' | sort -u)
if [ "$status" != 0 ] && [ ${#bad[@]} -eq 0 ]; then
  printf '%s\n' "$report" >&2
  echo "check-format: $format failed without naming a file" >&2
  exit 1
fi
if [ ${#bad[@]} -gt 0 ]; then
  echo "check-format: ${#bad[@]} of ${#files[@]} files are not formatted ($("$format" --version)):" >&2
  printf '  %s\n' "${bad[@]}" >&2
  echo "check-format: run scripts/check-format.sh --fix (or clang-format -i on them)" >&2
  exit 1
fi
echo "check-format: ${#files[@]} files formatted"
