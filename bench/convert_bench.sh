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
# /j=1 runs pinned to each core in turn and counts on the fastest; /j=2
# runs on every core. Folder runs count by wall time.
#
# The folder lines also give the machine's own ceiling for that ratio: one
# /j=1 run per core at once, each on a copy of the folder and pinned to its
# core, share nothing but the machine. On a virtual machine one core may run
# our code markedly slower than another, and conversions running at once
# slow each other down in the host and its disk; /j=N can gain no more over
# one run than those separate runs do.
#
# tarnwick reads each page set as one file (the raw pages end to end);
# fax2tiff gets the page files, one page each, as it expects them. Each
# command runs REPEAT times (default 3), alternating with the other side,
# and the fastest CPU time (user + sys) counts. Prints pages/s by CPU time and wall time, tarnwick's ratio, and
# the peak resident memory of each side against the input's size.
#
#   bench/convert_bench.sh BUILD_DIR PAGES_DIR
set -euo pipefail

build=${1:?usage: convert_bench.sh BUILD_DIR PAGES_DIR}
pages=${2:?usage: convert_bench.sh BUILD_DIR PAGES_DIR}
repeat=${REPEAT:-3}
# Folder runs take well under a second each: more of them, for a steadier best.
folder_repeat=${FOLDER_REPEAT:-5}
tarnwick="$build/app/tarnwick"
[ -x "$tarnwick" ] || { echo "convert_bench: $tarnwick is missing" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "convert_bench: /usr/bin/time is missing" >&2; exit 1; }
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

# One run on core 0: prints "cpu_seconds wall_seconds peak_kB".
measure_once() {
  local out user sys wall rss
  out=$(taskset -c 0 /usr/bin/time -f '%U %S %e %M' -o "$work/time.txt" "$@" >/dev/null 2>&1 &&
    cat "$work/time.txt") || { echo "convert_bench: failed: $*" >&2; exit 1; }
  read -r user sys wall rss <<<"$out"
  echo "$(echo "$user + $sys" | bc -l) $wall $rss"
}

# Keeps the faster of the run in $1 ("cpu wall rss") and the best so far in
# $2: prints the faster.
faster() {
  local cpu best
  read -r cpu _ <<<"$1"
  read -r best _ <<<"${2:-}"
  if [ -z "$best" ] || [ "$(echo "$cpu < $best" | bc -l)" = 1 ]; then echo "$1"; else echo "$2"; fi
}

mb() { echo "scale=1; $1 / 1024" | bc -l; }

rate() { echo "scale=1; $n / $1" | bc -l; }

# compare LABEL INPUT "tarnwick command..." "reference command..." REFERENCE_NAME
compare() {
  local label=$1 input=$2 ours=$3 theirs=$4 name=$5 best_ours="" best_ref=""
  # Alternated, so that a core that slows down for a while (as a virtual
  # machine's may) slows both sides alike.
  for _ in $(seq "$repeat"); do
    best_ours=$(faster "$(measure_once sh -c "exec $ours")" "$best_ours")
    best_ref=$(faster "$(measure_once sh -c "exec $theirs")" "$best_ref")
  done
  read -r ours_cpu ours_wall ours_rss <<<"$best_ours"
  read -r ref_cpu ref_wall ref_rss <<<"$best_ref"
  printf '%-22s tarnwick %7s pages/s (%5.2fs cpu, %5.2fs wall)   %-20s %7s pages/s (%5.2fs cpu, %5.2fs wall)   ratio %sx\n' \
    "$label" "$(rate "$ours_cpu")" "$ours_cpu" "$ours_wall" "$name" "$(rate "$ref_cpu")" \
    "$ref_cpu" "$ref_wall" "$(echo "scale=2; $ref_cpu / $ours_cpu" | bc -l)"
  printf '%-22s peak memory: tarnwick %s MB, %s %s MB; input %s MB\n' "" "$(mb "$ours_rss")" \
    "$name" "$(mb "$ref_rss")" "$(mb $(($(stat -c %s "$input") / 1024)))"
}

echo "convert_bench: $n pages 1728 x 2200, one core, best CPU time of $repeat runs"
compare "G3 1-D .fmf -> G4" "$work/in.fmf" \
  "'$tarnwick' '/f=$work/in.fmf' '/sf=$work/t_fmf.tif' /q" \
  "tiffcp -c g4 '$work/in.fmf' '$work/r_fmf.tif'" "tiffcp -c g4"
compare "raw MH -> G4" "$work/in.g3" \
  "'$tarnwick' '/f=$work/in.g3' '/sf=$work/t_mh.tif' /q" \
  "fax2tiff -M -8 -o '$work/r_mh.tif' '$pages'/g3/p*.g3" "fax2tiff -M -8"
compare "raw MR -> G4" "$work/in.mr" \
  "'$tarnwick' '/f=$work/in.mr' '/sf=$work/t_mr.tif' /q" \
  "fax2tiff -M -2 -A -8 -o '$work/r_mr.tif' '$pages'/mr/p*.mr" "fax2tiff -M -2 -A -8"
# The T.6 pages carry no flag bytes: /raw decodes from the first bit.
compare "raw T.6 -> G4" "$work/in.g4" \
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
cores=$(nproc)
for c in $(seq 1 $((cores - 1))); do cp -r "$work/folder" "$work/folder$c"; done

# Prints "wall_seconds peak_kB" of one run with /j=$1, pinned to core $2 when
# given. The last run's writes are flushed first, so that no run pays for
# the one before it.
folder_run() {
  local pin=()
  [ -z "${2:-}" ] || pin=(taskset -c "$2")
  rm -rf "$work/fout"
  sync
  local start end
  start=$(date +%s.%N)
  "${pin[@]}" /usr/bin/time -f '%M' -o "$work/time.txt" "$tarnwick" "/d=$work/folder" \
    "/sd=$work/fout" "/j=$1" /q "/log=$work/folder.log" >/dev/null 2>&1 || true
  end=$(date +%s.%N)
  echo "$(echo "$end - $start" | bc -l) $(cat "$work/time.txt")"
}
# Prints the wall seconds of one /j=1 run per core at once, each on a copy
# of the folder and pinned to its core: what the machine gives to as many
# conversions at once as it has cores, with no sharing between them.
separate_runs() {
  local c start end
  for c in $(seq 0 $((cores - 1))); do rm -rf "$work/fout$c"; done
  sync
  start=$(date +%s.%N)
  for c in $(seq 0 $((cores - 1))); do
    local from="$work/folder"
    [ "$c" = 0 ] || from="$work/folder$c"
    taskset -c "$c" "$tarnwick" "/d=$from" "/sd=$work/fout$c" /j=1 /q \
      "/log=$work/folder$c.log" >/dev/null 2>&1 &
  done
  wait
  end=$(date +%s.%N)
  echo "$end - $start" | bc -l
}
# /j=1 pinned to each core in turn, /j=2 on every core and the separate runs,
# alternated, $folder_repeat rounds: one file at a time counts on the core
# that runs it fastest. Sets one, one_rss, two, two_rss and apart to the
# best runs, and alone[c] to each core's best /j=1.
best_folders() {
  local t rss c
  one="" two="" apart=""
  alone=()
  for _ in $(seq "$folder_repeat"); do
    for c in $(seq 0 $((cores - 1))); do
      read -r t rss <<<"$(folder_run 1 "$c")"
      if [ -z "${alone[$c]:-}" ] || [ "$(echo "$t < ${alone[$c]}" | bc -l)" = 1 ]; then
        alone[$c]=$t
      fi
      if [ -z "$one" ] || [ "$(echo "$t < $one" | bc -l)" = 1 ]; then
        one=$t
        one_rss=$rss
      fi
    done
    read -r t rss <<<"$(folder_run 2)"
    if [ -z "$two" ] || [ "$(echo "$t < $two" | bc -l)" = 1 ]; then
      two=$t
      two_rss=$rss
    fi
    t=$(separate_runs)
    if [ -z "$apart" ] || [ "$(echo "$t < $apart" | bc -l)" = 1 ]; then apart=$t; fi
  done
}

best_folders
ratio=$(echo "scale=2; $one / $two" | bc -l)
ceiling=$(echo "scale=2; $cores * $one / $apart" | bc -l)
speeds=""
for c in $(seq 0 $((cores - 1))); do
  speeds="$speeds core $c $(echo "scale=1; 200 / ${alone[$c]}" | bc -l),"
done
printf '%-22s /j=1 %7s files/s (%5.2fs wall)   /j=2 %7s files/s (%5.2fs wall)   ratio %sx on %s cores\n' \
  "folder of 200 faxes" "$(echo "scale=1; 200 / $one" | bc -l)" "$one" \
  "$(echo "scale=1; 200 / $two" | bc -l)" "$two" "$ratio" "$cores"
printf '%-22s /j=1 alone on each core:%s files/s; %s separate /j=1 runs at once, one a core: %s files/s\n' \
  "" "${speeds%,}" "$cores" "$(echo "scale=1; $cores * 200 / $apart" | bc -l)"
printf '%-22s the machine'"'"'s ceiling %sx one run; /j=2 reached %s%% of it\n' "" "$ceiling" \
  "$(echo "scale=0; 100 * $ratio / $ceiling" | bc -l)"
printf '%-22s peak memory: /j=1 %s MB, /j=2 %s MB; largest input %s MB\n' "" "$(mb "$one_rss")" \
  "$(mb "$two_rss")" "$(mb $(($(find "$work/folder" -type f -printf '%s\n' | sort -n | tail -1) / 1024)))"
