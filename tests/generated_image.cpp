// Generated test images: textured ones and antialiased shapes.
#include "tests/generated_image.h"

#include <algorithm>
#include <opencv2/imgproc.hpp>
#include <vector>

cv::Mat generated_image(int width, int height, unsigned seed)
{
    cv::RNG rng(seed);
    cv::Mat image(height, width, CV_8UC3);
    for (int r = 0; r < height; ++r)
        for (int c = 0; c < width; ++c)
            image.at<cv::Vec3b>(r, c) = cv::Vec3b(static_cast<unsigned char>(60 + 100 * c / width),
                                                  static_cast<unsigned char>(80 + 90 * r / height), 110);
    const int shapes = width * height / 3000;
    const int scale = std::max(8, std::min(width, height) / 25);
    for (int i = 0; i < shapes; ++i) {
        const cv::Scalar colour(rng.uniform(0, 256), rng.uniform(0, 256), rng.uniform(0, 256));
        const cv::Point centre(rng.uniform(0, width), rng.uniform(0, height));
        switch (i % 4) {
        case 0:
            cv::ellipse(image, centre, cv::Size(rng.uniform(3, scale), rng.uniform(3, scale)), rng.uniform(0, 180), 0,
                        360, colour, cv::FILLED);
            break;
        case 1:
            cv::rectangle(image, cv::Rect(centre.x, centre.y, rng.uniform(4, scale), rng.uniform(4, scale)), colour,
                          cv::FILLED);
            break;
        case 2: {
            std::vector<cv::Point> polygon;
            for (int k = 0; k < 5; ++k)
                polygon.emplace_back(centre.x + rng.uniform(-scale, scale), centre.y + rng.uniform(-scale, scale));
            cv::fillPoly(image, std::vector<std::vector<cv::Point>>{polygon}, colour);
            break;
        }
        default:
            cv::line(image, centre, cv::Point(centre.x + rng.uniform(-4 * scale, 4 * scale),
                                              centre.y + rng.uniform(-4 * scale, 4 * scale)),
                     colour, rng.uniform(1, 4));
        }
    }
    cv::Mat noise(image.size(), CV_8UC3);
    rng.fill(noise, cv::RNG::NORMAL, 0, 4);
    cv::add(image, noise, image);
    return image;
}

cv::Mat antialiased_shape(cv::Size size, const std::function<bool(double x, double y)>& inside)
{
    cv::Mat image(size, CV_8UC1);
    for (int y = 0; y < size.height; ++y) {
        for (int x = 0; x < size.width; ++x) {
            int in = 0;
            for (int i = 0; i < 16; ++i)
                for (int j = 0; j < 16; ++j) in += inside(x - 0.5 + (i + 0.5) / 16, y - 0.5 + (j + 0.5) / 16);
            image.at<unsigned char>(y, x) = cv::saturate_cast<unsigned char>(200 - 150.0 * in / 256);
        }
    }
    return image;
}
