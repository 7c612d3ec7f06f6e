"""Image sequences with known homographies: reading them, and making one from a single photo.

A sequence is a folder holding ``img1.EXT`` .. ``imgN.EXT`` (any image format OpenCV reads) and the homographies
``H1to2p`` .. ``H1toNp``: 3 x 3 numbers as text, whitespace separated, mapping image-1 pixel coordinates to image-k
ones; coordinates are 0-based (pixel (0, 0)'s centre at (0, 0)) with x the column.
"""

import os
import re
from collections import namedtuple

import numpy as np

from .geometry import is_invertible_homography

__all__ = ["Sequence", "SequenceError", "load_homography", "write_homography", "read_sequence", "read_image", "write_image",
           "make_sequence"]

IMAGE_EXTENSIONS = (".png", ".jpg", ".jpeg", ".ppm", ".pgm", ".pnm", ".pbm", ".bmp", ".tif", ".tiff", ".webp",
                    ".jp2", ".exr", ".hdr", ".sr", ".ras")

Sequence = namedtuple("Sequence", "name path images homographies")
Sequence.__doc__ = """A sequence: its name (the folder's), its folder, the paths of img1..imgN, and the homographies
H1to2p..H1toNp (a list of N - 1 arrays; homographies[k - 2] maps image 1 to image k)."""


class SequenceError(ValueError):
    """A sequence folder, image or homography file that cannot be used."""


def load_homography(path):
    """Read a homography file: 9 numbers as text, row by row. Raises SequenceError when it is not one."""
    try:
        with open(path, encoding="utf-8") as f:
            text = f.read()
    except OSError as e:
        raise SequenceError(f"{path}: cannot read the homography: {e.strerror or e}") from None
    try:
        values = [float(v) for v in text.split()]
    except ValueError:
        raise SequenceError(f"{path}: a homography file holds 9 numbers") from None
    if len(values) != 9:
        raise SequenceError(f"{path}: a homography file holds 9 numbers, not {len(values)}")
    H = np.array(values).reshape(3, 3)
    if not is_invertible_homography(H):
        raise SequenceError(f"{path}: the homography is not finite and invertible")
    return H


def write_homography(path, H):
    """Write a homography in the text layout :func:`load_homography` reads."""
    H = np.asarray(H, dtype=np.float64).reshape(3, 3)
    with open(path, "w", encoding="utf-8") as f:
        for row in H:
            f.write(" ".join(f"{v: .17e}" for v in row) + "\n")


def read_image(path, flags=None):
    """Load an image as stored (EXIF orientation ignored); grey 8-bit by default. Raises SequenceError.

    The file is read by Python and decoded by OpenCV, so that a path of any bytes works (OpenCV's own file
    functions take UTF-8 text alone)."""
    import cv2

    if flags is None:
        flags = cv2.IMREAD_GRAYSCALE
    try:
        encoded = np.fromfile(os.fspath(path), dtype=np.uint8)
    except (OSError, ValueError):
        encoded = np.zeros(0, np.uint8)
    image = cv2.imdecode(encoded, flags | cv2.IMREAD_IGNORE_ORIENTATION) if encoded.size else None
    if image is None:
        raise SequenceError(f"{os.fsdecode(path)}: cannot read the image")
    return image


def write_image(path, image):
    """Write an image in the format of the path's extension, whatever bytes the path holds; False when it cannot
    be encoded or written."""
    import cv2

    try:
        done, encoded = cv2.imencode(os.path.splitext(os.fsdecode(path))[1], image)
        if done:
            encoded.tofile(os.fspath(path))
        return bool(done)
    except (OSError, cv2.error):
        return False


def _find_images(folder):
    found = {}
    for name in os.listdir(folder):
        m = re.fullmatch(r"img(\d+)(\.[^.]+)", name)
        if m and m.group(2).lower() in IMAGE_EXTENSIONS:
            k = int(m.group(1))
            if k in found:
                raise SequenceError(f"{folder}: two files for image {k}: {found[k]} and {name}")
            found[k] = name
    images = []
    while len(images) + 1 in found:
        images.append(os.path.join(folder, found[len(images) + 1]))
    return images


def read_sequence(path):
    """Read a sequence folder: the images img1.. up to the first missing number and their homographies.

    Raises SequenceError when the folder is missing, has fewer than two images, or lacks a homography file.
    """
    folder = os.fspath(path)
    if not os.path.isdir(folder):
        raise SequenceError(f"{folder}: no such sequence folder")
    images = _find_images(folder)
    if len(images) < 2:
        raise SequenceError(f"{folder}: a sequence needs img1 and img2 (any image format) at least")
    homographies = []
    for k in range(2, len(images) + 1):
        name = os.path.join(folder, f"H1to{k}p")
        if not os.path.isfile(name):
            raise SequenceError(f"{name}: missing homography file for {os.path.basename(images[k - 1])}")
        homographies.append(load_homography(name))
    label = os.path.basename(os.path.normpath(os.path.abspath(folder)))
    return Sequence(label, folder, images, homographies)


def _about(H, centre):
    """H applied about a point: translate the point to the origin, apply H, translate back."""
    t = np.array([[1.0, 0.0, centre[0]], [0.0, 1.0, centre[1]], [0.0, 0.0, 1.0]])
    return t @ H @ np.linalg.inv(t)


def _steps(width, height):
    """The synthetic sequence's transformations: (description, H, output size, pre-blur sigma, photometric)."""
    import cv2

    centre = ((width - 1) / 2.0, (height - 1) / 2.0)
    angle = np.deg2rad(30.0)
    rotation = _about(np.array([[np.cos(angle), -np.sin(angle), 0.0], [np.sin(angle), np.cos(angle), 0.0],
                                [0.0, 0.0, 1.0]]), centre)
    s = 0.6
    scale = np.diag([s, s, 1.0])
    scaled_size = (int(np.floor(s * (width - 1))) + 1, int(np.floor(s * (height - 1))) + 1)
    w1, h1 = width - 1.0, height - 1.0
    corners = np.float32([[0, 0], [w1, 0], [w1, h1], [0, h1]])
    receding = np.float32([[0, 0], [0.8 * w1, 0.15 * h1], [0.8 * w1, 0.85 * h1], [0, h1]])
    perspective = cv2.getPerspectiveTransform(corners, receding).astype(np.float64)
    identity = np.eye(3)
    size = (width, height)
    return [
        ("rot30 rotation by 30 degrees about the image centre", rotation, size, 0.0, None),
        ("scale0.6 downscaling to 0.6 of the size", scale, scaled_size, 0.5 * np.sqrt(1.0 / s ** 2 - 1.0), None),
        ("persp perspective (viewpoint) warp, right side receding", perspective, size, 0.0, None),
        ("blur2 Gaussian blur sigma 2, identity H", identity, size, 0.0, "blur"),
        ("bright brightness change 0.5 I + 10, identity H", identity, size, 0.0, "bright"),
    ]


def make_sequence(image, folder):
    """Write a synthetic sequence made from one photo into ``folder`` (created if needed) and return it.

    img1.png is the photo; img2..img6 are a rotation by 30 degrees about the centre, a downscaling to 0.6, a
    perspective warp with the right side receding, a Gaussian blur (sigma 2) and a brightness change
    (0.5 I + 10), the last two with the identity homography. Each geometric step is done by
    cv2.warpPerspective with the very homography written to H1tokp (OpenCV warps with pixel centres at
    integers, the convention of the files), with bilinear interpolation, black outside the photo, and a
    pre-blur against aliasing before downscaling. A ``pairs.txt`` names the steps. ``image``: a path or an
    array (grey or BGR). ``folder`` must be new or empty: files of an older sequence left beside the new one
    would be read as part of it. Raises SequenceError otherwise.
    """
    import cv2

    photo = read_image(image, cv2.IMREAD_UNCHANGED) if isinstance(image, (str, os.PathLike)) else np.asarray(image)
    if photo.ndim not in (2, 3) or photo.size == 0 or photo.dtype not in (np.uint8, np.uint16):
        raise SequenceError("the photo must be a grey or colour image of 8 or 16 bits")
    if photo.ndim == 3 and photo.shape[2] == 4:
        photo = cv2.cvtColor(photo, cv2.COLOR_BGRA2BGR)
    height, width = photo.shape[:2]
    if min(height, width) < 8:
        raise SequenceError("the photo is too small to make a sequence from (8 x 8 pixels at least)")
    if os.path.isdir(folder) and os.listdir(folder):
        raise SequenceError(f"{folder}: the folder is not empty; write a sequence into a new or empty folder")
    os.makedirs(folder, exist_ok=True)

    def write(name, img):
        path = os.path.join(folder, name)
        if not write_image(path, img):
            raise SequenceError(f"{path}: cannot write the image")

    write("img1.png", photo)
    lines = ["# image k: transformation of image 1"]
    for k, (text, H, size, pre_blur, photometric) in enumerate(_steps(width, height), start=2):
        src = photo
        if pre_blur > 0:
            src = cv2.GaussianBlur(src, (0, 0), pre_blur)
        if photometric == "blur":
            out = cv2.GaussianBlur(src, (0, 0), 2.0)
        elif photometric == "bright":
            top = np.iinfo(src.dtype).max
            out = np.clip(np.rint(0.5 * src.astype(np.float64) + 10.0 * top / 255.0), 0, top).astype(src.dtype)
        else:
            out = cv2.warpPerspective(src, H, size, flags=cv2.INTER_LINEAR, borderMode=cv2.BORDER_CONSTANT)
        write(f"img{k}.png", out)
        write_homography(os.path.join(folder, f"H1to{k}p"), H)
        lines.append(f"{k} {text}")
    with open(os.path.join(folder, "pairs.txt"), "w", encoding="utf-8") as f:
        f.write("\n".join(lines) + "\n")
    return read_sequence(folder)
