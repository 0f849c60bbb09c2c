# Installs the Debian packages that are missing of a list: the demo's (build
# the tool and the emulator bench, run it on a fast clock), then those given
# as arguments, e.g. the tests' list below. Sourced by the demo, test and
# benchmark scripts.
BRISK_DEMO_PACKAGES=(
  cmake ninja-build g++ pkg-config python3
  libglib2.0-dev libumockdev-dev umockdev nlohmann-json3-dev libfaketime faketime
)
BRISK_TEST_PACKAGES=(
  procps util-linux googletest libgtest-dev libgmock-dev sg3-utils
  dpkg-dev debhelper build-essential file binutils lintian groff-base man-db
  ansible-core ansible-lint
  qemu-system-x86 qemu-block-extra busybox-static cpio kmod lsscsi mt-st mtx tgt
)

brisk_install_packages() {
  local missing=() p
  for p in "${BRISK_DEMO_PACKAGES[@]}" "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get -o DPkg::Lock::Timeout=900 install -y --no-install-recommends "${missing[@]}" >/dev/null 2>&1 || {
    apt-get -o DPkg::Lock::Timeout=900 update -qq &&
    apt-get -o DPkg::Lock::Timeout=900 install -y --no-install-recommends "${missing[@]}"
  }
}
