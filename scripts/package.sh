#!/usr/bin/env bash
# Builds the Debian package from the Release build in build/, installs it on this machine with
# apt-get, and runs the installed binary on a sample clip, checking its report against the
# installed schema. Run as root, or as a user with sudo.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
cmake --build build --target framepick framepick_man -j"$(nproc)"
rm -f build/framepick_*.deb
(cd build && cpack -G DEB)
debs=(build/framepick_*.deb)
deb="${debs[0]}"
dpkg-deb --info "${deb}"
dpkg-deb --contents "${deb}"

# apt installs only what Depends names, so a library missing there is missing on a fresh machine.
depends="$(dpkg-deb --field "${deb}" Depends)"
for library in libavcodec libavformat libavutil libswscale libturbojpeg; do
  if ! grep -q "${library}[0-9]" <<<"${depends}"; then
    echo "the package does not depend on ${library}: ${depends}" >&2
    exit 1
  fi
done

sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
# --reinstall: a package of the same version from an earlier run would otherwise stay in place.
"${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive \
  apt-get install -y -qq --reinstall "./${deb}"
[ "$(dpkg-query --show --showformat='${Status}' framepick)" = "install ok installed" ]

work="$(mktemp -d)"
trap 'rm -rf "${work}"' EXIT
ffmpeg -v error -nostdin -y -f lavfi -i testsrc2=s=640x360:r=25:d=3 \
  -c:v libx264 -pix_fmt yuv420p "${work}/clip.mp4"
status=0
/usr/bin/framepick --input "${work}/clip.mp4" --output-dir "${work}/frames" --max-frames 3 \
  >"${work}/report.json" 2>"${work}/stderr" || status=$?
cat "${work}/report.json"
if [ "${status}" -ne 0 ] || [ -s "${work}/stderr" ]; then
  echo "the installed framepick exited with status ${status}; standard error:" >&2
  cat "${work}/stderr" >&2
  exit 1
fi
/usr/bin/python3 scripts/check_report.py /usr/share/framepick/report.schema.json \
  "${work}/report.json"
/usr/bin/python3 - "${work}/report.json" "${work}/frames" <<'PYTHON'
import json, os, sys
report = json.load(open(sys.argv[1]))
names = [frame["fileName"] for frame in report["frames"]]
assert report["ok"] is True and len(names) == 3, report
assert sorted(os.listdir(sys.argv[2])) == names, os.listdir(sys.argv[2])
PYTHON
test -s /usr/share/man/man1/framepick.1.gz
echo "installed ${deb} and ran /usr/bin/framepick on a sample clip: ok"
