// Hostile and broken input, full disks, interruptions and determinism: the
// detector never crashes, never leaves a partial file, and says what failed.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <random>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "app/signal_cleanup.h"
#include "io/atomic_file.h"
#include "orvo/orvo.h"
#include "tests/generated_image.h"
#include "tests/test_support.h"

using namespace orvo::detail;

namespace {

const std::string EMPTY_FILE = "0.000000\n0\n";

// True when `text` is a well-formed ellipse file.
bool valid_ellipse_file(const std::string& text)
{
    std::istringstream in(text);
    std::string zero;
    int count = -1;
    if (!(in >> zero >> count) || zero != "0.000000" || count < 0) return false;
    double v;
    int values = 0;
    while (in >> v) ++values;
    return in.eof() && values == 5 * count && !text.empty() && text.back() == '\n';
}

std::uint32_t crc32(const std::string& bytes)
{
    std::uint32_t crc = 0xffffffffu;
    for (unsigned char byte : bytes) {
        crc ^= byte;
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

std::string big_endian(std::uint32_t v)
{
    return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8), static_cast<char>(v)};
}

std::string png_chunk(const std::string& type, const std::string& data)
{
    return big_endian(static_cast<std::uint32_t>(data.size())) + type + data + big_endian(crc32(type + data));
}

}  // namespace

TEST(Reliability, UnreadableInputsEndWithStatus255)
{
    temp_dir dir;
    mkdir((dir / "folder.png").c_str(), 0755);
    write_file(dir / "empty.png", "");
    write_file(dir / "text.png", "this is not an image\n");
    // A valid PNG header claiming 100000 x 100000 pixels, with no pixel data.
    write_file(dir / "huge.png", std::string("\x89PNG\r\n\x1a\n", 8) +
                                     png_chunk("IHDR", big_endian(100000) + big_endian(100000) + std::string("\x08\x02\x00\x00\x00", 5)) +
                                     png_chunk("IDAT", std::string("\x78\x9c\x03\x00\x00\x00\x00\x01", 8)) + png_chunk("IEND", ""));
    for (const char* name : {"folder.png", "empty.png", "text.png", "huge.png", "missing.png"}) {
        const run_result r = run_orvo({"-i", name}, {dir.path});
        EXPECT_EQ(r.status, 255) << name;
        EXPECT_NE(r.out.find(std::string(name) + ": file not found.\n"), std::string::npos) << r.out;
        EXPECT_FALSE(file_exists(dir / (std::string(name) + ".orvo")));
    }
}

TEST(Reliability, TruncatedImagesNeverCrash)
{
    temp_dir dir;
    const cv::Mat image = generated_image(300, 200, 9);
    for (const std::string extension : {".png", ".jpg"}) {
        std::vector<unsigned char> encoded;
        cv::imencode(extension, image, encoded);
        const std::string name = "cut" + extension;
        for (std::size_t cut : {std::size_t(10), encoded.size() / 3, encoded.size() - 20}) {
            write_file(dir / name, std::string(encoded.begin(), encoded.begin() + static_cast<long>(cut)));
            const run_result r = run_orvo({"-i", name}, {dir.path});
            EXPECT_TRUE(r.status == 0 || r.status == 255) << name << " " << cut << ": " << r.status << r.err;
            if (r.status == 0) {
                EXPECT_TRUE(valid_ellipse_file(read_file(dir / (name + ".orvo"))));
            }
        }
    }
}

TEST(Reliability, OtherPixelFormatsAreDetectedAsTheirColourImage)
{
    temp_dir dir;
    const cv::Mat colour = shapes_image();
    cv::Mat grey, grey_as_colour, deep, rgba;
    cv::cvtColor(colour, grey, cv::COLOR_BGR2GRAY);
    cv::cvtColor(grey, grey_as_colour, cv::COLOR_GRAY2BGR);
    colour.convertTo(deep, CV_16UC3, 257);
    cv::cvtColor(colour, rgba, cv::COLOR_BGR2BGRA);
    cv::imwrite(dir / "colour.png", colour);
    cv::imwrite(dir / "deep.png", deep);
    cv::imwrite(dir / "rgba.png", rgba);
    cv::imwrite(dir / "grey.png", grey);
    cv::imwrite(dir / "grey3.png", grey_as_colour);
    for (const char* name : {"colour.png", "deep.png", "rgba.png", "grey.png", "grey3.png"})
        ASSERT_EQ(run_orvo({"-i", name}, {dir.path}).status, 0) << name;
    const std::string reference = read_file(dir / "colour.png.orvo");
    EXPECT_NE(reference, EMPTY_FILE);
    EXPECT_EQ(read_file(dir / "deep.png.orvo"), reference);
    EXPECT_EQ(read_file(dir / "rgba.png.orvo"), reference);
    EXPECT_EQ(read_file(dir / "grey.png.orvo"), read_file(dir / "grey3.png.orvo"));
}

TEST(Reliability, ExtremeContentRunsCleanly)
{
    temp_dir dir;
    cv::Mat noise(240, 320, CV_8UC3), checkerboard(200, 200, CV_8UC3);
    cv::RNG(5).fill(noise, cv::RNG::UNIFORM, 0, 256);
    for (int r = 0; r < checkerboard.rows; ++r)
        for (int c = 0; c < checkerboard.cols; ++c)
            checkerboard.at<cv::Vec3b>(r, c) = (r + c) % 2 ? cv::Vec3b(255, 255, 255) : cv::Vec3b(0, 0, 0);
    cv::imwrite(dir / "uniform.png", cv::Mat(100, 150, CV_8UC3, cv::Scalar(40, 90, 200)));
    cv::imwrite(dir / "noise.png", noise);
    cv::imwrite(dir / "checkerboard.png", checkerboard);
    for (const char* name : {"uniform.png", "noise.png", "checkerboard.png"}) {
        const run_result r = run_orvo({"-i", name}, {dir.path});
        EXPECT_EQ(r.status, 0) << name << r.err;
        EXPECT_TRUE(valid_ellipse_file(read_file(dir / (std::string(name) + ".orvo")))) << name;
    }
    EXPECT_EQ(read_file(dir / "uniform.png.orvo"), EMPTY_FILE);
}

TEST(Reliability, AnyFileNameWorks)
{
    temp_dir dir;
    const cv::Mat image = shapes_image();
    for (const std::string name : {"-dash.png", "with blank.png", "q'uo\"te.png", "semi;colon.png", "$HOME.png",
                                   "`id`.png", "ünïcødé.png"}) {
        cv::imwrite(dir / name, image);
        const run_result r = run_orvo({"-i", name, "-save"}, {dir.path});
        EXPECT_EQ(r.status, 0) << name << r.err;
        EXPECT_TRUE(valid_ellipse_file(read_file(dir / (name + ".orvo")))) << name;
        EXPECT_TRUE(file_exists(dir / (name + ".orvo.png"))) << name;
    }
    EXPECT_EQ(list_dir(dir.path).size(), 21u);  // nothing else appeared
}

TEST(Reliability, FullDiskKeepsTheOldFile)
{
    temp_dir dir;
    cv::imwrite(dir / "img.png", shapes_image());
    write_file(dir / "img.png.orvo", "old\n");
    run_options options(dir.path);
    options.file_size_limit = 60;  // the first ellipse line no longer fits
    const run_result r = run_orvo({"-i", "img.png"}, options);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "Unable to write file img.png.orvo: File too large\n");
    EXPECT_EQ(read_file(dir / "img.png.orvo"), "old\n");
    EXPECT_EQ(list_dir(dir.path), (std::vector<std::string>{"img.png", "img.png.orvo"}));
}

TEST(Reliability, ReadOnlyEllipseFileIsLeftAlone)
{
    temp_dir dir;
    const std::string orvo_copy = dir / "orvo";
    write_file(orvo_copy, read_file(ORVO_EXECUTABLE));
    chmod(orvo_copy.c_str(), 0755);
    cv::imwrite(dir / "img.png", shapes_image());
    write_file(dir / "img.png.orvo", "kept\n");
    chmod((dir / "img.png.orvo").c_str(), 0444);
    const run_result r = run_program(orvo_copy, {"-i", "img.png"}, {dir.path, {}, true});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "Unable to write file img.png.orvo: Permission denied\n");
    EXPECT_EQ(read_file(dir / "img.png.orvo"), "kept\n");
}

TEST(Reliability, InterruptedWriteLeavesNoPartialFile)
{
    temp_dir dir;
    const std::string name = dir / "out.orvo";
    write_file(name, "old\n");
    for (int signal_number : {SIGINT, SIGTERM}) {
        const pid_t pid = fork();
        if (pid == 0) {
            remove_temporary_files_on_signals();  // as the executables choose
            write_file_atomically(name, [signal_number](std::FILE* fp) {
                std::fputs("0.000000\n5\n1 2 3", fp);
                std::fflush(fp);
                raise(signal_number);
            });
            _exit(0);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal_number);
        EXPECT_EQ(read_file(name), "old\n");
        EXPECT_EQ(list_dir(dir.path), std::vector<std::string>{"out.orvo"});
    }
}

TEST(Reliability, SignalsDuringARunLeaveNoPartialOutput)
{
    // Earlier outputs are in place: whenever the run ends, each is either
    // the old one or a complete new one, and nothing else appears.
    temp_dir dir;
    cv::imwrite(dir / "big.png", generated_image(1500, 1000, 3));
    cv::imwrite(dir / "big.png.orvo.png", shapes_image());
    write_file(dir / "big.png.orvo", EMPTY_FILE);
    for (int delay_ms : {5, 60, 150, 250, 400, 600}) {
        const pid_t pid = fork();
        if (pid == 0) {
            if (chdir(dir.path.c_str()) != 0) _exit(126);
            freopen("/dev/null", "w", stdout);
            execl(ORVO_EXECUTABLE, "orvo", "-i", "big.png", "-save", static_cast<char*>(nullptr));
            _exit(127);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
        const int signal_number = delay_ms % 2 ? SIGINT : SIGTERM;
        kill(pid, signal_number);
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE((WIFEXITED(status) && WEXITSTATUS(status) == 0) ||
                    (WIFSIGNALED(status) && WTERMSIG(status) == signal_number))
            << delay_ms << ": " << status;
        EXPECT_EQ(list_dir(dir.path), (std::vector<std::string>{"big.png", "big.png.orvo", "big.png.orvo.png"}));
        EXPECT_TRUE(valid_ellipse_file(read_file(dir / "big.png.orvo"))) << delay_ms;
        EXPECT_FALSE(cv::imread(dir / "big.png.orvo.png").empty()) << delay_ms;
    }
}

TEST(Reliability, ScalesWhoseEllipsesCannotBeWrittenAreRefused)
{
    temp_dir dir;
    cv::imwrite(dir / "img.png", shapes_image());
    write_file(dir / "img.png.orvo", "old\n");
    std::vector<std::string> many_factors;
    for (int i = 0; i < 50000; ++i) many_factors.insert(many_factors.end(), {"-s", "1.01"});
    // Out of range before detection (the product's square overflows or
    // vanishes), and after it (matrices that round to zero at ten decimals).
    const std::vector<std::vector<std::string>> refused = {
        {"-s", "1e-320"}, {"-s", "1e-170"}, {"-s", "1e-200", "-s", "1e-200"}, {"-s", "1e308"}, many_factors,
        {"-s", "1e6"},    {"-s", "1e-100", "-sift", "-s", "1e-60"}};
    for (const std::vector<std::string>& scale : refused) {
        std::vector<std::string> args = {"-i", "img.png", "-save"};
        args.insert(args.end(), scale.begin(), scale.end());
        const run_result r = run_orvo(args, {dir.path});
        EXPECT_EQ(r.status, 1) << scale[1];
        EXPECT_EQ(r.err.rfind("Invalid scale ", 0), 0u) << r.err;
        EXPECT_EQ(read_file(dir / "img.png.orvo"), "old\n") << scale[1];
    }
    EXPECT_EQ(list_dir(dir.path), (std::vector<std::string>{"img.png", "img.png.orvo"}));

    // An extreme scale that still writes finite, positive definite matrices.
    ASSERT_EQ(run_orvo({"-i", "img.png", "-s", "1e-100"}, {dir.path}).status, 0);
    const std::vector<orvo::Region> written = orvo::read_region_file(dir / "img.png.orvo");
    EXPECT_FALSE(written.empty());
}

TEST(Reliability, OutOfMemoryEndsWithStatusOne)
{
    if (SANITIZED_BUILD) GTEST_SKIP() << "address space limits and the address sanitizer exclude each other";
    temp_dir dir;
    cv::imwrite(dir / "big.jpg", generated_image(2500, 1800, 5));
    ASSERT_EQ(run_orvo({"-i", "big.jpg", "-s", "3"}, {dir.path}).status, 0);
    // Limits from just enough to start (below about 230 MB a library that
    // the window and PNG code load throws from its start-up code, before
    // orvo runs) to enough for everything: reading, detection, drawing,
    // encoding and describing each run out somewhere in between. Each run
    // must end within a bound, also with a numeric library that starts
    // threads of its own which never end under such a limit (a multi-threaded
    // BLAS, used instead of the system's one where it is installed).
    const std::string descriptors = DESCRIPTORS_EXECUTABLE;
    const std::string path = "PATH=" + descriptors.substr(0, descriptors.rfind('/')) + ":/usr/bin:/bin";
    std::vector<std::vector<std::string>> environments = {{path}};
    const std::string threaded_blas = "/usr/lib/x86_64-linux-gnu/openblas-pthread";
    if (access((threaded_blas + "/libblas.so.3").c_str(), R_OK) == 0)
        environments.push_back({path, "LD_LIBRARY_PATH=" + threaded_blas});
    const std::vector<std::string> bounded = {"-s", "KILL", "60"};
    const auto bounded_run = [&](const std::string& program, std::vector<std::string> args, const run_options& options) {
        args.insert(args.begin(), program);
        args.insert(args.begin(), bounded.begin(), bounded.end());
        return run_program("timeout", args, options);
    };
    int out_of_memory = 0, completed = 0;
    for (const std::vector<std::string>& environment : environments) {
        for (long megabytes : {60, 100, 250, 280, 310, 340, 1000}) {
            run_options limited(dir.path, environment);
            limited.memory_limit = megabytes << 20;
            const std::vector<std::string> describe = {"-i", "big.jpg", "-sift", "-p1", "big.jpg.orvo", "-o1", "out.sift"};
            for (const run_result& r : {bounded_run(ORVO_EXECUTABLE, {"-i", "big.jpg", "-save", "-sift"}, limited),
                                        bounded_run(descriptors, describe, limited)}) {
                if (r.err.find("error while loading shared libraries") != std::string::npos) continue;
                const bool reported = r.status == 1 && r.err.size() >= 14 &&
                                      r.err.compare(r.err.size() - 14, 14, "out of memory\n") == 0;
                // orvo itself done, its descriptor step out of memory.
                const bool step_failed = r.status == 2 && r.err.find(": out of memory\n") != std::string::npos;
                EXPECT_TRUE(r.status == 0 || reported || step_failed)
                    << environment.back() << ", " << megabytes << " MB: " << r.status << " " << r.err;
                out_of_memory += reported;
                completed += r.status == 0;
            }
        }
    }
    EXPECT_GT(out_of_memory, 0);
    EXPECT_GT(completed, 0);
    // The batch tool too ends within the bound: the image failed, or done.
    for (const std::vector<std::string>& environment : environments) {
        run_options limited(dir.path, environment);
        limited.memory_limit = 150l << 20;
        const run_result r = bounded_run(ORVO_BATCH_EXECUTABLE, {"-q", "-o", "out", "big.jpg"}, limited);
        EXPECT_TRUE(r.status == 0 || r.status == 2) << environment.back() << ": " << r.status << " " << r.err;
    }
    for (const std::string& name : list_dir(dir.path)) EXPECT_EQ(name.find(".tmp"), std::string::npos) << name;
}

TEST(Reliability, ClosedOutputOrFileSizeLimitDoesNotEndTheRun)
{
    temp_dir dir;
    cv::imwrite(dir / "img.png", shapes_image());
    run_options closed(dir.path);
    closed.closed_output = true;
    const run_result r = run_orvo({"-i", "img.png", "-save"}, closed);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(valid_ellipse_file(read_file(dir / "img.png.orvo")));
    EXPECT_FALSE(cv::imread(dir / "img.png.orvo.png").empty());
    EXPECT_EQ(run_program(DESCRIPTORS_EXECUTABLE, {"-h"}, closed).status, 0);

    // Past the size limit: the drawing and the descriptor file fail with
    // EFBIG, are reported, and leave no temporary file.
    run_options limited(dir.path);
    limited.file_size_limit = 300;
    const run_result drawing = run_orvo({"-i", "img.png", "-save"}, limited);
    EXPECT_EQ(drawing.status, 2);
    EXPECT_EQ(drawing.err, "Unable to write file img.png.orvo.png: File too large\n");
    const run_result described =
        run_program(DESCRIPTORS_EXECUTABLE, {"-i", "img.png", "-sift", "-p1", "img.png.orvo", "-o1", "out"}, limited);
    EXPECT_EQ(described.status, 2);
    EXPECT_EQ(described.err, "Unable to write file out: File too large\n");
    EXPECT_EQ(list_dir(dir.path), (std::vector<std::string>{"img.png", "img.png.orvo", "img.png.orvo.png"}));
}

TEST(Reliability, GeneratedImagesGiveSoundDeterministicRegions)
{
    std::mt19937 rng(23);
    std::uniform_int_distribution<int> size(1, 300);
    for (int k = 0; k < 40; ++k) {
        const int width = size(rng), height = size(rng);
        cv::Mat image;
        switch (k % 4) {
        case 0:
            image = generated_image(width, height, static_cast<unsigned>(k));
            break;
        case 1:
            image.create(height, width, CV_8UC3);
            cv::RNG(k).fill(image, cv::RNG::UNIFORM, 0, 256);
            break;
        case 2:
            image.create(height, width, CV_8UC3);
            for (int r = 0; r < height; ++r)
                for (int c = 0; c < width; ++c)
                    image.at<cv::Vec3b>(r, c) = cv::Vec3b(static_cast<unsigned char>(c * 255 / width),
                                                          static_cast<unsigned char>(r * 255 / height), 128);
            cv::circle(image, cv::Point(width / 2, height / 2), std::min(width, height) / 3, cv::Scalar(250, 20, 20), cv::FILLED);
            break;
        default:
            image = generated_image(width, height, static_cast<unsigned>(k));
            cv::GaussianBlur(image, image, cv::Size(0, 0), 1.5);
        }
        orvo::DetectorOptions options;
        options.threshold = 10;
        orvo::DetectionStats stats;
        const std::vector<orvo::Region> first = orvo::detect(image, options, &stats);
        const std::vector<orvo::Region> second = orvo::detect(image, options);
        ASSERT_EQ(first.size(), second.size()) << k;  // deterministic
        EXPECT_TRUE(first.empty() || std::memcmp(first.data(), second.data(), first.size() * sizeof(orvo::Region)) == 0)
            << k;
        EXPECT_LE(stats.regions, stats.selected);
        for (const orvo::Region& e : first) {
            EXPECT_TRUE(orvo::is_valid(e));
            EXPECT_GE(e.x, 0);
            EXPECT_LE(e.x, width - 1);
            EXPECT_GE(e.y, 0);
            EXPECT_LE(e.y, height - 1);
        }
    }
}
