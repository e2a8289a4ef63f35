# Shared by scripts/demo and scripts/test: install what the build needs, then configure and build.
set -euo pipefail

PARLEY_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
PARLEY_PACKAGES=(build-essential cmake libasio-dev libgtest-dev googletest clang-14 clang-format
  libclang-rt-14-dev libcli11-dev nlohmann-json3-dev libedit-dev libtomlplusplus-dev help2man
  python3-dev pybind11-dev python3-pytest pkg-config)

# Installs what is missing of PARLEY_PACKAGES and of any packages named as arguments.
parley_install_packages() {
  local missing=()
  for p in "${PARLEY_PACKAGES[@]}" "$@"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing missing packages: ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo=sudo
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
}

# parley_build_fuzz <seconds per target> [inputs per target]: the clang build of the fuzz targets in
# $PARLEY_FUZZ_DIR (libFuzzer with AddressSanitizer and UBSan).
PARLEY_FUZZ_DIR="$PARLEY_ROOT/build-fuzz"
parley_build_fuzz() {
  cmake -S "$PARLEY_ROOT" -B "$PARLEY_FUZZ_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DPARLEY_WERROR=ON -DCMAKE_CXX_COMPILER=clang++-14 -DPARLEY_FUZZ=ON \
    -DPARLEY_FUZZ_SECONDS="$1" -DPARLEY_FUZZ_RUNS="${2:-0}" -DPARLEY_BUILD_BENCH=OFF >/dev/null
  cmake --build "$PARLEY_FUZZ_DIR" -j"$(nproc)" --target parley_fuzz
}

# parley_build <build-dir> [cmake options...]
parley_build() {
  local dir=$1
  shift
  cmake -S "$PARLEY_ROOT" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPARLEY_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j"$(nproc)"
}

# The tests that scripts/test-as-user runs as an ordinary user: programs sharing ports, real
# pseudo-terminals, the tools and the Python module.
PARLEY_USER_TESTS='SharedPort|PosixSerialPort|Pty|ForwardingPty|Parleyctl|ParleyTool|SimLaunch|RuntimeFolder|EtherE2e|python'
