// Bodies of the fuzz targets.
#include "tests/fuzz/fuzz_bodies.h"

#include <sstream>
#include <string>

#include "app/detection.h"
#include "descriptors/region_file.h"
#include "edges/edge_points.h"
#include "ellipse/ellipse_file.h"

void fuzz_detection_input(const std::uint8_t* data, std::size_t size)
{
    const cv::Mat colour = decode_colour_image(data, size);
    if (colour.empty()) return;
    parameters params;
    std::vector<std::vector<double>> ellipses;
    detect_image(colour, params, ellipses);
    scale_ellipses(ellipses, params.scale);
}

void fuzz_region_input(const std::uint8_t* data, std::size_t size)
{
    std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
    std::vector<affine_region> regions;
    read_region_stream(in, "fuzz", regions);
}
