#!/usr/bin/env bash
# Runs test functions of a Qt test program as a user without root's powers: the cases root cannot try
# (a file it may not read, a folder it may not write), which the program skips when run as root.
#
#   unprivileged.sh <test-program> <function>...
#
# As root it runs them as $QUILLBEAT_TEST_USER (scripts/test makes that user and sets it), with a home,
# settings and temporary folder of that user's own, and fails unless every function ran and passed:
# a skip here is a failure. As any other user it does nothing and reports a skip (exit 77): the
# program's own run tries the cases as that user. So does root without QUILLBEAT_TEST_USER.
set -uo pipefail

program=$1
shift
if [ "$(id -u)" -ne 0 ]; then
  echo "not root: the test's own run tries these cases as $(id -un)"
  exit 77
fi
user=${QUILLBEAT_TEST_USER:-}
if [ -z "$user" ]; then
  echo "root, and no QUILLBEAT_TEST_USER to run these cases as (scripts/test makes one): not run"
  exit 77
fi
if ! uid=$(id -u "$user" 2>/dev/null) || [ "$uid" -eq 0 ]; then
  echo "unprivileged.sh: QUILLBEAT_TEST_USER=$user is no user other than root" >&2
  exit 1
fi
gid=$(id -g "$user")

home=$(mktemp -d)
log=$(mktemp)
trap 'rm -rf "$home" "$log"' EXIT
chown "$uid:$gid" "$home"

echo "as $user ($uid:$gid): $program $*"
HOME=$home XDG_CONFIG_HOME=$home/config XDG_CACHE_HOME=$home/cache TMPDIR=$home \
  setpriv --reuid="$uid" --regid="$gid" --clear-groups --inh-caps=-all -- "$program" "$@" 2>&1 | tee "$log"
status=${PIPESTATUS[0]}
case $status in
  0) ;;
  126 | 127)
    echo "unprivileged.sh: $user cannot run $program: the source tree and the build folder must be" \
      "readable by it, and every folder above them searchable" >&2
    exit 1
    ;;
  *) exit "$status" ;;
esac
if grep -q '^SKIP' "$log"; then
  echo "unprivileged.sh: a case was skipped even as $user" >&2
  exit 1
fi
for function in "$@"; do
  if ! grep -q "^PASS   : [A-Za-z0-9_:]*::$function(" "$log"; then
    echo "unprivileged.sh: $function did not run" >&2
    exit 1
  fi
done
