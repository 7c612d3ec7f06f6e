"""Running detectors on sequences and measuring every pair 1-k."""

import os

import numpy as np

from ..core import MEASUREMENT_SCALE
from .detectors import DetectorError, parse_detector
from .geometry import inside_image
from .protocol import chance_repeatability, matching_score, overlap_errors, repeatability
from .sequence import Sequence, read_image, read_sequence

__all__ = ["evaluate_sequence", "describe_regions"]


def describe_regions(path, regions, scale=MEASUREMENT_SCALE, shape=None):
    """Descriptors of the regions of an image with ``orvo.describe``, of their measurement regions.

    Each ellipse is scaled by ``scale`` about its centre (its matrix divided by scale^2) before it is described,
    as Orvo's command line does with -sift. With the image's ``shape``, only the regions lying inside the image
    are described (no other can be visible) and the other rows are zero. Returns an (N, 128) uint8 array.
    Raises DetectorError for regions that cannot be described.
    """
    import orvo

    regions = np.asarray(regions, dtype=np.float64).reshape(-1, 5)
    described = np.zeros((len(regions), 128), dtype=np.uint8)
    inside = inside_image(regions, shape) if shape is not None else np.ones(len(regions), bool)
    if not inside.any():
        return described
    measured = regions[inside].copy()
    measured[:, 2:] /= float(scale) ** 2
    try:
        described[inside] = orvo.describe(os.fspath(path), measured)
    except ValueError as e:
        raise DetectorError(f"{path}: cannot describe the regions: {e}") from None
    return described


def _percent(value):
    return None if value is None or np.isnan(value) else float(value)


def evaluate_sequence(sequence, detectors, *, threshold=0.4, normalise=30.0, descriptors=True,
                      descriptor_scale=MEASUREMENT_SCALE, progress=None):
    """Evaluate detectors on one sequence; returns a list of rows, one per detector and pair 1-k.

    sequence: a folder (see :mod:`orvo.evaluate.sequence`) or a :class:`Sequence`; detectors: names such as
    ``"orvo:t=50"``, ``"cv-mser"`` (see :mod:`orvo.evaluate.detectors`) or :class:`Detector` objects.
    Each image is detected once per detector; with ``descriptors`` its regions are described by
    :func:`describe_regions` (``orvo.describe``, measurement regions ``descriptor_scale`` times larger, Orvo's at
    their preset's measurement scale) and the matching score is measured, otherwise it is None. ``threshold`` and
    ``normalise`` are those of :func:`orvo.evaluate.repeatability`. ``progress``, when given, is called with a short text after every image a
    detector has processed.

    A row: ``{"sequence", "detector", "pair": "1-k", "regions": [n1, nk], "repeatability": percent,
    "chance": percent, "above_chance": percent points, "correspondences": int, "matching_score": percent}``;
    chance is :func:`orvo.evaluate.chance_repeatability`, above_chance the repeatability minus it; percentages
    are None when no region is visible in an image.
    """
    seq = sequence if isinstance(sequence, Sequence) else read_sequence(sequence)
    detectors = [parse_detector(d) for d in detectors]
    shapes = [read_image(path).shape for path in seq.images]
    rows = []
    for detector in detectors:
        regions, described = [], []
        for k, path in enumerate(seq.images, start=1):
            found = detector(path, k)
            regions.append(found)
            described.append(describe_regions(path, found, detector.measurement_scale(descriptor_scale), shapes[k - 1])
                             if descriptors else None)
            if progress is not None:
                progress(f"{seq.name} {detector.name} {os.path.basename(path)}")
        for k in range(2, len(seq.images) + 1):
            H = seq.homographies[k - 2]
            args = (regions[0], regions[k - 1], H, shapes[0], shapes[k - 1])
            overlaps = overlap_errors(*args, normalise=normalise, max_error=threshold)
            rep = repeatability(*args, threshold=threshold, overlaps=overlaps)
            chance = chance_repeatability(*args, threshold=threshold, normalise=normalise)
            score = None
            if descriptors:
                score = matching_score(regions[0], regions[k - 1], described[0], described[k - 1], H, shapes[0],
                                       shapes[k - 1], threshold=threshold, overlaps=overlaps).matching_score
            rows.append({
                "sequence": seq.name,
                "detector": detector.name,
                "pair": f"1-{k}",
                "regions": [len(regions[0]), len(regions[k - 1])],
                "repeatability": _percent(rep.repeatability),
                "chance": _percent(chance),
                "above_chance": _percent(rep.repeatability - chance),
                "correspondences": int(rep.correspondences),
                "matching_score": _percent(score),
            })
    return rows
