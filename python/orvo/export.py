"""Exports of Orvo's features to the files of structure-from-motion tools: a COLMAP database (with verified matches
on request) and an hloc feature file.

Both detect the regions of each image with :func:`orvo.detect` and describe them, grown by ``measurement_scale``
about their centres (by default the preset's measurement scale, 3 for both presets, as ``orvo -sift`` does), with
:func:`orvo.describe`, on every core by default (one image per thread). Images are named by their path relative to
``image_root``, with ``/`` between folders, as COLMAP names the images under its ``--image_path``: ``a/img.png``
and ``b/img.png`` are two images. Both files may exist already: images whose name is already there are left as
they are and not detected again, new ones are added; an image is never stored twice. For that the file keeps the
root its images are named from: the first export into a file takes ``image_root`` or, when none is given, the
deepest folder holding the images it is given; every later export into the file names its images from that same
root (an ``image_root`` that differs from it, or an image outside it, is refused with ValueError). Every argument is
checked before any file is touched.

Long exports show their progress on standard error when it is a terminal (``progress=None``, the default) and stay
quiet when it is not (piped, logged); ``progress=True`` or ``False`` decides it.
"""

import collections.abc
import concurrent.futures
import contextlib
import itertools
import os
import secrets
import shutil
import sqlite3
import sys
import time

import numpy as np

from . import _orvo, tracks
from .conversions import COLMAP_PIXEL_ORIGIN, from_lafs, scale_regions, to_colmap_keypoints, to_lafs
from .core import describe, describe_oriented, detector_settings, existing_file, file_path, read_image
from .exif import focal_length_pixels

__all__ = ["colmap_database", "hloc_h5", "hloc_matches", "read_pairs", "sequential_pairs", "retrieval_pairs",
           "hloc_pair_name", "COLMAP_SCHEMA",
           "CAMERA_MODELS", "pair_id"]

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

#: COLMAP's camera models: name -> (model id, the parameters after the focal length and principal point).
CAMERA_MODELS = {
    "SIMPLE_PINHOLE": (0, 0),  # f, cx, cy
    "PINHOLE": (1, 0),  # fx, fy, cx, cy
    "SIMPLE_RADIAL": (2, 1),  # f, cx, cy, k
    "RADIAL": (3, 2),  # f, cx, cy, k1, k2
    "OPENCV": (4, 4),  # fx, fy, cx, cy, k1, k2, p1, p2
}
_TWO_FOCAL_LENGTHS = ("PINHOLE", "OPENCV")
#: COLMAP's focal length of a camera without EXIF data, times the larger image side.
DEFAULT_FOCAL_FACTOR = 1.2

# COLMAP's two-view configurations of a verified pair, by the model it was verified with, and the one of a pair
# without a model.
_CONFIGURATIONS = {"essential": 2, "fundamental": 3, "homography": 6}
_DEGENERATE = 1
_MODEL_COLUMNS = {"essential": "E", "fundamental": "F", "homography": "H"}
#: The fewest inliers COLMAP keeps a verified pair with.
MIN_INLIERS = 15
#: The largest Sampson distance, pixels, of a match that a track implies and a pair's epipolar geometry confirms.
TRACK_COMPLETION_THRESHOLD = 1.0
_MAX_IMAGE_ID = 2147483647


def pair_id(image_id1, image_id2):
    """COLMAP's id of an image pair (the key of the matches and two_view_geometries tables)."""
    first, second = sorted((int(image_id1), int(image_id2)))
    return first * _MAX_IMAGE_ID + second


class _Extraction:
    """The checked arguments of an export: the images and their names, and how to detect and describe them."""

    def __init__(self, image_paths, image_root, measurement_scale, threads, detect_options, caller, stored_root):
        if isinstance(image_paths, (str, bytes, os.PathLike)) or not isinstance(image_paths, collections.abc.Iterable):
            raise TypeError(f"{caller}: image_paths must be a list of paths, not {type(image_paths).__name__}")
        paths = [existing_file(path, caller) for path in image_paths]
        self.root, self.root_to_record = _names_root(paths, image_root, stored_root, caller)
        self.names = _image_names(paths, self.root, caller)
        self.paths = dict(zip(self.names, paths))  # a file given twice is one image
        self.threads = (os.cpu_count() or 1) if threads is None else _positive_integer(threads, "threads", caller)
        self.detector = detector_settings(detect_options.pop("threshold", None), detect_options.pop("scale", 1.0),
                                          detect_options.pop("dense", False), detect_options, caller)
        scale = self.detector["measurement_scale"] if measurement_scale is None else float(measurement_scale)
        if not (np.isfinite(scale) and scale > 0):
            raise ValueError(f"{caller}: measurement_scale must be a positive finite number, not {scale!r}")
        self.measurement_scale = scale

    def features(self, names, orientations=False):
        """(name, image, regions, strengths, descriptors[, orientations]) of the named images in order, several at
        once; regions too thin or too large to describe at the measurement scale are left out, as orvo.match
        leaves them out."""
        def extract(name):
            image = read_image(self.paths[name])
            regions, strengths = _orvo.detect(image, self.detector, True)
            describable = _orvo.describable_regions(regions, self.measurement_scale)
            regions, strengths = regions[describable], strengths[describable]
            return (name, image, regions, strengths) + self.description(image, regions, orientations)

        with concurrent.futures.ThreadPoolExecutor(max_workers=self.threads) as pool:
            yield from _ordered(pool, extract, names, self.threads)

    def description(self, image, regions, orientations):
        """(descriptors,) or (descriptors, orientations) of the regions grown by the measurement scale."""
        measured = scale_regions(regions, self.measurement_scale)
        return describe_oriented(image, measured) if orientations else (describe(image, measured),)


def _ordered(pool, function, items, threads):
    """function(item) for each item, in order, with at most 2 x threads of them computed ahead."""
    pending = collections.deque()
    for item in items:
        pending.append(pool.submit(function, item))
        if len(pending) >= 2 * threads:
            yield pending.popleft().result()
    while pending:
        yield pending.popleft().result()


def _positive_integer(value, name, caller):
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)) or value < 1:
        raise ValueError(f"{caller}: {name} must be a positive integer, not {value!r}")
    return int(value)


def _names_root(paths, image_root, stored, caller):
    """The folder the images are named from, and whether the file should keep it: the root `stored` in the file,
    else `image_root`, else the deepest folder holding the images. `stored` is None for a file without images, the
    root it keeps, or _UNKNOWN_ROOT for one whose images were named from a root it does not keep (written before
    files kept it, or by another program): then the root is kept only when given."""
    given = None if image_root is None else os.path.abspath(file_path(image_root, caller))
    if stored not in (None, _UNKNOWN_ROOT):
        if given is not None and given != stored:
            raise ValueError(f"{caller}: the file names its images from {os.fsdecode(stored)!r}, not from image_root "
                             f"{os.fsdecode(given)!r}: leave image_root out, or give that folder")
        return stored, False
    if given is not None:
        return given, True
    absolute = [os.path.abspath(path) for path in paths]
    root = os.path.commonpath([os.path.dirname(path) for path in absolute]) if absolute else b""
    return root, stored is None and bool(absolute)


#: The root of a file whose images were named from a root it does not keep.
_UNKNOWN_ROOT = object()


def _image_names(paths, root, caller):
    """Each image's name: its path relative to the root, '/' between folders, as UTF-8 text."""
    absolute = [os.path.abspath(path) for path in paths]
    names = []
    for path, given in zip(absolute, paths):
        relative = os.path.relpath(path, root)
        if relative == os.fsencode(os.pardir) or relative.startswith(os.fsencode(os.pardir + os.sep)):
            raise ValueError(f"{caller}: the image {os.fsdecode(given)!r} is not under image_root {os.fsdecode(root)!r}")
        try:
            names.append(relative.replace(os.fsencode(os.sep), b"/").decode("utf-8"))
        except UnicodeDecodeError:
            raise ValueError(f"{caller}: the image path {given!r} is not UTF-8, as image names must be") from None
    return names


def colmap_database(db_path, image_paths, measurement_scale=None, *, image_root=None,
                    camera_model="SIMPLE_RADIAL", camera_params=None, single_camera=False,
                    single_camera_per_folder=False, match=False, pairs=None, neighbours=None,
                    match_model="fundamental", ratio=0.8, threads=None, progress=None, refine_tracks=True,
                    split_tracks=False, **detect_options):
    """Detects and describes each image into a COLMAP database, creating the database if needed; with
    ``match=True`` also matches every pair of the images and stores the verified matches, so that ``colmap mapper``
    runs without COLMAP's own matching.

    Per image: the image named by its path relative to ``image_root`` (see the module), its keypoints as affine
    shapes (N x 6 float32 ``x y a11 a12 a21 a22``, COLMAP's half-pixel origin, see :func:`orvo.to_colmap_keypoints`)
    and its descriptors (N x 128 uint8, SIFT's byte form, as COLMAP's own). Its camera, of ``camera_model``
    (SIMPLE_RADIAL, SIMPLE_PINHOLE, PINHOLE, RADIAL or OPENCV): principal point at the image's centre, no
    distortion, focal length from the EXIF tags as COLMAP reads them (the 35 mm equivalent, or the focal length in
    millimetres over the sensor width; ``prior_focal_length`` 1), else 1.2 max(width, height) (prior 0). With
    ``single_camera_per_folder``, the images of one folder share a camera when their sizes and focal lengths agree
    (otherwise each image has its own); with ``single_camera``, all the images do (as COLMAP's
    ``--ImageReader.single_camera``).

    ``camera_params``: known intrinsics, as COLMAP's ``--ImageReader.camera_params`` takes them: the parameters of
    ``camera_model`` in COLMAP's order and pixel coordinates (the principal point with pixel (0, 0)'s centre at
    (0.5, 0.5)), for example ``(f, cx, cy, k)`` for SIMPLE_RADIAL; one sequence for every image, or a dict image
    name -> sequence for some of them (the others as above). Cameras of known intrinsics have
    ``prior_focal_length`` 1, so that ``colmap mapper --Mapper.ba_refine_focal_length 0`` keeps them.

    ``match``: every pair of the given images not yet in the database is matched with :func:`orvo.match_features`
    (mutual nearest neighbours, ``ratio`` test, verification of a ``match_model``: "fundamental", "homography" or
    "essential" with the cameras' intrinsics); the tentative matches go to the ``matches`` table, the inliers with
    the model to ``two_view_geometries`` (configuration 3 for a fundamental matrix, 2 for an essential one, 6 for a
    homography; 1 and no matches for a pair with fewer than 15 inliers). ``pairs``: only these pairs rather than
    every pair: a pairs file (one pair a line, two image names, as hloc's and COLMAP's ``matches_importer`` read it;
    see :func:`read_pairs`) or a list of (name1, name2), the names among the given images'; or ``neighbours``: each
    image with its ``neighbours`` most similar images of the set (:func:`retrieval_pairs`), about ``neighbours``
    pairs per image rather than one per other image, for sets of more than a few hundred images; the pairs of a
    sequence are :func:`sequential_pairs`. Pairs are matched on ``threads`` threads, stored in the order of the
    pairs whatever their number. With ``refine_tracks``
    (the default) the keypoints of the verified matches are then moved so that each track's observations agree
    (:func:`orvo.tracks.refine_tracks`): an image's keypoint is one position for all its matches; matches whose
    observations cannot be aligned are no longer inliers; and the matches that a track implies between two of its
    images, where the pair's epipolar geometry confirms them at the refined positions, are added
    (:func:`orvo.tracks.complete_tracks`). With ``split_tracks`` too, a track that reaches an image twice is first
    split where its least alike match joined it (:func:`orvo.tracks.consistent_matches`): more 3D points, shorter
    tracks. Then::

        colmap mapper --database_path DB --image_path ROOT --output_path sparse

    Without ``match``, ``colmap exhaustive_matcher --database_path DB`` matches the features first.

    Each image is committed with its camera in one transaction, the tables with the first: an interrupted or
    failed run leaves the images stored before it and nothing of the failing one; a database whose tables have
    another layout is refused (ValueError) and left as it was. ``threads``: images processed at once (every core by
    default). ``progress``: see the module. ``detect_options`` go to :func:`orvo.detect`. Returns a dict image
    name -> image id for every given image (new or already there).
    """
    caller = "colmap_database"
    path = file_path(db_path, caller)
    extraction = _Extraction(image_paths, image_root, measurement_scale, threads, detect_options, caller,
                             _stored_colmap_root(path))
    if camera_model not in CAMERA_MODELS:
        raise ValueError(f"{caller}: camera_model must be one of {', '.join(CAMERA_MODELS)}, not {camera_model!r}")
    known_cameras = _known_camera_params(camera_params, camera_model, extraction.names, caller)
    if pairs is not None and not match:
        raise ValueError(f"{caller}: pairs are matched only with match=True")
    pair_names = None if pairs is None else _pairs_among(pairs, extraction.names, caller)
    if neighbours is not None:
        if not match or pairs is not None:
            raise ValueError(f"{caller}: neighbours choose the pairs to match: they need match=True and no pairs")
        neighbours = _positive_integer(neighbours, "neighbours", caller)
    if match_model not in _CONFIGURATIONS:
        raise ValueError(f"{caller}: match_model must be one of {', '.join(_CONFIGURATIONS)}, not {match_model!r}")
    ratio = float(ratio)
    if not 0 < ratio <= 1:
        raise ValueError(f"{caller}: ratio must be in (0, 1], not {ratio!r}")

    existed = os.path.exists(path)
    connection = sqlite3.connect(path, isolation_level=None)
    try:
        database = _ColmapDatabase(connection, caller)
        database.root_to_record = extraction.root if extraction.root_to_record else None
        cameras = _Cameras(database, camera_model, single_camera_per_folder, single_camera, known_cameras)
        ids = {name: database.image_id(name) for name in extraction.names}
        new = [name for name in dict.fromkeys(extraction.names) if ids[name] is None]
        features = {}
        with _Progress(f"{caller}: images", len(new), progress) as shown:
            for name, image, regions, _, *described in extraction.features(new, orientations=match):
                key, camera = cameras.camera(name, extraction.paths[name], image.shape)
                ids[name], camera_id = database.add_image(name, camera, regions, described[0])
                cameras.stored(key, camera_id)
                if match:
                    features[name] = regions, *described
                shown.step()
        if match:
            _match_pairs(database, extraction, ids, features, match_model, ratio, pair_names, neighbours,
                         progress, refine_tracks, split_tracks)
    finally:
        connection.close()
        if not existed and os.path.exists(path) and os.path.getsize(path) == 0:
            os.unlink(path)  # the failure came before anything was written
    return ids


class _ColmapDatabase:
    """A COLMAP database whose tables are created with the first rows written."""

    def __init__(self, connection, caller):
        self.connection = connection
        expected = sqlite3.connect(":memory:")
        expected.executescript(COLMAP_SCHEMA)
        self.statements = [statement for statement in COLMAP_SCHEMA.split(";") if statement.strip()]
        self.root_to_record = None  # the root the images are named from, kept with the first write
        self.ready = True
        for table in _tables(expected):
            columns = _columns(connection, table)
            if not columns:
                self.ready = False
            elif columns != _columns(expected, table):
                raise ValueError(f"{caller}: the table {table} of the database has another layout than COLMAP's "
                                 f"({', '.join(columns)}); nothing was written")
        expected.close()

    def rows(self, query, arguments=()):
        """The rows of a query (none while the tables are not there)."""
        return self.connection.execute(query, arguments).fetchall() if self.ready else []

    def image_id(self, name):
        row = self.rows("SELECT image_id FROM images WHERE name = ?", (name,))
        return row[0][0] if row else None

    @contextlib.contextmanager
    def transaction(self):
        """A cursor whose statements are committed together (with the tables, if they are not there yet)."""
        cursor = self.connection.cursor()
        cursor.execute("BEGIN IMMEDIATE")
        try:
            if not self.ready:
                for statement in self.statements:
                    cursor.execute(statement)
            if self.root_to_record is not None:
                _record_colmap_root(cursor, self.root_to_record)
            yield cursor
            cursor.execute("COMMIT")
        except BaseException:
            cursor.execute("ROLLBACK")
            raise
        self.ready = True
        self.root_to_record = None

    def add_image(self, name, camera, regions, descriptors):
        """Adds one image with its features, and its camera when `camera` is a new camera's row rather than an id;
        (image id, camera id)."""
        keypoints = to_colmap_keypoints(regions)
        with self.transaction() as cursor:
            if isinstance(camera, tuple):
                cursor.execute("INSERT INTO cameras (model, width, height, params, prior_focal_length) "
                               "VALUES (?, ?, ?, ?, ?)", camera)
                camera = cursor.lastrowid
            cursor.execute("INSERT INTO images (name, camera_id) VALUES (?, ?)", (name, camera))
            image_id = cursor.lastrowid
            cursor.execute("INSERT INTO keypoints VALUES (?, ?, ?, ?)",
                           (image_id, len(keypoints), 6, keypoints.tobytes()))
            cursor.execute("INSERT INTO descriptors VALUES (?, ?, ?, ?)",
                           (image_id, len(descriptors), descriptors.shape[1],
                            np.ascontiguousarray(descriptors).tobytes()))
        return image_id, camera

    def add_pair(self, image_id1, image_id2, result, model):
        """Stores one pair's tentative matches and its verified ones (image_id1 < image_id2)."""
        tentative = np.stack([result.index1, result.index2], axis=1).astype(np.uint32).reshape(-1, 2)
        inliers = tentative[np.asarray(result.inliers, dtype=bool)]
        verified = result.model is not None and len(inliers) >= MIN_INLIERS
        if not verified:
            inliers = inliers[:0]
        matrices = {slot: np.zeros(9) for slot in _MODEL_COLUMNS.values()}
        if verified:
            # The model in COLMAP's pixel coordinates (pixel centres at half-integers), row-major.
            shift = np.array([[1, 0, COLMAP_PIXEL_ORIGIN], [0, 1, COLMAP_PIXEL_ORIGIN], [0, 0, 1]])
            unshift = np.linalg.inv(shift)
            matrix = np.asarray(result.model, dtype=np.float64)
            matrix = {"homography": shift @ matrix @ unshift, "fundamental": unshift.T @ matrix @ unshift,
                      "essential": matrix}[model]
            matrices[_MODEL_COLUMNS[model]] = matrix.reshape(9)
        pair = pair_id(image_id1, image_id2)
        with self.transaction() as cursor:
            cursor.execute("INSERT OR REPLACE INTO matches VALUES (?, ?, 2, ?)",
                           (pair, len(tentative), tentative.tobytes()))
            cursor.execute("INSERT OR REPLACE INTO two_view_geometries VALUES (?, ?, 2, ?, ?, ?, ?, ?, ?, ?)",
                           (pair, len(inliers), inliers.tobytes(), _CONFIGURATIONS[model] if verified else _DEGENERATE,
                            matrices["F"].tobytes(), matrices["E"].tobytes(), matrices["H"].tobytes(),
                            np.array([1.0, 0, 0, 0]).tobytes(), np.zeros(3).tobytes()))

    def move_keypoints(self, image_id, positions):
        """Sets the centres of an image's keypoints to (N, 2) 0-based positions."""
        rows, data = self.rows("SELECT rows, data FROM keypoints WHERE image_id = ?", (image_id,))[0]
        keypoints = np.frombuffer(data, np.float32).reshape(rows, -1).copy()
        keypoints[:, :2] = positions + COLMAP_PIXEL_ORIGIN
        with self.transaction() as cursor:
            cursor.execute("UPDATE keypoints SET data = ? WHERE image_id = ?", (keypoints.tobytes(), image_id))

    def intrinsic_matrix(self, image_id):
        """K of an image's camera in Orvo's pixel coordinates (COLMAP's principal point less half a pixel)."""
        model, blob = self.rows("SELECT model, params FROM cameras JOIN images "
                                "ON images.camera_id = cameras.camera_id WHERE image_id = ?", (image_id,))[0]
        params = np.frombuffer(blob, np.float64)
        two_focal = model in (CAMERA_MODELS[name][0] for name in _TWO_FOCAL_LENGTHS)
        fx, fy, cx, cy = params[:4] if two_focal else (params[0], params[0], params[1], params[2])
        return np.array([[fx, 0, cx - COLMAP_PIXEL_ORIGIN], [0, fy, cy - COLMAP_PIXEL_ORIGIN], [0, 0, 1]])


def _tables(connection):
    return [row[0] for row in connection.execute("SELECT name FROM sqlite_master WHERE type = 'table' "
                                                 "AND name != 'sqlite_sequence'")]


def _columns(connection, table):
    return [row[1] for row in connection.execute(f"PRAGMA table_info({table})")]


class _Cameras:
    """The camera of each new image: a new one, or its group's (its folder's, or all images') when shared and
    alike."""

    def __init__(self, database, model, shared_per_folder, single, known):
        self.model = model
        self.known = known
        self.group = (lambda name: "") if single else _folder if shared_per_folder else None
        self.shared = {}  # (group, model id, width, height, params, prior) -> camera id
        if self.group:
            for name, camera_id, *camera in database.rows(
                    "SELECT name, cameras.camera_id, model, width, height, params, prior_focal_length "
                    "FROM images JOIN cameras ON images.camera_id = cameras.camera_id"):
                self.shared.setdefault((self.group(name), *camera), camera_id)

    def camera(self, name, path, shape):
        """(key, the id of the image's shared camera or the row (model, width, height, params, prior) of a new
        one); the key is None when the camera is not shared."""
        height, width = shape[:2]
        model_id, distortion = CAMERA_MODELS[self.model]
        if name in self.known:
            params, prior = self.known[name], 1
        else:
            focal = focal_length_pixels(path, width, height)
            prior = int(focal is not None)
            if focal is None:
                focal = DEFAULT_FOCAL_FACTOR * max(width, height)
            focal_lengths = [focal, focal] if self.model in _TWO_FOCAL_LENGTHS else [focal]
            params = np.array(focal_lengths + [width / 2.0, height / 2.0] + [0.0] * distortion, dtype=np.float64)
        row = (model_id, width, height, params.tobytes(), prior)
        if not self.group:
            return None, row
        key = (self.group(name), *row)
        return key, self.shared.get(key, row)

    def stored(self, key, camera_id):
        if key is not None:
            self.shared[key] = camera_id


def _folder(name):
    return name.rpartition("/")[0]


def _stored_colmap_root(path):
    """The root a COLMAP database names its images from (see _names_root), without changing the file."""
    if not os.path.exists(path):
        return None
    connection = sqlite3.connect(path)
    try:
        tables = set(_tables(connection))
        if _ROOT_TABLE in tables:
            row = connection.execute(f"SELECT root FROM {_ROOT_TABLE}").fetchone()
            if row:
                return bytes(row[0])
        has_images = "images" in tables and connection.execute("SELECT COUNT(*) FROM images").fetchone()[0] > 0
        return _UNKNOWN_ROOT if has_images else None
    finally:
        connection.close()


#: The table of Orvo's own in a COLMAP database (which COLMAP leaves alone): the root its images are named from.
_ROOT_TABLE = "orvo_image_root"


def _record_colmap_root(cursor, root):
    cursor.execute(f"CREATE TABLE IF NOT EXISTS {_ROOT_TABLE} (root BLOB NOT NULL)")
    cursor.execute(f"DELETE FROM {_ROOT_TABLE}")
    cursor.execute(f"INSERT INTO {_ROOT_TABLE} VALUES (?)", (root,))


def _known_camera_params(camera_params, model, names, caller):
    """image name -> float64 parameters of the known cameras, checked against the camera model."""
    if camera_params is None:
        return {}
    _, distortion = CAMERA_MODELS[model]
    count = (2 if model in _TWO_FOCAL_LENGTHS else 1) + 2 + distortion

    def checked(values, which):
        try:
            params = np.array(values, dtype=np.float64)
        except (TypeError, ValueError):
            raise TypeError(f"{caller}: camera_params{which} must be a sequence of numbers, not {values!r}") from None
        if params.shape != (count,) or not np.all(np.isfinite(params)) or np.any(params[:count - 2 - distortion] <= 0):
            raise ValueError(f"{caller}: camera_params{which} must be the {count} parameters of {model} (positive "
                             f"focal lengths, all finite), not {values!r}")
        return params

    if isinstance(camera_params, collections.abc.Mapping):
        unknown = sorted(set(camera_params) - set(names))
        if unknown:
            raise ValueError(f"{caller}: camera_params names images that are not given: {', '.join(unknown)}")
        return {name: checked(values, f"[{name!r}]") for name, values in camera_params.items()}
    params = checked(camera_params, "")
    return {name: params for name in names}


def _pairs_among(pairs, names, caller):
    """The pairs (a pairs file or a list of name pairs) as a list of (name1, name2) of the given images."""
    if isinstance(pairs, (str, bytes, os.PathLike)):
        pairs = read_pairs(pairs)
    elif not isinstance(pairs, collections.abc.Iterable):
        raise TypeError(f"{caller}: pairs must be a pairs file or a list of name pairs, not {type(pairs).__name__}")
    known = set(names)
    chosen = []
    for pair in pairs:
        if isinstance(pair, (str, bytes)) or len(pair) != 2 or not all(isinstance(name, str) for name in pair):
            raise TypeError(f"{caller}: each pair must be two image names, not {pair!r}")
        missing = [name for name in pair if name not in known]
        if missing:
            raise ValueError(f"{caller}: the pair {pair!r} names {missing[0]!r}, which is not one of the given images")
        if pair[0] == pair[1]:
            raise ValueError(f"{caller}: the pair {pair!r} matches an image with itself")
        chosen.append(tuple(pair))
    return chosen


def read_pairs(path):
    """The image pairs of a pairs file as hloc and COLMAP's ``matches_importer`` write them: one pair a line, two
    image names separated by white space; blank lines and lines starting with ``#`` are skipped. A list of
    (name1, name2). Raises ValueError naming the line that does not hold two names."""
    pairs = []
    with open(existing_file(path, "read_pairs"), encoding="utf-8") as lines:
        for number, line in enumerate(lines, 1):
            if not line.strip() or line.lstrip().startswith("#"):
                continue
            names = line.split()
            if len(names) != 2:
                raise ValueError(f"read_pairs: line {number} of {os.fsdecode(path)!r} does not hold two image names: "
                                 f"{line.rstrip()!r}")
            pairs.append((names[0], names[1]))
    return pairs


def sequential_pairs(names, window):
    """Each image paired with the ``window`` images that follow it in ``names`` (a video, or photographs taken
    walking along a scene): a list of (name1, name2), about ``window`` pairs per image rather than one per other
    image."""
    window = _positive_integer(window, "window", "sequential_pairs")
    names = list(dict.fromkeys(names))
    return [(names[i], names[j]) for i in range(len(names)) for j in range(i + 1, min(len(names), i + 1 + window))]


def retrieval_pairs(descriptors, neighbours, *, words=256, sample=100000):
    """Each image paired with its ``neighbours`` most similar images, as a retrieval step before matching a large
    set: a list of (name1, name2), each pair once, name1 the one given first.

    descriptors: image name -> (N, D) descriptors (as :func:`orvo.describe` gives them). Each image is described
    as a whole by the words of a vocabulary that its descriptors fall into: ``words`` centres found by k-means on
    at most ``sample`` of the set's descriptors (an even spread of them, so the same descriptors give the same
    pairs); each image's shares of the words, square-rooted, less the set's mean of them (what every image shows
    makes no two alike) and normalised; two images are as similar as the dot product of theirs. Nothing is
    downloaded: the vocabulary is learnt from the set itself.
    """
    caller = "retrieval_pairs"
    neighbours = _positive_integer(neighbours, "neighbours", caller)
    words = _positive_integer(words, "words", caller)
    names = list(descriptors)
    arrays = [np.asarray(descriptors[name], dtype=np.float32) for name in names]
    if any(a.ndim != 2 or a.shape[1] != arrays[0].shape[1] for a in arrays):
        raise ValueError(f"{caller}: the descriptors must be (N, D) arrays of one width D")
    everything = np.concatenate(arrays) if arrays else np.zeros((0, 1), np.float32)
    if len(everything) == 0:
        return []
    spread = everything[np.linspace(0, len(everything) - 1, min(len(everything), int(sample))).astype(np.int64)]
    centres = _kmeans(spread, min(words, len(spread)))
    counts = np.stack([np.bincount(_nearest_centre(a, centres), minlength=len(centres)) for a in arrays])
    vectors = np.sqrt(counts / np.maximum(1, counts.sum(1, keepdims=True)))
    vectors -= vectors.mean(0)
    vectors /= np.maximum(np.linalg.norm(vectors, axis=1, keepdims=True), 1e-12)
    similarity = vectors @ vectors.T
    np.fill_diagonal(similarity, -np.inf)
    chosen = set()
    for i in range(len(names)):
        for j in np.argsort(-similarity[i], kind="stable")[:min(neighbours, len(names) - 1)]:
            chosen.add((min(i, int(j)), max(i, int(j))))
    return [(names[i], names[j]) for i, j in sorted(chosen)]


def _nearest_centre(points, centres, block=4096):
    """The index of each point's nearest centre (Euclidean)."""
    norms = (centres * centres).sum(1)
    return np.concatenate([np.argmin(norms - 2 * points[k:k + block] @ centres.T, axis=1)
                           for k in range(0, len(points), block)] or [np.zeros(0, np.int64)])


def _kmeans(points, count, iterations=10):
    """``count`` centres of the points by Lloyd's iterations, started from an even spread of them."""
    centres = points[np.linspace(0, len(points) - 1, count).astype(np.int64)].copy()
    for _ in range(iterations):
        nearest = _nearest_centre(points, centres)
        sizes = np.bincount(nearest, minlength=count)
        sums = np.stack([np.bincount(nearest, weights=column, minlength=count) for column in points.T], axis=1)
        filled = sizes > 0
        centres[filled] = sums[filled] / sizes[filled, None]
    return centres


class _Progress:
    """Counts items done on one line of standard error, rewritten in place, when it is shown: by default when
    standard error is a terminal, so that piped or logged output stays quiet."""

    def __init__(self, label, total, shown=None):
        if shown is None:
            stream = sys.stderr
            shown = stream is not None and hasattr(stream, "isatty") and stream.isatty()
        self.shown = bool(shown) and total > 0
        self.label, self.total, self.done, self.start = label, total, 0, time.monotonic()

    def __enter__(self):
        self._show()
        return self

    def step(self):
        self.done += 1
        self._show()

    def _show(self):
        if self.shown:
            elapsed = time.monotonic() - self.start
            print(f"\r{self.label} {self.done}/{self.total} ({elapsed:.0f} s)", end="", file=sys.stderr, flush=True)

    def __exit__(self, *error):
        if self.shown:
            print(file=sys.stderr, flush=True)


def _match_pairs(database, extraction, ids, features, model, ratio, chosen_pairs, neighbours, progress,
                 refine_tracks, split_tracks):
    """Matches and verifies the chosen pairs (None: every pair, or with `neighbours` each image's most similar ones)
    of the images that the database has no geometry of yet, and stores them; then, when `refine_tracks`, moves the
    keypoints of the verified matches to agree along their tracks. `features` holds the (regions, descriptors,
    orientations) of the images just added; the others' are made again from their stored keypoints."""
    from . import match_features

    names = sorted(set(extraction.names), key=ids.get)  # each pair first by the smaller id, as COLMAP stores it
    done = {row[0] for row in database.rows("SELECT pair_id FROM two_view_geometries")}
    if neighbours is not None:
        for name in set(names) - set(features):
            features[name] = _stored_features(database, extraction, ids[name], name)
        chosen_pairs = retrieval_pairs({name: features[name][1] for name in names}, neighbours)
    candidates = (itertools.combinations(names, 2) if chosen_pairs is None
                  else (tuple(sorted(pair, key=ids.get)) for pair in chosen_pairs))
    pairs = [pair for pair in dict.fromkeys(candidates) if pair_id(ids[pair[0]], ids[pair[1]]) not in done]
    for name in {name for pair in pairs for name in pair} - set(features):
        features[name] = _stored_features(database, extraction, ids[name], name)
    intrinsics = {name: database.intrinsic_matrix(ids[name]) for name in names} if model == "essential" else {}

    def verify(pair):
        first, second = pair
        calibration = dict(K1=intrinsics[first], K2=intrinsics[second]) if intrinsics else {}
        return match_features(*features[first], *features[second], ratio=ratio, model=model, **calibration)

    with concurrent.futures.ThreadPoolExecutor(max_workers=extraction.threads) as pool, \
            _Progress("colmap_database: pairs", len(pairs), progress) as shown:
        results = []
        for pair, result in zip(pairs, _ordered(pool, verify, pairs, extraction.threads)):
            results.append((pair, result))
            shown.step()
    if refine_tracks:
        _refine_tracks(database, ids, extraction.paths, features, results, model, intrinsics, split_tracks)
    for (first, second), result in results:
        database.add_pair(ids[first], ids[second], result, model)


def _refine_tracks(database, ids, paths, features, results, model, intrinsics, split):
    """Moves the keypoints of the verified matches of ((name, name), MatchResult) so that each track's observations
    agree (orvo.tracks), drops from the inliers the matches of observations that could not be aligned, and adds the
    matches the tracks imply that the pairs' epipolar geometry confirms (orvo.tracks.complete_tracks); when `split`,
    first drops the matches that make a track reach an image twice (orvo.tracks.consistent_matches)."""
    verified = [(pair, r) for pair, r in results if r.model is not None and r.inliers.sum() >= MIN_INLIERS]
    if split:
        inliers = [np.flatnonzero(r.inliers) for _, r in verified]
        kept = tracks.consistent_matches([tracks.Match(*pair, r.index1[k], r.index2[k], None)
                                          for (pair, r), k in zip(verified, inliers)],
                                         [r.distances[k] for (_, r), k in zip(verified, inliers)])
        for (_, r), k, keep in zip(verified, inliers, kept):
            r.inliers[k[~keep]] = False
    models = {} if model == "homography" else {
        pair: np.asarray(r.model) if model == "fundamental" else
        np.linalg.inv(intrinsics[pair[1]]).T @ np.asarray(r.model) @ np.linalg.inv(intrinsics[pair[0]])
        for pair, r in verified}
    matches = [tracks.Match(*pair, r.index1[r.inliers], r.index2[r.inliers], r.affines[r.inliers])
               for pair, r in verified]
    positions, failed = tracks.refine_tracks(paths, {name: f[0] for name, f in features.items()}, matches)
    for (first, second), r in verified:
        r.inliers = r.inliers & ~failed[first][r.index1] & ~failed[second][r.index2]
    for name in {name for m in matches for name in m[:2]}:
        database.move_keypoints(ids[name], positions[name])
    if not models:
        return
    kept = [tracks.Match(*pair, r.index1[r.inliers], r.index2[r.inliers], None) for pair, r in verified]
    added = tracks.complete_tracks(kept, positions, models, TRACK_COMPLETION_THRESHOLD)
    for pair, r in verified:
        new1, new2 = added.get(pair, (np.zeros(0, np.int64),) * 2)
        r.index1, r.index2 = np.concatenate([r.index1, new1]), np.concatenate([r.index2, new2])
        r.inliers = np.concatenate([r.inliers, np.ones(len(new1), dtype=bool)])


def _stored_features(database, extraction, image_id, name):
    """(regions, descriptors, orientations) of an image stored before, its regions those of its keypoints."""
    rows, cols, data = database.rows("SELECT rows, cols, data FROM keypoints WHERE image_id = ?", (image_id,))[0]
    if cols != 6:
        raise ValueError(f"colmap_database: the keypoints of {name!r} are not affine shapes (they have {cols} "
                         "columns, not 6): they cannot be matched by their frames")
    keypoints = np.frombuffer(data, np.float32).reshape(rows, 6).astype(np.float64)
    frames = np.concatenate([keypoints[:, 2:].reshape(-1, 2, 2), keypoints[:, :2, None]], axis=2)
    regions = from_lafs(frames, origin=COLMAP_PIXEL_ORIGIN)
    return (regions,) + extraction.description(read_image(extraction.paths[name]), regions, True)


def hloc_h5(path, image_paths, measurement_scale=None, *, image_root=None, threads=None, batch_size=16,
            progress=None, **detect_options):
    """Detects and describes each image into an hloc feature file (HDF5), creating it if needed.

    One group per image, named by its path relative to ``image_root`` (see the module): ``keypoints`` (N, 2)
    float32, the centres with pixel centres at integers (Orvo's own coordinates; hloc adds 0.5 when it writes to
    COLMAP), ``descriptors`` (128, N) float32, L2-normalised, ``scores`` (N,) float32, each region's strength (see
    :func:`orvo.detect`: the strongest match best), ``image_size`` (width, height), and the regions' shapes:
    ``scales`` (N,) float32 (ac - b^2)^(-1/4), ``oris`` (N,) float32, the major axis' angle in radians, and the
    full affine shape, ``lafs`` (N, 2, 3) float32, each region's upright frame [A | centre] (kornia's layout,
    :func:`orvo.to_lafs`; :func:`orvo.from_lafs` gives the regions back). Images whose group exists already are
    skipped.

    The file is replaced atomically after every ``batch_size`` new images: each batch is written into a copy of
    the file, which is then renamed over it. An interrupted run (even killed) leaves the file as the last batch
    left it, readable, and a re-run adds the rest. ``threads``: images processed at once (every core by default).
    ``progress``: see the module. ``detect_options`` go to :func:`orvo.detect`. Returns the list of the group names
    of the given images.
    """
    import h5py

    caller = "hloc_h5"
    path = file_path(path, caller)
    stored_root, stored = None, set()
    if os.path.exists(path):
        with h5py.File(path, "r") as features:
            stored_root = _stored_h5_root(features)
    extraction = _Extraction(image_paths, image_root, measurement_scale, threads, detect_options, caller,
                             stored_root)
    batch_size = _positive_integer(batch_size, "batch_size", caller)
    if os.path.exists(path):
        with h5py.File(path, "r") as features:
            stored = {name for name in extraction.names if name in features}
    new = [name for name in dict.fromkeys(extraction.names) if name not in stored]
    extracted = extraction.features(new)
    root_to_record = extraction.root if extraction.root_to_record else None
    with _Progress(f"{caller}: images", len(new), progress) as shown:
        for batch in iter(lambda: list(itertools.islice(extracted, batch_size)), []):
            with _replaced(path) as temporary, h5py.File(temporary, "a") as features:
                if root_to_record is not None:
                    features.attrs[_ROOT_ATTRIBUTE] = np.void(root_to_record)
                    root_to_record = None
                for name, image, regions, strengths, descriptors in batch:
                    _write_group(features.create_group(name), image.shape, regions, strengths, descriptors)
            for _ in batch:
                shown.step()
    return list(extraction.names)


#: The attribute of an hloc file that keeps the root its images are named from.
_ROOT_ATTRIBUTE = "orvo_image_root"


def _stored_h5_root(features):
    """The root an hloc file names its images from (see _names_root)."""
    if _ROOT_ATTRIBUTE in features.attrs:
        return features.attrs[_ROOT_ATTRIBUTE].tobytes()
    return _UNKNOWN_ROOT if len(features) else None


def hloc_pair_name(name1, name2):
    """The group of a pair in an hloc match file, as hloc names it: both image names with "/" replaced by "-",
    joined by "/" (so the first image's group holds one group per image it is matched with)."""
    return "/".join((name1.replace("/", "-"), name2.replace("/", "-")))


def hloc_matches(path, pairs, features_path, *, ratio=0.8, batch_size=64, progress=None):
    """Matches image pairs with the features of an hloc feature file (as :func:`hloc_h5` writes them) into an hloc
    match file (HDF5), creating it if needed; hloc's ``reconstruction`` and ``triangulation`` then read both.

    pairs: an hloc pairs file (``pairs.txt``, see :func:`read_pairs`) or a list of (name1, name2), the names of
    groups of the feature file. One group per pair, named by :func:`hloc_pair_name`, holding ``matches0`` (N1,)
    int32, for each keypoint of image 1 the index of its match in image 2 or -1, and ``matching_scores0`` (N1,)
    float32, (1 + the cosine of the two descriptors) / 2 for a match and 0 otherwise, as hloc's nearest-neighbour
    matcher scores them. The matches are mutual nearest neighbours by descriptor distance whose distance is below
    ``ratio`` times the second nearest's (the geometric verification is COLMAP's, when hloc imports them).

    A pair whose group exists already (in either order) is skipped; the file is replaced atomically after every
    ``batch_size`` pairs, as :func:`hloc_h5` does. ``progress``: see the module. Every name is checked against the
    feature file before the match file is touched: ValueError for a pair whose image is not there. Returns the
    pairs as a list of (name1, name2).
    """
    import h5py

    caller = "hloc_matches"
    path, features_path = file_path(path, caller), existing_file(features_path, caller)
    ratio = float(ratio)
    if not 0 < ratio <= 1:
        raise ValueError(f"{caller}: ratio must be in (0, 1], not {ratio!r}")
    batch_size = _positive_integer(batch_size, "batch_size", caller)
    with h5py.File(features_path, "r") as features:
        names = _image_groups(features)
    pairs = _pairs_among(read_pairs(pairs) if isinstance(pairs, (str, bytes, os.PathLike)) else pairs, names, caller)
    done = set()
    if os.path.exists(path):
        with h5py.File(path, "r") as matches:
            done = {pair for pair in pairs if hloc_pair_name(*pair) in matches
                    or hloc_pair_name(*reversed(pair)) in matches}
    # Each pair once, in the order first given (a pair listed in both orders too, as hloc takes them).
    unordered = {frozenset(pair): pair for pair in reversed(pairs)}
    todo = [pair for pair in dict.fromkeys(pairs) if unordered[frozenset(pair)] == pair and pair not in done]
    with h5py.File(features_path, "r") as features, _Progress(f"{caller}: pairs", len(todo), progress) as shown:
        descriptors = _RecentDescriptors(features)
        for start in range(0, len(todo), batch_size):
            batch = todo[start:start + batch_size]
            with _replaced(path) as temporary, h5py.File(temporary, "a") as matches:
                for first, second in batch:
                    matches0, scores0 = _mutual_nearest(descriptors[first], descriptors[second], ratio)
                    group = matches.require_group(hloc_pair_name(first, second))
                    group.create_dataset("matches0", data=matches0)
                    group.create_dataset("matching_scores0", data=scores0)
            for _ in batch:
                shown.step()
    return pairs


def _image_groups(features):
    """The names of the image groups of a feature file (those holding descriptors), nested folders included."""
    import h5py

    found = []
    features.visititems(lambda name, item: found.append(name)
                        if isinstance(item, h5py.Group) and "descriptors" in item else None)
    return found


class _RecentDescriptors:
    """The descriptors (D, N) float32 of the images of a feature file, the most recently used kept in memory."""

    KEPT = 32

    def __init__(self, features):
        self.features = features
        self.kept = collections.OrderedDict()

    def __getitem__(self, name):
        if name in self.kept:
            self.kept.move_to_end(name)
        else:
            self.kept[name] = np.asarray(self.features[name]["descriptors"][()], dtype=np.float32)
            if len(self.kept) > self.KEPT:
                self.kept.popitem(last=False)
        return self.kept[name]


def _mutual_nearest(descriptors1, descriptors2, ratio, block=2048):
    """hloc's matches0 and matching_scores0 of two images' unit descriptors (D, N1) and (D, N2): mutual nearest
    neighbours that pass the ratio test on their distances. The similarities are computed a block of rows at a
    time."""
    count1, count2 = descriptors1.shape[1], descriptors2.shape[1]
    matches0 = np.full(count1, -1, dtype=np.int32)
    scores0 = np.zeros(count1, dtype=np.float32)
    if count1 == 0 or count2 == 0:
        return matches0, scores0
    nearest2, best, second = np.empty(count1, np.int64), np.empty(count1), np.full(count1, -1.0)
    for start in range(0, count1, block):
        similarity = descriptors1[:, start:start + block].T @ descriptors2
        rows = np.arange(similarity.shape[0])
        nearest2[start:start + block] = order = np.argmax(similarity, axis=1)
        best[start:start + block] = similarity[rows, order]
        if count2 > 1:
            similarity[rows, order] = -np.inf
            second[start:start + block] = similarity.max(axis=1)
    nearest1 = np.empty(count2, np.int64)
    for start in range(0, count2, block):
        nearest1[start:start + block] = np.argmax(descriptors2[:, start:start + block].T @ descriptors1, axis=1)
    # Distances of unit vectors: |u - v| = sqrt(2 - 2 u.v).
    distance = np.sqrt(np.maximum(2 - 2 * best, 0))
    second_distance = np.sqrt(np.maximum(2 - 2 * second, 0))
    kept = (nearest1[nearest2] == np.arange(count1)) & (distance < ratio * second_distance)
    matches0[kept] = nearest2[kept]
    scores0[kept] = (1 + best[kept]) / 2
    return matches0, scores0


@contextlib.contextmanager
def _replaced(path):
    """A temporary copy of the file (empty when there is none) in its folder, renamed over it once the block
    succeeds and its content is on disk; removed when the block fails."""
    folder, name = os.path.split(os.path.abspath(path))
    temporary = os.path.join(folder, b".%s.%s.partial" % (name, secrets.token_hex(8).encode()))
    descriptor = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o666)
    try:
        with os.fdopen(descriptor, "wb") as copy:
            if os.path.exists(path):
                with open(path, "rb") as original:
                    shutil.copyfileobj(original, copy)
                shutil.copymode(path, temporary)
        yield temporary
        with open(temporary, "rb") as written:
            os.fsync(written.fileno())
        os.replace(temporary, path)
    except BaseException:
        os.unlink(temporary)
        raise


def _write_group(group, shape, regions, strengths, descriptors):
    x, y, size, angle = _orvo.keypoints(regions).T
    values = descriptors.astype(np.float32)
    norms = np.linalg.norm(values, axis=1, keepdims=True)
    values /= np.where(norms > 0, norms, 1)
    group.create_dataset("keypoints", data=np.stack([x, y], axis=1).astype(np.float32))
    group.create_dataset("descriptors", data=np.ascontiguousarray(values.T))
    group.create_dataset("scores", data=np.asarray(strengths, dtype=np.float32))
    group.create_dataset("image_size", data=np.array([shape[1], shape[0]], dtype=np.int64))
    group.create_dataset("scales", data=size / 2)
    group.create_dataset("oris", data=np.radians(angle))
    group.create_dataset("lafs", data=to_lafs(regions).reshape(-1, 2, 3).astype(np.float32))
