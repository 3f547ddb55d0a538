#!/bin/bash
# Puts the tamsel source on the hosts line of nsswitch.conf, before dns or resolve (at the end
# when neither is there), or takes it out again. The rest of the line stays as it was, and running
# either action twice changes nothing more. The file is replaced atomically, and only when it
# changes.
#
#   nsswitch.sh add|remove [FILE]      (FILE: /etc/nsswitch.conf)
#
# The entry is "tamsel [NOTFOUND=return]": a name under a routed top-level label that its name
# server does not know goes no further; every other name passes on to the next source.
set -euo pipefail

readonly entry='tamsel [NOTFOUND=return]'

usage() {
  echo "usage: nsswitch.sh add|remove [FILE]" >&2
  exit 2
}
[ $# -ge 1 ] && [ $# -le 2 ] || usage
action=$1
file=${2:-/etc/nsswitch.conf}
case $action in add | remove) ;; *) usage ;; esac

if [ ! -e "$file" ]; then
  [ "$action" = add ] || exit 0
  : >>"$file"
fi

# On the first hosts line, the part before any comment is changed; the comment stays behind it.
edit() {
  awk -v action="$action" -v entry="$entry" '
    function add(body,    end) {
      if (body ~ /[[:space:]:]tamsel([[:space:]]|\[|$)/) return body
      if (match(body, /[[:space:]](dns|resolve)([[:space:]]|\[|$)/))
        return substr(body, 1, RSTART) entry " " substr(body, RSTART + 1)
      match(body, /[[:space:]]*$/)
      return substr(body, 1, RSTART - 1) " " entry substr(body, RSTART)
    }
    function cut(body, piece,    at) {
      at = index(body, piece)
      return at ? substr(body, 1, at - 1) substr(body, at + length(piece)) : ""
    }
    function remove(body,    out) {
      if ((out = cut(body, entry " ")) != "") return out
      if ((out = cut(body, " " entry)) != "") return out
      if ((out = cut(body, "tamsel ")) != "" && body ~ /[[:space:]:]tamsel /) return out
      if ((out = cut(body, " tamsel")) != "" && body ~ / tamsel([[:space:]]|$)/) return out
      return body
    }
    !seen && /^[[:space:]]*hosts[[:space:]]*:/ {
      seen = 1
      hash = index($0, "#")
      body = hash ? substr($0, 1, hash - 1) : $0
      rest = hash ? substr($0, hash) : ""
      print (action == "add" ? add(body) : remove(body)) rest
      next
    }
    { print }
    END { if (!seen && action == "add") print "hosts:          files " entry " dns" }
  ' "$file"
}

dir=$(dirname -- "$file")
staged=$(mktemp "$dir/.nsswitch.conf.XXXXXX")
trap 'rm -f -- "$staged"' EXIT
edit >"$staged"
if cmp -s -- "$staged" "$file"; then
  exit 0
fi
chmod --reference="$file" -- "$staged"
chown --reference="$file" -- "$staged" 2>/dev/null || true
mv -f -- "$staged" "$file"
trap - EXIT
