#!/usr/bin/env bash
# The one list of Debian packages framepick needs to build, test, fuzz, benchmark and package.
set -euo pipefail
packages=(
  build-essential cmake pkg-config
  libavformat-dev libavcodec-dev libavutil-dev libswscale-dev
  libturbojpeg0-dev nlohmann-json3-dev libgtest-dev libseccomp-dev
  ffmpeg hyperfine time python3
  python3-jsonschema
  dpkg-dev file  # cpack -G DEB: dpkg-shlibdeps and file derive the package's dependencies
  clang-14 libclang-rt-14-dev valgrind
)
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${packages[@]}" >/dev/null
