#!/bin/sh
# The GPU check of a package made by scripts/gpu-check.sh; the checks are gpucheck.py's.
#   run.sh [--out OUT] [--budget SECONDS] [--jobs N]      (run.sh --help says more)
here=$(cd "$(dirname "$0")" && pwd)
for py in python3 python3.13 python3.12 python3.11 python3.10 python3.9 python3.8; do
    if command -v "$py" >/dev/null 2>&1 &&
        "$py" -c 'import sys; sys.exit(sys.version_info < (3, 8))' 2>/dev/null; then
        exec "$py" "$here/gpucheck.py" "$@"
    fi
done
echo "run.sh: the GPU check needs Python 3.8 or newer (python3 on PATH)" >&2
exit 2
