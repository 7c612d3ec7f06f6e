"""Batch extraction over a Dask cluster: the images of a data set mapped in chunks over the cluster's workers, each
worker running orvo-batch's own core, writing the same files, byte for byte, as ``orvo-batch -o out_dir`` does.

    from dask.distributed import Client
    import orvo.dask

    client = Client("scheduler:8786")               # or Client(LocalCluster(...))
    summary = orvo.dask.extract(client, ["/data/photos"], "/data/features", sift=True)
    print(summary["done"], summary["skipped"], summary["failed"])

Inputs are read as ``orvo-batch`` reads its INPUTs: image files, folders (searched recursively for image files, in
sorted order) and ``@LIST`` files (one path a line, relative to the list's folder). Each image's outputs go under
``out_dir`` at its path relative to its INPUT folder (a single file or an absolute list line: its file name).
The options are recorded in ``out_dir`` (``.orvo-batch-options``), as orvo-batch records them: outputs made with
other options are not mixed with new ones unless ``force=True``.
The workers must see the images and ``out_dir`` at the same paths as the client (a shared file system).
"""

import os

from . import _orvo
from .core import detector_settings

__all__ = ["extract", "collect_images"]

DEFAULT_CHUNK_SIZE = 16


def _paths(inputs):
    return [os.fsencode(item) for item in ([inputs] if isinstance(inputs, (str, bytes, os.PathLike)) else inputs)]


def collect_images(inputs):
    """(path, mirrored path) of every image of the inputs, in orvo-batch's order; OSError for a folder or list that
    cannot be read."""
    return [(os.fsdecode(path), os.fsdecode(path[mirror_from:])) for path, mirror_from in
            _orvo.batch_collect(_paths(inputs))]


def _extract_chunk(images, out_dir, options):
    """Runs on a worker: extracts one chunk of (path, mirror_from) images; the chunk's summary."""
    summary = {"done": 0, "skipped": 0, "failed": [], "regions": 0}
    for path, mirror_from in images:
        status, regions, reason = _orvo.batch_extract(path, mirror_from, out_dir, options)
        if status == "failed":
            summary["failed"].append((os.fsdecode(path), reason))
        else:
            summary[status] += 1
            summary["regions"] += regions
    return summary


def extract(client, paths, out_dir, threshold=None, scale=1.0, sift=False, format="orvo", chunk_size=None,
            force=False, dense=False, **detect_options):
    """Extracts the regions of every image of ``paths`` on the workers of the Dask ``client``, writing under
    ``out_dir`` the files ``orvo-batch -o out_dir`` writes; returns the summary
    ``{"done": int, "skipped": int, "failed": [(path, reason), ...], "regions": int}``.

    paths: INPUTs as orvo-batch takes them (image files, folders, "@LIST"; str, bytes or path-like), a list or one
        of them.
    threshold, scale, dense: as ``-t``, ``-s`` and ``--dense`` (threshold 100 by default, the dense preset's with
        ``dense=True``). sift: also write ``IMAGE.orvo.sift`` (regions scaled by 3 more, as
        ``orvo -sift`` scales them, described at their true centres). format: "orvo" (``IMAGE.orvo``) or "colmap"
        (``IMAGE.txt`` for ``colmap feature_importer``, with descriptors).
    chunk_size: images per task (default 16): larger chunks cost less scheduling, smaller ones balance better.
    force: redo images whose outputs exist and are not older than the image (skipped otherwise), and accept an
        ``out_dir`` whose outputs were made with other options.
    detect_options: the detector's other options (see :func:`orvo.detect`); ``threads`` (of each image's
        detection) defaults to 1, since every worker thread runs its own detection.

    Raises ValueError for a bad option, two images that would write the same outputs or an ``out_dir`` made with
    other options, OSError for a folder or list that cannot be read; nothing is written then. A failed image is
    reported in the summary, not raised.
    """
    chunk_size = DEFAULT_CHUNK_SIZE if chunk_size is None else int(chunk_size)
    if chunk_size < 1:
        raise ValueError(f"extract: chunk_size must be at least 1, not {chunk_size}")
    detector = detector_settings(threshold, scale, dense, dict({"threads": 1}, **detect_options), "extract")
    options = {"detector": detector, "sift": bool(sift), "format": format, "force": bool(force)}
    out_dir = os.fsencode(out_dir)
    try:
        images = _orvo.batch_prepare(_paths(paths), out_dir, options)
    except ValueError as error:
        raise ValueError(f"extract: {error}") from None

    chunks = [images[i:i + chunk_size] for i in range(0, len(images), chunk_size)]
    futures = client.map(_extract_chunk, chunks, out_dir=out_dir, options=options, pure=False)
    summary = {"done": 0, "skipped": 0, "failed": [], "regions": 0}
    for chunk_summary in client.gather(futures):
        for key in ("done", "skipped", "regions"):
            summary[key] += chunk_summary[key]
        summary["failed"].extend(chunk_summary["failed"])
    return summary
