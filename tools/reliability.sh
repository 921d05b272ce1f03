#!/usr/bin/env bash
# The reliability jobs as CI runs them: the whole suite under ASan + UBSan,
# then the whole suite on the debug interpreter with reference-leak checks.
# Each is one command on its own: tools/sanitize.sh, tools/refleak.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
echo "+ tools/sanitize.sh"
tools/sanitize.sh -q
echo "+ tools/refleak.sh"
tools/refleak.sh -q
