// orvo/detector.h: detecting the regions of an image.
//
// Canny edges are sampled into weighted points; the weighted alpha shape of
// their regular triangulation is organised as a component tree over alpha,
// and the components that stand out (large against the alpha at which they
// merge, clearly smaller than what they merge into) become ellipses: the
// centroid and covariance of each component's convex hull.
//
//   cv::Mat image = cv::imread("photo.jpg");
//   orvo::DetectorOptions options;
//   options.threshold = 50;  // more regions
//   std::vector<orvo::Region> regions = orvo::detect(image, options);
//
// detect is re-entrant: threads may detect different images at once.
#pragma once

#include <cstddef>
#include <opencv2/core.hpp>
#include <vector>

#include "orvo/describe.h"
#include "orvo/export.h"
#include "orvo/region.h"

namespace orvo {

// The range of DetectorOptions::scale: the matrices are divided by its
// square, which must stay a finite, non-zero number.
constexpr double MIN_SCALE = 1e-150, MAX_SCALE = 1e150;

struct ORVO_EXPORT DetectorOptions {
    // Selection threshold: a component is kept when its area exceeds
    // threshold times the alpha at which it merges. Lower keeps more.
    double threshold = 100.0;
    // Every region is grown by this factor about its centre (within
    // [MIN_SCALE, MAX_SCALE]).
    double scale = 1.0;
    // Edge pixels are sampled every edge_step pixels along each traced edge.
    int edge_step = 11;
    // A component is kept only when the one it merges into is larger by at
    // least this fraction of its area.
    double min_area_growth = 0.1;
    // Smallest component area, in units of edge_step^2.
    double min_area = 5.0;
    // Largest region area (twice its hull's area), as a fraction of the image.
    double max_area = 0.2;
    // Worker threads for one detection (1: the calling thread only). The
    // regions do not depend on it.
    int threads = 1;

    // Multi-scale detection: when not empty, one detection per edge step
    // listed, in order (edge_step is then unused; min_area counts in each
    // pass's own step), and the union of their regions, a region dropped
    // when its overlap error (1 - intersection / union) with one kept before
    // it is below duplicate_overlap.
    std::vector<int> edge_steps;
    double duplicate_overlap = 0.3;

    // Scale-space detection: with pyramid_levels above 1, the image is also
    // detected on copies reduced by pyramid_step, pyramid_step^2, ... (up to
    // pyramid_levels - 1 copies, none shorter than 32 pixels), their regions
    // mapped back to the image and united with its own, near-duplicates
    // dropped as in a multi-scale detection.
    int pyramid_levels = 1;
    double pyramid_step = 2.0;

    // Smallest region kept: the radius of the circle of its area (the
    // geometric mean of its semi-axes) in pixels of the image, or of the
    // reduced copy it was found on (before `scale`). 0 keeps every region.
    double min_radius = 0;

    // Sub-pixel edge points: each sampled edge pixel is moved (by at most
    // half a pixel, along its row or column) to where the gradient magnitude
    // peaks across the edge, and the gap midpoints are not rounded to
    // pixels. Off: the points are the pixels' centres.
    bool subpixel_edges = false;
    // The ellipse from the moments of the convex hull polygon of the
    // component's points as they are. Off: from the hull's boundary
    // digitised on the pixel grid (the points truncated to pixels).
    bool exact_hull = false;
    // The ellipse from the exact hull widened to every edge pixel (at its
    // sub-pixel position with subpixel_edges) within 2 pixels of it: the
    // same edge gives the same hull whichever of its pixels were sampled.
    // With several passes (edge_steps, pyramid_levels) the near-duplicates
    // are found among the ellipses of the hulls before they are widened, and
    // only the regions kept are widened.
    bool edge_pixel_hull = false;

    // Colour made grey with OpenCV's weights for BGR (cv::COLOR_BGR2GRAY).
    // Off: the first stored channel is weighted as red (see detect), as the
    // detector always has, so that the regions of a colour image are the
    // same through every interface and as in files written before.
    bool bgr_grey = false;

    // Not used by detect: the factor by which these regions are grown about
    // their centres before they are described (describe takes regions as
    // given), their measurement region. It belongs to the preset, since how
    // far beyond its edges a region's structure reaches depends on how the
    // regions are found; everything that detects and then describes (orvo
    // -sift, orvo-batch, match, AlphaFeatures, the exports) reads it here.
    double measurement_scale = MEASUREMENT_SCALE;

    // The preset for many more regions (orvo --dense): see the README for
    // what it was chosen from. A preset is a starting point: options set
    // after it win.
    static DetectorOptions dense();

    // Throws std::invalid_argument, naming the option and its range, when a
    // value is out of range. Every option and its range is listed in one
    // table (library/option_table.cpp).
    void validate() const;
};

// Sizes and wall-clock times of the stages of one detection (of a
// multi-scale detection: the sums over its passes, except the edge
// detection's thresholds, pixels and time, which it does once for all).
// The *_cpu_ms fields are the processor times of the same stages: of the
// whole process while the stage ran, so on one thread (threads = 1) they
// are the stages' own; with several threads, passes that run at the same
// time each count the others' work too.
struct DetectionStats {
    int high_threshold = 0, low_threshold = 0;  // Canny hysteresis thresholds
    std::size_t edge_pixels = 0, sampled_points = 0, points_inserted = 0;
    std::size_t midpoints_found = 0, midpoints_inserted = 0;
    std::size_t vertices = 0, triangles = 0, edges = 0, face_rows = 0;
    std::size_t live_nodes = 0, selected = 0, regions = 0;
    std::size_t near_duplicates = 0;  // regions dropped by a multi-scale detection
    double canny_ms = 0, points_ms = 0, alpha_ms = 0, face_table_ms = 0, tree_ms = 0, selection_ms = 0,
           extraction_ms = 0;
    double near_duplicates_ms = 0;  // the multi-scale detection's near-duplicate test
    double canny_cpu_ms = 0, points_cpu_ms = 0, alpha_cpu_ms = 0, face_table_cpu_ms = 0, tree_cpu_ms = 0,
           selection_cpu_ms = 0, extraction_cpu_ms = 0, near_duplicates_cpu_ms = 0;
};

// The regions of `image`: 8-bit or 16-bit, 1 (grey), 3 (BGR) or 4 (BGRA)
// channels. 16-bit samples count by their high byte and alpha is ignored, as
// when the image is read from a file.
//
// Colour is made grey with the weights of red, green and blue applied to
// the first, second and third stored channels: the first channel of a BGR
// image (blue) is weighted as if it were red. The detector always has, and
// its regions depend on it, so it is the default (describe, in contrast,
// converts BGR to grey properly; options.bgr_grey does the same here). A
// grey image that gives the same regions as a BGR one is made the same way:
//
//   cv::Mat grey;
//   cv::cvtColor(bgr, grey, cv::COLOR_RGB2GRAY);  // RGB on purpose
//   orvo::detect(grey) == orvo::detect(bgr)        // the same regions
//
// Regions come in the detector's selection order; each is finite and
// positive definite, its centre on the image (from 0 to width - 1 and
// height - 1). Throws std::invalid_argument for another image type or
// a bad option, or when a region grown by an extreme scale would not be
// finite and positive definite; std::bad_alloc when memory runs out.
ORVO_EXPORT std::vector<Region> detect(const cv::Mat& image, const DetectorOptions& options = {},
                                       DetectionStats* stats = nullptr);

}  // namespace orvo
