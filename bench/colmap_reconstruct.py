#!/usr/bin/env python3
"""Reconstructs an image set with COLMAP (CPU) from Orvo's features and from COLMAP's own SIFT, side by side.

For each feature kind: a database (Orvo's through orvo.export.colmap_database; COLMAP's by feature_extractor),
exhaustive_matcher, mapper, then model_analyzer. Prints per kind the registered images, 3D points, mean track
length and mean reprojection error of the largest model and, when the images have NAME.camera ground truth (see
python3 -m orvo.evaluate --help, --poses), the camera-centre errors after a similarity alignment of the
registered centres to the true ones, with the time taken.

    QT_QPA_PLATFORM=offscreen python3 bench/colmap_reconstruct.py SETDIR [--max-size 1600] [--work DIR]
        [--features orvo-dense --features colmap-sift] [--threads 2]
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

import numpy as np

FEATURES = {"orvo": {}, "orvo-dense": {"dense": True}, "colmap-sift": None,
            # Our own verified matches (tracks refined and completed), one camera: COLMAP's matcher is not run. A
            # third edge sampling step gives more regions; mutual nearest neighbours without the ratio test keep
            # the matches of repeated patterns, which the verification and the tracks' refinement then sort out.
            "orvo-dense-matched": {"dense": True, "match": True, "single_camera_per_folder": True, "ratio": 1.0,
                                   "edge_steps": (11, 9, 7)}}
IMAGE_EXTENSIONS = (".jpg", ".jpeg", ".png", ".tif", ".tiff", ".bmp", ".ppm", ".pgm")


def colmap(*args, log):
    """Runs one colmap command (offscreen, its output appended to log); returns its output."""
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
    done = subprocess.run(["colmap", *args], capture_output=True, text=True, env=env)
    with open(log, "a", encoding="utf-8") as f:
        f.write(f"$ colmap {' '.join(args)}\n{done.stdout}{done.stderr}\n")
    if done.returncode != 0:
        raise RuntimeError(f"colmap {args[0]} failed (status {done.returncode}); see {log}")
    return done.stdout + done.stderr


def prepared_images(folder, max_size, work):
    """The set's image paths, downscaled into work/images when max_size is given."""
    import cv2

    names = sorted(n for n in os.listdir(folder) if os.path.splitext(n)[1].lower() in IMAGE_EXTENSIONS)
    if not max_size:
        return folder, names
    target = os.path.join(work, "images")
    os.makedirs(target, exist_ok=True)
    for name in names:
        image = cv2.imread(os.path.join(folder, name), cv2.IMREAD_UNCHANGED | cv2.IMREAD_IGNORE_ORIENTATION)
        factor = max_size / max(image.shape[:2])
        if factor < 1:
            image = cv2.resize(image, None, fx=factor, fy=factor, interpolation=cv2.INTER_AREA)
        cv2.imwrite(os.path.join(target, name), image, [cv2.IMWRITE_JPEG_QUALITY, 97])
    return target, names


def largest_model(sparse, log):
    """(path, registered images) of the model with the most registered images, or (None, 0)."""
    best = (None, 0)
    for name in sorted(os.listdir(sparse)) if os.path.isdir(sparse) else []:
        path = os.path.join(sparse, name)
        found = re.search(r"Registered images:\s*(\d+)", colmap("model_analyzer", "--path", path, log=log))
        if found and int(found.group(1)) > best[1]:
            best = (path, int(found.group(1)))
    return best


def analysis(path, log):
    text = colmap("model_analyzer", "--path", path, log=log)

    def number(label):
        found = re.search(label + r":\s*([0-9.eE+-]+)", text)
        return float(found.group(1)) if found else float("nan")

    return {"registered": int(number("Registered images")), "points": int(number("Points")),
            "track": number("Mean track length"), "reprojection": number("Mean reprojection error")}


def registered_centres(path, work, log):
    """Image name -> camera centre of a model (through its text export)."""
    text_dir = os.path.join(work, "model_text")
    os.makedirs(text_dir, exist_ok=True)
    colmap("model_converter", "--input_path", path, "--output_path", text_dir, "--output_type", "TXT", log=log)
    centres = {}
    with open(os.path.join(text_dir, "images.txt"), encoding="utf-8") as f:
        lines = [line for line in f if not line.startswith("#")]
    for line in lines[0::2]:
        fields = line.split()
        if len(fields) < 10:
            continue
        qw, qx, qy, qz, tx, ty, tz = map(float, fields[1:8])
        R = np.array([[1 - 2 * (qy * qy + qz * qz), 2 * (qx * qy - qz * qw), 2 * (qx * qz + qy * qw)],
                      [2 * (qx * qy + qz * qw), 1 - 2 * (qx * qx + qz * qz), 2 * (qy * qz - qx * qw)],
                      [2 * (qx * qz - qy * qw), 2 * (qy * qz + qx * qw), 1 - 2 * (qx * qx + qy * qy)]])
        centres[fields[9]] = -R.T @ np.array([tx, ty, tz])
    return centres


def similarity_errors(source, target):
    """Distances between target points and source points after the least-squares similarity source -> target."""
    mu_s, mu_t = source.mean(0), target.mean(0)
    s, t = source - mu_s, target - mu_t
    U, D, Vt = np.linalg.svd(t.T @ s / len(s))
    flip = np.diag([1.0, 1.0, np.sign(np.linalg.det(U @ Vt))])
    R = U @ flip @ Vt
    scale = np.trace(np.diag(D) @ flip) / (s * s).sum(1).mean()
    return np.linalg.norm(scale * s @ R.T + mu_t - target, axis=1)


def true_centres(folder, names):
    centres = {}
    for name in names:
        camera = os.path.join(folder, name + ".camera")
        if os.path.isfile(camera):
            with open(camera, encoding="utf-8") as f:
                rows = [line.split() for line in f if line.strip()]
            centres[name] = np.array([float(v) for v in rows[7]])
    return centres


def reconstruct(kind, image_dir, names, work, threads, log):
    db = os.path.join(work, "database.db")
    start = time.perf_counter()
    if FEATURES[kind] is None:
        colmap("feature_extractor", "--database_path", db, "--image_path", image_dir, "--SiftExtraction.use_gpu",
               "0", "--SiftExtraction.num_threads", str(threads), log=log)
    else:
        from orvo.export import colmap_database

        colmap_database(db, [os.path.join(image_dir, n) for n in names], **FEATURES[kind])
    features = time.perf_counter() - start
    if not (FEATURES[kind] or {}).get("match"):
        colmap("exhaustive_matcher", "--database_path", db, "--SiftMatching.use_gpu", "0",
               "--SiftMatching.num_threads", str(threads), log=log)
    sparse = os.path.join(work, "sparse")
    os.makedirs(sparse, exist_ok=True)
    colmap("mapper", "--database_path", db, "--image_path", image_dir, "--output_path", sparse,
           "--Mapper.num_threads", str(threads), log=log)
    return features, time.perf_counter() - start, largest_model(sparse, log)[0]


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("set", help="image folder (NAME.camera files beside the images give the ground truth)")
    p.add_argument("--features", action="append", choices=sorted(FEATURES),
                   help="feature kinds to compare (repeatable; default orvo-dense and colmap-sift)")
    p.add_argument("--max-size", type=int, help="downscale the images to at most this many pixels first")
    p.add_argument("--work", help="folder for the databases and models (default: a temporary one, removed)")
    p.add_argument("--threads", type=int, default=2, help="COLMAP threads (default 2)")
    args = p.parse_args(argv)
    work = args.work or tempfile.mkdtemp(prefix="orvo-colmap-")
    try:
        image_dir, names = prepared_images(args.set, args.max_size, work)
        truth = true_centres(args.set, names)
        print(f"{'features':<12} {'images':>7} {'points':>7} {'track':>6} {'reproj px':>9} {'centre err':>17} "
              f"{'features s':>10} {'total s':>8}")
        for kind in args.features or ["orvo-dense", "colmap-sift"]:
            folder = os.path.join(work, kind)
            shutil.rmtree(folder, ignore_errors=True)
            os.makedirs(folder)
            log = os.path.join(folder, "colmap.log")
            features, total, model = reconstruct(kind, image_dir, names, folder, args.threads, log)
            if model is None:
                print(f"{kind:<12} {0:>7} (no model; see {log})")
                continue
            stats = analysis(model, log)
            centres = registered_centres(model, folder, log)
            common = [n for n in centres if n in truth]
            error = "-"
            if len(common) >= 3:
                distances = similarity_errors(np.array([centres[n] for n in common]),
                                              np.array([truth[n] for n in common]))
                error = f"{distances.mean():.3f}/{np.median(distances):.3f}"
            print(f"{kind:<12} {stats['registered']:>4}/{len(names):<2} {stats['points']:>7} {stats['track']:>6.2f} "
                  f"{stats['reprojection']:>9.3f} {error:>17} {features:>10.1f} {total:>8.1f}", flush=True)
        if truth:
            print("centre err: mean/median distance to the true centres after a similarity alignment (set units)")
    finally:
        if not args.work:
            shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
