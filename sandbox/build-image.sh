#!/bin/bash
# Lays out, in OUT, every built file the sandbox needs at the path it takes inside the sandbox;
# sandbox/run copies OUT into each fresh root. Called by the sandbox_image build target, which
# signs what needs signing first.
#
#   build-image.sh --out DIR [--put SRC DEST MODE]... [--put-tampered SRC DEST]...
#
# DEST is relative to the sandbox's /. --put-tampered copies a signed file and then changes one
# byte that its signature covers.
set -euo pipefail

out=""
puts=()
tampered=()
while [ $# -gt 0 ]; do
  case $1 in
    --out) [ $# -ge 2 ] || break; out=$2; shift 2 ;;
    --put) [ $# -ge 4 ] || break; puts+=("$2" "$3" "$4"); shift 4 ;;
    --put-tampered) [ $# -ge 3 ] || break; tampered+=("$2" "$3"); shift 3 ;;
    *) echo "build-image.sh: unknown option $1" >&2; exit 2 ;;
  esac
done
if [ $# -ne 0 ] || [ -z "$out" ]; then
  echo "usage: build-image.sh --out DIR [--put SRC DEST MODE]... [--put-tampered SRC DEST]..." >&2
  exit 2
fi

# Changes one byte of the ELF identification padding: ignored by the loader, covered by the
# signature. The file still runs but no longer matches what was signed.
tamper() {
  printf '\x5a' | dd of="$1" bs=1 seek=12 count=1 conv=notrunc status=none
  ! cmp -s "$1" "$2" || { echo "build-image.sh: tampering left $1 unchanged" >&2; exit 1; }
}

stage=$out.new
rm -rf "$stage"
mkdir -p "$stage"
for ((i = 0; i < ${#puts[@]}; i += 3)); do
  install -D -m "${puts[i + 2]}" "${puts[i]}" "$stage/${puts[i + 1]}"
done
for ((i = 0; i < ${#tampered[@]}; i += 2)); do
  install -D -m 0755 "${tampered[i]}" "$stage/${tampered[i + 1]}"
  tamper "$stage/${tampered[i + 1]}" "${tampered[i]}"
done
touch "$stage/.complete"
rm -rf "$out"
mv "$stage" "$out"
