# shellcheck shell=bash disable=SC2034 # the lists are used by the scripts that source this
# Sourced by scripts/demo, scripts/test and .ci/run: the Debian packages they need, and
# need_packages PACKAGE..., which installs the missing ones when run as root, and otherwise
# prints the apt-get line that installs them and exits 1.
KORVA_BUILD_PACKAGES=(cmake make g++ libisal-dev libzstd-dev)
KORVA_PLOT_PACKAGES=(python3-pandas python3-matplotlib)
KORVA_TEST_PACKAGES=("${KORVA_BUILD_PACKAGES[@]}" "${KORVA_PLOT_PACKAGES[@]}" clang
    libclang-rt-14-dev libgtest-dev libbenchmark-dev postgresql python3-zstandard zstd mandoc
    groff-base man-db dpkg-dev parallel lintian chromium)

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

# The npm packages of the DuckDB and Parquet integration tests (tests/integration/duckdb_test.sh,
# parquet_test.sh: DuckDB, the arrow-rs reader and the arrow tables it hands over), pinned, and
# the folder they are installed in (outside the source tree, kept between runs).
KORVA_NPM_PACKAGES=(@duckdb/node-api@1.5.6-r.1 parquet-wasm@0.8.0 apache-arrow@21.2.0)
KORVA_NPM_CACHE=${KORVA_NPM_CACHE:-${HOME:-/root}/.cache/korva-npm}

# npm_packages_installed: true when every package of KORVA_NPM_PACKAGES is in KORVA_NPM_CACHE at
# its pinned version.
npm_packages_installed() {
    local package installed
    for package in "${KORVA_NPM_PACKAGES[@]}"; do
        installed=$(node -p 'require(process.argv[1]).version' \
            "$KORVA_NPM_CACHE/node_modules/${package%@*}/package.json" 2>/dev/null) || return 1
        [ "$installed" = "${package##*@}" ] || return 1
    done
}

# install_npm_packages: installs KORVA_NPM_PACKAGES into KORVA_NPM_CACHE unless they are there;
# returns 1 when npm fails (its messages on standard error).
install_npm_packages() {
    npm_packages_installed && return 0
    mkdir -p "$KORVA_NPM_CACHE" &&
        npm install --prefix "$KORVA_NPM_CACHE" --save-exact --no-audit --no-fund \
            --loglevel=error "${KORVA_NPM_PACKAGES[@]}" >/dev/null </dev/null &&
        npm_packages_installed
}

# need_node: Node.js and npm on the PATH (Debian's nodejs and npm when either is missing; a
# Node.js installed otherwise, with its own npm, is kept), then the npm packages installed.
need_node() {
    if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
        need_packages nodejs npm
    fi
    install_npm_packages
}
