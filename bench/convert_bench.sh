#!/usr/bin/env bash
# Conversion benchmark: tarnwick against libtiff's own tools on the same page
# set, in one run, each on one core (taskset -c 0):
#
#   G3 1-D TIFF named .fmf -> G4   tarnwick /f=in.fmf      tiffcp -c g4
#   raw MH stream -> G4            tarnwick /f=in.g3       fax2tiff -M -8
#   raw MR stream -> G4            tarnwick /f=in.mr       fax2tiff -M -2 -A -8
#   raw T.6 stream -> G4           tarnwick /f=in.g4 /raw  fax2tiff -M -4 -8
#   folder of 200 mixed faxes      tarnwick /j=1           tarnwick /j=2
#
# tarnwick reads each page set as one file (the raw pages end to end);
# fax2tiff gets the page files, one page each, as it expects them. Each
# command runs REPEAT times (default 3) and the fastest CPU time (user + sys)
# counts. Prints pages/s by CPU time and wall time, and tarnwick's ratio.
#
#   bench/convert_bench.sh BUILD_DIR PAGES_DIR
set -euo pipefail

build=${1:?usage: convert_bench.sh BUILD_DIR PAGES_DIR}
pages=${2:?usage: convert_bench.sh BUILD_DIR PAGES_DIR}
repeat=${REPEAT:-3}
tarnwick="$build/app/tarnwick"
[ -x "$tarnwick" ] || { echo "convert_bench: $tarnwick is missing" >&2; exit 1; }
for tool in fax2tiff tiffcp taskset bc; do
  command -v "$tool" >/dev/null || { echo "convert_bench: $tool is missing" >&2; exit 1; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$pages/tif/g3_1d.tif" "$work/in.fmf"
cat "$pages"/g3/p*.g3 >"$work/in.g3"
cat "$pages"/mr/p*.mr >"$work/in.mr"
cat "$pages"/g4/p*.g4 >"$work/in.g4"
n=$(ls "$pages"/g3/p*.g3 | wc -l)

# Fastest of $repeat runs on core 0: prints "cpu_seconds wall_seconds".
measure() {
  local best_cpu="" best_wall="" out
  for _ in $(seq "$repeat"); do
    out=$( { TIMEFORMAT='%U %S %R'; time taskset -c 0 "$@" >/dev/null 2>&1; } 2>&1 ) ||
      { echo "convert_bench: failed: $*" >&2; exit 1; }
    read -r user sys wall <<<"$out"
    local cpu
    cpu=$(echo "$user + $sys" | bc -l)
    if [ -z "$best_cpu" ] || [ "$(echo "$cpu < $best_cpu" | bc -l)" = 1 ]; then
      best_cpu=$cpu
      best_wall=$wall
    fi
  done
  echo "$best_cpu $best_wall"
}

rate() { echo "scale=1; $n / $1" | bc -l; }

# compare LABEL "tarnwick command..." "reference command..." REFERENCE_NAME
compare() {
  local label=$1 ours=$2 theirs=$3 name=$4
  read -r ours_cpu ours_wall <<<"$(measure sh -c "$ours")"
  read -r ref_cpu ref_wall <<<"$(measure sh -c "$theirs")"
  printf '%-22s tarnwick %7s pages/s (%5.2fs cpu, %5.2fs wall)   %-20s %7s pages/s (%5.2fs cpu, %5.2fs wall)   ratio %sx\n' \
    "$label" "$(rate "$ours_cpu")" "$ours_cpu" "$ours_wall" "$name" "$(rate "$ref_cpu")" \
    "$ref_cpu" "$ref_wall" "$(echo "scale=2; $ref_cpu / $ours_cpu" | bc -l)"
}

echo "convert_bench: $n pages 1728 x 2200, one core, best CPU time of $repeat runs"
compare "G3 1-D .fmf -> G4" \
  "'$tarnwick' '/f=$work/in.fmf' '/sf=$work/t_fmf.tif' /q" \
  "tiffcp -c g4 '$work/in.fmf' '$work/r_fmf.tif'" "tiffcp -c g4"
compare "raw MH -> G4" \
  "'$tarnwick' '/f=$work/in.g3' '/sf=$work/t_mh.tif' /q" \
  "fax2tiff -M -8 -o '$work/r_mh.tif' '$pages'/g3/p*.g3" "fax2tiff -M -8"
compare "raw MR -> G4" \
  "'$tarnwick' '/f=$work/in.mr' '/sf=$work/t_mr.tif' /q" \
  "fax2tiff -M -2 -A -8 -o '$work/r_mr.tif' '$pages'/mr/p*.mr" "fax2tiff -M -2 -A -8"
# The T.6 pages carry no flag bytes: /raw decodes from the first bit.
compare "raw T.6 -> G4" \
  "'$tarnwick' '/f=$work/in.g4' '/sf=$work/t_mmr.tif' /q /raw" \
  "fax2tiff -M -4 -8 -o '$work/r_mmr.tif' '$pages'/g4/p*.g4" "fax2tiff -M -4 -8"

# Folder jobs: 200 small faxes of mixed families (the samples' families and
# single raw MH, MR and T.6 pages), converted with /j=1 and with /j=2 on every
# core; wall time counts here.
samples="$(cd "$(dirname "$0")/.." && pwd)/samples"
mkdir -p "$work/folder"
mapfile -t kinds < <(find "$samples" -type f ! -name '*.tif' | sort)
i=0
while [ "$i" -lt 200 ]; do
  for src in "${kinds[@]}" "$pages"/g3/p001.g3 "$pages"/mr/p002.mr; do
    [ "$i" -lt 200 ] || break
    ext=${src##*.}
    cp "$src" "$work/folder/f$(printf %03d "$i").$ext"
    i=$((i + 1))
  done
done
folder_run() {
  rm -rf "$work/fout"
  local start end
  start=$(date +%s.%N)
  "$tarnwick" "/d=$work/folder" "/sd=$work/fout" "/j=$1" /q "/log=$work/folder.log" >/dev/null 2>&1 || true
  end=$(date +%s.%N)
  echo "$end - $start" | bc -l
}
best_folder() {
  local best=""
  for _ in $(seq "$repeat"); do
    local t
    t=$(folder_run "$1")
    if [ -z "$best" ] || [ "$(echo "$t < $best" | bc -l)" = 1 ]; then best=$t; fi
  done
  echo "$best"
}
one=$(best_folder 1)
two=$(best_folder 2)
printf '%-22s /j=1 %7s files/s (%5.2fs wall)   /j=2 %7s files/s (%5.2fs wall)   ratio %sx on %s cores\n' \
  "folder of 200 faxes" "$(echo "scale=1; 200 / $one" | bc -l)" "$one" \
  "$(echo "scale=1; 200 / $two" | bc -l)" "$two" "$(echo "scale=2; $one / $two" | bc -l)" "$(nproc)"
