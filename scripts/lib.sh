# Shared by the scripts: quiet installation of the Debian packages we need.
# shellcheck shell=bash

# ensure_packages PKG...: installs the packages that are missing, through
# sudo when not root. Says nothing when all are present.
ensure_packages() {
  local missing=() pkg
  for pkg in "$@"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "ok installed" || missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  local sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  "${sudo[@]}" apt-get update -qq >/dev/null
  "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# What building and testing need.
BUILD_PACKAGES=(cmake ninja-build g++ pkg-config libgtest-dev libgmock-dev libbenchmark-dev
  libelf-dev libcli11-dev zlib1g-dev libssl-dev nlohmann-json3-dev qt6-base-dev libgl-dev libfontconfig-dev
  fonts-ipafont-gothic qt6-translations-l10n)
TEST_PACKAGES=(srecord binutils xvfb xauth clang libclang-rt-14-dev dpkg-dev lintian file
  desktop-file-utils man-db)

# Configures and builds into $1 with the extra CMake arguments that follow.
build_tree() {
  local dir=$1
  shift
  if [ ! -f "$dir/build.ninja" ]; then
    cmake -S "$ROOT" -B "$dir" -G Ninja "$@" >/dev/null
  fi
  if ! cmake --build "$dir" -j "$(nproc)" >"$dir/build.log" 2>&1; then
    grep -E -A5 'error|FAILED' "$dir/build.log" | head -80
    echo "build failed: see $dir/build.log" >&2
    return 1
  fi
}

# build_targets DIR TARGET... [-- CMAKE_ARGS...]: configures DIR like
# build_tree when it is new, then builds only the named targets. Quiet unless
# the build fails.
build_targets() {
  local dir=$1
  shift
  local targets=()
  while [ $# -gt 0 ] && [ "$1" != "--" ]; do
    targets+=("$1")
    shift
  done
  [ "${1:-}" = "--" ] && shift
  if [ ! -f "$dir/build.ninja" ]; then
    cmake -S "$ROOT" -B "$dir" -G Ninja "$@" >/dev/null
  fi
  if ! cmake --build "$dir" -j "$(nproc)" --target "${targets[@]}" >"$dir/build.log" 2>&1; then
    grep -E -A5 'error|FAILED' "$dir/build.log" | head -80
    echo "build failed: see $dir/build.log" >&2
    return 1
  fi
}

# wait_for SECONDS COMMAND...: polls COMMAND every 0.1 s until it succeeds;
# fails when SECONDS have passed.
wait_for() {
  local deadline=$((SECONDS + $1))
  shift
  until "$@"; do
    [ $SECONDS -ge $deadline ] && return 1
    sleep 0.1
  done
}
