// The ellipse files of generated images must hold the same lines as the
// files recorded in tests/expected: speed work must not change any region.
// The two header lines must match exactly and the region lines as a set:
// their order follows the face table, which follows the triangulation's
// storage order, and an insertion order that stores the same triangles
// differently may reorder regions. The order itself must not depend on the
// thread count. ORVO_RECORD_EXPECTED=1 records the files anew (only when a
// change of output is intended).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "orvo/orvo.h"
#include "tests/generated_image.h"
#include "tests/test_support.h"

namespace {

std::string detect_to_file(const cv::Mat& colour, double threshold, int threads = 1)
{
    orvo::DetectorOptions options;
    options.threshold = threshold;
    options.threads = threads;
    temp_dir dir;
    orvo::write_region_file(dir / "out.orvo", orvo::detect(colour, options));
    return read_file(dir / "out.orvo");
}

// The first two lines, then the others sorted.
std::vector<std::string> header_and_sorted_lines(const std::string& file)
{
    std::istringstream in(file);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    if (lines.size() > 2) std::sort(lines.begin() + 2, lines.end());
    return lines;
}

void check(const std::string& name, const cv::Mat& colour, double threshold)
{
    const std::string expected_file = std::string(ORVO_EXPECTED_DIR) + "/" + name + ".orvo";
    const std::string produced = detect_to_file(colour, threshold);
    const char* record = std::getenv("ORVO_RECORD_EXPECTED");
    if (record && std::string(record) == "1") write_file(expected_file, produced);
    ASSERT_TRUE(file_exists(expected_file)) << expected_file;
    EXPECT_EQ(header_and_sorted_lines(produced), header_and_sorted_lines(read_file(expected_file))) << name;
    EXPECT_EQ(detect_to_file(colour, threshold, 3), produced) << name << ": another order with three threads";
}

}  // namespace

TEST(OutputIdentity, GeneratedImages)
{
    check("generated-640x480-1", generated_image(640, 480, 1), 100);
    check("generated-640x480-1-t10", generated_image(640, 480, 1), 10);
    check("generated-1000x700-2", generated_image(1000, 700, 2), 100);
    check("generated-300x300-3-t10", generated_image(300, 300, 3), 10);
    check("shapes", shapes_image(), 100);
}

TEST(OutputIdentity, PhotosAgreeWithTheCheckFigures)
{
    const std::string data = shared_data_dir();
    if (data.empty()) GTEST_SKIP() << "sample photos not present";
    // The first lines that an independent computation gives for this photo.
    const std::string produced = detect_to_file(orvo::read_image(data + "/butterfly.jpg"), 100);
    EXPECT_EQ(produced.substr(0, 12), "0.000000\n97\n");
    for (const char* line : {"199.9767311466 194.1209700028 0.0035806460 -0.0021291117 0.0031237605\n",
                             "244.3644684974 152.0557448609 0.0002565971 0.0000557341 0.0006678152\n",
                             "269.9684538316 191.6307879773 0.0037659447 0.0016384803 0.0023950004\n",
                             "307.1145021645 169.8742424242 0.0045468494 -0.0000645376 0.0035065044\n"})
        EXPECT_NE(produced.find(line), std::string::npos) << line;
}
