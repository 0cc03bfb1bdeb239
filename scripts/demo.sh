#!/usr/bin/env bash
# Builds korvane and runs the demo.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/bootstrap.sh"
cd "$KORVANE_ROOT"
build_korvane
python examples/demo.py "$@"
