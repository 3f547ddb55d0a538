#!/bin/bash
# Builds the helper's Debian package from built files: lays them out under a staging root,
# writes the control files (dependencies from dpkg-shlibdeps) and runs dpkg-deb. Called by the
# `deb` build target (make package).
#
#   build-deb.sh --out FILE --version V --scripts DIR [--put SRC DEST MODE]... [--man PAGE]...
#                [--doc FILE]... [--depends PACKAGE]... [--shared-library]
#
# DEST is relative to /. --man takes a page named NAME.SECTION. --depends adds a dependency
# that no library link shows (a tool a piece runs). --shared-library adds the ldconfig trigger
# for a library the package ships.
set -euo pipefail

readonly package=tamsel-helper
readonly maintainer="Tamsel developers <dev@tamsel.app>"

out="" version="" scripts="" shared_library=0
puts=() mans=() docs=() depends=()
while [ $# -gt 0 ]; do
  case $1 in
    --out) out=$2; shift 2 ;;
    --version) version=$2; shift 2 ;;
    --scripts) scripts=$2; shift 2 ;;
    --put) puts+=("$2" "$3" "$4"); shift 4 ;;
    --man) mans+=("$2"); shift 2 ;;
    --doc) docs+=("$2"); shift 2 ;;
    --depends) depends+=("$2"); shift 2 ;;
    --shared-library) shared_library=1; shift ;;
    *) echo "build-deb.sh: unknown argument $1" >&2; exit 2 ;;
  esac
done
[ -n "$out" ] && [ -n "$version" ] && [ -d "$scripts" ] || {
  echo "usage: build-deb.sh --out FILE --version V --scripts DIR [--put SRC DEST MODE]..." >&2
  exit 2
}

umask 022
root=$out.root
rm -rf "$root"
mkdir -p "$root/DEBIAN"
for ((i = 0; i < ${#puts[@]}; i += 3)); do
  install -D -m "${puts[i + 2]}" "${puts[i]}" "$root/${puts[i + 1]}"
done
for page in "${mans[@]}"; do
  name=$(basename "$page")
  dir=$root/usr/share/man/man${name##*.}
  mkdir -p "$dir"
  gzip -9n <"$page" >"$dir/$name.gz"
done
doc=$root/usr/share/doc/$package
mkdir -p "$doc"
for f in "${docs[@]}"; do
  install -m 0644 "$f" "$doc/$(basename "$f")"
done
# The changelog a native package carries: one entry for this build, dated by the last commit
# when there is one, so the same tree builds the same package.
when=${SOURCE_DATE_EPOCH:-$(git -C "$(dirname "$0")" log -1 --format=%ct 2>/dev/null || date +%s)}
{
  echo "$package ($version) unstable; urgency=medium"
  echo
  echo "  * Build of TamselHelper $version."
  echo
  echo " -- $maintainer  $(date -u -R -d "@$when")"
} | gzip -9n >"$doc/changelog.gz"
find "$root" -exec touch -h -d "@$when" {} +

for script in postinst prerm postrm; do
  install -m 0755 "$scripts/$script" "$root/DEBIAN/$script"
done
if [ "$shared_library" = 1 ]; then
  echo "activate-noawait ldconfig" >"$root/DEBIAN/triggers"
fi

# Library dependencies of every ELF file, the way a source package's build would find them.
elves=()
while IFS= read -r -d '' f; do
  if [ "$(head -c 4 "$f" | od -An -c | tr -d ' ')" = '177ELF' ]; then elves+=("$f"); fi
done < <(find "$root" -path "$root/DEBIAN" -prune -o -type f -print0)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/debian"
printf 'Source: %s\n\nPackage: %s\nArchitecture: any\n' "$package" "$package" >"$work/debian/control"
shlibs=$(cd "$work" && dpkg-shlibdeps -O "${elves[@]}" | sed -n 's/^shlibs:Depends=//p')

arch=$(dpkg --print-architecture)
size=$(du -sk --exclude=DEBIAN "$root" | cut -f1)
cat >"$root/DEBIAN/control" <<CONTROL
Package: $package
Version: $version
Architecture: $arch
Maintainer: $maintainer
Installed-Size: $size
Depends: ${shlibs:+$shlibs, }init-system-helpers (>= 1.54~), systemd${depends[*]:+$(printf ', %s' "${depends[@]}")}
Section: admin
Priority: optional
Homepage: https://tamsel.app
Description: privileged helper of the Tamsel application
 TamselHelper runs as root, started by systemd on the first connection to its
 socket, and does for the code-signed Tamsel application the chores that need
 root: per-domain resolver files, its root CA in the system keychain, the
 tamsel command-line tool, listening sockets on privileged ports, handing a
 data directory back to its user, and its own log export.
 .
 tamsel-helperctl calls its operations and reports on its state (status,
 doctor).
CONTROL
(cd "$root" && find . -path ./DEBIAN -prune -o -type f -printf '%P\0' | sort -z |
  xargs -0 md5sum) >"$root/DEBIAN/md5sums"
chmod 0644 "$root/DEBIAN/control" "$root/DEBIAN/md5sums"

dpkg-deb --root-owner-group -Zxz --build "$root" "$out.new" >/dev/null
mv -f "$out.new" "$out"
rm -rf "$root"
