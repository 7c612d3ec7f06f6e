"""The inspector: one self-contained HTML page (images, data and script inside, nothing fetched) to look at the
regions of an image or the matches of two images, zoom and pan, filter, and click a region or a match for its
numbers and normalised patches.

    import orvo.view
    orvo.view.regions("photo.jpg", dense=True).save("regions.html")     # detects, or regions=...
    orvo.view.matches("a.jpg", "b.jpg").save("matches.html")            # orvo.match, or result=...
    orvo.view.matches("a.jpg", "b.jpg", json.load(open("m.json")))      # a saved result of orvo-match --json

Both return a :class:`Page`, a ``str`` holding the HTML, which a notebook displays inline. The page template
(inspector.html beside this file) is the one the executables fill for ``orvo --html`` and ``orvo-match --html``.

Command line (``orvo-view`` runs the same)::

    python3 -m orvo.view IMAGE [-o PAGE] [--dense] [-t T]            regions of one image
    python3 -m orvo.view IMAGE1 IMAGE2 [-o PAGE] [--model M] [--ratio R]   matches of two images
    python3 -m orvo.view RESULT.json [-o PAGE]                      a result saved by orvo-match --json
"""

import argparse
import base64
import html
import json
import os
import sys
from importlib import resources

import numpy as np

from .core import DENSE_OPTIONS, DEFAULT_OPTIONS, _image, detect
from .matching import MODELS, MatchResult, match

__all__ = ["Page", "regions", "matches", "main"]

#: JPEG quality of the embedded images: photographs stay sharp at a fraction of a PNG's size.
JPEG_QUALITY = 90

_DATA_MARK, _IMAGES_MARK = "@ORVO_DATA@", "@ORVO_IMAGES@"


class Page(str):
    """The HTML of an inspector page. In a notebook it shows in a frame of its own; :meth:`save` writes it."""

    def save(self, path):
        """Writes the page to ``path`` (UTF-8)."""
        with open(path, "w", encoding="utf-8") as out:
            out.write(self)

    def _repr_html_(self):
        return (f'<iframe srcdoc="{html.escape(self, quote=True)}" style="width: 100%; height: 640px; '
                f'border: 1px solid #888"></iframe>')


def _template():
    return resources.files(__package__).joinpath("inspector.html").read_text(encoding="utf-8")


def _jpeg_data_uri(image):
    """An image array (uint8 or uint16, grey, BGR or BGRA) as a JPEG data URI."""
    import cv2

    array = np.asarray(image)
    if array.dtype == np.uint16:
        array = (array >> 8).astype(np.uint8)
    if array.ndim == 3 and array.shape[2] == 4:
        array = array[:, :, :3]
    ok, encoded = cv2.imencode(".jpg", np.ascontiguousarray(array), [cv2.IMWRITE_JPEG_QUALITY, JPEG_QUALITY])
    if not ok:
        raise ValueError("the image could not be encoded as JPEG")
    return "data:image/jpeg;base64," + base64.b64encode(encoded.tobytes()).decode("ascii")


def _fill(data, images):
    """The page: the template with the data (JSON, '<' escaped so that no text closes its script) and the
    images."""
    text = json.dumps(data, allow_nan=False).replace("<", "\\u003c")
    template = _template()
    before, rest = template.split(_DATA_MARK, 1)
    middle, after = rest.split(_IMAGES_MARK, 1)
    return Page(before + text + middle + "\n".join(_jpeg_data_uri(image) for image in images) + after)


def _name(image, given):
    if given is not None:
        return str(given)
    if isinstance(image, bytes):
        return os.fsdecode(image)
    return os.fspath(image) if isinstance(image, (str, os.PathLike)) else "image"


def _rows(regions):
    return np.asarray(regions, dtype=np.float64).reshape(-1, 5).tolist()


def regions(image, regions=None, *, measurement_scale=None, name=None, dense=False, **detect_options):
    """The page of one image's regions: a :class:`Page`.

    image: array or path, as for :func:`orvo.detect`. regions: (N, 5) rows ``x y a b c`` (0-based centres); by
    default the image's regions, detected with ``dense`` and ``detect_options`` as :func:`orvo.detect` takes them.
    measurement_scale: the growth of a region into its measurement region, drawn for the clicked region with its
    normalised patch (by default the detector options' own, 3). name: the title (by default the path).
    """
    picture = _image(image, "view.regions")
    if regions is None:
        regions = detect(picture, dense=dense, **detect_options)
    if measurement_scale is None:
        defaults = DENSE_OPTIONS if dense else DEFAULT_OPTIONS
        measurement_scale = detect_options.get("measurement_scale", defaults["measurement_scale"])
    height, width = picture.shape[:2]
    data = {"image": {"name": _name(image, name), "width": width, "height": height},
            "measurement_scale": float(measurement_scale), "regions": _rows(regions)}
    return _fill(data, [picture])


def _matrix(value):
    return None if value is None else np.asarray(value, dtype=np.float64).reshape(3, 3).tolist()


def _result_data(result, K1, K2):
    """The JSON data of a :class:`MatchResult`, in the layout of orvo-match --json."""
    count = len(result.inliers)
    matches_ = [{"index1": int(result.index1[k]), "index2": int(result.index2[k]), "inlier": bool(result.inliers[k]),
                 "region1": result.regions1[k].tolist(), "region2": result.regions2[k].tolist(),
                 "distance": float(result.distances[k]), "ratio": float(result.ratios[k])} for k in range(count)]
    data = {"model_type": result.model_type, "model": _matrix(result.model), "counts": dict(result.counts),
            "times_ms": dict(result.times), "matches": matches_}
    if K1 is not None:
        data["K1"] = _matrix(K1)
        data["K2"] = _matrix(K2 if K2 is not None else K1)
    return data


def matches(image1, image2, result=None, *, measurement_scale=None, names=None, K1=None, K2=None, **match_options):
    """The page of two images' matches: a :class:`Page`.

    image1, image2: arrays or paths. result: a :class:`orvo.MatchResult`, or the dict of a JSON file that
    ``orvo-match --json`` wrote; by default ``orvo.match(image1, image2, K1=K1, K2=K2, **match_options)``.
    measurement_scale: as for :func:`regions` (3 by default). names: the two titles (by default the paths).
    K1, K2: the intrinsics of an essential matrix's cameras, for its point errors in pixels.
    """
    pictures = [_image(image1, "view.matches"), _image(image2, "view.matches")]
    if result is None:
        result = match(pictures[0], pictures[1], K1=K1, K2=K2, **match_options)
    elif match_options:
        raise TypeError(f"view.matches: options {', '.join(sorted(match_options))} are for matching, and a result "
                        "was given")
    if isinstance(result, MatchResult):
        data = _result_data(result, K1, K2)
    elif isinstance(result, dict) and isinstance(result.get("matches"), list):
        data = dict(result)
    else:
        raise TypeError("view.matches: the result must be an orvo.MatchResult or the dict of orvo-match's JSON")
    names = names or (None, None)
    data["image1"], data["image2"] = _name(image1, names[0]), _name(image2, names[1])
    data["measurement_scale"] = float(measurement_scale or data.get("measurement_scale", 3.0))
    return _fill(data, pictures)


def _saved_image(path, json_path):
    """An image named in a saved result: as given, or else relative to the JSON file's folder."""
    if os.path.exists(path) or os.path.isabs(path):
        return path
    beside = os.path.join(os.path.dirname(json_path), path)
    return beside if os.path.exists(beside) else path


def _page_name(inputs):
    """The default output: IMAGE.orvo.html, RESULT.html, or NAME1-NAME2.html in the current folder."""
    if len(inputs) == 1:
        stem, extension = os.path.splitext(inputs[0])
        return stem + ".html" if extension.lower() == ".json" else inputs[0] + ".orvo.html"
    stems = [os.path.splitext(os.path.basename(path))[0] for path in inputs]
    return f"{stems[0]}-{stems[1]}.html"


class _Parser(argparse.ArgumentParser):
    """A rejected command line ends with status 1, as for orvo and orvo-match."""

    def error(self, message):
        self.print_usage(sys.stderr)
        self.exit(1, f"{self.prog}: {message}\n")


def main(argv=None):
    """The command line of ``python3 -m orvo.view`` and ``orvo-view``; returns the exit status: 0 when the page is
    written, 1 for a rejected command line (it exits then), 2 when an input cannot be read or the page written."""
    parser = _Parser(
        prog="orvo-view", description="Write an inspector page (one self-contained HTML file) of the regions of "
        "an image, of the matches of two images, or of a result saved by orvo-match --json.")
    parser.add_argument("inputs", nargs="+", metavar="INPUT", help="IMAGE, IMAGE1 IMAGE2, or RESULT.json")
    parser.add_argument("-o", "--output", help="the page to write (default: IMAGE.orvo.html, RESULT.html or "
                        "NAME1-NAME2.html)")
    parser.add_argument("--dense", action="store_true", help="regions: the dense preset (matches always use it)")
    parser.add_argument("-t", "--threshold", type=float, help="regions: the detector's selection threshold")
    parser.add_argument("--model", choices=MODELS, default="homography", help="matches: the model verified")
    parser.add_argument("--ratio", type=float, default=0.8, help="matches: the ratio test, in (0, 1]")
    parser.add_argument("--threads", type=int, default=os.cpu_count() or 1, help="threads (default: every core)")
    args = parser.parse_args(argv)
    if len(args.inputs) > 2:
        parser.error("one image, two images or one JSON result are needed")
    output = args.output or _page_name(args.inputs)
    if os.path.abspath(output) in {os.path.abspath(path) for path in args.inputs}:
        parser.error(f"the page {output} would replace an input")
    try:
        if len(args.inputs) == 1 and args.inputs[0].lower().endswith(".json"):
            with open(args.inputs[0], encoding="utf-8") as source:
                saved = json.load(source)
            if not isinstance(saved, dict) or not isinstance(saved.get("matches"), list):
                raise ValueError(f"{args.inputs[0]} is not a result of orvo-match --json")
            images = [_saved_image(str(saved.get(key, "")), args.inputs[0]) for key in ("image1", "image2")]
            page = matches(images[0], images[1], saved, names=(saved.get("image1"), saved.get("image2")))
        elif len(args.inputs) == 1:
            page = regions(args.inputs[0], dense=args.dense, threshold=args.threshold, threads=args.threads)
        else:
            if args.threshold is not None:
                parser.error("-t is for the regions of one image (matching uses the dense preset)")
            page = matches(args.inputs[0], args.inputs[1], model=args.model, ratio=args.ratio, threads=args.threads)
        page.save(output)
    except (OSError, ValueError, TypeError) as error:
        print(f"orvo-view: {error}", file=sys.stderr)
        return 2
    print(output)
    return 0


if __name__ == "__main__":
    sys.exit(main())
