"""The inspector's pages in a real browser (headless Chromium driven by Selenium): what they draw against the data,
the filters and the match slider, hovering and clicking against orvo's own numbers, zoom, a screenshot that is not
blank, and a console free of errors; the pages of orvo --html, orvo-match --html and python3 -m orvo.view on a
saved result; the executables' refusal to overwrite an input with a page.

Skipped when Chromium, its driver or Selenium is missing (the set-up installs them).
"""

import json
import os
import shutil
import subprocess
import time

import cv2
import numpy as np
import pytest

import orvo
import orvo.view

webdriver = pytest.importorskip("selenium.webdriver")
from selenium.webdriver.chrome.service import Service  # noqa: E402
from selenium.webdriver.common.action_chains import ActionChains  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402

WINDOW = (1400, 900)


@pytest.fixture(scope="module")
def browser():
    chromium = shutil.which("chromium") or shutil.which("chromium-browser")
    driver_path = shutil.which("chromedriver")
    if not chromium or not driver_path:
        pytest.skip("Chromium and chromedriver are needed (Debian's chromium and chromium-driver)")
    options = webdriver.ChromeOptions()
    options.binary_location = chromium
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                     f"--window-size={WINDOW[0]},{WINDOW[1]}"):
        options.add_argument(argument)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    environment = dict(os.environ)
    environment.pop("LD_PRELOAD", None)  # a sanitizer runtime meant for the Python module
    driver = webdriver.Chrome(service=Service(driver_path, env=environment), options=options)
    yield driver
    driver.quit()


def open_page(browser, path):
    """Opens a page file and waits until it has drawn; clears the console log before."""
    browser.get_log("browser")
    browser.get(path.as_uri())
    deadline = time.monotonic() + 60
    while not browser.execute_script("return Boolean(window.orvoView && window.orvoView.ready)"):
        assert time.monotonic() < deadline, "the page did not draw within 60 s"
        time.sleep(0.05)


def console_errors(browser):
    return [entry for entry in browser.get_log("browser") if entry["level"] == "SEVERE"]


def panel_values(browser):
    """The numbers of the details panel: {key: value} of its cells."""
    cells = browser.find_elements(By.CSS_SELECTOR, "#details td[data-key]")
    return {cell.get_attribute("data-key"): float(cell.get_attribute("data-value"))
            for cell in cells if cell.get_attribute("data-value") is not None}


def set_control(browser, element_id, value):
    """Sets a slider or a checkbox as a user would, firing its events."""
    browser.execute_script("""
        const input = document.getElementById(arguments[0]);
        if (input.type === 'checkbox') { input.checked = arguments[1]; input.dispatchEvent(new Event('change')); }
        else { input.value = String(arguments[1]); input.dispatchEvent(new Event('input')); }""", element_id, value)
    time.sleep(0.1)  # the redraw comes with the next frame


def pointer_to(browser, image, x, y, click=False):
    """Moves the pointer over the world point (x, y) of image 0 or 1, and clicks there."""
    canvas = browser.find_element(By.ID, "canvas")
    sx, sy = browser.execute_script("return orvoView.screenPoint(arguments[0], arguments[1], arguments[2])", image, x, y)
    # Offsets count from the element's centre.
    actions = ActionChains(browser).move_to_element_with_offset(canvas, int(round(sx - canvas.size["width"] / 2)),
                                                                int(round(sy - canvas.size["height"] / 2)))
    if click:
        actions.click()
    actions.perform()
    time.sleep(0.1)


def screenshot(browser):
    picture = cv2.imdecode(np.frombuffer(browser.get_screenshot_as_png(), np.uint8), cv2.IMREAD_COLOR)
    return picture


def assert_not_blank(picture):
    """A drawn page: many distinct colours and clear contrast, not one flat background."""
    assert picture is not None and picture.shape[0] > 100
    assert picture.std() > 20
    assert len(np.unique(picture.reshape(-1, 3)[::7], axis=0)) > 500


def radii(regions):
    return (regions[:, 2] * regions[:, 4] - regions[:, 3] ** 2) ** -0.25


def isolated_centre(points, others):
    """The index of the point farthest from every other one (in both images' points)."""
    distances = np.linalg.norm(points[:, None, :] - others[None, :, :], axis=2)
    distances[distances == 0] = np.inf
    return int(np.argmax(distances.min(axis=1)))


def test_region_page(browser, scene_views, tmp_path):
    regions = orvo.detect(str(scene_views[0]), dense=True)
    # A name that would close a script if the data were not escaped.
    page = orvo.view.regions(str(scene_views[0]), regions, name="view </script><b>1")
    path = tmp_path / "regions.html"
    page.save(path)
    open_page(browser, path)

    assert browser.find_element(By.ID, "title").get_attribute("title") == "view </script><b>1"
    # Every region drawn at the fitted view, and counted.
    assert browser.execute_script("return orvoView.drawn") == len(regions)
    assert browser.find_element(By.ID, "count").get_attribute("data-shown") == str(len(regions))

    # The size filter keeps the regions whose radius is within it.
    set_control(browser, "min-radius", 120)
    low = browser.execute_script("return orvoView.filter.minRadius")
    expected = int((radii(regions) >= low).sum())
    assert 0 < expected < len(regions)
    assert browser.execute_script("return orvoView.drawn") == expected
    set_control(browser, "min-radius", 0)
    # The strength filter only ever removes regions, and the strongest survive.
    strengths = np.array(browser.execute_script("return Array.from(orvoView.strengths)"))
    assert strengths.shape == (len(regions),) and strengths.max() > 10
    set_control(browser, "min-strength", int(np.median(strengths)))
    assert browser.execute_script("return orvoView.drawn") == int((strengths >= int(np.median(strengths))).sum())
    set_control(browser, "min-strength", 0)

    # Hovering the most isolated centre names it; clicking shows its numbers and patch.
    k = isolated_centre(regions[:, :2], regions[:, :2])
    x, y = regions[k, :2]
    pointer_to(browser, 0, x, y)
    tip = browser.find_element(By.ID, "tip").text
    assert f"region {k}" in tip and f"{x:.2f}, {y:.2f}" in tip and "strength" in tip
    pointer_to(browser, 0, x, y, click=True)
    values = panel_values(browser)
    keypoint = orvo.to_keypoints(regions[k:k + 1])[0]
    assert values["x"] == pytest.approx(x, abs=1e-6) and values["y"] == pytest.approx(y, abs=1e-6)
    assert (values["angle"] - keypoint.angle + 90) % 180 - 90 == pytest.approx(0, abs=0.01)
    assert values["radius"] == pytest.approx(keypoint.size / 2, rel=1e-4)
    assert values["measurement"] == orvo.DEFAULT_OPTIONS["measurement_scale"]
    patch = browser.execute_script("""
        const c = document.querySelector('canvas[data-patch=region]');
        const d = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;
        let lo = 255, hi = 0; for (let i = 0; i < d.length; i += 4) { lo = Math.min(lo, d[i]); hi = Math.max(hi, d[i]); }
        return hi - lo;""")
    assert patch > 40

    # Zooming changes the view and what is drawn; the picture changes with it.
    before, picture = browser.execute_script("return orvoView.view"), screenshot(browser)
    assert_not_blank(picture)
    browser.find_element(By.ID, "zoom-in").click()
    browser.find_element(By.ID, "zoom-in").click()
    time.sleep(0.1)
    after = browser.execute_script("return orvoView.view")
    assert after["scale"] == pytest.approx(before["scale"] * 2.25)
    assert 0 < browser.execute_script("return orvoView.drawn") < len(regions)
    assert np.abs(screenshot(browser).astype(int) - picture).mean() > 5
    assert console_errors(browser) == []


def test_match_page(browser, scene_views, tmp_path):
    path1, path2, H = scene_views
    result = orvo.match(str(path1), str(path2))
    n, inliers = len(result.inliers), int(result.inliers.sum())
    assert n > 250 and inliers > 50
    path = tmp_path / "matches.html"
    orvo.view.matches(str(path1), str(path2), result).save(path)
    open_page(browser, path)

    assert browser.execute_script("return orvoView.drawn") == 200
    set_control(browser, "match-count", 120)
    assert browser.execute_script("return orvoView.drawn") == 120
    set_control(browser, "match-count", n)
    assert browser.execute_script("return orvoView.drawn") == n
    set_control(browser, "show-outliers", False)
    assert browser.execute_script("return orvoView.drawn") == inliers
    assert browser.find_element(By.ID, "count").text.startswith(f"{inliers} of {n} matches drawn ({inliers} inliers)")

    # Clicking the most isolated inlier's centre in image 2 shows its numbers, as orvo.match gave them.
    chosen = np.flatnonzero(result.inliers)
    centres = np.vstack([result.regions1[chosen, :2], result.regions2[chosen, :2] + [10000, 0]])
    k = chosen[isolated_centre(result.regions2[chosen, :2] + [10000, 0], centres)]
    pointer_to(browser, 1, *result.regions2[k, :2], click=True)
    assert browser.find_element(By.CSS_SELECTOR, "#details h2").text == f"Match {k} of {n}"
    values = panel_values(browser)
    assert values["inlier"] == 1 and values["index1"] == result.index1[k]
    assert values["distance"] == pytest.approx(result.distances[k], rel=1e-6)
    assert values["ratio"] == pytest.approx(result.ratios[k], rel=1e-6) and values["ratio"] < 0.8
    p1 = np.append(result.regions1[k, :2], 1.0)
    mapped = result.model @ p1
    assert values["error"] == pytest.approx(np.linalg.norm(mapped[:2] / mapped[2] - result.regions2[k, :2]), abs=1e-6)
    assert values["error"] < 6
    # The model's local map is the homography's Jacobian at the point: compare with a finite difference.
    step = 1e-3
    moved = result.model @ (p1 + [step, 0, 0])
    assert values["jacobian"] == pytest.approx((moved[0] / moved[2] - mapped[0] / mapped[2]) / step, rel=1e-3)
    patches = browser.find_elements(By.CSS_SELECTOR, "#details canvas[data-patch]")
    assert [p.get_attribute("data-patch") for p in patches] == ["image1", "image2", "model"]

    assert_not_blank(screenshot(browser))
    before = browser.execute_script("return orvoView.view")
    canvas = browser.find_element(By.ID, "canvas")
    browser.execute_script("""arguments[0].dispatchEvent(new WheelEvent('wheel', {deltaY: -300, clientX: 300,
                              clientY: 300, bubbles: true, cancelable: true}))""", canvas)
    time.sleep(0.1)
    assert browser.execute_script("return orvoView.view")["scale"] > 1.5 * before["scale"]
    assert console_errors(browser) == []


def run(arguments, **kwargs):
    return subprocess.run(arguments, capture_output=True, text=True, timeout=300, **kwargs)


@pytest.fixture(scope="module")
def match_executable(orvo_executable):
    path = os.environ.get("ORVO_MATCH_EXECUTABLE") or os.path.join(os.path.dirname(orvo_executable), "orvo-match")
    if not os.access(path, os.X_OK):
        pytest.skip("no orvo-match executable found (set ORVO_MATCH_EXECUTABLE)")
    return path


def test_pages_of_the_executables(browser, orvo_executable, match_executable, scene_views, sample_copy, tmp_path):
    # orvo --dense -i IMG --html: every region of its ellipse file drawn.
    page = tmp_path / "regions.html"
    done = run([orvo_executable, "--dense", "-i", str(sample_copy), "--html", str(page)])
    assert done.returncode == 0, done.stderr
    with open(f"{sample_copy}.orvo") as written:
        count = int(written.read().split("\n")[1])
    open_page(browser, page)
    assert browser.execute_script("return orvoView.kind") == "regions"
    assert browser.execute_script("return orvoView.drawn") == count > 0
    assert_not_blank(screenshot(browser))

    # orvo-match --html and --json: the same matches; the saved result becomes a page through orvo.view.
    path1, path2, _ = scene_views
    matches_page, saved = tmp_path / "matches.html", tmp_path / "matches.json"
    done = run([match_executable, str(path1), str(path2), "--html", str(matches_page), "--json", str(saved)])
    assert done.returncode == 0, done.stderr
    result = json.loads(saved.read_text())
    open_page(browser, matches_page)
    assert browser.execute_script("return orvoView.kind") == "matches"
    assert browser.execute_script("return orvoView.drawn") == min(200, len(result["matches"]))
    first = result["matches"][0]
    browser.execute_script("orvoView.select(0)")
    values = panel_values(browser)
    assert values["distance"] == pytest.approx(first["distance"]) and values["ratio"] == pytest.approx(first["ratio"])
    assert console_errors(browser) == []

    again = tmp_path / "again.html"
    assert orvo.view.main([str(saved), "-o", str(again)]) == 0
    open_page(browser, again)
    assert browser.execute_script("return orvoView.shown") == min(200, len(result["matches"]))
    assert console_errors(browser) == []

    # A page that would replace an input or another output is refused, and nothing is touched.
    original = path1.read_bytes()
    for arguments in ([match_executable, str(path1), str(path2), "--html", str(path1)],
                      [match_executable, str(path1), str(path2), "--json", str(saved), "--html", str(saved)],
                      [orvo_executable, "-i", str(path1), "--html", str(path1)]):
        done = run(arguments)
        assert done.returncode == 1 and "--html" in done.stderr
    assert path1.read_bytes() == original and json.loads(saved.read_text()) == result
    with pytest.raises(SystemExit) as refused:
        orvo.view.main([str(path1), "-o", str(path1)])
    assert refused.value.code == 1 and path1.read_bytes() == original
    assert orvo.view.main([str(tmp_path / "missing.png"), "-o", str(tmp_path / "missing.html")]) == 2
