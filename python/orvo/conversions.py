"""Conversions of Orvo's regions to the keypoints and frames of other tools, over whole (N, 5) arrays.

A region is a row ``x y a b c``: the ellipse (p - centre)' M (p - centre) <= 1 with M = [[a, b], [b, c]] positive
definite, centre in 0-based pixel coordinates (pixel (0, 0)'s centre at (0, 0), as in OpenCV).

The local affine frame of a region is [A | centre] with A A' = M^-1: it maps the unit circle onto the ellipse's
boundary. Orvo uses the upright frame, A the lower Cholesky factor of M^-1::

    A = [[sqrt(c / d), 0], [-b / sqrt(c d), 1 / sqrt(c)]],   d = a c - b^2

The geometry is the C++ library's own (orvo::to_keypoint, orvo::to_affine_frame, ...), applied row by row in the
compiled core; this module checks the arrays and shapes the results.

Origins of the pixel grid: OpenCV, kornia's frames and Orvo put pixel (0, 0)'s centre at (0, 0); COLMAP at
(0.5, 0.5), hence its keypoints' half-pixel shift.
"""

import numpy as np

from . import _orvo

__all__ = ["check_regions", "scale_regions", "to_keypoints", "to_lafs", "from_lafs", "to_colmap_keypoints",
           "COLMAP_PIXEL_ORIGIN"]

#: What COLMAP adds to a 0-based pixel coordinate.
COLMAP_PIXEL_ORIGIN = _orvo.COLMAP_PIXEL_ORIGIN


def check_regions(regions, caller="regions"):
    """The regions as a float64 (N, 5) array, or ValueError naming the first row that is not finite and positive
    definite (or TypeError/ValueError for an array of the wrong type or shape)."""
    array = np.asarray(regions)
    if array.dtype.kind not in "fiu":
        raise TypeError(f"{caller}: regions must be a numeric (N, 5) array, not of dtype {array.dtype}")
    array = np.ascontiguousarray(array, dtype=np.float64)
    if array.ndim != 2 or array.shape[1] != 5:
        raise ValueError(f"{caller}: regions must be an (N, 5) array of rows x y a b c, not of shape {array.shape}")
    valid = _orvo.valid_regions(array)
    if not valid.all():
        row = int(np.argmin(valid))
        raise ValueError(f"{caller}: region {row} ({' '.join(repr(float(v)) for v in array[row])}) is not finite "
                         "and positive definite")
    return array


def scale_regions(regions, factor):
    """The regions grown by ``factor`` about their centres (matrices divided by factor^2).

    ``orvo -sift`` describes the regions scaled by 3, their measurement regions:
    ``orvo.describe(image, orvo.scale_regions(regions, 3))`` gives the same descriptors. ValueError when a scaled
    region would not be finite and positive definite (a factor so small or large that its matrix overflows or
    vanishes).
    """
    factor = float(factor)
    if not (np.isfinite(factor) and factor > 0):
        raise ValueError(f"scale_regions: the factor must be a positive finite number, not {factor!r}")
    try:
        return _orvo.scale_regions(check_regions(regions, "scale_regions"), factor)
    except ValueError as error:
        raise ValueError(f"scale_regions: {error} (factor {factor!r})") from None


def to_keypoints(regions):
    """``list[cv2.KeyPoint]``, one per region, as OpenCV's detector evaluation compares ellipses.

    pt: the centre; size: 2 (ac - b^2)^(-1/4), the diameter of the circle of equal area; angle: the major axis'
    direction in degrees, clockwise in image axes (y down), in [0, 180) (0 for a circle; an ellipse has no
    direction, so never in [180, 360)); response 0, octave 0.
    """
    import cv2

    rows = _orvo.keypoints(check_regions(regions, "to_keypoints")).tolist()
    return [cv2.KeyPoint(x, y, size, angle) for x, y, size, angle in rows]


def to_lafs(regions, origin=0.0):
    """kornia local affine frames of the regions: float32 (1, N, 2, 3), rows [[a11, a12, x], [a21, a22, y]].

    A = [[a11, a12], [a21, a22]] is the upright frame (lower triangular, A A' = M^-1), so kornia's scale
    sqrt|det A| is (ac - b^2)^(-1/4) and its orientation atan2(a12, a11) is 0. The centre is the region's, as
    kornia's own detectors and its OpenCV KeyPoint conversions place keypoints (pixel (0, 0)'s centre at (0, 0)):
    each frame equals the C++ orvo::to_affine_frame. ``origin`` is added to the centres for tools that put pixel
    (0, 0)'s centre at (origin, origin).
    """
    frames = _orvo.affine_frames(check_regions(regions, "to_lafs"))
    frames[:, :, 2] += float(origin)
    return frames.astype(np.float32)[None]


def from_lafs(lafs, origin=0.0):
    """Regions (N, 5) float64 of local affine frames: (1, N, 2, 3) as kornia gives them, or (N, 2, 3).

    Any invertible A is accepted (rotated or skewed frames too): M = (A A')^-1. ``origin`` is subtracted from the
    centres (see :func:`to_lafs`), so ``from_lafs(to_lafs(r))`` gives ``r`` back up to float32 rounding.
    """
    frames = np.array(lafs, dtype=np.float64)
    if frames.ndim == 4 and frames.shape[0] == 1:
        frames = frames[0]
    if frames.ndim != 3 or frames.shape[1:] != (2, 3):
        raise ValueError(f"from_lafs: frames must be (1, N, 2, 3) or (N, 2, 3), not of shape {np.shape(lafs)}")
    frames[:, :, 2] -= float(origin)
    try:
        return _orvo.regions_from_frames(frames)
    except ValueError as error:
        raise ValueError(f"from_lafs: {error}") from None


def to_colmap_keypoints(regions):
    """COLMAP's affine keypoints: float32 (N, 6) rows ``x y a11 a12 a21 a22``.

    (x, y) is the centre with COLMAP's half-pixel origin (0-based centre + 0.5); a11..a22 the upright frame A
    (A A' = M^-1, a12 = 0), which COLMAP reads as the keypoint's affine shape.
    """
    frames = _orvo.affine_frames(check_regions(regions, "to_colmap_keypoints"))
    keypoints = np.empty((len(frames), 6), dtype=np.float32)
    keypoints[:, :2] = frames[:, :, 2] + COLMAP_PIXEL_ORIGIN
    keypoints[:, 2:] = frames[:, :, :2].reshape(-1, 4)
    return keypoints
