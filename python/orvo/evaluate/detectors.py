"""Detectors the evaluation runs, named on the command line as ``NAME[:OPTIONS]``.

OPTIONS is a comma-separated list of ``key=value`` (numbers are passed as numbers, true/false as booleans, the
rest as text):

``orvo``
    Orvo's detector, ``orvo.detect(image, **options)``; ``t`` and ``s`` stand for ``threshold`` and ``scale``:
    ``orvo:t=50,s=2`` is ``orvo.detect(image, threshold=50, scale=2)``.
``cv-mser``
    OpenCV's MSER on the grey image, ``cv2.MSER_create(**options)`` (default parameters when none are given, e.g.
    ``cv-mser:delta=10,min_area=30``). Each region becomes the ellipse of its pixels' mean and population
    covariance C, with M = (4 C)^-1, so that a filled ellipse gives itself back; regions whose pixels lie on a
    line (C singular) are dropped.
``cv-sift``
    OpenCV's SIFT keypoints on the grey image, ``cv2.SIFT_create(**options)``, each a circle of radius size / 2;
    keypoints repeated with another orientation are kept once.
``file:PATTERN[:offset=O]``
    Regions read from a region file per image with ``orvo.read_regions(path, offset=O)``. PATTERN may use
    ``{image}`` (the image's path), ``{dir}`` (its folder), ``{name}`` (its file name), ``{stem}`` (the name
    without extension) and ``{index}`` (k of imgk); a relative result is taken in the sequence's folder.
    ``offset`` is the file's origin offset: 2 (the default) for Orvo's own files, 0 for classic 0-based ones.
    Example: ``file:{image}.orvo`` or ``file:/results/{stem}.haraff:offset=0``.
"""

import os
import re

import numpy as np

from .sequence import SequenceError, read_image

__all__ = ["Detector", "DetectorError", "parse_detector", "DETECTOR_NAMES"]

DETECTOR_NAMES = ("orvo", "cv-mser", "cv-sift", "file")
_OPTIONS = re.compile(r"[A-Za-z_]\w*=[^,=]*(,[A-Za-z_]\w*=[^,=]*)*")


class DetectorError(ValueError):
    """A detector that is not known, has bad options, or fails on an image."""


class Detector:
    """A named detector: ``detector(path, index)`` returns the (N, 5) regions ``x y a b c`` (0-based) of the image
    at ``path`` (``index`` is k of imgk, used by ``file:`` patterns). ``kind`` is the name without options
    ("orvo", "cv-mser", "cv-sift", "file"), ``options`` the options given."""

    def __init__(self, name, function, kind=None, options=None):
        self.name = name
        self.kind = kind or name.partition(":")[0]
        self.options = dict(options or {})
        self._function = function

    def __call__(self, path, index=1):
        try:
            regions = self._function(os.fspath(path), index)
        except (DetectorError, SequenceError, ImportError):
            raise
        except Exception as e:  # the detector's own failure (OpenCV's errors, orvo's bad options)
            raise DetectorError(f"detector {self.name} failed on {path}: {_message(e)}") from None
        return np.asarray(regions, dtype=np.float64).reshape(-1, 5)

    def measurement_scale(self, default):
        """The factor by which this detector's regions are grown before they are described: Orvo's preset's own
        (the option ``measurement_scale`` when given), ``default`` for the other detectors."""
        if self.kind != "orvo":
            return default
        import orvo

        preset = orvo.DENSE_OPTIONS if self.options.get("dense") else orvo.DEFAULT_OPTIONS
        return float(self.options.get("measurement_scale", preset["measurement_scale"]))

    def __repr__(self):
        return f"Detector({self.name!r})"


def _message(error):
    text = " ".join(line.strip(" >") for line in str(error).splitlines() if line.strip(" >"))
    return text or type(error).__name__


def _value(text):
    low = text.strip().lower()
    if low in ("true", "false"):
        return low == "true"
    for kind in (int, float):
        try:
            return kind(text)
        except ValueError:
            pass
    return text


def _parse_options(text, given):
    options = {}
    if not text:
        return options
    if not _OPTIONS.fullmatch(text):
        raise DetectorError(f"bad options in detector {given!r}: write key=value[,key=value...]")
    for item in text.split(","):
        key, value = item.split("=", 1)
        options[key] = _value(value)
    return options


def _grey(path):
    return read_image(path)


def _orvo(options):
    aliases = {"t": "threshold", "s": "scale"}
    options = {aliases.get(k, k): v for k, v in options.items()}

    def detect(path, index):
        import orvo

        return orvo.detect(path, **options)

    return detect


def _ellipses_of_pixel_sets(point_sets):
    """Ellipses (M = (4 C)^-1) of the mean and population covariance of each set of (x, y) pixels."""
    rows = []
    for pts in point_sets:
        p = np.asarray(pts, dtype=np.float64).reshape(-1, 2)
        if len(p) < 3:
            continue
        mean = p.mean(axis=0)
        d = p - mean
        cxx, cxy, cyy = (d[:, 0] ** 2).mean(), (d[:, 0] * d[:, 1]).mean(), (d[:, 1] ** 2).mean()
        det = cxx * cyy - cxy * cxy
        if det <= 1e-12 * max(cxx * cyy, 1e-300):
            continue
        # (4 C)^-1 = [[cyy, -cxy], [-cxy, cxx]] / (4 det)
        rows.append([mean[0], mean[1], cyy / (4 * det), -cxy / (4 * det), cxx / (4 * det)])
    return np.array(rows, dtype=np.float64).reshape(-1, 5)


def _opencv(create, label, options):
    try:
        create(**options)
    except Exception as e:  # TypeError for unknown names, cv2.error for bad values
        raise DetectorError(f"bad options for {label}: {_message(e)}") from None
    return create


def _cv_mser(options):
    import cv2

    create = _opencv(cv2.MSER_create, "cv-mser", options)

    def detect(path, index):
        regions, _ = create(**options).detectRegions(_grey(path))
        return _ellipses_of_pixel_sets(regions)

    return detect


def _cv_sift(options):
    import cv2

    create = _opencv(cv2.SIFT_create, "cv-sift", options)

    def detect(path, index):
        keypoints = create(**options).detect(_grey(path), None)
        circles = np.array([[k.pt[0], k.pt[1], k.size / 2.0] for k in keypoints], dtype=np.float64).reshape(-1, 3)
        circles = np.unique(circles, axis=0)
        m = 1.0 / circles[:, 2] ** 2
        return np.column_stack([circles[:, :2], m, np.zeros(len(m)), m])

    return detect


def _file(pattern, options, given):
    unknown = set(options) - {"offset"}
    if unknown:
        raise DetectorError(f"unknown option {sorted(unknown)[0]!r} in detector {given!r} (file: takes offset)")
    offset = options.get("offset", 2.0)
    if isinstance(offset, bool) or not isinstance(offset, (int, float)):
        raise DetectorError(f"the offset of detector {given!r} must be a number")
    if not pattern:
        raise DetectorError("the file: detector needs a pattern, e.g. file:{image}.orvo")
    try:
        pattern.format(image="", dir="", name="", stem="", index=1)
    except (KeyError, IndexError, ValueError, AttributeError) as e:
        raise DetectorError(f"bad pattern in detector {given!r}: use {{image}}, {{dir}}, {{name}}, {{stem}}, "
                            f"{{index}} ({_message(e)})") from None

    def detect(path, index):
        import orvo

        image = os.path.abspath(path)
        folder, name = os.path.split(image)
        target = os.path.join(folder, pattern.format(image=image, dir=folder, name=name,
                                                     stem=os.path.splitext(name)[0], index=index))
        if not os.path.isfile(target):
            raise DetectorError(f"detector {given}: no region file {target}")
        return orvo.read_regions(target, offset=float(offset))

    return detect


def parse_detector(given):
    """The :class:`Detector` named by ``NAME[:OPTIONS]`` (see the module for the names and their options).

    Raises DetectorError for an unknown name or bad options (OpenCV's options are checked here; Orvo's when it
    first runs).
    """
    if isinstance(given, Detector):
        return given
    given = str(given).strip()
    name, _, rest = given.partition(":")
    if name == "file":
        pattern, options = rest, {}
        head, sep, tail = rest.rpartition(":")
        if sep and _OPTIONS.fullmatch(tail):
            pattern, options = head, _parse_options(tail, given)
        return Detector(given, _file(pattern, options, given), "file", options)
    options = _parse_options(rest, given)
    makers = {"orvo": _orvo, "cv-mser": _cv_mser, "cv-sift": _cv_sift}
    if name in makers:
        return Detector(given, makers[name](options), name, options)
    raise DetectorError(f"unknown detector {name!r}: choose from orvo, cv-mser, cv-sift, file:PATTERN")
