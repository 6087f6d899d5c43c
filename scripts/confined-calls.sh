#!/usr/bin/env bash
# Lists the system calls framepick makes once it is confined, over the clips given, and every
# call the filter refused. This is how the allowed list in src/cli/system_call_filter.cpp was
# measured; run it on a new Debian release or FFmpeg before trusting the list there.
#   scripts/confined-calls.sh BINARY CLIP...
set -euo pipefail
binary=$1; shift
work=$(mktemp -d)
trap 'rm -rf "${work}"' EXIT
for clip in "$@"; do
  for frames in 1 12; do
    rm -rf "${work}/frames"
    strace -f -qq -o "${work}/trace" "${binary}" --input "${clip}" --output-dir "${work}/frames" \
      --max-frames "${frames}" --max-dimension 2400 >/dev/null 2>&1 || true
    # Everything after the filter is loaded, by any thread.
    sed -n '/SECCOMP_SET_MODE_FILTER, [0-9A-Z_]*, {len=/,$p' "${work}/trace" | tail -n +2 >> "${work}/after"
  done
done
echo "calls after confinement:"
grep -oE '^[0-9]+ +[a-z0-9_]+\(' "${work}/after" | awk '{print $2}' | tr -d '(' | sort | uniq -c
echo "refused:"
grep -E '= -1 (EPERM|ENOSYS|EACCES)' "${work}/after" | sed -E 's/^[0-9]+ +//' |
  sed -E 's/\(.*= -1/( ... ) = -1/' | sort | uniq -c || true
