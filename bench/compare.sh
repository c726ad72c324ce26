#!/bin/bash
# Whole-process comparison of glimbra-cli with two anchors on one job: a 6000 x 4000 JPEG
# (quality 90) under a 256 x 256 PNG texture, tiled, saved as JPEG quality 50.
#   - libvips: the same job through an exact 65,536-entry lookup table, on libvips' own threads
#     (anchors/vips_anchor.c);
#   - TurboJPEG: decode and encode alone, the floor of any JPEG-to-JPEG job (anchors/tj_floor.c).
# Then the same job saved as PNG at our three settings beside libvips' pngsave at compression 1.
# Installs the anchors' Debian packages (libvips-dev, libvips-tools, libturbojpeg0-dev), builds
# the anchors, makes the inputs with libvips, runs the commands interleaved and prints medians,
# ratios, CPU times, peak memory and page faults. "4KiB-pages" is glimbra-cli with huge pages
# turned off, "whole-route" with the row route turned off (GLIMBRA_ROW_ROUTE=0). Then the
# 12000 x 16000 job the same way (made on the fly, 3 rounds). Not part of the tests; run it on an
# otherwise idle machine.
#
#   bench/compare.sh [GLIMBRA_CLI [RUNS [OTHER_CLI]]]
# OTHER_CLI, if given, is a second glimbra-cli (an older build) timed in the same rounds.
# WORK=folder keeps the inputs between runs; PNG=0 skips the PNG part, LARGE=0 the large job.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
cli=$(realpath "${1:-$here/../build/bin/glimbra-cli}")
runs=${2:-7}
other=${3:+$(realpath "$3")}
work=${WORK:-$(mktemp -d)}

need=()
for p in libvips-dev libvips-tools libturbojpeg0-dev; do
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

# Runs NAME=COMMAND pairs in rounds: each round runs every command once, in an order that turns
# from round to round, so that load from elsewhere falls on all of them alike; the first round
# only warms the caches. Prints the medians over the rounds, as ratios to the command named by
# the first argument (and to the second, if any).
rounds() {
    python3 - "$@" <<'PY'
import os, shlex, statistics, subprocess, sys, time
runs, ref1, ref2, pairs = int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4:]
names = [p.split("=", 1)[0] for p in pairs]
cmds = [p.split("=", 1)[1] for p in pairs]
rows = {n: [] for n in names}
for r in range(runs + 1):
    for k in range(len(cmds)):
        i = (k + r) % len(cmds)
        start = time.perf_counter()
        p = subprocess.Popen(shlex.split(cmds[i]), stdout=subprocess.DEVNULL)
        _, status, ru = os.wait4(p.pid, 0)
        wall = time.perf_counter() - start
        if status != 0:
            sys.exit(f"{names[i]} failed: {cmds[i]}")
        if r > 0:
            rows[names[i]].append((wall, ru.ru_utime, ru.ru_stime, ru.ru_maxrss, ru.ru_minflt))
med = {n: [statistics.median(x[j] for x in rows[n]) for j in range(5)] for n in names}
head = f"  {'':18s} {'wall s':>7s} {'/' + ref1:>10s}"
if ref2 != "-":
    head += f" {'/' + ref2:>11s}"
print(head + f" {'user s':>7s} {'sys s':>6s} {'peak MiB':>9s} {'faults':>7s}")
for n in names:
    w, u, s, rss, flt = med[n]
    line = f"  {n:18s} {w:7.3f} {w / med[ref1][0]:10.2f}"
    if ref2 != "-":
        line += f" {w / med[ref2][0]:11.2f}"
    print(line + f" {u:7.3f} {s:6.3f} {rss / 1024:9.1f} {flt:7.0f}")
PY
}

jobs=("glimbra=$cli --tile --jpeg-rate 50 source.jpg texture.png glimbra.jpg"
      "libvips=./vips_anchor source.jpg texture.png vips.jpg 50"
      "turbojpeg=./tj_floor source.jpg floor.jpg 50"
      "4KiB-pages=env GLIMBRA_HUGE_PAGES=0 $cli --tile --jpeg-rate 50 source.jpg texture.png small.jpg"
      "whole-route=env GLIMBRA_ROW_ROUTE=0 $cli --tile --jpeg-rate 50 source.jpg texture.png whole.jpg")
[ -n "$other" ] && jobs+=("other=$other --tile --jpeg-rate 50 source.jpg texture.png other.jpg")
echo "JPEG q90 -> tiled -> JPEG q50, median of $runs rounds (source 32-bit size 91.6 MiB):"
rounds "$runs" libvips turbojpeg "${jobs[@]}"

# The large job: 12000 x 16000 (192 Mpx), made here and not kept (LARGE=0 skips it).
if [ "${LARGE:-1}" != 0 ]; then
    if [ ! -e large.jpg ]; then
        vips perlin lr.v 12000 16000 --cell-size 300
        vips perlin lg.v 12000 16000 --cell-size 170 --seed 3
        vips perlin lb.v 12000 16000 --cell-size 90 --seed 5
        vips bandjoin "lr.v lg.v lb.v" lrgbf.v
        vips linear lrgbf.v lrgb8.v 127 128 --uchar
        vips copy lrgb8.v "large.jpg[Q=90]"
        rm -f ./*.v
    fi
    echo "12000 x 16000 JPEG q90 -> tiled -> JPEG q50, median of 3 rounds:"
    rounds 3 libvips turbojpeg \
        "glimbra=$cli --tile --jpeg-rate 50 large.jpg texture.png glimbra.jpg" \
        "libvips=./vips_anchor large.jpg texture.png vips.jpg 50" \
        "turbojpeg=./tj_floor large.jpg floor.jpg 50" \
        "whole-route=env GLIMBRA_ROW_ROUTE=0 $cli --tile --jpeg-rate 50 large.jpg texture.png whole.jpg"
    rm -f glimbra.jpg vips.jpg floor.jpg whole.jpg
fi

[ "${PNG:-1}" = 0 ] && exit 0
echo "the same job saved as PNG, median of 3 rounds:"
rounds 3 "libvips pngsave 1" - \
    "png fastest (1)=$cli --tile --png-rate 1 source.jpg texture.png fastest.png" \
    "png normal (0)=$cli --tile --png-rate 0 source.jpg texture.png normal.png" \
    "png smallest (2)=$cli --tile --png-rate 2 source.jpg texture.png smallest.png" \
    "libvips pngsave 1=./vips_anchor source.jpg texture.png vips.png 1"
ls -l fastest.png normal.png smallest.png vips.png | awk '{printf "  %-14s %6.1f MB\n", $9, $5 / 1e6}'
