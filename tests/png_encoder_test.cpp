// The PNG encoder against the image library's: the same bytes, and so the
// same pixels, for drawings of odd and tiny sizes; other images refused.
#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>
#include <string>
#include <vector>

#include "io/png_encoder.h"
#include "orvo/draw.h"
#include "tests/generated_image.h"

using namespace orvo::detail;

TEST(PngEncoder, MatchesTheImageLibrarysEncoder)
{
    const std::vector<orvo::Region> regions = {{20, 15, 0.01, 0.002, 0.02}, {5, 5, 0.5, 0, 0.5}};
    std::vector<cv::Mat> drawings = {generated_image(1, 1, 3), generated_image(3, 7, 4), generated_image(97, 61, 5),
                                     generated_image(640, 480, 6)};
    cv::Mat roi = generated_image(120, 90, 7)(cv::Rect(3, 5, 101, 77));  // rows not contiguous
    drawings.push_back(roi);
    for (cv::Mat& drawing : drawings) orvo::draw(drawing, regions);
    for (const cv::Mat& drawing : drawings) {
        std::vector<unsigned char> ours, theirs;
        ASSERT_EQ(encode_png(drawing, ours), "") << drawing.size();
        ASSERT_TRUE(cv::imencode(".png", drawing, theirs));
        EXPECT_EQ(ours, theirs) << drawing.size();
        const cv::Mat decoded = cv::imdecode(ours, cv::IMREAD_UNCHANGED);
        ASSERT_EQ(decoded.type(), CV_8UC3);
        EXPECT_EQ(cv::norm(decoded, drawing, cv::NORM_INF), 0) << drawing.size();
    }
}

TEST(PngEncoder, RefusesWhatIsNotAnEightBitColourImage)
{
    std::vector<unsigned char> png;
    for (const cv::Mat& image : {cv::Mat(), cv::Mat(4, 4, CV_8UC1, cv::Scalar(9)), cv::Mat(4, 4, CV_16UC3)})
        EXPECT_NE(encode_png(image, png), "") << image.type();
}
