"""Shared fixtures of the Python tests: the shipped sample image, the `orvo` executable and generated scenes.

ctest runs the suite against the build tree (PYTHONPATH and ORVO_EXECUTABLE set by python/CMakeLists.txt); run by
hand, it tests the installed package and the `orvo` on PATH or in build/app.
"""

import os
import shutil
from pathlib import Path

import cv2
import numpy as np
import pytest

REPOSITORY = Path(__file__).resolve().parents[2]
SAMPLE = REPOSITORY / "examples" / "sample.png"


@pytest.fixture(scope="session")
def orvo_executable():
    candidates = [os.environ.get("ORVO_EXECUTABLE"), str(REPOSITORY / "build" / "app" / "orvo"), shutil.which("orvo")]
    for candidate in candidates:
        if candidate and os.access(candidate, os.X_OK):
            return candidate
    pytest.skip("no orvo executable found (set ORVO_EXECUTABLE)")


@pytest.fixture
def sample_copy(tmp_path):
    """examples/sample.png copied into a fresh folder (the executable writes beside its image)."""
    target = tmp_path / "sample.png"
    shutil.copyfile(SAMPLE, target)
    return target


def textured_scene(seed, width=640, height=480, shapes=1500):
    """A grey image rich in closed shapes: filled ellipses and rotated rectangles over smooth noise."""
    rng = np.random.default_rng(seed)
    image = cv2.resize((rng.random((height // 8, width // 8)) * 255).astype(np.uint8), (width, height),
                       interpolation=cv2.INTER_CUBIC)
    for _ in range(shapes):
        centre = (int(rng.integers(0, width)), int(rng.integers(0, height)))
        axes = (int(rng.integers(3, 25)), int(rng.integers(3, 25)))
        colour = int(rng.integers(0, 256))
        angle = float(rng.uniform(0, 180))
        if rng.random() < 0.5:
            cv2.ellipse(image, centre, axes, angle, 0, 360, colour, -1, cv2.LINE_AA)
        else:
            corners = cv2.boxPoints((centre, (2 * axes[0], 2 * axes[1]), angle)).astype(np.int32)
            cv2.fillConvexPoly(image, corners, colour, cv2.LINE_AA)
    return image


@pytest.fixture(scope="session")
def scene_views(tmp_path_factory):
    """Two views of a textured plane a homography apart, as PNG files: (path1, path2, H)."""
    folder = tmp_path_factory.mktemp("views")
    image = textured_scene(seed=1)
    homography = np.array([[0.9, 0.1, 30], [-0.08, 0.95, 20], [1e-4, 5e-5, 1]])
    warped = cv2.warpPerspective(image, homography, image.shape[::-1], borderValue=128)
    paths = folder / "view1.png", folder / "view2.png"
    cv2.imwrite(str(paths[0]), image)
    cv2.imwrite(str(paths[1]), warped)
    return paths[0], paths[1], homography
