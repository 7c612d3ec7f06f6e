"""Features for matching, and the tentative matches the geometric measures start from.

A detector's features on an image are its regions with descriptors: OpenCV's SIFT keeps its own descriptors (the
usual peer), every other detector's regions are described by ``orvo.describe`` (measurement regions three times
the ellipses), with each descriptor's orientation. Tentative matches are mutual
nearest neighbours that pass the ratio test both ways.
"""

import os
import time
from collections import namedtuple

import numpy as np

from ..core import MEASUREMENT_SCALE
from .detectors import DetectorError, parse_detector
from .geometry import inside_image
from .sequence import read_image

__all__ = ["Features", "image_features", "mutual_ratio_matches"]

Features = namedtuple("Features", "regions descriptors orientations seconds path", defaults=(None,))
Features.__doc__ = """Regions (N, 5), their descriptors (N, D), their orientations (N,) in radians, image axes (x
right, y down), the seconds detection and description took, and the image's path (None when not known)."""


def _sift_features(detector, path, grey):
    import cv2

    try:
        keypoints, descriptors = cv2.SIFT_create(**detector.options).detectAndCompute(grey, None)
    except cv2.error as e:
        raise DetectorError(f"detector {detector.name} failed on {path}: {e}") from None
    radius = np.array([k.size / 2.0 for k in keypoints]).reshape(-1)
    m = 1.0 / np.maximum(radius, 1e-12) ** 2
    regions = np.column_stack([[k.pt[0] for k in keypoints], [k.pt[1] for k in keypoints], m,
                               np.zeros(len(m)), m]).reshape(-1, 5)
    orientations = np.deg2rad([k.angle for k in keypoints]).astype(np.float64)
    if descriptors is None:
        descriptors = np.zeros((0, 128), np.float32)
    return regions, descriptors, orientations


def _orvo_descriptors(path, regions, scale):
    import orvo

    measured = regions.copy()
    measured[:, 2:] /= float(scale) ** 2
    descriptors, orientations = orvo.describe_oriented(os.fspath(path), measured)
    return np.asarray(descriptors), np.asarray(orientations, dtype=np.float64)


def image_features(detector, path, index=1, descriptor_scale=MEASUREMENT_SCALE, inside_only=True):
    """The :class:`Features` of one image for a detector (a name or a Detector).

    Regions not inside the image are dropped when ``inside_only`` (``orvo.match`` keeps them: their patches repeat
    the border pixels). ``orvo`` detectors' regions are described at their preset's measurement scale, the others'
    at ``descriptor_scale``. Raises DetectorError when the detector fails or its regions cannot be described.
    """
    detector = parse_detector(detector)
    start = time.perf_counter()
    grey = read_image(path)
    if detector.kind == "cv-sift":
        regions, descriptors, orientations = _sift_features(detector, path, grey)
    else:
        regions = detector(path, index)
        if inside_only:
            regions = regions[inside_image(regions, grey.shape)]
        try:
            descriptors, orientations = _orvo_descriptors(path, regions,
                                                          detector.measurement_scale(descriptor_scale))
        except ValueError as e:
            raise DetectorError(f"{path}: cannot describe the regions of {detector.name}: {e}") from None
    return Features(regions, descriptors, orientations, time.perf_counter() - start, path)


def mutual_ratio_matches(descriptors1, descriptors2, ratio=0.8):
    """(K, 2) indices of the mutual nearest neighbours (L2) whose nearest distance is below ``ratio`` times the
    second nearest, both ways. Memory grows with the numbers of descriptors, not their product."""
    import cv2

    d1 = np.ascontiguousarray(descriptors1, dtype=np.float32)
    d2 = np.ascontiguousarray(descriptors2, dtype=np.float32)
    if len(d1) < 2 or len(d2) < 2:
        return np.zeros((0, 2), dtype=np.intp)
    matcher = cv2.BFMatcher(cv2.NORM_L2)

    def nearest(a, b):
        pairs = matcher.knnMatch(a, b, k=2)
        best = np.array([p[0].trainIdx for p in pairs])
        passed = np.array([p[0].distance < ratio * p[1].distance for p in pairs])
        return best, passed

    best12, ok12 = nearest(d1, d2)
    best21, ok21 = nearest(d2, d1)
    i = np.flatnonzero(ok12 & (best21[best12] == np.arange(len(d1))) & ok21[best12])
    return np.column_stack([i, best12[i]]).astype(np.intp).reshape(-1, 2)
