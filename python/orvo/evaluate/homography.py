"""Homography accuracy: how well each detector's matches recover a sequence's known homographies.

For every pair 1-k of a sequence and every detector: tentative matches, a homography estimated from them, and its
error: the mean distance, in image k, between image 1's four corners mapped by the estimate and by the true
homography. Orvo's regions are matched as ``orvo.match`` matches them, with the same correspondences: all regions
(none dropped at the image's border), mutual nearest neighbours with the ratio test, verification by the affine
frames (two correspondences per hypothesis), the inliers refined on the images and the model fitted again
(``orvo.match_features`` with the images). Every other detector's regions inside the image are matched as mutual
nearest neighbours passing the ratio test both ways, and go to OpenCV's findHomography with MAGSAC (USAC_MAGSAC). A
pair without an estimate has an infinite error. The summary per detector is the share of pairs whose error is at
most 1, 3 and 5 pixels.
"""

import numpy as np

from ..core import MEASUREMENT_SCALE
from .detectors import parse_detector
from .matching import image_features, mutual_ratio_matches
from .report import aligned
from .sequence import Sequence, read_image, read_sequence

__all__ = ["corner_error", "estimate_homography", "evaluate_homographies", "homography_summary",
           "format_homography_table", "CORNER_THRESHOLDS"]

CORNER_THRESHOLDS = (1.0, 3.0, 5.0)


def corner_error(H, H_true, shape1):
    """Mean distance between the four corners of image 1 (numpy shape) mapped by H and by H_true; inf when H is
    None or sends a corner to infinity."""
    if H is None:
        return float("inf")
    h, w = shape1[:2]
    corners = np.array([[0.0, 0.0, 1.0], [w - 1.0, 0.0, 1.0], [w - 1.0, h - 1.0, 1.0], [0.0, h - 1.0, 1.0]]).T

    def mapped(M):
        p = np.asarray(M, dtype=np.float64) @ corners
        with np.errstate(divide="ignore", invalid="ignore"):
            return p[:2] / p[2]

    error = float(np.mean(np.hypot(*(mapped(H) - mapped(H_true)))))
    return error if np.isfinite(error) else float("inf")


def _affine_verified(detector, f1, f2, ratio, threshold):
    import orvo

    if not hasattr(orvo, "match_features"):
        raise ImportError(f"this orvo module cannot verify {detector.name}'s matches by their affine frames",
                          name="orvo")
    options = {} if threshold is None else {"ransac_threshold": threshold}
    result = orvo.match_features(f1.regions, f1.descriptors, f1.orientations, f2.regions, f2.descriptors,
                                 f2.orientations, ratio=ratio, model="homography", image1=f1.path, image2=f2.path,
                                 **options)
    model = None if result.model is None else np.asarray(result.model, dtype=np.float64)
    return model, int(result.counts["tentative"]), int(result.counts["inliers"])


def _magsac(f1, f2, ratio, threshold):
    import cv2

    m = mutual_ratio_matches(f1.descriptors, f2.descriptors, ratio)
    if len(m) < 4:
        return None, len(m), 0
    H, mask = cv2.findHomography(f1.regions[m[:, 0], :2], f2.regions[m[:, 1], :2], cv2.USAC_MAGSAC,
                                 3.0 if threshold is None else threshold, maxIters=10000, confidence=0.9999)
    if H is None:
        return None, len(m), 0
    return H, len(m), int(mask.sum())


def estimate_homography(detector, features1, features2, *, ratio=0.8, threshold=None):
    """(H or None, tentative matches, inliers) from two images' :class:`Features`: affine verification for
    ``orvo`` detectors (``orvo.match_features``, its own inlier threshold unless ``threshold`` pixels are given; the
    inliers refined on the images when the features know their paths), MAGSAC on the ratio-tested matches
    (``threshold`` pixels, 3 by default) for the others."""
    detector = parse_detector(detector)
    if detector.kind == "orvo":
        return _affine_verified(detector, features1, features2, ratio, threshold)
    return _magsac(features1, features2, ratio, threshold)


def evaluate_homographies(sequence, detectors, *, ratio=0.8, threshold=None, descriptor_scale=MEASUREMENT_SCALE,
                          progress=None):
    """Homography accuracy of detectors on one sequence: a row per detector and pair 1-k, ``{"sequence",
    "detector", "pair", "matches", "inliers", "corner_error"}`` (pixels; None when no homography was found)."""
    seq = sequence if isinstance(sequence, Sequence) else read_sequence(sequence)
    shape1 = read_image(seq.images[0]).shape
    rows = []
    for detector in (parse_detector(d) for d in detectors):
        features = []
        for k, path in enumerate(seq.images, start=1):
            features.append(image_features(detector, path, k, descriptor_scale,
                                           inside_only=detector.kind != "orvo"))
            if progress is not None:
                progress(f"{seq.name} {detector.name} img{k}")
        for k in range(2, len(seq.images) + 1):
            H, matches, inliers = estimate_homography(detector, features[0], features[k - 1], ratio=ratio,
                                                      threshold=threshold)
            error = corner_error(H, seq.homographies[k - 2], shape1)
            rows.append({"sequence": seq.name, "detector": detector.name, "pair": f"1-{k}", "matches": matches,
                         "inliers": inliers, "corner_error": error if np.isfinite(error) else None})
    return rows


def homography_summary(rows):
    """Per detector: the number of pairs and the share (percent) of pairs with a corner error at most 1, 3, 5 px."""
    summary = []
    for detector in dict.fromkeys(r["detector"] for r in rows):
        errors = np.array([np.inf if r["corner_error"] is None else r["corner_error"] for r in rows
                           if r["detector"] == detector])
        summary.append({"detector": detector, "pairs": len(errors),
                        **{f"within{int(t)}": 100.0 * float(np.mean(errors <= t)) for t in CORNER_THRESHOLDS}})
    return summary


def format_homography_table(rows):
    """Each pair's corner error, then the shares per detector, as aligned text."""
    pairs = aligned(("sequence", "detector", "pair", "matches", "inliers", "corner error px"),
                    [(r["sequence"], r["detector"], r["pair"], str(r["matches"]), str(r["inliers"]),
                      "-" if r["corner_error"] is None else f"{r['corner_error']:.2f}") for r in rows], left=3)
    shares = aligned(("detector", "pairs", "<= 1 px %", "<= 3 px %", "<= 5 px %"),
                     [(s["detector"], str(s["pairs"]), *(f"{s[f'within{int(t)}']:.1f}" for t in CORNER_THRESHOLDS))
                      for s in homography_summary(rows)], left=1)
    return pairs + "\n" + shares
