// Image input: pixels identical to the image library's reader across
// formats and pixel kinds, the pixel limit enforced from headers alone,
// truncated data and non-regular files refused, nothing printed.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <jpeglib.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <png.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "io/image_header.h"
#include "io/image_input.h"
#include "io/regular_file.h"
#include "tests/generated_image.h"
#include "tests/test_support.h"

using namespace orvo::detail;

namespace {

std::string bytes_of(std::uint64_t v, int count, bool big_endian)
{
    std::string s;
    for (int k = 0; k < count; ++k) s += static_cast<char>(v >> (8 * (big_endian ? count - 1 - k : k)));
    return s;
}
std::string big_endian(std::uint64_t v, int count) { return bytes_of(v, count, true); }
std::string little_endian(std::uint64_t v, int count) { return bytes_of(v, count, false); }

// A PNG of `bgr` in any colour type and bit depth, written by libpng.
void write_png(const std::string& path, const cv::Mat& bgr, int colour_type, int bit_depth, bool interlaced)
{
    cv::Mat grey;
    cv::cvtColor(bgr, grey, cv::COLOR_BGR2GRAY);
    std::FILE* fp = std::fopen(path.c_str(), "wb");
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_init_io(png, fp);
    png_set_IHDR(png, info, static_cast<png_uint_32>(bgr.cols), static_cast<png_uint_32>(bgr.rows), bit_depth, colour_type,
                 interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    const bool palette = colour_type == PNG_COLOR_TYPE_PALETTE;
    if (palette) {
        png_color colours[16];
        png_byte alphas[4] = {0, 80, 160, 255};
        for (int k = 0; k < 16; ++k)
            colours[k] = {static_cast<png_byte>(k * 17), static_cast<png_byte>(255 - k * 13), static_cast<png_byte>(k * k)};
        png_set_PLTE(png, info, colours, 16);
        png_set_tRNS(png, info, alphas, 4, nullptr);
    }
    png_write_info(png, info);
    if (bit_depth < 8) png_set_packing(png);
    const int channels = png_get_channels(png, info);
    std::vector<std::vector<png_byte>> rows(static_cast<std::size_t>(bgr.rows));
    for (int y = 0; y < bgr.rows; ++y) {
        for (int x = 0; x < bgr.cols; ++x) {
            const cv::Vec3b c = bgr.at<cv::Vec3b>(y, x);
            const int g = grey.at<unsigned char>(y, x);
            const int rgba[4] = {c[2], c[1], c[0], (x * 37 + y) % 256};
            const int ga[2] = {g, rgba[3]};
            for (int k = 0; k < channels; ++k) {
                const int v = palette ? g >> 4 : channels <= 2 ? ga[k] : rgba[k];
                if (bit_depth == 16) {
                    rows[y].push_back(static_cast<png_byte>(v));
                    rows[y].push_back(static_cast<png_byte>(x * 7));  // a low byte to be dropped
                } else {
                    rows[y].push_back(static_cast<png_byte>(palette ? v : v >> (8 - bit_depth)));
                }
            }
        }
    }
    std::vector<png_bytep> pointers;
    for (auto& row : rows) pointers.push_back(row.data());
    png_write_image(png, pointers.data());
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    std::fclose(fp);
}

// A four-channel JPEG (CMYK, or YCCK when `ycck`) made from `bgr`.
void write_cmyk_jpeg(const std::string& path, const cv::Mat& bgr, bool ycck)
{
    jpeg_compress_struct info;
    jpeg_error_mgr errors;
    info.err = jpeg_std_error(&errors);
    jpeg_create_compress(&info);
    std::FILE* fp = std::fopen(path.c_str(), "wb");
    jpeg_stdio_dest(&info, fp);
    info.image_width = static_cast<JDIMENSION>(bgr.cols);
    info.image_height = static_cast<JDIMENSION>(bgr.rows);
    info.input_components = 4;
    info.in_color_space = JCS_CMYK;
    jpeg_set_defaults(&info);
    jpeg_set_colorspace(&info, ycck ? JCS_YCCK : JCS_CMYK);
    jpeg_start_compress(&info, TRUE);
    std::vector<unsigned char> row(static_cast<std::size_t>(bgr.cols) * 4);
    while (info.next_scanline < info.image_height) {
        const cv::Vec3b* in = bgr.ptr<cv::Vec3b>(static_cast<int>(info.next_scanline));
        for (int x = 0; x < bgr.cols; ++x)
            for (int k = 0; k < 4; ++k) row[static_cast<std::size_t>(x * 4 + k)] = k < 3 ? in[x][2 - k] : static_cast<unsigned char>(x * 5);
        JSAMPROW pointer = row.data();
        jpeg_write_scanlines(&info, &pointer, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    std::fclose(fp);
}

// A binary portable map with random samples up to `maxval`.
void write_pnm(const std::string& path, int width, int height, int channels, int maxval)
{
    std::string text = std::string(channels == 3 ? "P6" : "P5") + "\n# made by a test\n" + std::to_string(width) + " " +
                       std::to_string(height) + "\n" + std::to_string(maxval) + "\n";
    cv::RNG rng(static_cast<std::uint64_t>(maxval));
    for (int k = 0; k < width * height * channels; ++k) text += big_endian(rng.uniform(0, maxval + 1), maxval > 255 ? 2 : 1);
    write_file(path, text);
}

// The image library's reading, for comparison, and ours, in three channels.
cv::Mat imread_as_stored(const std::string& path)
{
    return cv::imread(path, cv::IMREAD_COLOR | cv::IMREAD_IGNORE_ORIENTATION);
}

cv::Mat ours_in_colour(const std::string& path)
{
    image_read read = read_image_file(path);
    EXPECT_EQ(read.failure, image_failure::none) << path << ": " << read.reason;
    if (read.image.channels() == 1) cv::cvtColor(read.image, read.image, cv::COLOR_GRAY2BGR);
    return read.image;
}

void expect_same_pixels(const std::string& path)
{
    const cv::Mat expected = imread_as_stored(path), ours = ours_in_colour(path);
    ASSERT_FALSE(expected.empty()) << path;
    ASSERT_EQ(ours.size(), expected.size()) << path;
    ASSERT_EQ(ours.type(), expected.type()) << path;
    EXPECT_EQ(cv::norm(ours, expected, cv::NORM_INF), 0) << path;
}

// What `run` prints on standard error.
template <class Run>
std::string standard_error_of(const std::string& file, Run run)
{
    const int saved = dup(2), fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(fd, 2);
    close(fd);
    run();
    dup2(saved, 2);
    close(saved);
    return read_file(file);
}

}  // namespace

TEST(ImageInput, PixelsAreThoseOfTheImageLibrary)
{
    temp_dir dir;
    std::vector<std::string> files;
    for (const cv::Size size : {cv::Size(1, 1), cv::Size(17, 3), cv::Size(211, 133)}) {
        const cv::Mat colour = generated_image(size.width, size.height, 7);
        cv::Mat grey, deep, grey_deep, rgba;
        cv::cvtColor(colour, grey, cv::COLOR_BGR2GRAY);
        colour.convertTo(deep, CV_16UC3, 251);
        grey.convertTo(grey_deep, CV_16UC1, 3);
        cv::cvtColor(colour, rgba, cv::COLOR_BGR2BGRA);
        const std::string n = std::to_string(size.width) + "x" + std::to_string(size.height);
        const std::vector<std::pair<std::string, cv::Mat>> written = {
            {"colour.png", colour}, {"grey.png", grey}, {"deep.png", deep}, {"grey_deep.png", grey_deep},
            {"rgba.png", rgba}, {"colour.jpg", colour}, {"grey.jpg", grey}, {"colour.ppm", colour},
            {"grey.pgm", grey}, {"deep.ppm", deep}, {"colour.bmp", colour}, {"colour.tif", colour},
            {"colour.webp", colour}};
        for (const auto& [name, image] : written) {
            files.push_back(dir / (n + name));
            cv::imwrite(files.back(), image);
        }
        files.push_back(dir / (n + "low.jpg"));
        cv::imwrite(files.back(), colour, {cv::IMWRITE_JPEG_QUALITY, 5});
        files.push_back(dir / (n + "progressive.jpg"));
        cv::imwrite(files.back(), colour, {cv::IMWRITE_JPEG_PROGRESSIVE, 1});
        for (bool ycck : {false, true}) {
            files.push_back(dir / (n + (ycck ? "ycck.jpg" : "cmyk.jpg")));
            write_cmyk_jpeg(files.back(), colour, ycck);
        }
        const std::pair<int, int> png_kinds[] = {
            {PNG_COLOR_TYPE_PALETTE, 4}, {PNG_COLOR_TYPE_PALETTE, 8}, {PNG_COLOR_TYPE_GRAY, 1}, {PNG_COLOR_TYPE_GRAY, 2},
            {PNG_COLOR_TYPE_GRAY, 4}, {PNG_COLOR_TYPE_GRAY_ALPHA, 8}, {PNG_COLOR_TYPE_GRAY_ALPHA, 16},
            {PNG_COLOR_TYPE_RGB, 16}, {PNG_COLOR_TYPE_RGB_ALPHA, 8}, {PNG_COLOR_TYPE_RGB_ALPHA, 16}};
        for (const auto& [type, depth] : png_kinds)
            for (bool interlaced : {false, true}) {
                files.push_back(dir / (n + "t" + std::to_string(type) + "d" + std::to_string(depth) + (interlaced ? "i" : "") + ".png"));
                write_png(files.back(), colour, type, depth, interlaced);
            }
        for (int maxval : {1, 100, 255, 256, 1000, 65535})
            for (int channels : {1, 3}) {
                files.push_back(dir / (n + std::to_string(maxval) + "-" + std::to_string(channels) + ".pnm"));
                write_pnm(files.back(), size.width, size.height, channels, maxval);
            }
    }
    const std::string photos = shared_data_dir();
    if (!photos.empty())
        for (const char* photo : {"butterfly.jpg", "simple.jpg"}) files.push_back(photos + "/" + photo);
    for (const std::string& file : files) expect_same_pixels(file);
}

TEST(ImageInput, HeadersAboveThePixelLimitAreRefusedBeforeDecoding)
{
    const std::uint64_t side = 20000;  // 4e8 pixels: between 2^27 and 2^30
    const std::string png_header = std::string("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR", 16);
    const std::string bmp_info = little_endian(40, 4) + little_endian(side, 4) + little_endian(side, 4) + little_endian(1, 2) +
                                 little_endian(24, 2) + std::string(24, '\0');
    const std::string tiff_entries = little_endian(2, 2) + little_endian(256, 2) + little_endian(4, 2) + little_endian(1, 4) +
                                     little_endian(side, 4) + little_endian(257, 2) + little_endian(3, 2) +
                                     little_endian(1, 4) + little_endian(side, 4);
    const std::vector<std::pair<std::string, std::string>> headers = {
        {"jpeg", std::string("\xff\xd8\xff\xe0\0\x10JFIF\0\x01\x01\0\0\x01\0\x01\0\0\xff\xc0\0\x11\x08", 25) +
                     big_endian(16000, 2) + big_endian(16000, 2) + std::string("\x03\x01\x22\0\x02\x11\x01\x03\x11\x01", 10)},
        {"progressive jpeg", std::string("\xff\xd8\xff\xc2\0\x0b\x08", 7) + big_endian(16000, 2) + big_endian(16000, 2) +
                                 std::string("\x01\x01\x11\0", 4)},
        {"png", png_header + big_endian(side, 4) + big_endian(side, 4) + std::string("\x08\x02\0\0\0", 5)},
        {"pgm", "P5\n20000 20000\n255\n"},
        {"ppm", "P6 20000\n20000 65535\n"},
        {"pam", "P7\nWIDTH 20000\nHEIGHT 20000\nDEPTH 3\nMAXVAL 255\nENDHDR\n"},
        {"bmp", "BM" + std::string(12, '\0') + bmp_info},
        {"tiff", std::string("II*\0", 4) + little_endian(8, 4) + tiff_entries},
        {"webp", "RIFF" + little_endian(100, 4) + "WEBPVP8X" + little_endian(10, 4) + little_endian(0, 4) +
                     little_endian(side - 1, 3) + little_endian(side - 1, 3)},
        {"hdr", "#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y 20000 +X 20000\n"},
        {"jpeg 2000", std::string("\xff\x4f\xff\x51\0\x29\0\0", 8) + big_endian(side, 4) + big_endian(side, 4) + std::string(8, '\0')},
    };
    for (const auto& [format, header] : headers) {
        const auto* data = reinterpret_cast<const unsigned char*>(header.data());
        const image_read read = decode_image(data, header.size());
        // Decoding would have found no pixel data: the refusal came from the header.
        EXPECT_EQ(read.failure, image_failure::too_large) << format << ": " << read.reason;
        EXPECT_TRUE(read.image.empty());
    }
    // Exactly at the limit is allowed past the header (and then lacks its data).
    const std::string at_limit = png_header + big_endian(16384, 4) + big_endian(8192, 4) + std::string("\x08\x02\0\0\0", 5);
    const image_read read = decode_image(reinterpret_cast<const unsigned char*>(at_limit.data()), at_limit.size());
    EXPECT_NE(read.failure, image_failure::too_large);
    EXPECT_NE(read.failure, image_failure::none);
}

// A TIFF size as the TIFF library reads it: the first entry of a tag counts,
// any integer type, exactly one value, never negative.
TEST(ImageInput, TiffSizesAreReadAsTheDecoderReadsThem)
{
    const auto entry = [](std::uint64_t tag, std::uint64_t type, std::uint64_t count, std::uint64_t value) {
        return little_endian(tag, 2) + little_endian(type, 2) + little_endian(count, 4) + little_endian(value, 4);
    };
    const auto width_of = [](const std::vector<std::string>& entries) {
        std::string tiff = std::string("II*\0", 4) + little_endian(8, 4) + little_endian(entries.size(), 2);
        for (const std::string& e : entries) tiff += e;
        const image_header header = read_image_header(reinterpret_cast<const unsigned char*>(tiff.data()), tiff.size());
        EXPECT_TRUE(header.complete);
        return header.width;
    };
    const std::string height = entry(257, 3, 1, 12);
    EXPECT_EQ(width_of({entry(256, 3, 1, 16), height, entry(256, 3, 1, 400)}), 16u);  // later duplicate ignored
    EXPECT_EQ(width_of({entry(256, 1, 1, 16), height}), 16u);                          // BYTE
    EXPECT_EQ(width_of({entry(256, 9, 1, 16), height}), 16u);                          // SLONG
    EXPECT_EQ(width_of({entry(256, 3, 2, 16), height, entry(256, 3, 1, 16)}), 0u);     // two values: unreadable
    EXPECT_EQ(width_of({entry(256, 8, 1, 0xfff0), height}), 0u);                       // negative SSHORT
    EXPECT_EQ(width_of({entry(256, 16, 1, 16), height}), 0u);                          // LONG8 outside BigTIFF
}

TEST(ImageInput, TruncatedImagesAreRefusedSilently)
{
    temp_dir dir;
    const cv::Mat image = generated_image(300, 200, 9);
    std::vector<std::vector<unsigned char>> encoded(4);
    cv::imencode(".jpg", image, encoded[0]);
    cv::imencode(".jpg", image, encoded[1], {cv::IMWRITE_JPEG_PROGRESSIVE, 1});
    cv::imencode(".png", image, encoded[2]);
    write_png(dir / "interlaced.png", image, PNG_COLOR_TYPE_RGB, 8, true);
    const std::string interlaced = read_file(dir / "interlaced.png");
    encoded[3].assign(interlaced.begin(), interlaced.end());
    const std::string printed = standard_error_of(dir / "stderr", [&] {
        for (const std::vector<unsigned char>& file : encoded) {
            // Cut inside the header, inside the pixel data, and just before the end marker.
            for (std::size_t cut : {std::size_t(30), file.size() / 3, file.size() / 2, file.size() - 12, file.size() - 2}) {
                const image_read read = decode_image(file.data(), cut);
                EXPECT_EQ(read.failure, image_failure::truncated) << file.size() << " cut at " << cut << ": " << read.reason;
                EXPECT_NE(read.reason.find("truncated"), std::string::npos) << read.reason;
            }
            EXPECT_EQ(decode_image(file.data(), file.size()).failure, image_failure::none);
        }
    });
    EXPECT_EQ(printed, "");
}

TEST(ImageInput, NonRegularFilesAreRefusedWithoutBlocking)
{
    temp_dir dir;
    ASSERT_EQ(mkfifo((dir / "fifo.png").c_str(), 0600), 0);
    mkdir((dir / "folder.png").c_str(), 0700);
    const pid_t child = fork();
    if (child == 0) {
        alarm(20);  // a blocked read ends the child by SIGALRM
        int refused = 0;
        for (const std::string& path : {dir / "fifo.png", dir / "folder.png", std::string("/dev/zero"), dir / "missing.png"}) {
            std::string contents;
            refused += read_image_file(path).failure == image_failure::unreadable && !read_regular_file(path, contents).empty();
        }
        _exit(refused);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status)) << "blocked or crashed";
    EXPECT_EQ(WEXITSTATUS(status), 4);
}

TEST(ImageInput, RunningOutOfMemoryIsReported)
{
    if (SANITIZED_BUILD) GTEST_SKIP() << "no address-space limit under the address sanitizer";
    temp_dir dir;
    const cv::Mat zeros = cv::Mat::zeros(8192, 8192, CV_8UC1);
    cv::imwrite(dir / "big.png", zeros);
    cv::imwrite(dir / "big.jpg", zeros, {cv::IMWRITE_JPEG_PROGRESSIVE, 1});
    // 64 MB of pixels; a progressive JPEG's coefficients need twice that
    // more, inside libjpeg.
    for (const auto& [name, room] : {std::pair<std::string, long>{"big.png", 32}, {"big.jpg", 96}}) {
        const int status = [&, name = name, room = room] {
            const pid_t pid = fork();
            if (pid == 0) {
                long pages = 0;
                std::FILE* statm = std::fopen("/proc/self/statm", "r");
                if (std::fscanf(statm, "%ld", &pages) != 1) _exit(2);
                const rlim_t limit = static_cast<rlim_t>(pages * sysconf(_SC_PAGESIZE) + (room << 20));
                const rlimit address_space{limit, limit};
                setrlimit(RLIMIT_AS, &address_space);
                _exit(read_image_file(dir / name).failure == image_failure::out_of_memory ? 0 : 1);
            }
            int wait_status = 0;
            waitpid(pid, &wait_status, 0);
            return wait_status;
        }();
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << name;
    }
}
