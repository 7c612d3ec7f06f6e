"""Reporting evaluation rows: a text table, CSV, JSON and the classic comparison plots.

A row is a dict ``{"sequence", "detector", "pair": "1-k", "regions": [n1, nk], "repeatability": percent,
"chance": percent, "above_chance": percent points, "correspondences": int, "matching_score": percent}``; a
measure that could not be computed (no visible region, or no descriptors) is None (null in JSON, empty in CSV).
Names from file names that are not UTF-8 (Python's surrogate escapes) are written as their bytes in CSV and as
``\\udcXX`` escapes in JSON, so that ``os.fsencode`` gives the file name back.
"""

import csv
import json
import math

__all__ = ["format_table", "aligned", "write_csv", "write_rows_csv", "write_json", "plot_results"]

CSV_FIELDS = ("sequence", "detector", "pair", "regions1", "regions2", "repeatability", "chance", "above_chance",
              "correspondences", "matching_score")


_CHANCE = "chance level (dashed)"


def _number(value, digits=1):
    if value is None or (isinstance(value, float) and math.isnan(value)):
        return "-"
    return f"{value:.{digits}f}"


def format_table(rows):
    """The rows as an aligned text table (one line per pair), with a header line."""
    header = ("sequence", "detector", "pair", "n1", "n2", "repeat. %", "chance %", "above", "corresp.", "match. %")
    lines = []
    for r in rows:
        lines.append((r["sequence"], r["detector"], r["pair"], str(r["regions"][0]), str(r["regions"][1]),
                      _number(r["repeatability"]), _number(r.get("chance")), _number(r.get("above_chance")),
                      str(r["correspondences"]), _number(r["matching_score"])))
    return aligned(header, lines, left=3)


def aligned(header, lines, left):
    """Text columns: the header and the lines (tuples of strings), the first ``left`` columns aligned left."""
    lines = [header, *lines]
    widths = [max(len(line[i]) for line in lines) for i in range(len(header))]
    text = ["  ".join(c.ljust(w) if i < left else c.rjust(w) for i, (c, w) in enumerate(zip(line, widths))).rstrip()
            for line in lines]
    return "\n".join(text) + "\n"


def _shown(name):
    """A name as a plot shows it: bytes of a file name that are not UTF-8 as \\xNN."""
    return name.encode("utf-8", "surrogateescape").decode("utf-8", "backslashreplace")


def _plain(value):
    if isinstance(value, float) and math.isnan(value):
        return None
    return value


def write_csv(rows, path):
    """Write the rows as CSV with the columns of :data:`CSV_FIELDS` (regions split into two columns)."""
    with open(path, "w", newline="", encoding="utf-8", errors="surrogateescape") as f:
        out = csv.writer(f)
        out.writerow(CSV_FIELDS)
        for r in rows:
            values = (r["sequence"], r["detector"], r["pair"], r["regions"][0], r["regions"][1],
                      _plain(r["repeatability"]), _plain(r.get("chance")), _plain(r.get("above_chance")),
                      r["correspondences"], _plain(r["matching_score"]))
            out.writerow(["" if v is None else v for v in values])


def write_rows_csv(rows, path):
    """Write rows of plain values (dicts with the same keys) as CSV, a column per key; None as empty."""
    with open(path, "w", newline="", encoding="utf-8", errors="surrogateescape") as f:
        out = csv.writer(f)
        fields = list(rows[0]) if rows else []
        out.writerow(fields)
        for r in rows:
            out.writerow(["" if _plain(r[k]) is None else r[k] for k in fields])


def write_json(rows, path):
    """Write the rows as a JSON list, or a dict of such lists (NaN measures as null)."""
    def plain(rows):
        return [{k: _plain(v) for k, v in r.items()} for r in rows]

    plain = {k: plain(v) for k, v in rows.items()} if isinstance(rows, dict) else plain(rows)
    with open(path, "w", encoding="utf-8") as f:
        json.dump(plain, f, indent=1)
        f.write("\n")


def plot_results(rows, path, measure="repeatability", title=None):
    """Plot one measure ("repeatability" or "matching_score") as the classic comparison figure.

    One subplot per sequence; in each, one line per detector over the images 2..N of the sequence (x: the
    image k of pair 1-k, y: the measure in percent); the repeatability plot adds each detector's chance level as
    a dashed line of its colour. Written with matplotlib's Agg backend to ``path``.
    """
    import matplotlib

    matplotlib.use("Agg")
    from matplotlib.figure import Figure
    from matplotlib.lines import Line2D

    sequences = list(dict.fromkeys(r["sequence"] for r in rows))
    detectors = list(dict.fromkeys(r["detector"] for r in rows))
    n = max(len(sequences), 1)
    cols = min(n, 3)
    nrows = (n + cols - 1) // cols
    fig = Figure(figsize=(4.2 * cols, 3.4 * nrows + 0.4))
    label = {"repeatability": "repeatability %", "matching_score": "matching score %"}.get(measure, measure)
    markers = "osd^v<>pxh*"
    handles = {}
    for s, sequence in enumerate(sequences):
        ax = fig.add_subplot(nrows, cols, s + 1)
        images = []
        for d, detector in enumerate(detectors):
            mine = [r for r in rows if r["sequence"] == sequence and r["detector"] == detector]
            points = [(int(r["pair"].split("-")[1]), _plain(r[measure])) for r in mine]
            points = [(k, v) for k, v in points if v is not None]
            if points:
                ks, vs = zip(*sorted(points))
                handles[detector], = ax.plot(ks, vs, marker=markers[d % len(markers)], color=f"C{d % 10}")
                images.extend(ks)
            chance = [(int(r["pair"].split("-")[1]), _plain(r.get("chance"))) for r in mine]
            chance = sorted((k, v) for k, v in chance if v is not None)
            if measure == "repeatability" and chance:
                ax.plot(*zip(*chance), linestyle="--", color=f"C{d % 10}", alpha=0.7)
                handles[_CHANCE] = Line2D([], [], linestyle="--", color="grey")
        ax.set_title(_shown(sequence))
        ax.set_xlabel("image")
        ax.set_ylabel(label)
        ax.set_ylim(0, 100)
        if images:
            ax.set_xticks(sorted(set(images)))
        ax.grid(True, alpha=0.3)
    fig.suptitle(title or label)
    legend = [d for d in [*detectors, _CHANCE] if d in handles]
    if legend:
        fig.legend([handles[d] for d in legend], [_shown(d) for d in legend], loc="lower center",
                   ncol=min(len(legend), 4), fontsize="small", frameon=False)
    fig.tight_layout(rect=(0, 0.04 + 0.04 * ((len(legend) + 3) // 4), 1, 1))
    fig.savefig(path, dpi=100)
