# Sourced by the scripts: installs the named Debian packages that are missing.
ensure_packages() {
  local missing=()
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# Everything the build, the tests and the demo use.
FARWEN_PACKAGES=(cmake make g++ qtbase5-dev qt6-base-dev g++-mingw-w64-x86-64-posix
                 libarchive-tools libarchive-dev libsodium-dev libzstd-dev libdivsufsort-dev libssl-dev zlib1g-dev minisign openssl osslsigncode pkg-config tinyproxy xvfb xauth xdotool e2fsprogs util-linux curl python3 fonts-dejavu-core time procps wine64 acl faketime rsync)
# What the demo alone uses: the Qt 5 build, bsdtar, minisign and a virtual display.
FARWEN_DEMO_PACKAGES=(cmake make g++ qtbase5-dev libarchive-tools libarchive-dev libsodium-dev libzstd-dev libdivsufsort-dev libssl-dev minisign pkg-config
                      xvfb xauth fonts-dejavu-core procps)
