# SPDX-License-Identifier: GPL-2.0 OR MIT
# The real kernel module: builds it and its test client against each kernel
# of the matrix (Debian 5.10, 6.1 and 6.12; QUORVIN_KERNELS selects some),
# boots those kernels under qemu and checks the module inside
# them, and builds it with DKMS (tests/kernel/vm/vm-test.sh). QUORVIN_SKIP_VM=1 skips
# this step for a quick local run.
set -euo pipefail
if [ "${QUORVIN_SKIP_VM:-}" = 1 ]; then
    echo "kernel VM test skipped (QUORVIN_SKIP_VM=1)"
    exit 0
fi
exec bash "$(dirname "$0")/../../tests/kernel/vm/vm-test.sh"
