#!/usr/bin/env bash
# Runs shellcheck over every shell script in the repository: those named *.sh or *.sh.in
# and those whose first line names a shell. Installs shellcheck first when it is missing.
# Usage: scripts/shellcheck.sh
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/ensure-packages shellcheck
scripts=()
while IFS= read -r -d '' file; do
    case $file in
    *.sh | *.sh.in) scripts+=("$file") ;;
    *) head -n 1 "$file" | grep -qE '^#! ?(/usr)?/bin/(env +)?(ba|da)?sh( |$)' && scripts+=("$file") ;;
    esac
done < <(git ls-files -z --cached --others --exclude-standard)
shellcheck "${scripts[@]}"
echo "shellcheck: ${#scripts[@]} scripts, no findings"
