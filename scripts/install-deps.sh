#!/usr/bin/env bash
# The one list of Debian packages framepick needs to build, test, fuzz, benchmark and package.
#   install-deps.sh                  installs all of them on this machine
#   install-deps.sh --print RELEASE  prints, one a line, what the Release build and its tests need
#                                    on RELEASE (bookworm, trixie, sid), for scripts/test-debian.sh
set -euo pipefail

# What building and CTest need; the names are the same on every release.
build_and_test=(
  build-essential cmake pkg-config
  libavformat-dev libavcodec-dev libavutil-dev libswscale-dev
  libturbojpeg0-dev nlohmann-json3-dev libgtest-dev libseccomp-dev
  ffmpeg python3 python3-jsonschema
  util-linux  # prlimit, for the fault test
)

# The rest, for this machine: benchmarks, the Debian package, the fuzzer, valgrind and the other
# releases' tests. clang's version is part of its package names, and it differs by release.
tools_for() {
  local clang
  case "$1" in
    bookworm) clang=14 ;;
    trixie) clang=19 ;;
    sid | forky) clang=21 ;;
    *) clang="" ;;
  esac
  local tools=(hyperfine time valgrind strace
    mmdebstrap  # scripts/test-debian.sh: the other releases' root file systems
    dpkg-dev file)  # cpack -G DEB: dpkg-shlibdeps and file derive the package's dependencies
  if [ -n "${clang}" ]; then
    tools+=("clang-${clang}" "libclang-rt-${clang}-dev" "clang-format-${clang}")
  fi
  printf '%s\n' "${tools[@]}"
}

if [ "${1:-}" = "--print" ]; then
  case "${2:-}" in
    bookworm | trixie | sid) printf '%s\n' "${build_and_test[@]}" ;;
    *)
      echo "usage: $0 [--print bookworm|trixie|sid]" >&2
      exit 2
      ;;
  esac
  exit 0
fi

release="$(. /etc/os-release && echo "${VERSION_CODENAME:-}")"
mapfile -t tools < <(tools_for "${release}")
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends \
  "${build_and_test[@]}" "${tools[@]}" >/dev/null
