#!/bin/bash
# Benchmark of batch extraction: orvo-batch -j 1 and -j 2 against one `orvo`
# process per image run one after another, on generated 1-megapixel images
# and on the shared photos repeated; the detection alone (in process, through
# the Python module) for the per-image overhead of the batch path; peak
# memory of orvo-batch on 200 and on 1,000 images.
#
#   bench/batch_bench.sh [BUILD_DIR] [IMAGES]     (defaults: build, 200)
#
# Run it on a quiet machine (check `uptime`): every figure is wall-clock time,
# the batch runs the best of two.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$(cd "${1:-$ROOT/build}" && pwd)
COUNT=${2:-200}
PYTHON=/usr/bin/python3
ORVO=$BUILD/app/orvo
BATCH=$BUILD/app/orvo-batch
PHOTOS=$ROOT/../shared/data
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT

# Runs a command twice, prints "<best wall seconds> <CPU seconds of one run>
# <peak resident MiB>".
measure() {
    "$PYTHON" - "$@" <<'EOF'
import resource, subprocess, sys, time
walls = []
for _ in range(2):
    start = time.perf_counter()
    subprocess.run(sys.argv[1:], check=False, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    walls.append(time.perf_counter() - start)
usage = resource.getrusage(resource.RUSAGE_CHILDREN)
print(f"{min(walls):.3f} {(usage.ru_utime + usage.ru_stime) / 2:.3f} {usage.ru_maxrss / 1024:.0f}")
EOF
}

# Folder $1 gets $COUNT generated 1-megapixel images (1152 x 864).
generate_images() {
    mkdir -p "$1"
    "$PYTHON" - "$1" "$COUNT" <<'EOF'
import sys
import cv2, numpy as np
folder, count = sys.argv[1], int(sys.argv[2])
x, y = np.linspace(0, 1, 1152)[None, :], np.linspace(0, 1, 864)[:, None]
base = 60 + 100 * x + 60 * y
background = np.ascontiguousarray(np.dstack([base, 200 - 0.5 * base, 110 + 0 * base]).astype(np.uint8))
for k in range(count):
    # A gradient, 150 filled ellipses of random colours, mild noise.
    rng = np.random.default_rng(k)
    image = background.copy()
    for _ in range(150):
        centre = (int(rng.integers(0, 1152)), int(rng.integers(0, 864)))
        axes = (int(rng.integers(5, 50)), int(rng.integers(5, 50)))
        colour = tuple(int(c) for c in rng.integers(0, 256, 3))
        cv2.ellipse(image, centre, axes, float(rng.uniform(0, 180)), 0, 360, colour, -1, cv2.LINE_AA)
    image = cv2.add(image, rng.normal(0, 3, image.shape).clip(0, 255).astype(np.uint8))
    cv2.imwrite(f"{folder}/gen{k:04d}.png", image)
EOF
}

# Folder $1 gets the shared photos repeated up to $COUNT images.
repeat_photos() {
    mkdir -p "$1"
    local photos=("$PHOTOS"/*.jpg) k=0
    while [ $k -lt "$COUNT" ]; do
        cp "${photos[$((k % ${#photos[@]}))]}" "$1/photo$(printf %04d $k).jpg"
        k=$((k + 1))
    done
}

# Mean CPU milliseconds of reading and of detecting one image in process.
in_process_ms() {
    PYTHONPATH=$BUILD/python/package "$PYTHON" - "$1" <<'EOF'
import glob, sys, time
import cv2, orvo
cv2.setNumThreads(0)  # one thread, as in orvo and orvo-batch (the same OpenCV library)
read = detect = 0.0
names = sorted(glob.glob(sys.argv[1] + "/*"))
for name in names:
    start = time.process_time()
    image = orvo.read_image(name)
    middle = time.process_time()
    orvo.detect(image, threads=1)
    read += middle - start
    detect += time.process_time() - middle
print(f"{1000 * read / len(names):.1f} {1000 * detect / len(names):.1f}")
EOF
}

report_set() {
    local name=$1 folder=$2
    local images
    images=$(find "$folder" -maxdepth 1 -type f | wc -l)
    read -r read_ms detect_ms < <(in_process_ms "$folder")
    local start end
    start=$(date +%s.%N)
    for image in "$folder"/*; do "$ORVO" -i "$image" > /dev/null; done
    end=$(date +%s.%N)
    local processes
    processes=$(echo "$end - $start" | bc -l)
    read -r j1 j1_cpu j1_mib < <(measure "$BATCH" -q --force -j 1 -o "$WORK/out-$name" "$folder")
    read -r j2 j2_cpu j2_mib < <(measure "$BATCH" -q --force -j 2 -o "$WORK/out-$name" "$folder")
    "$PYTHON" - "$name" "$images" "$read_ms" "$detect_ms" "$processes" "$j1" "$j2" "$j1_cpu" "$j1_mib" "$j2_mib" <<'EOF'
import sys
name, n = sys.argv[1], int(sys.argv[2])
read_ms, detect_ms, processes, j1, j2, j1_cpu = map(float, sys.argv[3:9])
j1_mib, j2_mib = sys.argv[9:11]
# The overhead in CPU time, which other processes on the machine barely change.
per_j1 = 1000 * j1_cpu / n
print(f"{name}: {n} images; in process: read {read_ms:.1f} ms + detect {detect_ms:.1f} ms per image")
print(f"  orvo, one process per image: {processes:.1f} s, {n / processes:.1f} images/s ({1000 * processes / n:.1f} ms per image)")
print(f"  orvo-batch -j 1: {j1:.1f} s, {n / j1:.1f} images/s ({per_j1:.1f} CPU ms per image; beyond detection "
      f"{per_j1 - detect_ms:.1f} ms, beyond read + detection {per_j1 - read_ms - detect_ms:.1f} ms); peak {j1_mib} MiB")
print(f"  orvo-batch -j 2: {j2:.1f} s, {n / j2:.1f} images/s ({j1 / j2:.2f}x -j 1); peak {j2_mib} MiB")
EOF
}

echo "load before: $(uptime)"
generate_images "$WORK/generated"
report_set generated "$WORK/generated"
if ls "$PHOTOS"/*.jpg > /dev/null 2>&1; then
    repeat_photos "$WORK/photos"
    report_set photos "$WORK/photos"
fi

# Peak memory against the data set's size: the generated images five times
# over (symbolic links in five folders).
for copy in 1 2 3 4 5; do
    mkdir -p "$WORK/many/$copy"
    for image in "$WORK/generated"/*; do ln -s "$image" "$WORK/many/$copy/"; done
done
read -r seconds cpu mib < <(measure "$BATCH" -q --force -j 2 -o "$WORK/out-many" "$WORK/many")
echo "orvo-batch -j 2 on $((5 * COUNT)) images: $seconds s, peak $mib MiB"
echo "load after: $(uptime)"
