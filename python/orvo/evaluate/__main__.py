"""Command line: ``python3 -m orvo.evaluate SEQUENCE... [--detector NAME[:OPTIONS]]... [--out DIR]``, with
``--homography`` for homography accuracy and ``--poses`` for relative poses on multi-view sets."""

import argparse
import os
import sys

from ..core import MEASUREMENT_SCALE
from .detectors import DetectorError, parse_detector
from .evaluation import evaluate_sequence
from .homography import evaluate_homographies, format_homography_table, homography_summary
from .poses import evaluate_poses, format_pose_table, read_cameras
from .report import format_table, plot_results, write_csv, write_json, write_rows_csv
from .sequence import SequenceError, make_sequence, read_sequence

PROG = "python3 -m orvo.evaluate"

DESCRIPTION = """\
Measure the repeatability and matching score of region detectors on image sequences with known homographies.
A sequence is a folder with img1.* .. imgN.* and H1to2p .. H1toNp (3 x 3 numbers mapping image-1 pixel
coordinates to image k, 0-based, x the column). Every pair 1-k is measured; the table goes to standard output,
results.csv, results.json, repeatability.png and matching_score.png to the --out folder.

--homography measures instead how well each detector's matches recover the homographies (homography.csv and
homography.json); --poses takes multi-view sets with ground-truth cameras instead of sequences and measures the
relative pose of every pair (poses.csv and poses.json)."""

EPILOG = """\
detectors (NAME[:OPTIONS], OPTIONS a comma-separated list of key=value):
  orvo                    Orvo, orvo.detect(image, **options); t and s stand for threshold and scale:
                          orvo:t=50,s=2  or  orvo:threshold=50
  cv-mser                 OpenCV MSER on the grey image, cv2.MSER_create(**options), default parameters
                          when none are given (e.g. cv-mser:delta=10); each region is the ellipse of its
                          pixels' mean and covariance C, M = (4C)^-1
  cv-sift                 OpenCV SIFT keypoints, cv2.SIFT_create(**options), circles of radius size/2
  file:PATTERN[:offset=O] region files, one per image, read by orvo.read_regions; PATTERN may use {image},
                          {dir}, {name}, {stem}, {index}; relative to the sequence folder; offset 2 (default)
                          for Orvo's files, 0 for classic 0-based ones: file:{image}.orvo, file:{stem}.txt:offset=0
Regions of every detector are described by orvo.describe (their ellipses scaled by --descriptor-scale).

measures: correspondences are one-to-one, greedy by increasing overlap error below --threshold, of the regions
visible in both images (mapped by the local affine approximation of H), with each pair normalised so that the
image-1 region has radius --normalise; repeatability = correspondences / min(visible 1, visible 2); matching
score = one-to-one nearest-neighbour descriptor matches that are correspondences / the same minimum. The chance
level is the repeatability of the same regions under H followed by shifts of five normalised radii (150 px) to the
left, right, up and down, averaged: what regions of that size and density reach by accident; "above" is the
repeatability minus it.

homography accuracy (--homography): matches are mutual nearest neighbours passing the ratio test (--ratio); orvo
verifies them with the regions' affine frames (orvo.match_features, its own inlier threshold unless
--ransac-threshold is given), the other detectors with OpenCV's findHomography (USAC_MAGSAC, --ransac-threshold
px, default 3). The error of a pair is the mean distance of image 1's four corners mapped by the estimate and by
the true homography; the summary is the share of pairs within 1, 3 and 5 px.

relative poses (--poses SETDIR...): a set is a folder of images NAME with NAME.camera files (K; a line of
distortion; R, whose columns are the camera axes in world coordinates; the centre C; width and height), K upper
triangular and invertible, R a rotation and the size the image's. For every pair: the same matches, OpenCV's
essential matrix (RANSAC, --ransac-threshold px, default 1) and recoverPose; error = max(rotation error,
translation-direction error), no score for two cameras at one centre; AUC at 5, 10 and 20 degrees, mean matches,
inliers and seconds per image per detector. cv-sift uses OpenCV's own SIFT descriptors there (and with
--homography), orvo its preset's measurement scale. --max-size N downscales the images to at most N px (K scaled
accordingly).

  python3 -m orvo.evaluate --make-sequence IMAGE DIR
writes a synthetic sequence made from one photo (rotation, scale, perspective, blur, brightness) with exact
homographies into DIR, which must be new or empty.

exit status: 0 done, 2 bad arguments, missing or unreadable files, or a detector that fails."""


class _Progress:
    """A progress bar on a terminal's standard error; silent when it is not a terminal."""

    def __init__(self, total, stream):
        self.total, self.done, self.stream = max(total, 1), 0, stream
        self.active = stream.isatty()

    def __call__(self, text):
        self.done += 1
        if self.active:
            width = 30
            filled = width * self.done // self.total
            line = f"[{'#' * filled}{'.' * (width - filled)}] {self.done}/{self.total} {text}"
            self.stream.write("\r" + line[:100].ljust(100))
            self.stream.flush()

    def close(self):
        if self.active:
            self.stream.write("\r" + " " * 100 + "\r")
            self.stream.flush()


def _number(low, high, *, above=False, or_zero=False):
    """An argparse type: a finite number from ``low`` to ``high`` (above ``low`` when ``above``; 0 too when
    ``or_zero``). NaN, infinities and values that would overflow the measures are a usage error."""
    def read(text):
        try:
            value = float(text)
        except ValueError:
            value = float("nan")
        if (or_zero and value == 0) or ((value > low if above else value >= low) and value <= high):
            return value
        bounds = f"{'above' if above else 'from'} {low:g} {'and at most' if above else 'to'} {high:g}"
        raise argparse.ArgumentTypeError(f"{text!r}: a number {bounds}{' (or 0)' if or_zero else ''} is needed")
    return read


def _parser():
    p = argparse.ArgumentParser(prog=PROG, description=DESCRIPTION, epilog=EPILOG,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("sequences", nargs="*", metavar="SEQUENCE", help="sequence folders")
    p.add_argument("--detector", "-d", action="append", metavar="NAME[:OPTIONS]",
                   help="a detector to evaluate (repeatable; default: orvo and cv-mser)")
    p.add_argument("--out", "-o", default=".", metavar="DIR",
                   help="folder for results.csv, results.json and the plots (default: the current folder)")
    p.add_argument("--threshold", type=_number(0, 1, above=True), default=0.4,
                   help="largest overlap error of a correspondence, exclusive, in (0, 1] (default 0.4)")
    p.add_argument("--normalise", type=_number(1, 1e4, or_zero=True), default=30.0, metavar="RADIUS",
                   help="radius the image-1 region of each pair is scaled to, 1 to 10000 px; 0 measures regions "
                        "as they are (default 30)")
    p.add_argument("--descriptor-scale", type=_number(0.01, 100), default=MEASUREMENT_SCALE, metavar="F",
                   help="scale of the described region relative to the detected ellipse, 0.01 to 100, for "
                        "detectors other than orvo, whose regions are described at their preset's measurement "
                        "scale (default 3)")
    p.add_argument("--no-matching", action="store_true",
                   help="skip descriptors and the matching score (OpenCV detectors then need no orvo module)")
    p.add_argument("--make-sequence", nargs=2, metavar=("IMAGE", "DIR"),
                   help="write a synthetic sequence made from IMAGE into a new or empty DIR, and do nothing else")
    mode = p.add_mutually_exclusive_group()
    mode.add_argument("--homography", action="store_true",
                      help="measure homography accuracy instead (default detectors: orvo:dense=true, cv-sift)")
    mode.add_argument("--poses", action="store_true",
                      help="the folders are multi-view sets with cameras: measure relative poses instead "
                           "(default detectors: orvo:dense=true, cv-sift)")
    p.add_argument("--ratio", type=_number(0, 1, above=True), default=0.8,
                   help="ratio test of the matches, in (0, 1] (default 0.8)")
    p.add_argument("--ransac-threshold", type=_number(0, 1e4, above=True), metavar="PX",
                   help="inlier threshold in pixels, at most 10000 (default 1 for poses, 3 for MAGSAC's "
                        "homographies, the affine verification's own for orvo's)")
    p.add_argument("--max-size", type=int, metavar="N",
                   help="with --poses: downscale the images so that their longer side is at most N pixels")
    return p


def _fail(message):
    print(f"{PROG}: error: {message}", file=sys.stderr)
    return 2


def _regions(args, sequences, detectors, progress):
    rows = []
    for seq in sequences:
        rows += evaluate_sequence(seq, detectors, threshold=args.threshold, normalise=args.normalise or None,
                                  descriptors=not args.no_matching, descriptor_scale=args.descriptor_scale,
                                  progress=progress)
    progress.close()
    sys.stdout.write(format_table(rows))
    write_csv(rows, os.path.join(args.out, "results.csv"))
    write_json(rows, os.path.join(args.out, "results.json"))
    plot_results(rows, os.path.join(args.out, "repeatability.png"), "repeatability")
    if not args.no_matching:
        plot_results(rows, os.path.join(args.out, "matching_score.png"), "matching_score")


def _homographies(args, sequences, detectors, progress):
    rows = []
    for seq in sequences:
        rows += evaluate_homographies(seq, detectors, ratio=args.ratio, threshold=args.ransac_threshold,
                                      descriptor_scale=args.descriptor_scale, progress=progress)
    progress.close()
    sys.stdout.write(format_homography_table(rows))
    write_rows_csv(rows, os.path.join(args.out, "homography.csv"))
    write_json({"pairs": rows, "summary": homography_summary(rows)}, os.path.join(args.out, "homography.json"))


def _poses(args, detectors, progress):
    pairs, summary = [], []
    for folder in args.sequences:
        rows, totals = evaluate_poses(folder, detectors, max_size=args.max_size, ratio=args.ratio,
                                      threshold=args.ransac_threshold or 1.0, descriptor_scale=args.descriptor_scale,
                                      progress=progress)
        pairs += rows
        summary += totals
    progress.close()
    sys.stdout.write(format_pose_table(summary))
    write_rows_csv(pairs, os.path.join(args.out, "poses.csv"))
    write_json({"pairs": pairs, "summary": summary}, os.path.join(args.out, "poses.json"))


def main(argv=None):
    # Sequence and image names are file names, of any bytes: printed as such.
    if hasattr(sys.stdout, "reconfigure"):
        sys.stdout.reconfigure(errors="surrogateescape")
    parser = _parser()
    args = parser.parse_args(argv)
    if args.make_sequence:
        if args.sequences or args.detector:
            parser.error("--make-sequence takes no sequences or detectors")
        image, folder = args.make_sequence
        try:
            seq = make_sequence(image, folder)
        except (SequenceError, OSError) as e:
            return _fail(e)
        print(f"wrote {len(seq.images)} images and {len(seq.homographies)} homographies to {folder}")
        return 0
    if not args.sequences:
        parser.error("name at least one sequence folder (or use --make-sequence IMAGE DIR)")
    if args.max_size is not None and (args.max_size < 8 or not args.poses):
        parser.error("--max-size goes with --poses and is 8 or more")
    matching = args.homography or args.poses
    try:
        detectors = [parse_detector(d) for d in (args.detector or
                                                 (["orvo:dense=true", "cv-sift"] if matching else ["orvo", "cv-mser"]))]
        if args.poses:
            names = [os.path.basename(os.path.normpath(os.path.abspath(s))) for s in args.sequences]
            images = sum(len(read_cameras(s)) for s in args.sequences)
        else:
            sequences = [read_sequence(s) for s in args.sequences]
            names = [s.name for s in sequences]
            images = sum(len(s.images) for s in sequences)
        if len(set(names)) != len(names):
            return _fail("two sequences have the same folder name")
        os.makedirs(args.out, exist_ok=True)
        progress = _Progress(images * len(detectors), sys.stderr)
        try:
            if args.poses:
                _poses(args, detectors, progress)
            elif args.homography:
                _homographies(args, sequences, detectors, progress)
            else:
                _regions(args, sequences, detectors, progress)
        finally:
            progress.close()
    except (SequenceError, DetectorError) as e:
        return _fail(e)
    except ImportError as e:
        return _fail(f"cannot import {e.name or 'a module'} ({e}); the orvo module is needed by the orvo and "
                     f"file: detectors and for descriptors (--no-matching skips descriptors)")
    except OSError as e:
        return _fail(f"{e.filename or ''}: {e.strerror or e}" if e.filename else e)
    except KeyboardInterrupt:
        return 130
    return 0


if __name__ == "__main__":
    sys.exit(main())
