// The pieces of the inspector's page that the executables write: JPEG
// pictures that decode back to the image, data URIs, JSON text that never
// closes the page's script, and the template filled at its two marks.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <string>
#include <vector>

#include "app/inspector_page.h"
#include "io/jpeg_encoder.h"
#include "tests/generated_image.h"

using namespace orvo::cli;

TEST(InspectorPage, JpegPicturesDecodeBackToTheImage)
{
    const cv::Mat colour = generated_image(97, 61, 3);
    cv::Mat grey;
    cv::cvtColor(colour, grey, cv::COLOR_BGR2GRAY);
    for (const cv::Mat& image : {colour, grey, cv::Mat(colour(cv::Rect(3, 5, 40, 30)))}) {
        std::vector<unsigned char> jpeg;
        ASSERT_EQ(orvo::detail::encode_jpeg(image, 90, jpeg), "");
        const cv::Mat decoded = cv::imdecode(jpeg, cv::IMREAD_UNCHANGED);
        ASSERT_EQ(decoded.size(), image.size());
        ASSERT_EQ(decoded.channels(), image.channels());
        EXPECT_GT(cv::PSNR(decoded, image), 30);
    }
    std::vector<unsigned char> jpeg;
    for (const cv::Mat& refused : {cv::Mat(), cv::Mat(4, 4, CV_16UC3), cv::Mat(4, 4, CV_8UC4)})
        EXPECT_NE(orvo::detail::encode_jpeg(refused, 90, jpeg), "");
    EXPECT_NE(orvo::detail::encode_jpeg(colour, 0, jpeg), "");

    // A 16-bit BGRA image becomes a data URI whose base64 decodes to a JPEG
    // of the image's size.
    cv::Mat deep(20, 30, CV_16UC4, cv::Scalar(40000, 1000, 20000, 65535));
    const std::string uri = jpeg_data_uri(deep);
    const std::string prefix = "data:image/jpeg;base64,";
    ASSERT_EQ(uri.compare(0, prefix.size(), prefix), 0);
    const std::string digits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::vector<unsigned char> bytes;
    unsigned value = 0;
    int bits = 0;
    for (std::size_t k = prefix.size(); k < uri.size() && uri[k] != '='; ++k) {
        value = value << 6 | static_cast<unsigned>(digits.find(uri[k]));
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            bytes.push_back(static_cast<unsigned char>(value >> bits & 255));
        }
    }
    EXPECT_EQ((uri.size() - prefix.size()) % 4, 0u);
    const cv::Mat decoded = cv::imdecode(bytes, cv::IMREAD_COLOR);
    ASSERT_EQ(decoded.size(), deep.size());
    EXPECT_NEAR(decoded.at<cv::Vec3b>(10, 10)[0], 40000 / 256, 3);
}

TEST(InspectorPage, FillsTheTemplateWithDataThatCannotCloseItsScript)
{
    EXPECT_EQ(json_string("a \"b\" \\ </script>\n"), "\"a \\\"b\\\" \\\\ \\u003c/script>\\u000a\"");

    char* text = nullptr;
    std::size_t size = 0;
    std::FILE* fp = open_memstream(&text, &size);
    write_inspector_page(fp, [](std::FILE* data) {
        write_region_data(data, "x</script>.png", {30, 20}, 3, {{1.5, 2.5, 0.25, 0, 0.04}});
    }, {"data:image/jpeg;base64,AAAA"});
    std::fclose(fp);
    const std::string page(text, size);
    std::free(text);
    EXPECT_EQ(page.find("@ORVO_DATA@"), std::string::npos);
    EXPECT_EQ(page.find("@ORVO_IMAGES@"), std::string::npos);
    // The name's "</script>" is escaped: the page's only closing script tags are its own three.
    std::size_t closings = 0;
    for (std::size_t at = page.find("</script>"); at != std::string::npos; at = page.find("</script>", at + 1))
        ++closings;
    EXPECT_EQ(closings, 3u);
    const std::size_t data = page.find("{\"image\": {\"name\": \"x\\u003c/script>.png\", \"width\": 30, \"height\": 20}");
    const std::size_t image = page.find("\ndata:image/jpeg;base64,AAAA\n");
    ASSERT_NE(data, std::string::npos);
    ASSERT_NE(image, std::string::npos);
    EXPECT_LT(data, image);
    EXPECT_NE(page.find("\"regions\": [\n[1.5, 2.5, 0.25, 0, 0.04]]"), std::string::npos);
}
