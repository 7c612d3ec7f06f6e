// A whole-process MSER run, the reference a whole orvo run is compared with:
// load the image, turn it grey, detect MSER regions with default parameters
// on one thread, print how many.
#include <cstdio>
#include <opencv2/features2d.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "Usage: mser_run IMAGE\n");
        return 1;
    }
    cv::setNumThreads(0);
    const cv::Mat colour = cv::imread(argv[1], cv::IMREAD_COLOR);
    if (colour.empty()) return 255;
    cv::Mat grey;
    cv::cvtColor(colour, grey, cv::COLOR_BGR2GRAY);
    std::vector<std::vector<cv::Point>> regions;
    std::vector<cv::Rect> boxes;
    cv::MSER::create()->detectRegions(grey, regions, boxes);
    std::printf("%zu regions\n", regions.size());
    return 0;
}
