#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0 OR MIT
# Builds and runs every test of the project: each step under scripts/test.d/
# in order. Installs the Debian packages it needs. QUORVIN_SKIP_VM=1 skips the
# kernel boot tests for a quick local run.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
cd "$QUORVIN_ROOT"
need_pkgs "${QUORVIN_BASE_PKGS[@]}"

passed=0
failed=0
failed_steps=()
for step in scripts/test.d/*.sh; do
    name=$(basename "$step" .sh)
    echo "== step $name"
    start=$(date +%s)
    if bash "$step"; then
        passed=$((passed + 1))
        echo "== step $name passed ($(($(date +%s) - start)) s)"
    else
        failed=$((failed + 1))
        failed_steps+=("$name")
        echo "== step $name FAILED ($(($(date +%s) - start)) s)"
    fi
done
[ $failed -eq 0 ] || echo "failed steps: ${failed_steps[*]}"
echo "steps: $passed passed, $failed failed"
[ $failed -eq 0 ]
