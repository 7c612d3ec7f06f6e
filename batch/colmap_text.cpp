// Writing COLMAP's feature text format from KeyPoints and descriptors.
#include "batch/colmap_text.h"

#include <cmath>
#include <cstdio>

#include "io/atomic_file.h"
#include "library/number_text.h"
#include "orvo/describe.h"
#include "orvo/region.h"

namespace orvo::batch {

namespace {

constexpr double RADIANS_PER_DEGREE = M_PI / 180.0;
constexpr int DECIMALS = 6;

}  // namespace

std::string write_colmap_text(const std::string& path, const std::vector<cv::KeyPoint>& keypoints,
                              const cv::Mat& descriptors)
{
    return orvo::detail::write_file_atomically(path, [&](std::FILE* fp) {
        std::string line = std::to_string(keypoints.size()) + " " + std::to_string(orvo::DESCRIPTOR_SIZE) + "\n";
        std::fputs(line.c_str(), fp);
        for (std::size_t i = 0; i < keypoints.size(); ++i) {
            const cv::KeyPoint& k = keypoints[i];
            line.clear();
            for (const double value : {k.pt.x + orvo::COLMAP_PIXEL_ORIGIN, k.pt.y + orvo::COLMAP_PIXEL_ORIGIN,
                                       k.size / 2.0, k.angle * RADIANS_PER_DEGREE}) {
                if (!line.empty()) line += ' ';
                line += orvo::detail::fixed_text(value, DECIMALS);
            }
            const unsigned char* row = descriptors.ptr<unsigned char>(static_cast<int>(i));
            for (int j = 0; j < orvo::DESCRIPTOR_SIZE; ++j) line += ' ' + std::to_string(row[j]);
            line += '\n';
            std::fputs(line.c_str(), fp);
        }
    });
}

}  // namespace orvo::batch
