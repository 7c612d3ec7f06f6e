"""The focal length of a photo in pixels, from its EXIF tags, as COLMAP derives the prior of a camera.

In order: the 35 mm equivalent focal length (FocalLengthIn35mmFilm / 35 x the larger image side), then the focal
length in millimetres over the sensor width that the focal plane resolution gives (PixelXDimension /
FocalPlaneXResolution in inches or centimetres). JPEG (the APP1 segment) and TIFF files are read; any other file, or
tags that are missing, zero or malformed, give None.
"""

import struct

__all__ = ["focal_length_pixels"]

_EXIF_POINTER = 0x8769
_FOCAL_LENGTH = 0x920A
_FOCAL_LENGTH_35MM = 0xA405
_PIXEL_X_DIMENSION = 0xA002
_FOCAL_PLANE_X_RESOLUTION = 0xA20E
_FOCAL_PLANE_UNIT = 0xA210
_MILLIMETRES_PER_UNIT = {2: 25.4, 3: 10.0}  # inches, centimetres
_LARGEST_HEADER = 1 << 20


def focal_length_pixels(path, width, height):
    """The focal length in pixels of an image of the given size read from ``path``, or None when its EXIF tags do
    not give one."""
    try:
        with open(path, "rb") as file:
            head = file.read(_LARGEST_HEADER)
        tags = _exif_tags(head)
    except (OSError, ValueError, struct.error):
        return None
    largest_side = max(width, height)
    focal_35mm = tags.get(_FOCAL_LENGTH_35MM)
    if focal_35mm and focal_35mm > 0:
        return focal_35mm / 35.0 * largest_side
    focal_mm = tags.get(_FOCAL_LENGTH)
    pixels = tags.get(_PIXEL_X_DIMENSION)
    resolution = tags.get(_FOCAL_PLANE_X_RESOLUTION)
    millimetres = _MILLIMETRES_PER_UNIT.get(tags.get(_FOCAL_PLANE_UNIT))
    if focal_mm and pixels and resolution and millimetres and focal_mm > 0 and pixels > 0 and resolution > 0:
        sensor_width = pixels / resolution * millimetres
        return focal_mm / sensor_width * largest_side
    return None


def _exif_tags(head):
    """The numeric tags of the first IFD and the EXIF IFD of a JPEG or TIFF file's first bytes."""
    if head[:2] == b"\xff\xd8":
        return _tiff_tags(_jpeg_exif(head))
    if head[:4] in (b"II*\0", b"MM\0*"):
        return _tiff_tags(head)
    return {}


def _jpeg_exif(head):
    """The TIFF block of a JPEG's APP1 EXIF segment (empty when there is none before the image data)."""
    position = 2
    while position + 4 <= len(head) and head[position] == 0xFF:
        marker = head[position + 1]
        length = struct.unpack(">H", head[position + 2:position + 4])[0]
        segment = head[position + 4:position + 2 + length]
        if marker == 0xE1 and segment[:6] == b"Exif\0\0":
            return segment[6:]
        if marker == 0xDA:  # start of scan: no metadata follows
            break
        position += 2 + length
    return b""


def _tiff_tags(tiff):
    if len(tiff) < 8:
        return {}
    order = {b"II": "<", b"MM": ">"}.get(tiff[:2])
    if order is None:
        return {}
    tags = _ifd(tiff, order, struct.unpack(order + "I", tiff[4:8])[0])
    exif_offset = tags.pop(_EXIF_POINTER, None)
    if exif_offset:
        tags.update(_ifd(tiff, order, int(exif_offset)))
    return tags


# Value types of the tags read: SHORT, LONG and RATIONAL.
_FORMATS = {3: ("H", 2), 4: ("I", 4), 5: ("II", 8)}


def _ifd(tiff, order, offset):
    """The single numeric values of one IFD's entries, tag -> number."""
    count = struct.unpack(order + "H", tiff[offset:offset + 2])[0]
    tags = {}
    for entry in range(count):
        start = offset + 2 + 12 * entry
        tag, kind, values = struct.unpack(order + "HHI", tiff[start:start + 8])
        if kind not in _FORMATS or values != 1:
            continue
        code, size = _FORMATS[kind]
        where = start + 8 if size <= 4 else struct.unpack(order + "I", tiff[start + 8:start + 12])[0]
        numbers = struct.unpack(order + code, tiff[where:where + size])
        if kind == 5:
            tags[tag] = numbers[0] / numbers[1] if numbers[1] else 0.0
        else:
            tags[tag] = numbers[0]
    return tags
