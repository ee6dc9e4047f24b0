# shellcheck shell=bash disable=SC2034  # passed and failed are read by the sourcing scripts
# Sourced by the integration scripts: check WHAT GOT WANT prints an ok or FAIL line and counts
# it; the script ends with `echo "$passed passed, $failed failed"`. skip WHY ends the script as
# skipped (77), or failed under CI, for want of a tool. need_npm_packages: Node.js and the npm
# packages pinned in scripts/packages.sh, installed into $KORVA_NPM_CACHE (exported), or skip.
passed=0
failed=0
check() {
    if [ "$2" = "$3" ]; then
        passed=$((passed + 1))
        echo "ok   - $1"
    else
        failed=$((failed + 1))
        echo "FAIL - $1: got [$2], want [$3]"
    fi
}
skip() {
    echo "$1"
    if [ -n "${CI:-}" ]; then exit 1; else exit 77; fi
}
need_npm_packages() {
    # shellcheck source=scripts/packages.sh
    . "$(dirname "${BASH_SOURCE[0]}")/../../scripts/packages.sh"
    command -v node >/dev/null && command -v npm >/dev/null ||
        skip "node or npm is missing: apt-get install nodejs npm"
    install_npm_packages || skip "npm could not install ${KORVA_NPM_PACKAGES[*]} into $KORVA_NPM_CACHE"
    export KORVA_NPM_CACHE
}
