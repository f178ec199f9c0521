#!/usr/bin/env bash
# Raw stream conversion benchmark: a 100-page raw MH stream and a 100-page raw
# T.6 stream to T.6 TIFF with the tarnwick executable, and the same MH stream
# with libtiff's fax2tiff followed by tiffcp -c g4, in one run.
#
#   bench/raw_bench.sh BUILD_DIR PAGES_DIR
set -euo pipefail

build=${1:?usage: raw_bench.sh BUILD_DIR PAGES_DIR}
pages=${2:?usage: raw_bench.sh BUILD_DIR PAGES_DIR}
tarnwick="$build/app/tarnwick"
[ -x "$tarnwick" ] || { echo "raw_bench: $tarnwick is missing" >&2; exit 1; }
command -v fax2tiff >/dev/null || { echo "raw_bench: fax2tiff is missing" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cat "$pages"/g3/p*.g3 >"$work/in.g3"
cat "$pages"/g4/p*.g4 >"$work/in.g4"
n=$(ls "$pages"/g3/p*.g3 | wc -l)

seconds() { # command... -> elapsed seconds
  local start end
  start=$(date +%s.%N)
  "$@" >/dev/null 2>&1 || { echo "raw_bench: failed: $*" >&2; exit 1; }
  end=$(date +%s.%N)
  echo "$end - $start" | bc -l
}
rate() { echo "scale=1; $n / $1" | bc -l; }

# The MH pages carry no flag bytes: the defaults apply. The T.6 pages neither:
# "/raw" decodes from the first bit.
t_mh=$(seconds "$tarnwick" "/f=$work/in.g3" "/sf=$work/mh.tif" /q)
t_mmr=$(seconds "$tarnwick" "/f=$work/in.g4" "/sf=$work/mmr.tif" /q /raw)
t_ref=$(seconds sh -c "fax2tiff -M -o '$work/ref3.tif' '$work/in.g3' && tiffcp -c g4 '$work/ref3.tif' '$work/ref4.tif'")

printf 'raw MH  %3d pages: tarnwick %6.2fs  %7s pages/s\n' "$n" "$t_mh" "$(rate "$t_mh")"
printf 'raw T.6 %3d pages: tarnwick %6.2fs  %7s pages/s\n' "$n" "$t_mmr" "$(rate "$t_mmr")"
printf 'raw MH  %3d pages: fax2tiff+tiffcp %6.2fs  %7s pages/s\n' "$n" "$t_ref" "$(rate "$t_ref")"
printf 'ratio tarnwick / (fax2tiff+tiffcp) time, MH: %s\n' "$(echo "scale=2; $t_mh / $t_ref" | bc -l)"
printf 'ratio T.6 / MH time (tarnwick): %s\n' "$(echo "scale=2; $t_mmr / $t_mh" | bc -l)"
