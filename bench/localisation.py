#!/usr/bin/env python3
"""The localisation yardstick: how precisely the detector places its regions.

1. Sampling-phase stability (build/bench/phase_stability on the first image of each sequence): the same image
   detected with each traced edge sampled from other pixels; median and 90th percentile of the centre shift and of
   the overlap error of the regions found in both runs, and the processor time per region.
2. Matched-centre residual: on every pair 1-k of each sequence, the ground-truth correspondences of the
   evaluator's protocol (one to one, overlap error below 0.4 at radius 30; see orvo.evaluate.protocol) and the
   distance between each image-1 centre mapped by H and its image-k centre; the median per sequence and over all.
3. With --colmap: bench/colmap_reconstruct.py on multiview/herzjesu-p8 at 1600 px with the dense preset (it
   takes minutes).

    PYTHONPATH=build/python/package /usr/bin/python3 bench/localisation.py [--data ../shared/data]
        [--detector orvo:dense=true] [--phases 2,5,7] [--classic] [--build build] [--colmap] [--skip-phases]
        [SEQUENCE...]

SEQUENCE: folders of oxford/ by name (bikes boat leuven wall by default). The phase stability always measures the
dense preset (or the classic settings with --classic); the residual measures --detector.
"""

import argparse
import os
import subprocess
import sys

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
SEQUENCES = ("bikes", "boat", "leuven", "wall")


def mapped_centres(centres, H):
    """The points (N, 2) mapped by the homography H."""
    h = np.column_stack([centres, np.ones(len(centres))]) @ np.asarray(H, dtype=np.float64).T
    return h[:, :2] / h[:, 2:]


def centre_residuals(sequence, detector):
    """The distances between H-mapped centres of the ground-truth correspondences of every pair 1-k."""
    from orvo.evaluate.detectors import parse_detector
    from orvo.evaluate.protocol import oriented_homography, repeatability
    from orvo.evaluate.sequence import read_image, read_sequence

    seq = read_sequence(sequence)
    detect = parse_detector(detector)
    regions = [detect(path, k) for k, path in enumerate(seq.images, start=1)]
    shapes = [read_image(path).shape for path in seq.images]
    residuals = []
    for k in range(2, len(seq.images) + 1):
        H = oriented_homography(seq.homographies[k - 2], shapes[0])
        pairs = repeatability(regions[0], regions[k - 1], H, shapes[0], shapes[k - 1]).pairs
        if len(pairs):
            moved = mapped_centres(regions[0][pairs[:, 0], :2], H)
            residuals.append(np.hypot(*(moved - regions[k - 1][pairs[:, 1], :2]).T))
    return np.concatenate(residuals) if residuals else np.zeros(0)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("sequences", nargs="*", default=list(SEQUENCES))
    parser.add_argument("--data", default=os.path.join(HERE, "..", "..", "shared", "data"))
    parser.add_argument("--detector", default="orvo:dense=true", help="the residual's detector (evaluator's names)")
    parser.add_argument("--phases", default="2,5,7", help="the phases compared with phase 0")
    parser.add_argument("--classic", action="store_true", help="phase stability of the classic settings")
    parser.add_argument("--build", default=os.path.join(HERE, "..", "build"))
    parser.add_argument("--colmap", action="store_true", help="also reconstruct herzjesu-p8 at 1600 px")
    parser.add_argument("--skip-phases", action="store_true", help="only the residual (and --colmap)")
    args = parser.parse_args(argv)
    folders = [os.path.join(args.data, "oxford", name) for name in args.sequences]

    if not args.skip_phases:
        print("Sampling-phase stability (phases %s against 0)" % args.phases, flush=True)
        command = [os.path.join(args.build, "bench", "phase_stability"), "--phases", args.phases]
        command += ["--classic"] if args.classic else []
        images = [os.path.join(folder, name) for folder in folders for name in sorted(os.listdir(folder))
                  if name.startswith("img1.")]
        if subprocess.run(command + images).returncode != 0:
            return 1
        print()

    print(f"Matched-centre residual ({args.detector}; ground-truth correspondences, pairs 1-2 .. 1-6)")
    print("| sequence | correspondences | median (px) | 90th percentile (px) |\n|---|---|---|---|")
    everything = []
    for folder in folders:
        residuals = centre_residuals(folder, args.detector)
        everything.append(residuals)
        print(f"| {os.path.basename(folder)} | {len(residuals)} | {np.median(residuals):.2f} | "
              f"{np.percentile(residuals, 90):.2f} |", flush=True)
    everything = np.concatenate(everything)
    print(f"| all | {len(everything)} | {np.median(everything):.2f} | {np.percentile(everything, 90):.2f} |")

    if args.colmap:
        print("\nCOLMAP, herzjesu-p8 at 1600 px", flush=True)
        command = [sys.executable, os.path.join(HERE, "colmap_reconstruct.py"),
                   os.path.join(args.data, "multiview", "herzjesu-p8"), "--max-size", "1600",
                   "--features", "orvo-dense"]
        return subprocess.run(command).returncode
    return 0


if __name__ == "__main__":
    sys.exit(main())
