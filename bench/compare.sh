#!/bin/bash
# Whole-process comparison of glimbra-cli with two anchors on one job: a 6000 x 4000 JPEG
# (quality 90) under a 256 x 256 PNG texture, tiled, saved as JPEG quality 50.
#   - libvips: the same job through an exact 65,536-entry lookup table, on libvips' own threads
#     (anchors/vips_anchor.c);
#   - TurboJPEG: decode and encode alone, the floor of any JPEG-to-JPEG job (anchors/tj_floor.c).
# Installs the anchors' Debian packages (libvips-dev, libvips-tools, libturbojpeg0-dev,
# hyperfine), builds the anchors, makes the inputs with libvips, then runs all commands
# interleaved (median of RUNS) and prints the ratios, peak memory and page faults.
# Not part of the tests; the machine should be otherwise idle.
#
#   bench/compare.sh [GLIMBRA_CLI [RUNS [OTHER_CLI]]]
# OTHER_CLI, if given, is a second glimbra-cli (an older build) timed in the same run.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
cli=$(realpath "${1:-$here/../build/bin/glimbra-cli}")
runs=${2:-7}
other=${3:+$(realpath "$3")}
work=${WORK:-$(mktemp -d)}

need=()
for p in libvips-dev libvips-tools libturbojpeg0-dev hyperfine; do
    dpkg -s "$p" >/dev/null 2>&1 || need+=("$p")
done
if [ ${#need[@]} -gt 0 ]; then
    sudo=""; [ "$(id -u)" -ne 0 ] && sudo=sudo
    $sudo apt-get update -qq && $sudo apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi

cc -O2 -ffp-contract=off -o "$work/vips_anchor" "$here/anchors/vips_anchor.c" \
    $(pkg-config --cflags --libs vips) -lm
cc -O2 -o "$work/tj_floor" "$here/anchors/tj_floor.c" $(pkg-config --cflags --libs libturbojpeg)

cd "$work"
if [ ! -f source.jpg ]; then
    # A photo-like source: three smooth noise fields plus fine grain. A grey texture around 191.
    vips perlin r.v 6000 4000 --cell-size 300
    vips perlin g.v 6000 4000 --cell-size 170 --seed 3
    vips perlin b.v 6000 4000 --cell-size 90 --seed 5
    vips bandjoin "r.v g.v b.v" rgbf.v
    vips linear rgbf.v rgb8.v 127 128 --uchar
    vips gaussnoise n.v 6000 4000 --sigma 12 --mean 0
    vips add rgb8.v n.v sum.v
    vips cast sum.v src8.v uchar
    vips copy src8.v "source.jpg[Q=90]"
    vips perlin tr.v 256 256 --cell-size 32 --seed 9
    vips linear tr.v t1.v 80 191 --uchar
    vips bandjoin "t1.v t1.v t1.v" t3.v
    vips copy t3.v texture.png
    rm -f ./*.v
fi

cmds=("$cli --tile --jpeg-rate 50 source.jpg texture.png glimbra.jpg"
      "./vips_anchor source.jpg texture.png vips.jpg 50"
      "./tj_floor source.jpg floor.jpg 50")
names=(glimbra libvips turbojpeg)
if [ -n "$other" ]; then
    cmds+=("$other --tile --jpeg-rate 50 source.jpg texture.png other.jpg")
    names+=(other)
fi
hyperfine -N --warmup 1 --runs "$runs" --export-json times.json "${cmds[@]}" >/dev/null

echo "whole process, median of $runs (s), peak memory and minor page faults of one run:"
for i in "${!cmds[@]}"; do
    /usr/bin/time -f "%M %R" -o mem.txt ${cmds[$i]}
    read -r rss faults < mem.txt
    python3 - "$i" "${names[$i]}" "$rss" "$faults" <<'PY'
import json, statistics, sys
i, name, rss, faults = int(sys.argv[1]), sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
r = json.load(open("times.json"))["results"]
med = [statistics.median(x["times"]) for x in r]
print(f"  {name:10s} {med[i]:7.3f} s  {med[i] / med[1]:5.2f} x libvips  "
      f"{med[i] / med[2]:5.2f} x turbojpeg  {rss / 1024:7.1f} MiB  {faults:7d} faults")
PY
done
echo "source 32-bit size: $((6000 * 4000 * 4 / 1048576)) MiB"

# The same job saved as PNG: our three settings beside libvips' pngsave at compression 1.
png=("$cli --tile --png-rate 1 source.jpg texture.png fastest.png"
     "$cli --tile --png-rate 0 source.jpg texture.png normal.png"
     "$cli --tile --png-rate 2 source.jpg texture.png smallest.png"
     "./vips_anchor source.jpg texture.png vips.png 1")
pngnames=("png fastest (1)" "png normal (0)" "png smallest (2)" "libvips pngsave 1")
hyperfine -N --runs 3 --export-json png.json "${png[@]}" >/dev/null
echo "PNG output, whole process, median of 3:"
python3 - "${pngnames[@]}" <<'PY'
import json, os, statistics, sys
names = sys.argv[1:]
files = ["fastest.png", "normal.png", "smallest.png", "vips.png"]
r = json.load(open("png.json"))["results"]
med = [statistics.median(x["times"]) for x in r]
for i, name in enumerate(names):
    print(f"  {name:18s} {med[i]:7.3f} s  {med[i] / med[3]:5.2f} x libvips  "
          f"{os.path.getsize(files[i]) / 1e6:7.1f} MB")
PY
