"""Command line: ``python3 -m orvo.evaluate SEQUENCE... [--detector NAME[:OPTIONS]]... [--out DIR]``."""

import argparse
import os
import sys

from ..core import MEASUREMENT_SCALE
from .detectors import DetectorError, parse_detector
from .evaluation import evaluate_sequence
from .report import format_table, plot_results, write_csv, write_json
from .sequence import SequenceError, make_sequence, read_sequence

PROG = "python3 -m orvo.evaluate"

DESCRIPTION = """\
Measure the repeatability and matching score of region detectors on image sequences with known homographies.
A sequence is a folder with img1.* .. imgN.* and H1to2p .. H1toNp (3 x 3 numbers mapping image-1 pixel
coordinates to image k, 0-based, x the column). Every pair 1-k is measured; the table goes to standard output,
results.csv, results.json, repeatability.png and matching_score.png to the --out folder."""

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
score = one-to-one nearest-neighbour descriptor matches that are correspondences / the same minimum.

  python3 -m orvo.evaluate --make-sequence IMAGE DIR
writes a synthetic sequence made from one photo (rotation, scale, perspective, blur, brightness) with exact
homographies.

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


def _parser():
    p = argparse.ArgumentParser(prog=PROG, description=DESCRIPTION, epilog=EPILOG,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("sequences", nargs="*", metavar="SEQUENCE", help="sequence folders")
    p.add_argument("--detector", "-d", action="append", metavar="NAME[:OPTIONS]",
                   help="a detector to evaluate (repeatable; default: orvo and cv-mser)")
    p.add_argument("--out", "-o", default=".", metavar="DIR",
                   help="folder for results.csv, results.json and the plots (default: the current folder)")
    p.add_argument("--threshold", type=float, default=0.4,
                   help="largest overlap error of a correspondence, exclusive (default 0.4)")
    p.add_argument("--normalise", type=float, default=30.0, metavar="RADIUS",
                   help="radius the image-1 region of each pair is scaled to; 0 measures regions as they are "
                        "(default 30)")
    p.add_argument("--descriptor-scale", type=float, default=MEASUREMENT_SCALE, metavar="F",
                   help="scale of the described region relative to the detected ellipse (default 3)")
    p.add_argument("--no-matching", action="store_true",
                   help="skip descriptors and the matching score (OpenCV detectors then need no orvo module)")
    p.add_argument("--make-sequence", nargs=2, metavar=("IMAGE", "DIR"),
                   help="write a synthetic sequence made from IMAGE into DIR, and do nothing else")
    return p


def _fail(message):
    print(f"{PROG}: error: {message}", file=sys.stderr)
    return 2


def main(argv=None):
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
    if not 0 < args.threshold <= 1:
        parser.error("--threshold must be in (0, 1]")
    if args.normalise < 0 or args.descriptor_scale <= 0:
        parser.error("--normalise must be 0 or more and --descriptor-scale more than 0")
    try:
        detectors = [parse_detector(d) for d in (args.detector or ["orvo", "cv-mser"])]
        sequences = [read_sequence(s) for s in args.sequences]
        names = [s.name for s in sequences]
        if len(set(names)) != len(names):
            return _fail("two sequences have the same folder name")
        os.makedirs(args.out, exist_ok=True)
        progress = _Progress(sum(len(s.images) for s in sequences) * len(detectors), sys.stderr)
        rows = []
        try:
            for seq in sequences:
                rows += evaluate_sequence(seq, detectors, threshold=args.threshold,
                                          normalise=args.normalise or None, descriptors=not args.no_matching,
                                          descriptor_scale=args.descriptor_scale, progress=progress)
        finally:
            progress.close()
        sys.stdout.write(format_table(rows))
        write_csv(rows, os.path.join(args.out, "results.csv"))
        write_json(rows, os.path.join(args.out, "results.json"))
        plot_results(rows, os.path.join(args.out, "repeatability.png"), "repeatability")
        if not args.no_matching:
            plot_results(rows, os.path.join(args.out, "matching_score.png"), "matching_score")
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
