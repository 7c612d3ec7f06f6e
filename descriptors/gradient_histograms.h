// Histograms of gradient orientations on smoothed normalised patches: the
// dominant orientation of a patch, and the 128-value descriptor of a patch
// turned to it.
#pragma once

namespace orvo::detail {

constexpr int DESCRIPTOR_LENGTH = 128;

// The dominant orientation is measured on a coarser patch than the
// descriptor, where the unit circle has a radius of 8 pixels, smoothed by
// sigma 1, from gradients within the circle: the smoothed square needs this
// half side.
constexpr double ORIENTATION_RADIUS = 12;
constexpr double ORIENTATION_SMOOTHING = ORIENTATION_RADIUS / 8;
constexpr int ORIENTATION_HALF = static_cast<int>(ORIENTATION_RADIUS) + 1;

// The dominant gradient orientation of a patch (radians, patch axes, in
// [0, 2 pi)): a 36-bin histogram of gradient directions weighted by
// magnitude and by a Gaussian of half the circle's radius, votes shared
// between neighbouring bins, the histogram smoothed twice by (1 4 6 4 1),
// its peak refined by a parabola. `smoothed` is the square of half side
// ORIENTATION_HALF.
double dominant_orientation(const float* smoothed);

// The descriptor's patch, where the unit circle has a radius of
// DESCRIPTOR_RADIUS pixels, smoothed by sigma 1.52 at a radius of 16 (the
// blur of 1.6 of an image already blurred by 0.5), in proportion at other
// radii. Its 4 x 4 grid of cells covers the unit circle; gradients vote
// into it from up to half a cell beyond it and are taken from one pixel
// further, the half side of the smoothed square.
constexpr int DESCRIPTOR_RADIUS = 12;
constexpr double DESCRIPTOR_SMOOTHING = 1.5198684 * DESCRIPTOR_RADIUS / 16;
constexpr int DESCRIPTOR_HALF = DESCRIPTOR_RADIUS + DESCRIPTOR_RADIUS / 4;
// Its gradients are taken in rows of whole vectors of eight, the extra ones
// casting no vote, which read up to this many floats past the end of the
// smoothed square: they must be there to read.
constexpr int DESCRIPTOR_SLACK = 8;

// The descriptor of a turned patch (`smoothed`, the square of half side
// DESCRIPTOR_HALF and DESCRIPTOR_SLACK floats after it): per cell (row-major) 8 orientation bins (counter-
// clockwise on screen from the patch's x axis); each gradient votes with
// its magnitude, weighted by a Gaussian of half the grid's width, into the
// two nearest bins in orientation and the four nearest cells (linear
// weights). The 128 values are normalised to unit length, clipped at 0.2,
// normalised again and scaled by 512, rounded and saturated to 0..255.
void describe_turned_patch(const float* smoothed, unsigned char* descriptor);

}  // namespace orvo::detail
