"""How well the regions' strengths rank them: on image pairs with a known homography, the correct matches among
the N strongest regions of each image against N regions drawn at random (the mean of several draws).

    PYTHONPATH=build/python/package /usr/bin/python3 bench/strength_ranking.py /work/shared/data/oxford [--dense] [N ...]

A match is a mutual nearest neighbour of the descriptors (regions grown by the measurement scale) passing the
0.8 ratio test; it is correct when the homography maps its centre in image 1 within 3 pixels of its centre in
image 2. Pairs: image 1 against images 2, 3 and 4 of every sequence in the folder.
"""

import sys
from pathlib import Path

import cv2
import numpy as np

import orvo
from orvo.export import _mutual_nearest

DRAWS = 5


def unit_columns(descriptors):
    values = descriptors.astype(np.float32).T
    return values / np.maximum(np.linalg.norm(values, axis=0, keepdims=True), 1e-12)


def correct_matches(features1, features2, homography):
    (regions1, descriptors1), (regions2, descriptors2) = features1, features2
    matches0, _ = _mutual_nearest(descriptors1, descriptors2, 0.8)
    matched = np.flatnonzero(matches0 >= 0)
    mapped = cv2.perspectiveTransform(regions1[matched, None, :2], homography)[:, 0]
    return int(np.sum(np.linalg.norm(mapped - regions2[matches0[matched], :2], axis=1) < 3))


def features(path, dense):
    image = cv2.imread(str(path))
    regions, strengths = orvo.detect(image, dense=dense, strengths=True)
    descriptors = orvo.describe(image, orvo.scale_regions(regions, orvo.MEASUREMENT_SCALE))
    return regions, unit_columns(descriptors), strengths


def subset(found, chosen):
    regions, descriptors, _ = found
    return regions[chosen], descriptors[:, chosen]


def main(folder, counts, dense):
    rng = np.random.default_rng(0)
    totals = {n: [0, 0.0] for n in counts}  # strongest, random
    print(f"{'pair':<16}{'regions':>16}" + "".join(f"{f'N={n}: best / random':>24}" for n in counts))
    for sequence in sorted(p for p in Path(folder).iterdir() if (p / "img1.png").exists()):
        first = features(sequence / "img1.png", dense)
        for k in (2, 3, 4):
            second = features(sequence / f"img{k}.png", dense)
            homography = np.loadtxt(sequence / f"H1to{k}p")
            row = f"{sequence.name} 1-{k}".ljust(16) + f"{len(first[0])} / {len(second[0])}".rjust(16)
            for n in counts:
                best = correct_matches(subset(first, np.argsort(-first[2], kind="stable")[:n]),
                                       subset(second, np.argsort(-second[2], kind="stable")[:n]), homography)
                drawn = np.mean([correct_matches(
                    subset(first, rng.permutation(len(first[0]))[:n]),
                    subset(second, rng.permutation(len(second[0]))[:n]), homography) for _ in range(DRAWS)])
                totals[n][0] += best
                totals[n][1] += drawn
                row += f"{best:>14} / {drawn:7.1f}"
            print(row, flush=True)
    print("total".ljust(32) + "".join(f"{totals[n][0]:>14} / {totals[n][1]:7.1f}" for n in counts))


if __name__ == "__main__":
    counts = [int(n) for n in sys.argv[2:] if n != "--dense"]
    main(sys.argv[1], counts or [100, 300], "--dense" in sys.argv[2:])
