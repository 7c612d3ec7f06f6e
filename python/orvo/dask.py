"""Batch extraction over a Dask cluster: the images of a data set mapped in chunks over the cluster's workers, each
worker running the library, writing the same files, byte for byte, as ``orvo-batch -o out_dir`` does.

    from dask.distributed import Client
    import orvo.dask

    client = Client("scheduler:8786")               # or Client(LocalCluster(...))
    summary = orvo.dask.extract(client, ["/data/photos"], "/data/features", sift=True)
    print(summary["done"], summary["skipped"], summary["failed"])

Inputs are read as ``orvo-batch`` reads its INPUTs: image files, folders (searched recursively for image files, in
sorted order) and ``@LIST`` files (one path a line, relative to the list's folder). Each image's outputs go under
``out_dir`` at its path relative to its INPUT folder (a single file or an absolute list line: its file name).
The workers must see the images and ``out_dir`` at the same paths as the client (a shared file system).
"""

import math
import os
import tempfile

import numpy as np

__all__ = ["extract", "collect_images"]

#: The image types OpenCV reads, by extension (compared in lower case).
IMAGE_EXTENSIONS = frozenset("jpg jpeg jpe png pgm ppm pbm pnm pxm pfm bmp dib tif tiff webp jp2 sr ras exr hdr "
                             "pic".split())
#: orvo -sift describes each region grown by 3 (its measurement region).
MEASUREMENT_SCALE = 3.0
#: COLMAP places pixel (0, 0)'s centre at (0.5, 0.5).
COLMAP_PIXEL_ORIGIN = 0.5
RADIANS_PER_DEGREE = math.pi / 180.0
DEFAULT_CHUNK_SIZE = 16

# The permissions a plain open() would give a new file.
_UMASK = os.umask(0)
os.umask(_UMASK)


def _normal(path):
    """The path with "." and "x/.." dropped and no trailing slash, as orvo-batch normalises it."""
    return os.path.normpath(path) if path else "."


def _has_image_extension(name):
    return os.path.splitext(name)[1][1:].lower() in IMAGE_EXTENSIONS


def _single_file(path):
    path = _normal(path)
    return path, os.path.basename(path)


def _folder_images(folder):
    root = _normal(folder)
    prefix = "" if root == "." else root + "/"
    relative = []

    def fail(error):
        raise error

    for directory, folders, files in os.walk(root, onerror=fail):
        for name in files:
            if _has_image_extension(name) and os.path.isfile(os.path.join(directory, name)):
                relative.append(os.path.relpath(os.path.join(directory, name), root))
    # Byte order, as orvo-batch sorts.
    relative.sort(key=os.fsencode)
    return [(prefix + name, name) for name in relative]


def _list_images(list_file):
    folder = os.path.dirname(list_file)
    prefix = _normal(folder) + "/" if folder else ""
    images = []
    with open(list_file, encoding="utf-8", errors="surrogateescape", newline="\n") as lines:
        for line in lines:
            line = line.rstrip("\n")
            if line.endswith("\r"):
                line = line[:-1]
            if not line.strip(" \t"):
                continue
            entry = _normal(line)
            if entry.startswith("/") or entry == ".." or entry.startswith("../"):
                images.append(_single_file(entry if entry.startswith("/") else prefix + entry))
            else:
                images.append((prefix + entry, entry))
    return images


def collect_images(inputs):
    """(path, mirrored path) of every image of the inputs, in orvo-batch's order; OSError for a folder or list that
    cannot be read."""
    images = []
    for item in ([inputs] if isinstance(inputs, (str, os.PathLike)) else inputs):
        item = os.fspath(item)
        if len(item) > 1 and item.startswith("@"):
            images.extend(_list_images(item[1:]))
        elif os.path.isdir(item):
            images.extend(_folder_images(item))
        else:
            images.append(_single_file(item))
    return images


def _output_files(out_dir, mirrored, sift, format):
    stem = os.path.join(out_dir, mirrored)
    if format == "colmap":
        return [stem + ".txt"]
    return [stem + ".orvo", stem + ".orvo.sift"] if sift else [stem + ".orvo"]


def _up_to_date(image, outputs):
    try:
        image_time = os.stat(image).st_mtime_ns
        return all(os.path.isfile(o) and os.stat(o).st_mtime_ns >= image_time for o in outputs)
    except OSError:
        return False


def _write_atomically(path, text):
    """Writes the file completely or not at all, through a temporary file renamed into place."""
    folder, name = os.path.split(path)
    descriptor, temporary = tempfile.mkstemp(prefix=name + ".tmp-", dir=folder or ".")
    try:
        os.fchmod(descriptor, 0o666 & ~_UMASK)
        with os.fdopen(descriptor, "w", encoding="ascii", newline="\n") as file:
            file.write(text)
        os.replace(temporary, path)
    except BaseException:
        os.unlink(temporary)
        raise


def _descriptor_text(regions, descriptors):
    """The descriptor file as orvo-batch --sift writes it (orvo's region numbers, then the 128 values)."""
    import orvo

    offset = orvo.ORVO_FILE_OFFSET
    lines = [f"{orvo.DESCRIPTOR_SIZE}\n{len(regions)}\n"]
    for (x, y, a, b, c), values in zip(regions.tolist(), descriptors.tolist()):
        lines.append("%.10f %.10f %.10f %.10f %.10f" % (x + offset, y + offset, a, b, c)
                     + "".join(" %d" % v for v in values) + "\n")
    return "".join(lines)


def _colmap_text(regions, descriptors):
    """COLMAP's feature text file as orvo-batch --format colmap writes it."""
    from . import _orvo

    lines = [f"{len(regions)} 128\n"]
    for region, values in zip(regions.tolist(), descriptors.tolist()):
        # The C++ KeyPoint conversion itself, so that the numbers are the executable's to the last bit.
        x, y, size, angle = _orvo.to_keypoint(region)
        lines.append("%.6f %.6f %.6f %.6f" % (x + COLMAP_PIXEL_ORIGIN, y + COLMAP_PIXEL_ORIGIN, size / 2.0,
                                             angle * RADIANS_PER_DEGREE)
                     + "".join(" %d" % v for v in values) + "\n")
    return "".join(lines)


def _extract_one(image_path, outputs, options):
    import orvo

    image = orvo.read_image(image_path)
    regions = orvo.detect(image, **options["detector"])
    for output in outputs:
        os.makedirs(os.path.dirname(output) or ".", exist_ok=True)
    if options["format"] == "colmap":
        descriptors = orvo.describe(image, orvo.scale_regions(regions, MEASUREMENT_SCALE))
        _write_atomically(outputs[0], _colmap_text(regions, descriptors))
    else:
        if options["sift"]:
            _write_atomically(outputs[1], _descriptor_text(regions, orvo.describe(image, regions)))
        orvo.write_regions(outputs[0], regions)
    return len(regions)


def _extract_chunk(images, out_dir, options):
    """Runs on a worker: extracts one chunk of (path, mirrored) images; the chunk's summary."""
    summary = {"done": 0, "skipped": 0, "failed": [], "regions": 0}
    for image_path, mirrored in images:
        outputs = _output_files(out_dir, mirrored, options["sift"], options["format"])
        if not options["force"] and _up_to_date(image_path, outputs):
            summary["skipped"] += 1
            continue
        try:
            summary["regions"] += _extract_one(image_path, outputs, options)
            summary["done"] += 1
        except MemoryError:
            summary["failed"].append((image_path, "out of memory"))
        except Exception as error:  # one image's failure, whatever it is, does not stop the chunk
            summary["failed"].append((image_path, str(error)))
    return summary


def _check_clashes(images):
    first = {}
    for path, mirrored in images:
        if mirrored in first:
            raise ValueError(f"{first[mirrored]} and {path} would write the same outputs ({mirrored}): "
                             "give each image its own output")
        first[mirrored] = path


def extract(client, paths, out_dir, threshold=None, scale=1.0, sift=False, format="orvo", chunk_size=None,
            force=False, dense=False, **detect_options):
    """Extracts the regions of every image of ``paths`` on the workers of the Dask ``client``, writing under
    ``out_dir`` the files ``orvo-batch -o out_dir`` writes; returns the summary
    ``{"done": int, "skipped": int, "failed": [(path, reason), ...], "regions": int}``.

    paths: INPUTs as orvo-batch takes them (image files, folders, "@LIST"), a list or one of them.
    threshold, scale, dense: as ``-t``, ``-s`` and ``--dense`` (threshold 100 by default, the dense preset's with
        ``dense=True``). sift: also write ``IMAGE.orvo.sift`` (regions scaled by 3 more, as
        ``orvo -sift`` scales them, described at their true centres). format: "orvo" (``IMAGE.orvo``) or "colmap"
        (``IMAGE.txt`` for ``colmap feature_importer``, with descriptors).
    chunk_size: images per task (default 16): larger chunks cost less scheduling, smaller ones balance better.
    force: redo images whose outputs exist and are not older than the image (skipped otherwise).
    detect_options: the detector's other options (see :func:`orvo.detect`); ``threads`` defaults to 1, since
        every worker thread runs its own detection.

    Raises ValueError for a bad option or two images that would write the same outputs, OSError for a folder or list
    that cannot be read; a failed image is reported in the summary, not raised.
    """
    import orvo

    if format not in ("orvo", "colmap"):
        raise ValueError(f"extract: format must be 'orvo' or 'colmap', not {format!r}")
    chunk_size = DEFAULT_CHUNK_SIZE if chunk_size is None else int(chunk_size)
    if chunk_size < 1:
        raise ValueError(f"extract: chunk_size must be at least 1, not {chunk_size}")
    detector = dict(orvo.DENSE_OPTIONS if dense else orvo.DEFAULT_OPTIONS, threads=1)
    detector.update(detect_options, scale=float(scale) * (MEASUREMENT_SCALE if sift and format == "orvo" else 1.0))
    if threshold is not None:
        detector["threshold"] = float(threshold)
    unknown = sorted(set(detector) - set(orvo.DEFAULT_OPTIONS))
    if unknown:
        raise TypeError(f"extract: unknown detector option(s): {', '.join(unknown)}")
    orvo.detect(np.zeros((8, 8), np.uint8), **detector)  # ValueError for a bad value, here rather than per image
    options = {"detector": detector, "sift": bool(sift), "format": format, "force": bool(force)}

    images = collect_images(paths)
    _check_clashes(images)
    out_dir = os.fspath(out_dir)
    chunks = [images[i:i + chunk_size] for i in range(0, len(images), chunk_size)]
    futures = client.map(_extract_chunk, chunks, out_dir=out_dir, options=options, pure=False)
    summary = {"done": 0, "skipped": 0, "failed": [], "regions": 0}
    for chunk_summary in client.gather(futures):
        for key in ("done", "skipped", "regions"):
            summary[key] += chunk_summary[key]
        summary["failed"].extend(chunk_summary["failed"])
    return summary
