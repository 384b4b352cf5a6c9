#!/usr/bin/env bash
# The end-to-end walk through the window on a real X server (Xvfb): see e2e.py.
# usage: e2e.sh SEAMWRIGHT WORKDIR [--docs DIR]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
exec xvfb-run -a -s "-screen 0 1600x1000x24 -nolisten tcp" python3 -B "$here/e2e.py" "$@"
