#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0 OR MIT
# Every tracked source, script and build file carries the licence line.
set -euo pipefail
exec bash "$(dirname "$0")/../spdx.sh"
