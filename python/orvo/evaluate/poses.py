"""Relative pose accuracy on a multi-view set with ground-truth cameras.

A set is a folder of images ``NAME`` each with a camera file ``NAME.camera`` holding, one item a line: the 3 x 3
intrinsic matrix K (three lines), a line of distortion coefficients (ignored: zero), the 3 x 3 rotation R (three
lines) whose columns are the camera's axes in world coordinates, the centre C in world coordinates, and the image
width and height. A world point X projects to K R' (X - C), so the pose of camera j relative to camera i is the
rotation R_j' R_i and the translation direction R_j' (C_i - C_j).

For every pair (i, j), i < j, and every detector: tentative matches (mutual nearest neighbours with the ratio
test; for ``orvo`` detectors the correspondences ``orvo.match`` gives: its inliers under a fundamental matrix,
refined on the images), an essential matrix by OpenCV's RANSAC on the calibrated points, the pose from it (OpenCV's recoverPose,
the cheirality check choosing among the four), and the error max(rotation error, translation-direction error) in
degrees; a pair with too few matches or no pose has an infinite error, and a pair of cameras at the same centre
(whose translation direction is undefined) no score at all. The summary per detector is the area under the
cumulative error curve of the scored pairs up to 5, 10 and 20 degrees (AUC, 1 when every error is 0), the mean
numbers of matches and inliers, and the mean time of detection and description per image.
"""

import itertools
import os
import tempfile
from collections import namedtuple

import numpy as np

from ..core import MEASUREMENT_SCALE
from .detectors import parse_detector
from .matching import image_features, mutual_ratio_matches
from .report import aligned
from .sequence import IMAGE_EXTENSIONS, SequenceError, read_image, write_image

__all__ = ["Camera", "read_cameras", "relative_pose", "pose_error", "pose_auc", "estimate_pose", "evaluate_poses",
           "format_pose_table", "AUC_THRESHOLDS"]

AUC_THRESHOLDS = (5.0, 10.0, 20.0)

Camera = namedtuple("Camera", "image K R C size")
Camera.__doc__ = """A camera of a multi-view set: its image path, K, R (columns: the camera axes in world
coordinates), the centre C, and the image size (width, height)."""


def _is_intrinsic_matrix(K):
    """Upper triangular with a non-zero diagonal, and an inverse of finite numbers."""
    if K[1, 0] != 0 or K[2, 0] != 0 or K[2, 1] != 0 or not np.all(np.diag(K) != 0):
        return False
    with np.errstate(over="ignore", divide="ignore", invalid="ignore"):
        return bool(np.all(np.isfinite(np.linalg.inv(K))))


def _read_camera(path, image):
    try:
        with open(path, encoding="utf-8") as f:
            rows = [line.split() for line in f if line.strip()]
        numbers = [[float(v) for v in row] for row in rows]
        K, R, C = np.array(numbers[0:3]), np.array(numbers[4:7]), np.array(numbers[7])
        size = numbers[8][:2]
    except (OSError, ValueError, IndexError) as e:
        raise SequenceError(f"{path}: not a camera file (K, distortion, R, C, width height): {e}") from None
    if K.shape != (3, 3) or R.shape != (3, 3) or C.shape != (3,) or not np.all(np.isfinite([*K.flat, *R.flat, *C])):
        raise SequenceError(f"{path}: not a camera file (K, distortion, R, C, width height)")
    if not _is_intrinsic_matrix(K):
        raise SequenceError(f"{path}: K is not an intrinsic matrix (upper triangular and invertible)")
    if not np.allclose(R.T @ R, np.eye(3), atol=1e-6) or not np.linalg.det(R) > 0:
        raise SequenceError(f"{path}: R is not a rotation (orthonormal, of determinant 1)")
    if len(size) != 2 or not all(v == int(v) and 0 < v < 1 << 31 for v in size):
        raise SequenceError(f"{path}: the image width and height must be two whole numbers above 0")
    return Camera(image, K, R, C, (int(size[0]), int(size[1])))


def _check_image_size(camera):
    height, width = read_image(camera.image).shape[:2]
    if (width, height) != camera.size:
        raise SequenceError(f"{camera.image}.camera: the camera's image is {camera.size[0]} x {camera.size[1]}, "
                            f"but {os.path.basename(camera.image)} is {width} x {height}")


def read_cameras(folder):
    """The cameras of a multi-view set folder, sorted by image name. Raises SequenceError for a camera file that
    is not one, or whose image cannot be read or has another size than the camera's."""
    folder = os.fspath(folder)
    if not os.path.isdir(folder):
        raise SequenceError(f"{folder}: no such folder")
    cameras = []
    for name in sorted(os.listdir(folder)):
        image = os.path.join(folder, name)
        if os.path.splitext(name)[1].lower() in IMAGE_EXTENSIONS and os.path.isfile(image + ".camera"):
            cameras.append(_read_camera(image + ".camera", image))
            _check_image_size(cameras[-1])
    if len(cameras) < 2:
        raise SequenceError(f"{folder}: a multi-view set needs two images with NAME.camera files at least")
    return cameras


def relative_pose(camera_i, camera_j):
    """(R, t) of camera j relative to camera i: x_j = R x_i + t for camera coordinates, t of unit length; t is
    None when the two centres coincide (to 1e-9 of their distance from the origin), its direction undefined."""
    R = camera_j.R.T @ camera_i.R
    t = camera_j.R.T @ (camera_i.C - camera_j.C)
    length = np.linalg.norm(t)
    if not length > 1e-9 * max(1.0, np.linalg.norm(camera_i.C), np.linalg.norm(camera_j.C)):
        return R, None
    return R, t / length


def _angle(cosine):
    return float(np.degrees(np.arccos(np.clip(cosine, -1.0, 1.0))))


def pose_error(R, t, R_true, t_true):
    """(rotation error, translation-direction error) in degrees of an estimated pose against the true one."""
    rotation = _angle((np.trace(R_true.T @ R) - 1.0) / 2.0)
    t, t_true = np.ravel(t), np.ravel(t_true)
    translation = _angle(t @ t_true / (np.linalg.norm(t) * np.linalg.norm(t_true)))
    return rotation, translation


def pose_auc(errors, thresholds=AUC_THRESHOLDS):
    """Areas under the cumulative error curve (share of pairs with error <= e, for e in [0, threshold]), each
    divided by its threshold. Infinite errors (failed pairs) count as pairs never reached."""
    errors = np.sort(np.asarray(errors, dtype=np.float64).ravel())
    if errors.size == 0:
        return [float("nan")] * len(thresholds)
    recall = np.arange(1, errors.size + 1) / errors.size
    errors, recall = np.r_[0.0, errors], np.r_[0.0, recall]
    areas = []
    for limit in thresholds:
        last = np.searchsorted(errors, limit)
        e = np.r_[errors[:last], limit]
        r = np.r_[recall[:last], recall[last - 1]]
        areas.append(float(np.sum((e[1:] - e[:-1]) * (r[1:] + r[:-1]) / 2.0) / limit))
    return areas


def estimate_pose(points1, points2, K1, K2, threshold=1.0):
    """Relative pose from matched pixel points: (R, t, inlier mask) or None.

    The points are calibrated by K1 and K2; OpenCV's findEssentialMat (RANSAC, ``threshold`` pixels at the mean
    focal length) gives the candidates, recoverPose their pose, and the candidate with the most points in front
    of both cameras wins.
    """
    import cv2

    if len(points1) < 5:
        return None

    def calibrated(points, K):
        homogeneous = np.column_stack([points, np.ones(len(points))]) @ np.linalg.inv(K).T
        return np.ascontiguousarray(homogeneous[:, :2] / homogeneous[:, 2:])

    p1, p2 = calibrated(points1, K1), calibrated(points2, K2)
    focal = np.mean([K1[0, 0], K1[1, 1], K2[0, 0], K2[1, 1]])
    E, mask = cv2.findEssentialMat(p1, p2, np.eye(3), method=cv2.RANSAC, prob=0.99999, threshold=threshold / focal)
    if E is None or mask is None:
        return None
    best = None
    for k in range(0, E.shape[0] - E.shape[0] % 3, 3):
        inliers, R, t, _ = cv2.recoverPose(E[k:k + 3], p1, p2, np.eye(3), mask=mask.copy())
        if best is None or inliers > best[0]:
            best = (inliers, R, t.ravel())
    if best is None:
        return None
    return best[1], best[2], mask.ravel().astype(bool)


def _scaled(camera, max_size, folder):
    """The camera of the image downscaled so that its longer side is at most max_size (written into folder, under
    the image's whole name: v0.png and v0.jpg stay two images)."""
    import cv2

    image = read_image(camera.image, cv2.IMREAD_UNCHANGED)
    height, width = image.shape[:2]
    factor = max_size / max(width, height) if max_size else 1.0
    if factor >= 1.0:
        return camera
    size = (max(1, round(width * factor)), max(1, round(height * factor)))
    small = cv2.resize(image, size, interpolation=cv2.INTER_AREA)
    path = os.path.join(folder, os.path.basename(camera.image) + ".png")
    if not write_image(path, small):
        raise OSError(f"{path}: cannot write the downscaled image")
    sx, sy = size[0] / width, size[1] / height
    # pixel centres at integers: x' = sx (x + 0.5) - 0.5
    S = np.array([[sx, 0.0, 0.5 * sx - 0.5], [0.0, sy, 0.5 * sy - 0.5], [0.0, 0.0, 1.0]])
    return camera._replace(image=path, K=S @ camera.K, size=size)


def evaluate_poses(folder, detectors, *, max_size=None, ratio=0.8, threshold=1.0, descriptor_scale=MEASUREMENT_SCALE,
                   progress=None):
    """Relative pose accuracy of detectors on a multi-view set (see the module). Returns (pairs, summary).

    max_size: downscale the images so that their longer side is at most this many pixels (K scaled with them).
    pairs: a row per detector and pair ``{"set", "detector", "pair": "NAME-NAME", "scored", "matches", "inliers",
    "rotation_error", "translation_error", "error"}`` (errors in degrees, None for a failed pair; ``scored`` false
    for a pair of cameras at the same centre, left out of the AUC); NAME is the image's name without its
    extensions, or with them when two images would share one. summary: a row per detector ``{"set", "detector",
    "pairs" (scored), "auc5", "auc10", "auc20", "matches", "inliers", "seconds_per_image"}``. ``progress``, when
    given, is called with a short text after every image. Raises SequenceError for a camera that does not fit
    its image.
    """
    cameras = read_cameras(folder)
    name = os.path.basename(os.path.normpath(os.path.abspath(os.fspath(folder))))
    detectors = [parse_detector(d) for d in detectors]
    labels = _labels([c.image for c in cameras])
    pairs, summary = [], []
    with tempfile.TemporaryDirectory(prefix="orvo-poses-") as scratch:
        cameras = [_scaled(c, max_size, scratch) for c in cameras]
        for detector in detectors:
            features = []
            for k, camera in enumerate(cameras, start=1):
                features.append(image_features(detector, camera.image, k, descriptor_scale,
                                               inside_only=detector.kind != "orvo"))
                if progress is not None:
                    progress(f"{name} {detector.name} {os.path.basename(camera.image)}")
            errors, matched, inliers = [], [], []
            for (i, ci), (j, cj) in itertools.combinations(enumerate(cameras), 2):
                points, matches = _correspondences(detector, features[i], features[j], ratio)
                pose = estimate_pose(*points, ci.K, cj.K, threshold)
                R_true, t_true = relative_pose(ci, cj)
                row = {"set": name, "detector": detector.name, "pair": f"{labels[i]}-{labels[j]}",
                       "scored": t_true is not None, "matches": matches, "inliers": 0, "rotation_error": None,
                       "translation_error": None, "error": None}
                error = np.inf
                if pose is not None:
                    row.update(inliers=int(pose[2].sum()))
                    if t_true is not None:
                        rotation, translation = pose_error(pose[0], pose[1], R_true, t_true)
                        error = max(rotation, translation)
                        row.update(rotation_error=rotation, translation_error=translation, error=error)
                if t_true is not None:
                    errors.append(error)
                matched.append(matches)
                inliers.append(row["inliers"])
                pairs.append(row)
            auc = pose_auc(errors)
            summary.append({"set": name, "detector": detector.name, "pairs": len(errors),
                            **{f"auc{int(t)}": a for t, a in zip(AUC_THRESHOLDS, auc)},
                            "matches": float(np.mean(matched)), "inliers": float(np.mean(inliers)),
                            "seconds_per_image": float(np.mean([f.seconds for f in features]))})
    return pairs, summary


def _correspondences(detector, fi, fj, ratio):
    """((points i, points j), tentative matches) of two images' features: orvo.match's refined inliers for orvo
    detectors, the ratio-tested mutual nearest neighbours for the others."""
    if detector.kind == "orvo":
        import orvo

        result = orvo.match_features(fi.regions, fi.descriptors, fi.orientations, fj.regions, fj.descriptors,
                                     fj.orientations, ratio=ratio, model="fundamental", image1=fi.path,
                                     image2=fj.path)
        return (result.points1[result.inliers], result.points2[result.inliers]), int(result.counts["tentative"])
    m = mutual_ratio_matches(fi.descriptors, fj.descriptors, ratio)
    return (fi.regions[m[:, 0], :2], fj.regions[m[:, 1], :2]), len(m)


def _labels(paths):
    """The images' names without their extensions (0000.jpg: 0000), or whole when two would be the same."""
    names = [os.path.basename(p) for p in paths]
    stems = [n.split(".")[0] for n in names]
    return stems if len(set(stems)) == len(stems) else names


def format_pose_table(summary):
    """The pose summary as an aligned text table."""
    header = ("set", "detector", "pairs", "AUC@5", "AUC@10", "AUC@20", "matches", "inliers", "s/image")
    return aligned(header, [(r["set"], r["detector"], str(r["pairs"]), f"{r['auc5']:.3f}", f"{r['auc10']:.3f}",
                             f"{r['auc20']:.3f}", f"{r['matches']:.0f}", f"{r['inliers']:.0f}",
                             f"{r['seconds_per_image']:.2f}") for r in summary], left=2)

