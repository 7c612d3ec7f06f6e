"""Bad input gets a Python exception with a clear message."""

import os
import subprocess
import sys

import numpy as np
import pytest

import orvo

from conftest import SAMPLE

IMAGE = np.zeros((40, 50, 3), np.uint8)
REGIONS = np.array([[10, 10, 0.01, 0, 0.01], [20, 20, 0.02, 0.001, 0.03]])


def bad_region(row, value):
    regions = REGIONS.copy()
    regions[1, row] = value
    return regions


@pytest.mark.parametrize("call, error, message", [
    (lambda: orvo.detect(IMAGE.astype(np.float64)), TypeError, "uint8 or uint16"),
    (lambda: orvo.detect(IMAGE.astype(bool)), TypeError, "uint8 or uint16"),
    (lambda: orvo.detect([[1, 2], [3, 4]]), TypeError, "numpy array or a path"),
    (lambda: orvo.detect(np.zeros((4, 5, 6, 3), np.uint8)), ValueError, "4 dimensions"),
    (lambda: orvo.detect(np.zeros((4, 5, 2), np.uint8)), ValueError, "1, 3 or 4 channels, not 2"),
    (lambda: orvo.detect(np.zeros((0, 5), np.uint8)), ValueError, "empty"),
    (lambda: orvo.detect(IMAGE, edge_stp=3, colour=1), TypeError, "colour, edge_stp"),
    (lambda: orvo.detect(IMAGE, edge_step=0), ValueError, "edge_step"),
    (lambda: orvo.detect(IMAGE, threshold=float("nan")), ValueError, "threshold"),
    (lambda: orvo.detect(IMAGE, edge_steps="11"), TypeError, "edge_steps must be a sequence of integers"),
    (lambda: orvo.detect(IMAGE, edge_steps=[9.7]), TypeError, "edge_steps values must be an integer"),
    (lambda: orvo.detect(IMAGE, edge_steps=np.array([9.0, 7.0])), TypeError, "edge_steps values"),
    (lambda: orvo.detect(IMAGE, edge_step=9.7), TypeError, "edge_step must be an integer"),
    (lambda: orvo.detect(IMAGE, threads=True), TypeError, "threads must be an integer"),
    (lambda: orvo.detect(IMAGE, edge_step=2**40), ValueError, "edge_step"),
    (lambda: orvo.detect(IMAGE, threshold="50"), TypeError, "threshold must be a real number"),
    (lambda: orvo.detect(IMAGE, scale=1e-160), ValueError, "scale"),
    (lambda: orvo.detect(IMAGE, scale=1e160), ValueError, "scale"),
    (lambda: orvo.detect(np.broadcast_to(np.zeros((1, 1), np.uint8), (60000, 60000))), ValueError, "2^27"),
    (lambda: orvo.detect("/nonexistent/photo.png"), FileNotFoundError, "/nonexistent/photo.png"),
    (lambda: orvo.describe(IMAGE, bad_region(2, -1)), ValueError, "region 1 "),
    (lambda: orvo.describe(IMAGE, bad_region(0, np.inf)), ValueError, "region 1 "),
    (lambda: orvo.describe(IMAGE, REGIONS[:, :4]), ValueError, "(N, 5)"),
    (lambda: orvo.to_keypoints(bad_region(3, 1)), ValueError, "to_keypoints: region 1 "),
    (lambda: orvo.to_lafs(bad_region(4, np.nan)), ValueError, "to_lafs: region 1 "),
    (lambda: orvo.to_colmap_keypoints(bad_region(4, 0)), ValueError, "region 1 "),
    (lambda: orvo.from_lafs(np.zeros((1, 2, 2, 3))), ValueError, "frame 0 "),
    (lambda: orvo.scale_regions(REGIONS, 0), ValueError, "positive finite"),
    (lambda: orvo.scale_regions(REGIONS, 1e200), ValueError, "region 0"),
    (lambda: orvo.scale_regions(REGIONS, 1e-160), ValueError, "region 0"),
    (lambda: orvo.read_regions("/nonexistent/regions.txt"), FileNotFoundError, "regions.txt"),
    (lambda: orvo.write_regions("/nonexistent/folder/regions.txt", REGIONS), OSError, "regions.txt"),
])
def test_bad_input(call, error, message):
    with pytest.raises(error) as raised:
        call()
    assert message in str(raised.value)


@pytest.mark.parametrize("content, line", [
    (b"0\n2\n1 2 0.1 0 0.1\n", 4),
    (b"0\n1\n1 2 0.1 0 x\n", 3),
    (b"0\n1\n1 2 0.1 0.5 0.1\n", 3),
    (b"0\n-1\n", 2),
    (b"0\n1\n1 2 0.1 0 \xff\xfe\n", 3),
])
def test_malformed_region_files_name_the_line(tmp_path, content, line):
    for name in (b"regions.txt", b"r\xe9gions.txt"):
        path = os.path.join(os.fsencode(tmp_path), name)
        with open(path, "wb") as file:
            file.write(content)
        with pytest.raises(ValueError, match=f"gions.txt:{line}: "):
            orvo.read_regions(path)


def test_paths_are_taken_as_python_takes_them(tmp_path):
    folder = os.fsencode(tmp_path)
    # Any bytes, UTF-8 or not, and os.PathLike name the file Python's open() would open.
    image = os.path.join(folder, b"\xe9t\xe9.png")
    with open(image, "wb") as file:
        file.write(SAMPLE.read_bytes())
    regions = orvo.detect(image)
    assert np.array_equal(orvo.read_image(image), orvo.read_image(SAMPLE))
    for path in (os.path.join(folder, b"\xe9t\xe9.orvo"), tmp_path / "r\u00e9gions.orvo"):
        orvo.write_regions(path, regions)
        np.testing.assert_allclose(orvo.read_regions(path), regions, atol=1e-9)
    assert np.array_equal(orvo.describe(image, regions), orvo.describe(SAMPLE, regions))

    # A null byte is refused as open() refuses it, and nothing is written in its stead.
    results = tmp_path / "results"
    results.write_text("kept")
    for call in (lambda: orvo.write_regions(f"{results}\0.orvo", regions), lambda: orvo.read_image(b"x\0.png"),
                 lambda: orvo.read_regions(f"{results}\0"), lambda: orvo.detect(f"{results}\0.png")):
        with pytest.raises(ValueError, match="null byte"):
            call()
    assert results.read_text() == "kept"
    with pytest.raises(TypeError):
        orvo.write_regions(3, regions)


def test_regions_that_cannot_be_written_are_refused(tmp_path):
    path = tmp_path / "regions.orvo"
    # Semi-axes of 10^6 pixels: matrices of 10^-12, zero at the file's ten decimals.
    with pytest.raises(ValueError):
        orvo.write_regions(path, [[10, 10, 1e-12, 0, 1e-12]])
    assert not path.exists() and os.listdir(tmp_path) == []


@pytest.mark.parametrize("content", [b"", b"not an image at all", SAMPLE.read_bytes()[:300]])
def test_unreadable_image_files(tmp_path, content):
    path = tmp_path / "broken.png"
    path.write_bytes(content)
    with pytest.raises(orvo.ImageError, match="broken.png"):
        orvo.detect(path)
    assert issubclass(orvo.ImageError, ValueError) and issubclass(orvo.ImageError, OSError)


OUT_OF_MEMORY = """
import resource, numpy as np, orvo
image = (np.random.default_rng(0).random((2000, 2000)) * 255).astype(np.uint8)
with open("/proc/self/statm") as f:
    used = int(f.read().split()[0]) * resource.getpagesize()
resource.setrlimit(resource.RLIMIT_AS, (used + (64 << 20), resource.RLIM_INFINITY))
try:
    orvo.detect(image)
except MemoryError:
    print("MemoryError")
"""


@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""), reason="the sanitizer reserves the address space")
def test_out_of_memory_is_a_memory_error():
    # Detection under an address-space limit just above what the process holds.
    result = subprocess.run([sys.executable, "-c", OUT_OF_MEMORY], capture_output=True, text=True, timeout=60)
    assert result.stdout.strip() == "MemoryError", result.stderr
