#!/usr/bin/env bash
# The power-cut explorer of the suite over every state it makes, not a sample:
# a full update, a delta, a failing update and the --recover of a killed apply,
# each state recovered and checked. Prints the cut points and states of each path.
set -euo pipefail
. "$(dirname "$0")/sandbox.sh" power-cuts
cmake --build "$build" -j"$(nproc)" --target test_end_to_end farwen_swap_shim >/dev/null
FARWEN_CUTS_ALL=1 QT_QPA_PLATFORM=offscreen unshare -p -f --mount-proc "$bin/test_end_to_end" powerCuts 2>&1 \
  | grep -E "cut points|^cut |FAIL|Totals"
