// Draws the sample image shipped with the project: a few filled shapes of
// different grey levels and sizes on a soft gradient, so that the detector
// has closed edges to find.
//
// Usage: draw_sample OUTPUT.png
#include <cstdio>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "Usage: draw_sample OUTPUT.png\n");
        return 1;
    }
    cv::Mat image(360, 480, CV_8UC3);
    for (int r = 0; r < image.rows; ++r)
        for (int c = 0; c < image.cols; ++c)
            image.at<cv::Vec3b>(r, c) = cv::Vec3b(static_cast<unsigned char>(60 + c / 8),
                                                  static_cast<unsigned char>(70 + r / 8), 90);

    cv::rectangle(image, cv::Rect(30, 40, 120, 80), cv::Scalar(230, 230, 230), cv::FILLED);
    cv::circle(image, cv::Point(260, 90), 55, cv::Scalar(20, 40, 200), cv::FILLED);
    cv::ellipse(image, cv::Point(390, 110), cv::Size(60, 30), 35, 0, 360, cv::Scalar(200, 180, 30), cv::FILLED);
    const cv::Point triangle[] = {{60, 320}, {170, 180}, {230, 310}};
    cv::fillConvexPoly(image, triangle, 3, cv::Scalar(30, 200, 60));
    cv::rectangle(image, cv::Rect(280, 200, 160, 120), cv::Scalar(250, 250, 250), cv::FILLED);
    cv::circle(image, cv::Point(360, 260), 35, cv::Scalar(10, 10, 10), cv::FILLED);
    cv::circle(image, cv::Point(110, 80), 18, cv::Scalar(40, 40, 40), cv::FILLED);

    if (!cv::imwrite(argv[1], image)) {
        std::fprintf(stderr, "draw_sample: unable to write %s\n", argv[1]);
        return 2;
    }
    return 0;
}
