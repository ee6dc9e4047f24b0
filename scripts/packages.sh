# shellcheck shell=bash disable=SC2034 # the lists are used by the scripts that source this
# Sourced by scripts/demo, scripts/test and .ci/run: the Debian packages they need, and
# need_packages PACKAGE..., which installs the missing ones when run as root, and otherwise
# prints the apt-get line that installs them and exits 1.
KORVA_BUILD_PACKAGES=(cmake make g++ libisal-dev libzstd-dev)
KORVA_TEST_PACKAGES=("${KORVA_BUILD_PACKAGES[@]}" clang libclang-rt-14-dev libgtest-dev
    libbenchmark-dev postgresql python3-pandas python3-zstandard zstd mandoc groff-base man-db
    dpkg-dev parallel)

need_packages() {
    command -v dpkg-query >/dev/null || return 0 # not Debian: the build tells what is missing
    local missing=() package
    for package in "$@"; do
        [ "$(dpkg-query -W -f='${db:Status-Abbrev}' "$package" 2>/dev/null)" = "ii " ] ||
            missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" = 0 ]; then
        echo "Installing ${missing[*]}" >&2
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
    else
        echo "Missing Debian packages; install them as root with:" >&2
        echo "apt-get install ${missing[*]}" >&2
        exit 1
    fi
}
