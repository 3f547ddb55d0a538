#!/bin/bash
# Checks the package on the host: lintian (errors and warnings fail; the overrides the package
# ships explain the rest), groff warnings in the manuals, and the bash completion against the
# operations tamsel-helperctl knows.
#
#   lint_package.sh DEB MAN_DIR TAMSEL_HELPERCTL
set -euo pipefail

deb=$1 man_dir=$2 helperctl=$3
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

command -v lintian >/dev/null || { echo "lintian is not installed (skipping)" >&2; exit 77; }
if ! lintian --fail-on error,warning --display-info --info "$deb"; then
  fail "lintian"
fi

for page in "$man_dir"/*.[0-9]; do
  warnings=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 \
    man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "groff warnings in $(basename "$page"):"$'\n'"$warnings"
done

# Completing the first word offers every operation's short name and selector, status and doctor.
offered=$(
  PATH=$(dirname "$helperctl"):$PATH
  source "$here/../completion/tamsel-helperctl"
  COMP_WORDS=(tamsel-helperctl "") COMP_CWORD=1
  _tamsel_helperctl
  printf '%s\n' "${COMPREPLY[@]}" | sort
)
for word in ping install-resolver pingWithReply: "installResolverWithTld:listenAddress:port:reply:" \
  status doctor; do
  grep -qxF -- "$word" <<<"$offered" || fail "completion does not offer $word"
done
[ "$(wc -l <<<"$offered")" = 24 ] || fail "completion offers $(wc -l <<<"$offered") words, not 24"

[ "$failures" = 0 ] || exit 1
echo "package lint: all checks passed"
