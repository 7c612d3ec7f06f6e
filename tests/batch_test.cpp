// End-to-end tests of orvo-batch: inputs and mirrored outputs, independence
// of the worker count, stopping and resuming after a kill (with threads and
// a locale from outside), per-image failures, the options recorded with the
// outputs, shards and the COLMAP text format read back by COLMAP itself.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <poll.h>
#include <set>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "orvo/orvo.h"
#include "tests/test_support.h"


namespace fs = std::filesystem;

namespace {

constexpr const char* OPTIONS_RECORD = ".orvo-batch-options";

run_result run_batch(const std::vector<std::string>& args, const run_options& options = {})
{
    return run_program(ORVO_BATCH_EXECUTABLE, args, options);
}

// A 200x150 to 400x300 image of filled discs and squares of random grey
// levels on a flat background: closed edges, several regions each.
cv::Mat blobs_image(int k)
{
    cv::RNG rng(100 + k);
    const int width = 200 + 20 * (k % 11), height = 150 + 15 * (k % 11);
    cv::Mat image(height, width, CV_8UC1, cv::Scalar(128));
    for (int i = 0; i < 10; ++i) {
        const cv::Point centre(rng.uniform(20, width - 20), rng.uniform(20, height - 20));
        const int radius = rng.uniform(6, 20);
        const cv::Scalar level(rng.uniform(0, 2) ? rng.uniform(0, 60) : rng.uniform(190, 256));
        if (i % 2) cv::circle(image, centre, radius, level, cv::FILLED);
        else cv::rectangle(image, cv::Rect(centre.x - radius, centre.y - radius, 2 * radius, 2 * radius), level,
                           cv::FILLED);
    }
    return image;
}

// `count` images under `folder`, named img<k>.png, every third one in a
// subfolder "sub".
std::vector<std::string> make_images(const std::string& folder, int count)
{
    std::vector<std::string> names;
    fs::create_directories(folder + "/sub");
    for (int k = 0; k < count; ++k) {
        const std::string name = (k % 3 == 2 ? "sub/img" : "img") + std::to_string(k) + ".png";
        cv::imwrite(folder + "/" + name, blobs_image(k));
        names.push_back(name);
    }
    return names;
}

// Every regular file below `folder`, relative to it, with its content; the
// record of the options aside.
std::map<std::string, std::string> tree(const std::string& folder)
{
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(folder))
        if (entry.is_regular_file() && entry.path().filename() != OPTIONS_RECORD)
            files[entry.path().lexically_relative(folder).string()] = read_file(entry.path());
    return files;
}

// Drops the temporary files a killed writer leaves behind.
void drop_temporary_files(std::map<std::string, std::string>& files)
{
    for (auto it = files.begin(); it != files.end();)
        it = fs::path(it->first).filename().string().rfind(".orvo-tmp-", 0) == 0 ? files.erase(it) : ++it;
}

// A running orvo-batch, its standard error read by the test through a pipe
// of one page, and loaded with the foreign host library (a thread of its
// own before main, and the locale `locale` when not empty).
class batch_process {
public:
    explicit batch_process(const std::vector<std::string>& args, const std::string& locale = "")
    {
        int ends[2];
        if (pipe(ends) != 0) std::abort();
        fcntl(ends[0], F_SETPIPE_SZ, 4096);
        pid_ = fork();
        if (pid_ == 0) {
            dup2(ends[1], 2);
            setenv("LD_PRELOAD", FOREIGN_HOST_LIBRARY, 1);
            if (!locale.empty()) setenv("FOREIGN_HOST_LOCALE", locale.c_str(), 1);
            // Under the address sanitizer, whose runtime must otherwise be loaded first.
            const char* sanitizer = std::getenv("ASAN_OPTIONS");
            setenv("ASAN_OPTIONS", (std::string(sanitizer ? sanitizer : "") + ":verify_asan_link_order=0").c_str(), 1);
            std::vector<char*> argv{const_cast<char*>("orvo-batch")};
            for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
            argv.push_back(nullptr);
            execv(ORVO_BATCH_EXECUTABLE, argv.data());
            _exit(127);
        }
        close(ends[1]);
        err_ = ends[0];
    }
    ~batch_process() { close(err_); }

    // Reads standard error until it holds `count` lines; false when it ends first.
    bool read_lines(std::size_t count)
    {
        while (std::count(text_.begin(), text_.end(), '\n') < static_cast<long>(count))
            if (!read_some()) return false;
        return true;
    }
    // Reads standard error to its end and waits for the process: its wait status.
    int finish()
    {
        while (read_some()) {
        }
        if (!ended_) kill(pid_, SIGKILL);
        int status = 0;
        waitpid(pid_, &status, 0);
        return status;
    }
    pid_t pid() const { return pid_; }
    const std::string& err() const { return text_; }

private:
    // Gives up after a generous bound, for a process that hangs.
    bool read_some()
    {
        pollfd wait{err_, POLLIN, 0};
        if (poll(&wait, 1, 120 * 1000) <= 0) return false;
        char chunk[4096];
        const ssize_t count = read(err_, chunk, sizeof chunk);
        if (count > 0) text_.append(chunk, static_cast<std::size_t>(count));
        ended_ = count == 0;
        return count > 0;
    }
    pid_t pid_ = -1;
    int err_ = -1;
    bool ended_ = false;
    std::string text_;
};

// The region file `orvo` would write for the image.
std::string expected_region_file(const std::string& image, const temp_dir& scratch)
{
    orvo::write_region_file(scratch / "expected.orvo", orvo::detect(orvo::read_image(image)));
    return read_file(scratch / "expected.orvo");
}

}  // namespace

TEST(Batch, FoldersAndListsMirrorTheirPathsWhateverTheWorkerCount)
{
    temp_dir dir;
    const std::vector<std::string> names = make_images(dir / "data", 7);
    write_file(dir / "data/notes.txt", "not an image");
    write_file(dir / "list.txt", "data/img0.png\r\n\n  \ndata/sub/img2.png\n" + dir.path + "/data/img1.png\n");

    const run_result one = run_batch({"-q", "-j", "1", "-o", dir / "one", dir / "data", "@" + dir / "list.txt"});
    // The list's absolute line mirrors as its file name, as the folder's img1.png does.
    ASSERT_EQ(one.status, 1) << one.err;
    EXPECT_NE(one.err.find("would write the same output"), std::string::npos) << one.err;
    EXPECT_FALSE(file_exists(dir / "one"));

    ASSERT_EQ(run_batch({"-q", "-j", "1", "-o", dir / "one", dir / "data"}).status, 0);
    const run_result two = run_batch({"-j", "2", "-o", dir / "two", dir / "data"});
    ASSERT_EQ(two.status, 0) << two.err;
    EXPECT_NE(two.err.find("7 images: 7 done, 0 skipped, 0 failed"), std::string::npos) << two.err;
    const auto outputs = tree(dir / "one");
    EXPECT_EQ(outputs, tree(dir / "two"));
    ASSERT_EQ(outputs.size(), names.size());
    for (const std::string& name : names)
        EXPECT_EQ(outputs.at(name + ".orvo"), expected_region_file(dir / ("data/" + name), dir)) << name;

    // A list: relative lines from the list's folder, an absolute line by its
    // file name; without -o the outputs go beside the images.
    ASSERT_EQ(run_batch({"-q", "-o", dir / "listed", "@" + dir / "list.txt"}).status, 0);
    EXPECT_EQ(list_dir(dir / "listed"), (std::vector<std::string>{OPTIONS_RECORD, "data", "img1.png.orvo"}));
    EXPECT_EQ(read_file(dir / "listed/data/sub/img2.png.orvo"), outputs.at("sub/img2.png.orvo"));
    ASSERT_EQ(run_batch({"-q", "@list.txt"}, run_options(dir.path)).status, 0);
    EXPECT_EQ(read_file(dir / "data/img0.png.orvo"), outputs.at("img0.png.orvo"));
    EXPECT_FALSE(file_exists(dir / "data/img3.png.orvo"));
}

TEST(Batch, DetectorOptionsAsOrvos)
{
    temp_dir dir;
    make_images(dir / "data", 1);
    ASSERT_EQ(run_batch({"-q", "--dense", "-t", "5", "--edge-steps", "11,9", "-o", dir / "out", dir / "data"}).status, 0);
    orvo::DetectorOptions options = orvo::DetectorOptions::dense();
    options.threshold = 5;
    options.edge_steps = {11, 9};
    orvo::write_region_file(dir / "expected.orvo", orvo::detect(orvo::read_image(dir / "data/img0.png"), options));
    EXPECT_EQ(read_file(dir / "out/img0.png.orvo"), read_file(dir / "expected.orvo"));
    EXPECT_EQ(run_batch({"--edge-step", "0", dir / "data"}).status, 1);
}

TEST(Batch, ResumesAfterAKillWithCompleteFilesOnly)
{
    temp_dir dir;
    // Each image's -v line is longer than a sixteenth of the page that its
    // standard error's pipe holds: the batch cannot end before the test has
    // read its lines. It runs with a thread and a decimal-comma locale from
    // outside.
    const std::string images = dir / ("data/" + std::string(240, 'd'));
    make_images(images, 24);
    ASSERT_EQ(run_batch({"-q", "-o", dir / "clean", dir / "data"}).status, 0);
    const auto clean = tree(dir / "clean");

    for (const int signal : {SIGTERM, SIGKILL}) {
        const std::string out = dir / ("killed" + std::to_string(signal));
        batch_process batch({"-v", "-j", "1", "-o", out, dir / "data"}, "de_DE.UTF-8");
        ASSERT_TRUE(batch.read_lines(3)) << batch.err();
        kill(batch.pid(), signal);
        const int status = batch.finish();
        auto partial = tree(out);
        // A killed process cannot remove its temporary file; a stopped one
        // does, whatever thread the signal reached.
        if (signal == SIGKILL) drop_temporary_files(partial);
        if (signal == SIGTERM) {
            ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
            EXPECT_EQ(WEXITSTATUS(status), 143);
        }
        EXPECT_GE(partial.size(), 3u);
        EXPECT_LT(partial.size(), clean.size());
        for (const auto& [name, content] : partial) {
            ASSERT_EQ(clean.count(name), 1u) << name;
            EXPECT_EQ(content, clean.at(name)) << name;
        }

        const run_result rerun = run_batch({"-o", out, dir / "data"});
        ASSERT_EQ(rerun.status, 0) << rerun.err;
        auto finished = tree(out);
        drop_temporary_files(finished);
        const auto done_before = std::count_if(partial.begin(), partial.end(), [](const auto& file) {
            return fs::path(file.first).extension() == ".orvo";
        });
        EXPECT_NE(rerun.err.find(std::to_string(done_before) + " skipped"), std::string::npos) << rerun.err;
        EXPECT_EQ(finished, clean);
    }
}

TEST(Batch, StopsPromptlyWhileCollectingItsInputs)
{
    temp_dir dir;
    for (const auto& [signal, expected] : {std::pair<int, int>{SIGINT, 130}, {SIGTERM, 143}, {SIGHUP, 129}}) {
        const std::string list = dir / "list";
        ASSERT_EQ(mkfifo(list.c_str(), 0600), 0);
        batch_process batch({"-o", dir / "out", "@" + list});
        // The batch is reading the list once the FIFO has a reader.
        int writer = -1;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
        while ((writer = open(list.c_str(), O_WRONLY | O_NONBLOCK)) < 0 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ASSERT_GE(writer, 0);
        ASSERT_EQ(write(writer, "img0.png\n", 9), 9);
        kill(batch.pid(), signal);
        const int status = batch.finish();
        close(writer);
        unlink(list.c_str());
        ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
        EXPECT_EQ(WEXITSTATUS(status), expected) << batch.err();
        EXPECT_FALSE(file_exists(dir / "out"));
    }

    // A list whose lines have no end, or hold what no path can.
    write_file(dir / "nul.txt", std::string("img0.png\0x.png\n", 15));
    for (const auto& [list, message] : {std::pair<std::string, std::string>{"/dev/zero", "/dev/zero: 1: a line longer"},
                                        {dir / "nul.txt", "nul.txt: 1: a line holds a NUL byte"}}) {
        const run_result r = run_batch({"-o", dir / "out", "@" + list});
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
    }
}

TEST(Batch, FailedImagesAreReportedListedAndRunAgain)
{
    temp_dir dir;
    make_images(dir / "data", 4);
    write_file(dir / "data/sub/broken.png", "not a png");
    fs::create_directories(dir / "out/img1.png.orvo");  // the output cannot replace a folder

    const run_result first = run_batch({"-o", dir / "out", "--failed-list", dir / "data/failed.txt", dir / "data"});
    EXPECT_EQ(first.status, 2) << first.err;
    EXPECT_NE(first.err.find("sub/broken.png: failed: not a readable image"), std::string::npos) << first.err;
    EXPECT_NE(first.err.find("img1.png: failed: " + dir / "out/img1.png.orvo"), std::string::npos) << first.err;
    EXPECT_NE(first.err.find("3 done, 0 skipped, 2 failed"), std::string::npos) << first.err;
    EXPECT_TRUE(file_exists(dir / "out/img0.png.orvo") && file_exists(dir / "out/sub/img2.png.orvo"));
    EXPECT_EQ(read_file(dir / "data/failed.txt"), "img1.png\nsub/broken.png\n");

    // A name that a line of the list cannot hold is named, not split.
    write_file(dir / "data/two\nlines.png", "not a png");
    const run_result split = run_batch({"-q", "-o", dir / "out", "--failed-list", dir / "data/failed.txt", dir / "data"});
    EXPECT_EQ(split.status, 2);
    EXPECT_NE(split.err.find("a line cannot hold its name: two\\nlines.png"), std::string::npos) << split.err;
    EXPECT_EQ(read_file(dir / "data/failed.txt"), "img1.png\nsub/broken.png\n");
    fs::remove(dir / "data/two\nlines.png");

    fs::remove(dir / "out/img1.png.orvo");
    fs::copy_file(dir / "data/img0.png", dir / "data/sub/broken.png", fs::copy_options::overwrite_existing);
    const run_result again = run_batch({"-o", dir / "out", "--failed-list", dir / "data/failed.txt",
                                        "@" + dir / "data/failed.txt"});
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(read_file(dir / "out/sub/broken.png.orvo"), read_file(dir / "out/img0.png.orvo"));
    EXPECT_TRUE(file_exists(dir / "out/img1.png.orvo"));
    EXPECT_EQ(read_file(dir / "data/failed.txt"), "");
}

TEST(Batch, ShardsCoverTheListOnce)
{
    temp_dir dir;
    make_images(dir / "data", 10);
    std::multiset<std::string> covered;
    for (int k = 0; k < 3; ++k) {
        const std::string out = dir / ("shard" + std::to_string(k));
        ASSERT_EQ(run_batch({"-q", "--shard", std::to_string(k) + "/3", "-o", out, dir / "data"}).status, 0);
        for (const auto& [name, content] : tree(out)) covered.insert(name);
        EXPECT_EQ(tree(out).size(), k == 0 ? 4u : 3u);
    }
    ASSERT_EQ(run_batch({"-q", "-o", dir / "all", dir / "data"}).status, 0);
    std::multiset<std::string> all;
    for (const auto& [name, content] : tree(dir / "all")) all.insert(name);
    EXPECT_EQ(covered, all);

    for (const std::string shard : {"3/3", "1/0", "-1/2", "1", "a/b"})
        EXPECT_EQ(run_batch({"--shard", shard, dir / "data"}).status, 1) << shard;
}

TEST(Batch, ColmapImportsTheTextFormat)
{
    if (run_program("colmap", {"help"}).status == 127) GTEST_SKIP() << "colmap is not installed";
    temp_dir dir;
    make_images(dir / "images", 3);
    const run_result batch = run_batch({"-q", "--format", "colmap", "-o", dir / "features", dir / "images"});
    ASSERT_EQ(batch.status, 0) << batch.err;

    const run_options headless("", {"QT_QPA_PLATFORM=offscreen"});
    ASSERT_EQ(run_program("colmap", {"database_creator", "--database_path", dir / "db"}, headless).status, 0);
    const run_result imported = run_program("colmap", {"feature_importer", "--database_path", dir / "db",
                                                       "--image_path", dir / "images", "--import_path",
                                                       dir / "features"}, headless);
    ASSERT_EQ(imported.status, 0) << imported.out << imported.err;
    const run_result counts = run_program(
        "sqlite3", {dir / "db", "SELECT name, keypoints.rows, descriptors.rows FROM images JOIN keypoints USING "
                                "(image_id) JOIN descriptors USING (image_id) ORDER BY name"});
    ASSERT_EQ(counts.status, 0) << counts.err;

    std::string expected;
    for (const std::string name : {"img0.png", "img1.png", "sub/img2.png"}) {
        const std::string text = read_file(dir / ("features/" + name + ".txt"));
        const std::string count = text.substr(0, text.find(' '));
        EXPECT_EQ(text.substr(0, text.find('\n')), count + " 128");
        EXPECT_GT(std::stoi(count), 0);
        expected += name + "|" + count + "|" + count + "\n";
    }
    EXPECT_EQ(counts.out, expected);
}

TEST(Batch, InputErrorsNameTheFolderAtFault)
{
    temp_dir dir;
    make_images(dir / "data", 3);
    fs::permissions(dir / "data/sub", fs::perms::none);
    // A copy the unprivileged user can run wherever the build is (under
    // /root, say).
    const std::string batch_copy = dir / "orvo-batch";
    fs::copy_file(ORVO_BATCH_EXECUTABLE, batch_copy);
    const run_result r = run_program(batch_copy, {"-o", dir / "out", dir / "data"}, run_options("", {}, true));
    fs::permissions(dir / "data/sub", fs::perms::owner_all);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("orvo-batch: " + dir / "data/sub: Permission denied"), std::string::npos) << r.err;
}

TEST(Batch, OutputsOfOtherOptionsAreNotMixed)
{
    temp_dir dir;
    make_images(dir / "data", 2);
    ASSERT_EQ(run_batch({"-q", "-o", dir / "out", dir / "data"}).status, 0);
    ASSERT_EQ(run_batch({"-q", dir / "data"}).status, 0);
    const auto outputs = tree(dir / "out");
    const auto beside = tree(dir / "data");
    const std::vector<std::vector<std::string>> others = {
        {"-t", "50"}, {"--dense"}, {"--sift"}, {"-s", "2"}, {"--format", "colmap"}, {"--edge-step", "9"}};
    for (const std::vector<std::string>& other : others) {
        for (const bool mirrored : {true, false}) {
            std::vector<std::string> args = other;
            if (mirrored) args.insert(args.end(), {"-o", dir / "out"});
            args.push_back(dir / "data");
            const run_result r = run_batch(args);
            EXPECT_EQ(r.status, 1) << other[0];
            EXPECT_NE(r.err.find("made with other options"), std::string::npos) << r.err;
        }
    }
    EXPECT_EQ(tree(dir / "out"), outputs);
    EXPECT_EQ(tree(dir / "data"), beside);

    // --force redoes them; the threads of a detection change nothing.
    ASSERT_EQ(run_batch({"-q", "-s", "2", "--force", "-o", dir / "out", dir / "data"}).status, 0);
    ASSERT_EQ(run_batch({"-q", "-s", "2", "--threads", "2", "-o", dir / "threads", dir / "data"}).status, 0);
    EXPECT_EQ(tree(dir / "threads"), tree(dir / "out"));
    EXPECT_NE(tree(dir / "out"), outputs);
    EXPECT_EQ(read_file(dir / "out/.orvo-batch-options"), read_file(dir / "threads/.orvo-batch-options"));

    // A record written before the measurement scale was recorded still
    // matches the classic options (whose scale it was).
    std::string record = read_file(dir / "out/.orvo-batch-options");
    const std::size_t entry = record.find("measurement_scale 3\n");
    ASSERT_NE(entry, std::string::npos) << record;
    write_file(dir / "out/.orvo-batch-options", record.erase(entry, std::strlen("measurement_scale 3\n")));
    EXPECT_EQ(run_batch({"-q", "-s", "2", "-o", dir / "out", dir / "data"}).status, 0);

    // Scales at which no region can be written readably are refused before
    // any work, as are bad values.
    for (const std::vector<std::string>& bad :
         {std::vector<std::string>{"-s", "1e5"}, {"-s", "1e-160"}, {"-s", "1e100", "-s", "1e100"}, {"--threads", "0"}}) {
        std::vector<std::string> args = bad;
        args.insert(args.end(), {"-o", dir / "bad", dir / "data"});
        EXPECT_EQ(run_batch(args).status, 1) << bad[1];
    }
    EXPECT_FALSE(file_exists(dir / "bad"));
}

TEST(Batch, ThreadsThatCannotStartLeaveTheRunToTheOthers)
{
    if (SANITIZED_BUILD) GTEST_SKIP() << "address space limits and the address sanitizer exclude each other";
    temp_dir dir;
    make_images(dir / "data", 1);
    for (int k = 1; k < 64; ++k) fs::copy_file(dir / "data/img0.png", dir / ("data/copy" + std::to_string(k) + ".png"));
    run_options limited;
    limited.memory_limit = 400l << 20;
    const run_result r = run_batch({"-q", "-j", "4096", "-o", dir / "out", dir / "data"}, limited);
    // Images may run out of memory beside so many threads (even while their
    // failure is reported), but the run ends cleanly and a re-run finishes it.
    const bool stopped = r.status == 1 && r.err.find("orvo-batch: out of memory\n") != std::string::npos;
    EXPECT_TRUE(r.status == 0 || r.status == 2 || stopped) << r.status << " " << r.err;
    EXPECT_NE(r.err.find("worker threads could be started"), std::string::npos) << r.err;
    ASSERT_EQ(run_batch({"-q", "-o", dir / "out", dir / "data"}).status, 0);
    EXPECT_EQ(tree(dir / "out").size(), 64u);
}

TEST(Batch, ColmapTextIgnoresTheLocale)
{
    temp_dir dir;
    make_images(dir / "data", 1);
    ASSERT_EQ(run_batch({"-q", "--format", "colmap", "-o", dir / "plain", dir / "data"}).status, 0);
    batch_process batch({"-q", "--format", "colmap", "-o", dir / "comma", dir / "data"}, "de_DE.UTF-8");
    const int status = batch.finish();
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << batch.err();
    const std::string text = read_file(dir / "comma/img0.png.txt");
    EXPECT_EQ(text, read_file(dir / "plain/img0.png.txt"));
    EXPECT_EQ(text.find(','), std::string::npos);
}
