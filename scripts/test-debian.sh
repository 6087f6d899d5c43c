#!/usr/bin/env bash
# Builds framepick and runs its tests (Release) on another Debian release, in a chroot made from
# Debian's own archive: bash scripts/test-debian.sh trixie|sid. Needs root and mmdebstrap.
# The root file system is made once per release and package list, kept under
# /var/cache/framepick-debian (FRAMEPICK_DEBIAN_CACHE), and never changed afterwards: each run
# works in an overlay on top of it that is thrown away at the end.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
release="${1:?usage: $0 trixie|sid}"
cache="${FRAMEPICK_DEBIAN_CACHE:-/var/cache/framepick-debian}"
mirror=http://deb.debian.org/debian

packages="$(bash scripts/install-deps.sh --print "${release}")"
aptopts=()
# Unstable's Release file, as the archive is reached from here, may carry a past Valid-Until.
if [ "${release}" = sid ]; then aptopts=(--aptopt='Acquire::Check-Valid-Until "false"'); fi
key="$(printf '%s\n' "${release}" "${packages}" "${aptopts[@]}" | sha256sum | cut -c1-16)"
rootfs="${cache}/${release}-${key}"

if [ ! -d "${rootfs}" ]; then
  mkdir -p "${cache}"
  rm -rf "${rootfs}.partial"
  echo "making the ${release} root file system in ${rootfs}"
  # No mirror on standard input: mmdebstrap would read one from it when it is not a terminal.
  mmdebstrap --variant=apt --quiet "${aptopts[@]}" --include="$(echo ${packages} | tr ' ' ,)" \
    "${release}" "${rootfs}.partial" "${mirror}" </dev/null
  mv "${rootfs}.partial" "${rootfs}"
fi

work="$(mktemp -d /var/tmp/framepick-debian.XXXXXX)"
trap 'rm -rf "${work}"' EXIT
mkdir -p "${work}/upper" "${work}/scratch" "${work}/root"

# The checkout as git sees it, uncommitted changes included; build trees stay behind.
mkdir -p "${work}/upper/src/framepick"
git ls-files -z --cached --others --exclude-standard |
  tar --null --files-from=- -cf - | tar -xf - -C "${work}/upper/src/framepick"

# What runs inside: the README's build and CTest, after a line saying what it runs on.
cat >"${work}/upper/src/run-tests.sh" <<'EOF'
set -euo pipefail
cd /src/framepick
echo "$(. /etc/os-release && echo "${PRETTY_NAME}"); $(cmake --version | head -1);" \
  "$(g++ --version | head -1); libavcodec $(pkg-config --modversion libavcodec)"
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
cmake --build build -j2
ctest --test-dir build --output-on-failure -j2
EOF

# A mount namespace of its own: the overlay, /proc and /dev go away with it, however it ends.
unshare --mount --propagation private -- bash -euo pipefail -c '
  work="$1"; rootfs="$2"; root="${work}/root"
  mount -t overlay overlay \
    -o "lowerdir=${rootfs},upperdir=${work}/upper,workdir=${work}/scratch" "${root}"
  mount -t proc proc "${root}/proc"
  mount --rbind /dev "${root}/dev"
  mount -t tmpfs tmpfs "${root}/tmp"
  exec chroot "${root}" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root \
    LANG=C.UTF-8 bash /src/run-tests.sh
' bash "${work}" "${rootfs}"
