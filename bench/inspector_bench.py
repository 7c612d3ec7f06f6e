#!/usr/bin/env python3
"""Size and opening time of the inspector's pages in headless Chromium, and their screenshots.

Writes the match page of two images with orvo-match --html (dense preset, a loose ratio so that a 6 MP pair gives
some 5,000 tentative matches) and the region page of the first with orvo --dense --html, then opens each page
several times in headless Chromium and reports: the file size; the time from the start of the navigation to the
first drawing of the images and the data, as the page measures it (performance.now()); the wall-clock time of the
whole load as the driver sees it; and the processor time that Chromium's processes spent (user + system) over the
openings, the figure to trust on a busy machine. With --screenshots DIR it saves a screenshot of each page with a
match or a region clicked, reduced to --shot-width pixels, as PNG.

    python3 bench/inspector_bench.py IMAGE1 IMAGE2 [--build build] [--ratio 0.95] [--runs 3] [--screenshots DIR]
"""

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

import cv2
import numpy as np
from PIL import Image
from selenium import webdriver
from selenium.webdriver.chrome.service import Service


def browser(width, height):
    options = webdriver.ChromeOptions()
    options.binary_location = shutil.which("chromium")
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                     f"--window-size={width},{height}"):
        options.add_argument(argument)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    return webdriver.Chrome(service=Service(shutil.which("chromedriver")), options=options)


def children_cpu_seconds(pid):
    """User + system time of the process tree under pid (Chromium's processes), from /proc."""
    total, ticks = 0.0, os.sysconf("SC_CLK_TCK")
    pending = [pid]
    while pending:
        current = pending.pop()
        try:
            with open(f"/proc/{current}/stat") as stat:
                fields = stat.read().rsplit(")", 1)[1].split()
            total += (int(fields[11]) + int(fields[12])) / ticks
            for task in os.listdir(f"/proc/{current}/task"):
                with open(f"/proc/{current}/task/{task}/children") as children:
                    pending += [int(child) for child in children.read().split()]
        except OSError:
            continue
    return total


def open_timed(driver, path):
    start = time.perf_counter()
    driver.get("file://" + os.path.abspath(path))
    while not driver.execute_script("return Boolean(window.orvoView && window.orvoView.ready)"):
        time.sleep(0.02)
    wall = time.perf_counter() - start
    return driver.execute_script("return orvoView.openedMs") / 1000, wall


def measure(driver, path, runs):
    pid = driver.service.process.pid
    cpu = children_cpu_seconds(pid)
    timings = [open_timed(driver, path) for _ in range(runs)]
    cpu = (children_cpu_seconds(pid) - cpu) / runs
    # Zooming in and out with the buttons: from the click to the second animation frame after it (the frame that
    # renders every feature in view has then been painted); then wheeling in and out for a second: the intervals
    # between animation frames.
    redraws = [driver.execute_async_script("""
        const done = arguments[1], start = performance.now();
        document.getElementById(arguments[0]).click();
        requestAnimationFrame(() => requestAnimationFrame((t) => done(t - start)));""", button)
        for button in ["zoom-in"] * 4 + ["zoom-out"] * 4]
    stamps = driver.execute_async_script("""
        const done = arguments[0], canvas = document.getElementById('canvas'), stamps = [];
        let k = 0;
        const timer = setInterval(() => {
          canvas.dispatchEvent(new WheelEvent('wheel', {deltaY: k++ < 30 ? -20 : 20, clientX: 500, clientY: 400,
                                                        bubbles: true, cancelable: true}));
          if (k === 60) clearInterval(timer);
        }, 16);
        const tick = (t) => { stamps.push(t); if (k < 60) requestAnimationFrame(tick); else done(stamps); };
        requestAnimationFrame(tick);""")
    frames = np.diff(stamps)
    errors = [entry for entry in driver.get_log("browser") if entry["level"] == "SEVERE"]
    page = [t[0] for t in timings]
    wall = [t[1] for t in timings]
    print(f"  {os.path.basename(path)}: {os.path.getsize(path) / 1e6:.1f} MB; drawn in {min(page):.2f} s "
          f"(median {np.median(page):.2f} s, page's clock), loaded in {min(wall):.2f} s (median "
          f"{np.median(wall):.2f} s, wall), {cpu:.2f} s of Chromium's processor time per opening; "
          f"{driver.execute_script('return orvoView.shown')} drawn; a zoom by the buttons painted in "
          f"{np.median(redraws):.0f} ms (median over zoom levels, at most {max(redraws):.0f} ms); frames while "
          f"wheeling every {np.median(frames):.0f} ms (median, at most {max(frames):.0f} ms); console errors: "
          f"{len(errors)}")


def save_screenshot(driver, path, width):
    picture = cv2.imdecode(np.frombuffer(driver.get_screenshot_as_png(), np.uint8), cv2.IMREAD_COLOR)
    height = round(picture.shape[0] * width / picture.shape[1])
    small = cv2.cvtColor(cv2.resize(picture, (width, height), interpolation=cv2.INTER_AREA), cv2.COLOR_BGR2RGB)
    # 128 colours: a few hundred kilobytes, and the lines and text stay sharp.
    Image.fromarray(small).quantize(colors=128, method=Image.Quantize.MEDIANCUT, dither=Image.Dither.NONE).save(
        path, optimize=True)
    print(f"  screenshot {path}: {os.path.getsize(path) / 1e3:.0f} kB")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("image1")
    parser.add_argument("image2")
    parser.add_argument("--build", default="build", help="the build tree (its app/orvo and app/orvo-match)")
    parser.add_argument("--ratio", default="0.85", help="orvo-match's ratio test")
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--screenshots", help="a folder for the screenshots")
    parser.add_argument("--shot-width", type=int, default=1000)
    args = parser.parse_args()

    work = tempfile.mkdtemp(prefix="orvo-inspector-")
    image = os.path.join(work, os.path.basename(args.image1))
    shutil.copyfile(args.image1, image)  # orvo writes beside its image
    matches_page, regions_page = os.path.join(work, "matches.html"), os.path.join(work, "regions.html")
    saved = os.path.join(work, "matches.json")
    start = time.perf_counter()
    subprocess.run([os.path.join(args.build, "app", "orvo-match"), args.image1, args.image2, "--ratio", args.ratio,
                    "--json", saved, "--html", matches_page], check=True, stdout=subprocess.DEVNULL)
    print(f"orvo-match --html: {time.perf_counter() - start:.1f} s")
    start = time.perf_counter()
    subprocess.run([os.path.join(args.build, "app", "orvo"), "--dense", "-i", image, "--html", regions_page],
                   check=True, stdout=subprocess.DEVNULL)
    print(f"orvo --dense --html: {time.perf_counter() - start:.1f} s")
    result = json.load(open(saved))
    size = cv2.imread(args.image1, cv2.IMREAD_UNCHANGED).shape
    print(f"{args.image1} and {args.image2}: {size[1]} x {size[0]}, {result['counts']['regions1']} and "
          f"{result['counts']['regions2']} regions, {result['counts']['tentative']} tentative matches, "
          f"{result['counts']['inliers']} inliers")

    driver = browser(1400, 860)
    try:
        measure(driver, matches_page, args.runs)
        measure(driver, regions_page, args.runs)
        if args.screenshots:
            os.makedirs(args.screenshots, exist_ok=True)
            open_timed(driver, matches_page)
            inliers = [k for k, m in enumerate(result["matches"]) if m["inlier"]]
            ratios = [result["matches"][k]["ratio"] for k in inliers]
            driver.execute_script("document.getElementById('match-count').value = 300;"
                                  "document.getElementById('match-count').dispatchEvent(new Event('input'));"
                                  "orvoView.select(arguments[0])", inliers[int(np.argsort(ratios)[len(ratios) // 3])])
            time.sleep(0.3)
            save_screenshot(driver, os.path.join(args.screenshots, "inspector-matches.png"), args.shot_width)
            open_timed(driver, regions_page)
            # The larger regions of some contrast, zoomed on the middle.
            driver.execute_script("""
                const set = (id, value) => { const input = document.getElementById(id); input.value = value;
                                             input.dispatchEvent(new Event('input')); };
                set('min-radius', 80); set('min-strength', 20);
                for (let k = 0; k < 3; ++k) document.getElementById('zoom-in').click();""")
            time.sleep(0.3)
            centre = driver.execute_script("""
                const v = orvoView.view, box = document.getElementById('canvas');
                return [(box.clientWidth / 2 - v.tx) / v.scale, (box.clientHeight / 2 - v.ty) / v.scale]""")
            regions = json.loads(driver.execute_script("return document.getElementById('orvo-data').textContent"))
            points = np.array([r[:2] for r in regions["regions"]])
            radius = np.array([(r[2] * r[4] - r[3] ** 2) ** -0.25 for r in regions["regions"]])
            # The shown region nearest the middle.
            near = np.linalg.norm(points - centre, axis=1) + 1e6 * (radius > 60) + 1e6 * (radius < driver.execute_script(
                "return orvoView.filter.minRadius")) + 1e6 * ~np.array(driver.execute_script(
                    "return Array.from(orvoView.strengths, (s) => s >= 20)"))
            driver.execute_script("orvoView.select(arguments[0])", int(np.argmin(near)))
            time.sleep(0.3)
            save_screenshot(driver, os.path.join(args.screenshots, "inspector-regions.png"), args.shot_width)
    finally:
        driver.quit()
        shutil.rmtree(work)


if __name__ == "__main__":
    sys.exit(main())
