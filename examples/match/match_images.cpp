// Detects Orvo regions in two images, describes them and matches them:
//   match_images first.png second.png
// prints the regions found in each image and the mutual nearest-neighbour
// matches between them.
#include <iostream>
#include <opencv2/features2d.hpp>
#include <orvo/orvo.h>

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::cerr << "usage: match_images FIRST SECOND\n";
        return 1;
    }
    try {
        cv::Mat descriptors[2];
        for (int i = 0; i < 2; ++i) {
            const cv::Mat image = orvo::read_image(argv[i + 1]);
            const std::vector<orvo::Region> regions = orvo::detect(image);
            descriptors[i] = orvo::describe(image, orvo::scaled(regions, orvo::MEASUREMENT_SCALE));
            std::cout << argv[i + 1] << ": " << regions.size() << " regions\n";
        }
        std::vector<cv::DMatch> matches;
        cv::BFMatcher(cv::NORM_L2, true).match(descriptors[0], descriptors[1], matches);
        std::cout << matches.size() << " matches\n";
    } catch (const std::exception& e) {
        std::cerr << e.what() << "\n";
        return 2;
    }
    return 0;
}
