"""Orvo: local image features, the regions enclosed by Canny edges, given as ellipses.

    import cv2, orvo
    image = cv2.imread("photo.jpg")                                  # or orvo.detect("photo.jpg")
    regions = orvo.detect(image)                                     # float64 (N, 5): x y a b c
    descriptors = orvo.describe(image, orvo.scale_regions(regions, 3))  # uint8 (N, 128)
    keypoints = orvo.to_keypoints(regions)                           # list of cv2.KeyPoint
    cv2.imwrite("regions.png", orvo.draw(image, regions))

A region is a row ``x y a b c``: centre (x, y) in 0-based pixel coordinates (pixel (0, 0)'s centre at (0, 0), as
in OpenCV) and the ellipse (p - centre)' [[a, b], [b, c]] (p - centre) <= 1.

Detection and files
    :func:`detect`, :func:`describe`, :func:`draw`, :func:`read_image`, :func:`read_regions`,
    :func:`write_regions`, :class:`ImageError`.
Conversions (numpy, vectorised)
    :func:`scale_regions`, :func:`to_keypoints` (OpenCV), :func:`to_lafs` / :func:`from_lafs` (kornia),
    :func:`to_colmap_keypoints` (COLMAP).
Subpackages, imported on first use
    ``orvo.export``: COLMAP databases and hloc feature files; ``orvo.evaluate``: repeatability and matching score
    under known homographies; ``orvo.dask``: batch extraction over a Dask cluster; ``orvo.view``: the inspector's
    pages of regions and matches (self-contained HTML); ``orvo.tracks``: tracks of verified matches, their
    observations refined to agree.
"""

import importlib

from .conversions import from_lafs, scale_regions, to_colmap_keypoints, to_keypoints, to_lafs
from .core import (DEFAULT_OPTIONS, DENSE_OPTIONS, DESCRIPTOR_SIZE, MEASUREMENT_SCALE, ORVO_FILE_OFFSET, ImageError,
                   describe, describe_oriented, detect, draw, read_image, read_regions, write_regions)
from .matching import MATCH_OPTIONS, MatchResult, draw_matches, match, match_features, refine_points

__version__ = "1.0.0"

__all__ = ["detect", "describe", "describe_oriented", "draw", "read_image", "read_regions", "write_regions", "ImageError",
           "scale_regions", "to_keypoints", "to_lafs", "from_lafs", "to_colmap_keypoints", "DEFAULT_OPTIONS",
           "DENSE_OPTIONS", "DESCRIPTOR_SIZE", "MEASUREMENT_SCALE", "ORVO_FILE_OFFSET", "match", "match_features",
           "MATCH_OPTIONS", "draw_matches", "refine_points", "MatchResult"]

_SUBPACKAGES = ("export", "evaluate", "dask", "view", "tracks")


def __getattr__(name):
    """The subpackages (``orvo.export``, ``orvo.evaluate``, ...) are imported when first used."""
    if name in _SUBPACKAGES:
        return importlib.import_module(f".{name}", __name__)
    raise AttributeError(f"module 'orvo' has no attribute {name!r}")
