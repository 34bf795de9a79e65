#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0 OR MIT
# The Debian packages (quorvin-awb-dkms, libquorvin-awb-dev) built, installed,
# used and purged, and the library installed with cmake --install
# (scripts/package-test.sh). Runs as root or through sudo. QUORVIN_SKIP_VM=1
# skips its VM boot; QUORVIN_SKIP_PACKAGES=1 skips the whole step.
set -euo pipefail
if [ "${QUORVIN_SKIP_PACKAGES:-}" = 1 ]; then
    echo "package test skipped (QUORVIN_SKIP_PACKAGES=1)"
    exit 0
fi
exec bash "$(dirname "$0")/../package-test.sh"
