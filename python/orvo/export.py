"""Exports of Orvo's features to the files of structure-from-motion tools: a COLMAP database and an hloc feature
file.

Both detect the regions of each image with :func:`orvo.detect` and describe them, grown by ``measurement_scale``
about their centres (3, as ``orvo -sift`` does), with :func:`orvo.describe`. Images are keyed by their file name.
Both files may exist already: images whose name is already there are left as they are and not detected again,
new ones are added; an image is never stored twice.
"""

import os
import sqlite3

import numpy as np

from .conversions import scale_regions, to_colmap_keypoints
from .core import describe, detect, read_image

__all__ = ["colmap_database", "hloc_h5", "COLMAP_SCHEMA", "pair_id"]

#: The tables of a COLMAP (3.8) database, as ``colmap database_creator`` creates them.
COLMAP_SCHEMA = """
CREATE TABLE IF NOT EXISTS cameras (
    camera_id INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL, model INTEGER NOT NULL, width INTEGER NOT NULL,
    height INTEGER NOT NULL, params BLOB, prior_focal_length INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS images (
    image_id INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL, name TEXT NOT NULL UNIQUE, camera_id INTEGER NOT NULL,
    prior_qw REAL, prior_qx REAL, prior_qy REAL, prior_qz REAL, prior_tx REAL, prior_ty REAL, prior_tz REAL,
    CONSTRAINT image_id_check CHECK(image_id >= 0 and image_id < 2147483647),
    FOREIGN KEY(camera_id) REFERENCES cameras(camera_id));
CREATE UNIQUE INDEX IF NOT EXISTS index_name ON images(name);
CREATE TABLE IF NOT EXISTS keypoints (
    image_id INTEGER PRIMARY KEY NOT NULL, rows INTEGER NOT NULL, cols INTEGER NOT NULL, data BLOB,
    FOREIGN KEY(image_id) REFERENCES images(image_id) ON DELETE CASCADE);
CREATE TABLE IF NOT EXISTS descriptors (
    image_id INTEGER PRIMARY KEY NOT NULL, rows INTEGER NOT NULL, cols INTEGER NOT NULL, data BLOB,
    FOREIGN KEY(image_id) REFERENCES images(image_id) ON DELETE CASCADE);
CREATE TABLE IF NOT EXISTS matches (
    pair_id INTEGER PRIMARY KEY NOT NULL, rows INTEGER NOT NULL, cols INTEGER NOT NULL, data BLOB);
CREATE TABLE IF NOT EXISTS two_view_geometries (
    pair_id INTEGER PRIMARY KEY NOT NULL, rows INTEGER NOT NULL, cols INTEGER NOT NULL, data BLOB,
    config INTEGER NOT NULL, F BLOB, E BLOB, H BLOB, qvec BLOB, tvec BLOB);
"""

_SIMPLE_RADIAL = 2
_MAX_IMAGE_ID = 2147483647


def pair_id(image_id1, image_id2):
    """COLMAP's id of an image pair (the key of the matches and two_view_geometries tables)."""
    first, second = sorted((int(image_id1), int(image_id2)))
    return first * _MAX_IMAGE_ID + second


def _features(path, measurement_scale, detect_options):
    """(image, regions, descriptors) of an image file."""
    image = read_image(path)
    regions = detect(image, **detect_options)
    descriptors = describe(image, scale_regions(regions, measurement_scale))
    return image, regions, descriptors


def colmap_database(db_path, image_paths, measurement_scale=3.0, **detect_options):
    """Detects and describes each image into a COLMAP database, creating the database if needed.

    Per image: a camera of its own (SIMPLE_RADIAL, focal length 1.2 max(width, height) as COLMAP's own prior
    without EXIF data, principal point at the centre, no distortion; prior_focal_length 0), the image named by its
    file name, its keypoints as affine shapes (N x 6 float32 ``x y a11 a12 a21 a22``, COLMAP's half-pixel origin,
    see :func:`orvo.to_colmap_keypoints`) and its descriptors (N x 128 uint8, already SIFT's byte form: L2 norm
    about 512 clipped to 255, as COLMAP's own). Then ``colmap exhaustive_matcher --database_path DB`` and
    ``colmap mapper`` run on them.

    Images whose name is already in the database are skipped. ``detect_options`` go to :func:`orvo.detect`.
    Returns a dict file name -> image id for every given image (new or already there).
    """
    measurement_scale = float(measurement_scale)
    names = {}
    connection = sqlite3.connect(os.fspath(db_path))
    try:
        connection.executescript(COLMAP_SCHEMA)
        for path in image_paths:
            name = os.path.basename(os.fspath(path))
            row = connection.execute("SELECT image_id FROM images WHERE name = ?", (name,)).fetchone()
            if row is None and name not in names:
                image, regions, descriptors = _features(path, measurement_scale, detect_options)
                with connection:
                    names[name] = _insert_image(connection, name, image.shape, regions, descriptors)
            elif row is not None:
                names[name] = row[0]
    finally:
        connection.close()
    return names


def _insert_image(connection, name, shape, regions, descriptors):
    """Adds one image with its camera, keypoints and descriptors; its image id."""
    height, width = shape[:2]
    focal = 1.2 * max(width, height)
    params = np.array([focal, width / 2.0, height / 2.0, 0.0], dtype=np.float64)
    camera_id = connection.execute(
        "INSERT INTO cameras (model, width, height, params, prior_focal_length) VALUES (?, ?, ?, ?, 0)",
        (_SIMPLE_RADIAL, width, height, params.tobytes())).lastrowid
    image_id = connection.execute("INSERT INTO images (name, camera_id) VALUES (?, ?)", (name, camera_id)).lastrowid
    keypoints = to_colmap_keypoints(regions)
    connection.execute("INSERT INTO keypoints VALUES (?, ?, ?, ?)",
                       (image_id, len(keypoints), 6, np.ascontiguousarray(keypoints).tobytes()))
    connection.execute("INSERT INTO descriptors VALUES (?, ?, ?, ?)",
                       (image_id, len(descriptors), descriptors.shape[1], np.ascontiguousarray(descriptors).tobytes()))
    return image_id


def hloc_h5(path, image_paths, measurement_scale=3.0, **detect_options):
    """Detects and describes each image into an hloc feature file (HDF5), creating it if needed.

    One group per image, named by its file name: ``keypoints`` (N, 2) float32, the centres with pixel centres at
    integers (Orvo's own coordinates; hloc adds 0.5 when it writes to COLMAP), ``descriptors`` (128, N) float32,
    L2-normalised, ``scores`` (N,) float32 (all 1: Orvo's regions have no strength), ``image_size`` (width, height),
    and the regions' shapes: ``scales`` (N,) float32 (ac - b^2)^(-1/4) and ``oris`` (N,) float32, the major axis'
    angle in radians. Images whose group exists already are skipped. ``detect_options`` go to :func:`orvo.detect`.
    Returns the list of the group names of the given images.
    """
    import h5py

    measurement_scale = float(measurement_scale)
    names = []
    with h5py.File(os.fspath(path), "a") as features:
        for image_path in image_paths:
            name = os.path.basename(os.fspath(image_path))
            if name not in features:
                image, regions, descriptors = _features(image_path, measurement_scale, detect_options)
                _write_group(features.create_group(name), image.shape, regions, descriptors)
            names.append(name)
    return names


def _write_group(group, shape, regions, descriptors):
    x, y, a, b, c = regions.T
    values = descriptors.astype(np.float32)
    norms = np.linalg.norm(values, axis=1, keepdims=True)
    values /= np.where(norms > 0, norms, 1)
    group.create_dataset("keypoints", data=np.stack([x, y], axis=1).astype(np.float32))
    group.create_dataset("descriptors", data=np.ascontiguousarray(values.T))
    group.create_dataset("scores", data=np.ones(len(regions), dtype=np.float32))
    group.create_dataset("image_size", data=np.array([shape[1], shape[0]], dtype=np.int64))
    group.create_dataset("scales", data=((a * c - b * b) ** -0.25).astype(np.float32))
    group.create_dataset("oris", data=(0.5 * np.arctan2(2 * b, a - c) + np.pi / 2).astype(np.float32))
