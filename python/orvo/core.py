"""Detection, description, drawing and region files: the compiled core behind numpy in, numpy out.

Images are numpy arrays H x W (grey) or H x W x 3 / H x W x 4 (BGR, BGRA, as ``cv2.imread`` gives them), uint8 or
uint16 (16-bit samples count by their high byte), or paths of image files, read as the ``orvo`` executable reads
them. Regions are float64 (N, 5) arrays of rows ``x y a b c`` (see :mod:`orvo.conversions`).
"""

import errno
import os
import types

import numpy as np

from . import _orvo
from .conversions import check_regions

__all__ = ["DEFAULT_OPTIONS", "DENSE_OPTIONS", "ImageError", "detect", "describe", "describe_oriented", "draw",
           "read_image", "read_regions", "write_regions"]

ImageError = _orvo.ImageError
ImageError.__module__ = "orvo"

DESCRIPTOR_SIZE = _orvo.DESCRIPTOR_SIZE
#: The growth of a region into the one its descriptor is measured on (3), as ``orvo -sift`` describes them.
MEASUREMENT_SCALE = _orvo.MEASUREMENT_SCALE
#: The origin offset of Orvo's region files: centres are written 2 pixels past the 0-based ones.
ORVO_FILE_OFFSET = _orvo.ORVO_FILE_OFFSET

#: The detector's options and their defaults (the fields of the C++ orvo::DetectorOptions), read only.
DEFAULT_OPTIONS = types.MappingProxyType(dict(_orvo.default_options()))
#: The options of the dense preset (``dense=True``): many more regions, see the README's measurements; read only.
DENSE_OPTIONS = types.MappingProxyType(dict(_orvo.dense_options()))


def file_path(path, caller):
    """The path as bytes for the compiled core, as Python's own file functions take paths: str, bytes (any bytes,
    UTF-8 or not) or os.PathLike; TypeError for anything else, ValueError for an embedded null byte."""
    if not isinstance(path, (str, bytes, os.PathLike)):
        raise TypeError(f"{caller}: a path must be a str, bytes or os.PathLike, not {type(path).__name__}")
    path = os.fsencode(os.fspath(path))
    if b"\0" in path:
        raise ValueError(f"{caller}: embedded null byte in the path {path!r}")
    return path


def existing_file(path, caller):
    """The path as bytes, or FileNotFoundError/IsADirectoryError/PermissionError naming it."""
    name = path
    path = file_path(path, caller)
    for missing, error in ((not os.path.exists(path), errno.ENOENT), (os.path.isdir(path), errno.EISDIR),
                           (not os.access(path, os.R_OK), errno.EACCES)):
        if missing:
            raise OSError(error, os.strerror(error), os.fspath(name))
    return path


def read_image(path):
    """The image of a file as the detector reads it: uint8, H x W (grey files) or H x W x 3 (BGR), EXIF
    orientation ignored.

    Raises FileNotFoundError for a missing file and :class:`orvo.ImageError` (an OSError and a ValueError) for a
    file that is not a readable image, is truncated, or claims more than 2^27 pixels.
    """
    return _orvo.read_image(existing_file(path, "read_image"))


def _image(image, caller):
    """An image array: the given one, or the one read from a path."""
    if isinstance(image, (str, bytes, os.PathLike)):
        return read_image(image)
    if not isinstance(image, np.ndarray):
        raise TypeError(f"{caller}: the image must be a numpy array or a path, not {type(image).__name__}")
    return image


def detect(image, threshold=None, scale=1.0, dense=False, strengths=False, **options):
    """The regions of an image: float64 array (N, 5), rows ``x y a b c``.

    (x, y) is the centre in 0-based pixel coordinates (pixel (0, 0)'s centre at (0, 0), as in OpenCV);
    [[a, b], [b, c]] the ellipse's matrix: the region is (p - centre)' M (p - centre) <= 1. Regions come in the
    detector's selection order; the same as the ``orvo`` executable's on the same file.

    image: numpy array H x W, H x W x 3 (BGR) or H x W x 4 (BGRA), uint8 or uint16; or a path of an image file
        (str, bytes or os.PathLike). Colour is reduced to grey as if the first channel were red: a BGR pixel weighs
        0.299 B + 0.587 G + 0.114 R (the regions always found in colour images depend on it; :func:`describe` weighs
        B, G, R properly). The same regions from a grey image: ``detect(cv2.cvtColor(bgr, cv2.COLOR_RGB2GRAY))``.
        Images of more than 2^27 pixels are refused with ValueError before anything is copied.
    threshold: a component is kept when its area exceeds threshold times the alpha at which it merges (lower
        keeps more regions); 100 by default, the dense preset's own with ``dense=True``.
    scale: every region is grown by this factor about its centre.
    dense: start from the dense preset (:data:`DENSE_OPTIONS`, ``orvo --dense``): several times the regions
        and correspondences of the classic settings; the options given still apply on top of it.
    options: the other detector options, listed below; they apply in the order given, after the preset, and win
        over it (a single ``edge_step`` replaces the preset's ``edge_steps``, as ``--edge-step`` does).
    strengths: also return each region's strength, (N,) float64: how clearly the detector's selection kept it (its
        component's area over the alpha at which the component merges, at least ``threshold``); the strongest
        regions match best. Then the result is the tuple (regions, strengths).

    The interpreter lock is released while detecting: Python threads detect in parallel.
    Raises TypeError for an unknown option, a value of the wrong type (integer options take integers only,
    ``edge_steps`` a sequence of them, the switches True or False) or an image of the wrong type, ValueError for a
    bad option value (a scale whose regions would not be finite and positive definite too), an image of the wrong
    shape or an embedded null byte in a path, FileNotFoundError / :class:`orvo.ImageError` for a path that cannot
    be read, MemoryError when memory runs out. What it returns is always finite and positive definite.

    The detector's options (name, default, meaning):
    """
    settings = detector_settings(threshold, scale, dense, options, "detect")
    return _orvo.detect(_image(image, "detect"), settings, _switch(strengths, "strengths", "detect"))


def _option_list():
    """The detector's options as docstring lines, from the library's table of them."""
    return "".join(f"\n    - ``{name}`` ({default}): {text}" for name, _, default, text in _orvo.option_help())


detect.__doc__ += _option_list() + "\n"


def detector_settings(threshold, scale, dense, options, caller):
    """Every detector option as a dict: the preset's (the dense one with ``dense``), then ``scale``, ``threshold``
    (unless None) and the other options in the order given, each checked by the library's table of options:
    TypeError for an unknown option or a value of the wrong kind (an integer option takes integers only,
    ``edge_steps`` a sequence of them, a switch True or False, the others real numbers), ValueError for a value out
    of range."""
    given = {"scale": scale}
    if threshold is not None:
        given["threshold"] = threshold
    given.update(options)
    return _orvo.detector_options(bool(dense), given, caller)


def _switch(value, name, caller):
    if not isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{caller}: {name} must be True or False, not {type(value).__name__} {value!r}")
    return bool(value)


def describe(image, regions):
    """Descriptors of the regions exactly as given: uint8 array (N, 128), one row per region, in order.

    Each region is mapped onto a circle, resampled into a normalised patch, turned to its dominant gradient
    orientation and described by SIFT (4 x 4 cells of 8 orientations; rows of L2 norm about 512, values clipped
    to 0..255, as SIFT's byte descriptors). :func:`describe_oriented` gives the orientations too.

    The ``orvo -sift`` command line describes the regions grown by their preset's measurement scale (3), which is
    what matches best: ``orvo.describe(image, orvo.scale_regions(regions, 3))``.

    image: as for :func:`detect` (array or path); colour is reduced to grey with the usual BGR weights
    (0.114 B + 0.587 G + 0.299 R), so ``describe(bgr, r)`` equals ``describe(cv2.cvtColor(bgr,
    cv2.COLOR_BGR2GRAY), r)``. Raises ValueError naming the first region that is not finite and positive definite.
    The interpreter lock is released while describing.
    """
    return _orvo.describe(_image(image, "describe"), check_regions(regions, "describe"), False)


def describe_oriented(image, regions):
    """The tuple (descriptors, orientations) of the regions exactly as given: the descriptors as :func:`describe`
    gives them, the orientations float32 (N,): each region's dominant gradient direction in radians, in image axes
    (x right, y down), as :func:`orvo.match_features` takes them."""
    return _orvo.describe(_image(image, "describe_oriented"), check_regions(regions, "describe_oriented"), True)


def draw(image, regions):
    """A uint8 BGR copy of the image with the regions drawn as the C++ orvo::draw draws them: a yellow outline two
    pixels wide in a black border and a yellow dot in a black ring at each centre.

    Grey images come back as BGR, BGRA ones without alpha, 16-bit ones reduced to their high byte. Regions that
    cannot be drawn (too large) are skipped. ``cv2.imwrite(name, orvo.draw(image, regions))`` saves the picture.
    """
    import cv2

    image = _image(image, "draw")
    if not isinstance(image, np.ndarray) or image.dtype not in (np.uint8, np.uint16):
        raise TypeError("draw: the image must hold uint8 or uint16 samples")
    if image.ndim not in (2, 3) or image.size == 0 or (image.ndim == 3 and image.shape[2] not in (1, 3, 4)):
        raise ValueError(f"draw: the image must be a non-empty H x W, H x W x 3 or H x W x 4 array, not {image.shape}")
    picture = (image >> 8).astype(np.uint8) if image.dtype == np.uint16 else image
    channels = 1 if picture.ndim == 2 else picture.shape[2]
    if channels == 1:
        picture = cv2.cvtColor(np.ascontiguousarray(picture.reshape(picture.shape[:2])), cv2.COLOR_GRAY2BGR)
    elif channels == 4:
        picture = cv2.cvtColor(np.ascontiguousarray(picture), cv2.COLOR_BGRA2BGR)
    else:
        picture = np.array(picture, dtype=np.uint8, order="C")
    _orvo.draw_into(picture, check_regions(regions, "draw"))
    return picture


def read_regions(path, offset=ORVO_FILE_OFFSET):
    """The regions (N, 5) of a region file, 0-based again.

    The file: a first line with the descriptor length (0 for regions only), the number of regions, then one line
    ``u v a b c`` per region (followed by the descriptor's values in a descriptor file). (u, v) is the centre plus
    ``offset``: 2 for Orvo's own files (``orvo``, :func:`write_regions`), 0 for classic 0-based files.

    Raises FileNotFoundError for a missing file, ValueError "<file>:<line>: <what is wrong>" for a malformed one.
    """
    return _orvo.read_regions(existing_file(path, "read_regions"), float(offset))


def write_regions(path, regions, offset=ORVO_FILE_OFFSET):
    """Writes a region file as ``orvo`` writes its ``<image>.orvo``: for the same image, byte for byte the same.

    Centres are written plus ``offset`` (see :func:`read_regions`), numbers with ten decimals. The file is written
    completely or not at all (through a temporary file renamed into place); OSError when that fails, ValueError
    (and nothing written) for regions that the file cannot hold so that :func:`read_regions` reads them back (a
    matrix that rounds to zero at ten decimals, for ellipses of about 10^5 pixels or more).
    """
    path = file_path(path, "write_regions")
    _orvo.write_regions(path, check_regions(regions, "write_regions"), float(offset))
