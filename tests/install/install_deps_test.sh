#!/usr/bin/env bash
# Runs scripts/install-deps against a fake apt-get, apt-cache, dpkg and
# dpkg-query, as a broken mirror and a broken project would serve them, and
# checks its verdict: a failed index alone is a warning, uninstallable :armhf
# libraries are status 3 with the reason, anything else is a failure.
#   install_deps_test.sh <source dir>
set -euo pipefail
script=$1/scripts/install-deps
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAILED: $*" >&2; exit 1; }

mkdir "$work/bin"
cat >"$work/bin/apt-get" <<'FAKE'
#!/usr/bin/env bash
echo "apt-get $*" >>"$FAKE_LOG"
case $1 in
  update)
    case ${FAKE_UPDATE:-ok} in
      broken-index)
        echo "Err:4 http://mirror/debian-security bookworm-security/main armhf Packages"
        echo "E: Failed to fetch http://mirror/binary-armhf/Packages.xz  File has unexpected size (1 != 2). Mirror sync in progress?"
        exit 100 ;;
      transient-once)
        [ -e "$FAKE_LOG.once" ] && exit 0
        touch "$FAKE_LOG.once"
        echo "Err:1 http://mirror bookworm InRelease"
        echo "  Temporary failure resolving 'mirror'"
        exit 100 ;;
    esac ;;
  install)
    [ "${FAKE_INSTALL:-ok}" = ok ] || { echo "E: Unable to locate package"; exit 100; }
    if [ "${FAKE_ARMHF:-ok}" = broken ] && [[ "$*" == *:armhf* ]]; then
      echo "The following packages have unmet dependencies:"
      echo " libc6-dev:armhf : Depends: linux-libc-dev:armhf but it is not going to be installed"
      echo "E: Unable to correct problems, you have held broken packages." >&2
      exit 100
    fi ;;
esac
exit 0
FAKE
cat >"$work/bin/apt-cache" <<'FAKE'
#!/usr/bin/env bash
[[ " ${FAKE_UNKNOWN:-} " == *" $2 "* ]] && exit 100
exit 0
FAKE
cat >"$work/bin/dpkg" <<'FAKE'
#!/usr/bin/env bash
[ "$1" = --print-foreign-architectures ] && echo armhf
exit 0
FAKE
cat >"$work/bin/dpkg-query" <<'FAKE'
#!/usr/bin/env bash
[ "${FAKE_ALL_INSTALLED:-0}" = 1 ] && printf 'install ok installed'
exit 0
FAKE
printf '#!/bin/sh\nexec "$@"\n' >"$work/bin/sudo"
chmod +x "$work"/bin/*

# run <expected status> <options...>: runs the script, keeps its output in $out.
run() {
  local expected=$1; shift
  : >"$work/log"; rm -f "$work/log.once"
  local status=0
  out=$(PATH="$work/bin:$PATH" APT_GET=apt-get APT_CACHE=apt-cache DPKG=dpkg DPKG_QUERY=dpkg-query \
        FAKE_LOG="$work/log" INSTALL_DEPS_RETRY_PAUSE=0 "$script" "$@" 2>&1) || status=$?
  [ $status -eq "$expected" ] || fail "$* (${FAKE_CASE}): status $status, not $expected; output:
$out"
}
expect_output() { grep -qF -- "$1" <<<"$out" || fail "${FAKE_CASE}: no '$1' in:
$out"; }
expect_calls() { [ "$(grep -c "^apt-get $1" "$work/log")" -eq "$2" ] || fail "${FAKE_CASE}: apt-get $1 not called $2 time(s)"; }

FAKE_CASE="nothing missing" FAKE_ALL_INSTALLED=1 run 0 --armhf
expect_calls "" 0

FAKE_CASE="one failed index, packages install" FAKE_UPDATE=broken-index run 0
expect_output "warning: apt-get update could not read every package list"
expect_output "Mirror sync in progress?"
expect_calls "install" 1

FAKE_CASE="transient failure retried" FAKE_UPDATE=transient-once run 0
expect_calls "update" 2
grep -q warning <<<"$out" && fail "transient failure retried: warned although the retry succeeded"

FAKE_CASE="armhf libraries uninstallable" FAKE_UPDATE=broken-index FAKE_ARMHF=broken run 3 --armhf
expect_output "install-deps: armhf unavailable:"
expect_output "libc6-dev:armhf : Depends: linux-libc-dev:armhf"

FAKE_CASE="unknown armhf package" FAKE_ARMHF=broken FAKE_UNKNOWN="libcap-dev:armhf" run 1 --armhf
expect_output "unknown package: libcap-dev:armhf"

FAKE_CASE="native install fails" FAKE_INSTALL=fail run 1 --test
expect_output "could not install:"

FAKE_CASE="bad option" run 2 --everything
echo "install-deps: all cases passed"
