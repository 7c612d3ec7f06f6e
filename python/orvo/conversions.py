"""Conversions of Orvo's regions to the keypoints and frames of other tools, vectorised with numpy.

A region is a row ``x y a b c``: the ellipse (p - centre)' M (p - centre) <= 1 with M = [[a, b], [b, c]] positive
definite, centre in 0-based pixel coordinates (pixel (0, 0)'s centre at (0, 0), as in OpenCV).

The local affine frame of a region is [A | centre] with A A' = M^-1: it maps the unit circle onto the ellipse's
boundary. Orvo uses the upright frame, A the lower Cholesky factor of M^-1::

    A = [[sqrt(c / d), 0], [-b / sqrt(c d), 1 / sqrt(c)]],   d = a c - b^2

Origins of the pixel grid: OpenCV and Orvo put pixel (0, 0)'s centre at (0, 0); COLMAP and kornia's patch
sampling at (0.5, 0.5), hence the ``origin`` arguments below.
"""

import numpy as np

__all__ = ["check_regions", "scale_regions", "to_keypoints", "to_lafs", "from_lafs", "to_colmap_keypoints"]

#: What COLMAP and kornia add to a 0-based pixel coordinate.
HALF_PIXEL = 0.5


def check_regions(regions, caller="regions"):
    """The regions as a float64 (N, 5) array, or ValueError naming the first row that is not finite and positive
    definite (or TypeError/ValueError for an array of the wrong type or shape)."""
    array = np.asarray(regions)
    if array.dtype.kind not in "fiu":
        raise TypeError(f"{caller}: regions must be a numeric (N, 5) array, not of dtype {array.dtype}")
    array = np.asarray(array, dtype=np.float64)
    if array.ndim != 2 or array.shape[1] != 5:
        raise ValueError(f"{caller}: regions must be an (N, 5) array of rows x y a b c, not of shape {array.shape}")
    x, y, a, b, c = array.T
    with np.errstate(invalid="ignore", divide="ignore", over="ignore"):
        # b^2 < a c as |b| / a < c / |b|, free of overflow and underflow.
        definite = (a > 0) & (c > 0) & ((b == 0) | (np.abs(b) / a < c / np.abs(b)))
    valid = np.isfinite(array).all(axis=1) & definite
    if not valid.all():
        row = int(np.argmin(valid))
        raise ValueError(f"{caller}: region {row} ({' '.join(repr(float(v)) for v in array[row])}) is not finite "
                         "and positive definite")
    return array


def scale_regions(regions, factor):
    """The regions grown by ``factor`` about their centres (matrices divided by factor^2).

    ``orvo -sift`` describes the regions scaled by 3, their measurement regions:
    ``orvo.describe(image, orvo.scale_regions(regions, 3))`` gives the same descriptors.
    """
    factor = float(factor)
    if not (np.isfinite(factor) and factor > 0):
        raise ValueError(f"scale_regions: the factor must be a positive finite number, not {factor!r}")
    scaled = np.array(check_regions(regions, "scale_regions"), dtype=np.float64)
    scaled[:, 2:] /= factor * factor
    return scaled


def _frames(array):
    """A (N, 2, 2) of the upright frames of checked regions."""
    x, y, a, b, c = array.T
    d = a * c - b * b
    frames = np.zeros((len(array), 2, 2))
    frames[:, 0, 0] = np.sqrt(c / d)
    frames[:, 1, 0] = -b / np.sqrt(c * d)
    frames[:, 1, 1] = 1 / np.sqrt(c)
    return frames


def to_keypoints(regions):
    """``list[cv2.KeyPoint]``, one per region, as OpenCV's detector evaluation compares ellipses.

    pt: the centre; size: 2 (ac - b^2)^(-1/4), the diameter of the circle of equal area; angle: the major axis'
    direction in degrees, clockwise in image axes (y down), in [0, 180) (0 for a circle); response 0, octave 0.
    """
    import cv2

    array = check_regions(regions, "to_keypoints")
    x, y, a, b, c = array.T
    size = 2 / np.sqrt(np.sqrt(a * c - b * b))
    angle = np.degrees(0.5 * np.arctan2(2 * b, a - c)) + 90.0
    angle = np.where((b == 0) & (a == c), 0.0, np.mod(angle, 180.0))
    return [cv2.KeyPoint(float(px), float(py), float(s), float(t))
            for px, py, s, t in zip(x.astype(np.float32), y.astype(np.float32), size.astype(np.float32),
                                    angle.astype(np.float32))]


def to_lafs(regions, origin=HALF_PIXEL):
    """kornia local affine frames of the regions: float32 (1, N, 2, 3), rows [[a11, a12, x], [a21, a22, y]].

    A = [[a11, a12], [a21, a22]] is the upright frame (lower triangular, A A' = M^-1), so kornia's scale
    sqrt|det A| is (ac - b^2)^(-1/4) and its orientation atan2(a12, a11) is 0. kornia samples patches with pixel
    (0, 0)'s centre at (0.5, 0.5): ``origin`` (0.5 by default) is added to the centres. Use ``origin=0`` for
    frames in Orvo's and OpenCV's coordinates (then each frame equals the C++ orvo::to_affine_frame).
    """
    array = check_regions(regions, "to_lafs")
    lafs = np.zeros((1, len(array), 2, 3), dtype=np.float32)
    lafs[0, :, :, :2] = _frames(array)
    lafs[0, :, 0, 2] = array[:, 0] + origin
    lafs[0, :, 1, 2] = array[:, 1] + origin
    return lafs


def from_lafs(lafs, origin=HALF_PIXEL):
    """Regions (N, 5) float64 of local affine frames: (1, N, 2, 3) as kornia gives them, or (N, 2, 3).

    Any invertible A is accepted (rotated or skewed frames too): M = (A A')^-1. ``origin`` is subtracted from the
    centres (see :func:`to_lafs`), so ``from_lafs(to_lafs(r))`` gives ``r`` back up to float32 rounding.
    """
    frames = np.asarray(lafs, dtype=np.float64)
    if frames.ndim == 4 and frames.shape[0] == 1:
        frames = frames[0]
    if frames.ndim != 3 or frames.shape[1:] != (2, 3):
        raise ValueError(f"from_lafs: frames must be (1, N, 2, 3) or (N, 2, 3), not of shape {np.shape(lafs)}")
    A = frames[:, :, :2]
    p = A[:, 0, 0] ** 2 + A[:, 0, 1] ** 2
    q = A[:, 0, 0] * A[:, 1, 0] + A[:, 0, 1] * A[:, 1, 1]
    s = A[:, 1, 0] ** 2 + A[:, 1, 1] ** 2
    with np.errstate(divide="ignore", invalid="ignore", over="ignore"):
        d = p * s - q * q
        regions = np.stack([frames[:, 0, 2] - origin, frames[:, 1, 2] - origin, s / d, -q / d, p / d], axis=1)
    try:
        return check_regions(regions.reshape(-1, 5), "from_lafs")
    except ValueError as error:
        raise ValueError(f"{error} (is its frame invertible and finite?)") from None


def to_colmap_keypoints(regions):
    """COLMAP's affine keypoints: float32 (N, 6) rows ``x y a11 a12 a21 a22``.

    (x, y) is the centre with COLMAP's half-pixel origin (0-based centre + 0.5); a11..a22 the upright frame A
    (A A' = M^-1, a12 = 0), which COLMAP reads as the keypoint's affine shape.
    """
    array = check_regions(regions, "to_colmap_keypoints")
    keypoints = np.empty((len(array), 6), dtype=np.float32)
    keypoints[:, 0] = array[:, 0] + HALF_PIXEL
    keypoints[:, 1] = array[:, 1] + HALF_PIXEL
    keypoints[:, 2:] = _frames(array).reshape(-1, 4)
    return keypoints
