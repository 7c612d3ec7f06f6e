"""Detection, description and region files through the Python module: identity with the `orvo` executable, the
image forms accepted, the options, and Python threads."""

import subprocess
import threading

import cv2
import numpy as np
import pytest

import orvo

from conftest import SAMPLE, textured_scene


def test_region_file_is_byte_identical_to_the_executable(orvo_executable, sample_copy, tmp_path):
    subprocess.run([orvo_executable, "-i", str(sample_copy)], check=True, capture_output=True, timeout=60)
    executable_file = sample_copy.with_name("sample.png.orvo")
    for image in (str(sample_copy), cv2.imread(str(SAMPLE))):
        ours = tmp_path / "ours.orvo"
        orvo.write_regions(ours, orvo.detect(image))
        assert ours.read_bytes() == executable_file.read_bytes()
    np.testing.assert_allclose(orvo.read_regions(executable_file), orvo.detect(sample_copy), rtol=1e-6, atol=1e-10)


def test_image_forms_give_the_same_regions():
    bgr = cv2.cvtColor(textured_scene(seed=5, width=320, height=240, shapes=300), cv2.COLOR_GRAY2BGR)
    expected = orvo.detect(bgr)
    assert len(expected) > 10
    forms = {
        "bgra": cv2.cvtColor(bgr, cv2.COLOR_BGR2BGRA),
        "uint16": bgr.astype(np.uint16) * 256 + 7,  # the high byte counts
        "non-contiguous": np.asfortranarray(bgr),
        "channel view": np.dstack([bgr, bgr])[:, :, ::2][:, :, :3],
    }
    for name, image in forms.items():
        assert np.array_equal(orvo.detect(image), expected), name
    grey = cv2.cvtColor(bgr, cv2.COLOR_BGR2GRAY)
    assert np.array_equal(orvo.detect(grey), orvo.detect(grey[:, :, None]))

    # Colour: the detector weighs the first channel as red, the descriptor as blue.
    colour = cv2.imread(str(SAMPLE))
    regions = orvo.detect(colour)
    assert np.array_equal(orvo.detect(cv2.cvtColor(colour, cv2.COLOR_RGB2GRAY)), regions)
    assert not np.array_equal(orvo.detect(cv2.cvtColor(colour, cv2.COLOR_BGR2GRAY)), regions)
    assert np.array_equal(orvo.describe(colour, regions), orvo.describe(cv2.cvtColor(colour, cv2.COLOR_BGR2GRAY),
                                                                        regions))


def test_options_reach_the_detector():
    image = textured_scene(seed=6, width=320, height=240, shapes=300)
    regions = orvo.detect(image)
    np.testing.assert_allclose(orvo.detect(image, scale=2.0), orvo.scale_regions(regions, 2.0), rtol=1e-12)
    assert np.array_equal(orvo.detect(image, threads=2), regions)
    assert len(orvo.detect(image, threshold=20)) > len(regions)
    assert len(orvo.detect(image, max_area=0.001)) < len(regions)
    dense = orvo.detect(image, dense=True)
    assert len(dense) > 3 * len(regions)
    assert np.array_equal(orvo.detect(image, edge_steps=[11, 9], threshold=3, min_area=1, pyramid_levels=3,
                                      subpixel_edges=True, edge_pixel_hull=True), dense)
    assert len(orvo.detect(image, dense=True, pyramid_levels=1)) < len(dense)
    with pytest.raises(ValueError, match="pyramid_step"):
        orvo.detect(image, dense=True, pyramid_step=1.0)
    assert len(orvo.detect(image, dense=True, threshold=100)) < len(dense)
    small = orvo.detect(image, min_radius=20)
    assert 0 < len(small) < len(regions) and ((small[:, 2] * small[:, 4] - small[:, 3] ** 2) ** -0.25 >= 20).all()
    assert not np.array_equal(orvo.detect(image, subpixel_edges=True, exact_hull=True), regions)
    assert not np.array_equal(orvo.detect(image, edge_pixel_hull=True), regions)
    with pytest.raises(TypeError, match="subpixel_edges"):
        orvo.detect(image, subpixel_edges=1)

    # Strengths on request, one per region, each at least the threshold, through the pyramid's levels and the
    # scale too; the regions as without them.
    for options in ({}, {"dense": True, "threshold": 5, "scale": 2.0}):
        found, strengths = orvo.detect(image, strengths=True, **options)
        assert np.array_equal(found, orvo.detect(image, **options))
        assert strengths.shape == (len(found),) and strengths.min() >= options.get("threshold", 100)
        assert np.ptp(strengths) > 0
    with pytest.raises(TypeError, match="strengths"):
        orvo.detect(image, strengths="yes")


def test_describe_and_draw():
    image = cv2.imread(str(SAMPLE))
    regions = orvo.detect(image)
    descriptors = orvo.describe(image, orvo.scale_regions(regions, 3))
    assert descriptors.shape == (len(regions), 128) and descriptors.dtype == np.uint8
    assert np.array_equal(orvo.describe(str(SAMPLE), orvo.scale_regions(regions, 3)), descriptors)
    # SIFT's byte form, as COLMAP expects: unit vectors scaled by 512, clipped to 255.
    np.testing.assert_allclose(np.linalg.norm(descriptors.astype(float), axis=1), 512, rtol=0.02)
    assert orvo.describe(image, np.zeros((0, 5))).shape == (0, 128)
    same, orientations = orvo.describe_oriented(image, orvo.scale_regions(regions, 3))
    assert np.array_equal(same, descriptors) and orientations.shape == (len(regions),)
    assert np.all((orientations >= 0) & (orientations < 2 * np.pi)) and len(np.unique(orientations)) > 1

    grey = cv2.cvtColor(image, cv2.COLOR_BGR2GRAY)
    drawn = orvo.draw(grey, regions)
    assert drawn.shape == image.shape and drawn.dtype == np.uint8
    assert np.array_equal(orvo.draw(cv2.cvtColor(grey, cv2.COLOR_GRAY2BGR), regions), drawn)
    yellow = (drawn == (0, 255, 255)).all(axis=2)
    for x, y in regions[:, :2].astype(int):
        assert yellow[y - 1:y + 2, x - 1:x + 2].any()  # the centre dot
    assert np.array_equal(orvo.draw(grey, np.zeros((0, 5))), cv2.cvtColor(grey, cv2.COLOR_GRAY2BGR))


def test_region_files_round_trip(tmp_path):
    regions = np.array([[10.25, 20.5, 0.01, 0.002, 0.04], [0, 0, 1, 0, 1]])
    for offset in (2.0, 0.0):
        path = tmp_path / f"regions-{offset}.txt"
        orvo.write_regions(path, regions, offset=offset)
        np.testing.assert_allclose(orvo.read_regions(path, offset=offset), regions, atol=1e-10)
    assert (tmp_path / "regions-0.0.txt").read_text().splitlines()[2].startswith("10.2500000000 20.5000000000 ")


def test_threads_give_the_results_of_one_thread():
    images = [textured_scene(seed=s, width=400, height=300, shapes=500) for s in (11, 12, 13, 14)]
    expected = [orvo.detect(image) for image in images]
    expected_descriptors = [orvo.describe(image, orvo.scale_regions(r, 3)) for image, r in zip(images, expected)]
    results = {}

    def work(index):
        regions = orvo.detect(images[index])
        results[index] = regions, orvo.describe(images[index], orvo.scale_regions(regions, 3))

    threads = [threading.Thread(target=work, args=(i,)) for i in range(len(images))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for i in range(len(images)):
        assert np.array_equal(results[i][0], expected[i])
        assert np.array_equal(results[i][1], expected_descriptors[i])


@pytest.mark.parametrize("subpackage", ["export", "evaluate"])
def test_subpackages_load_on_first_use(subpackage):
    assert getattr(orvo, subpackage).__name__ == f"orvo.{subpackage}"
