# Sourced by the scripts: installs the Debian packages the build needs when
# any is missing (only as root with apt-get; otherwise it just reports).
OAM_PACKAGES=(build-essential cmake pkg-config zlib1g-dev libminizip-dev libdeflate-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev libcli11-dev nlohmann-json3-dev
  libssl-dev openssl python3 python3-pytest python3-setuptools python3-wheel python3-pip
  python3-pytest-asyncio mypy
  zip unzip clang libclang-rt-14-dev help2man ccache abigail-tools)

# Installs those of the named packages that are missing.
oam_install_missing() {  # package...
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
    echo "installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq >/dev/null
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  else
    echo "missing packages (install them first): ${missing[*]}" >&2
    return 1
  fi
}

oam_ensure_deps() {
  oam_install_missing "${OAM_PACKAGES[@]}"
}

# Run directly, it installs what is missing.
if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  oam_ensure_deps
fi
