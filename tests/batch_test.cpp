// End-to-end tests of orvo-batch: inputs and mirrored outputs, independence
// of the worker count, resuming after a kill, per-image failures, shards and
// the COLMAP text format read back by COLMAP itself.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <set>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "orvo/orvo.h"
#include "tests/test_support.h"

namespace fs = std::filesystem;

namespace {

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

// Every regular file below `folder`, relative to it, with its content.
std::map<std::string, std::string> tree(const std::string& folder)
{
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(folder))
        if (entry.is_regular_file()) files[entry.path().lexically_relative(folder).string()] = read_file(entry.path());
    return files;
}

// Keeps the region files only: drops the temporary files a killed writer
// leaves behind.
void drop_temporary_files(std::map<std::string, std::string>& files)
{
    auto is_region_file = [](const std::string& name) {
        return name.size() > 5 && name.compare(name.size() - 5, 5, ".orvo") == 0;
    };
    for (auto it = files.begin(); it != files.end();) it = is_region_file(it->first) ? ++it : files.erase(it);
}

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
    EXPECT_EQ(list_dir(dir / "listed"), (std::vector<std::string>{"data", "img1.png.orvo"}));
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
    make_images(dir / "data", 24);
    ASSERT_EQ(run_batch({"-q", "-o", dir / "clean", dir / "data"}).status, 0);
    const auto clean = tree(dir / "clean");

    for (const int signal : {SIGTERM, SIGKILL}) {
        const std::string out = dir / ("killed" + std::to_string(signal));
        const pid_t pid = fork();
        if (pid == 0) {
            const int null = open("/dev/null", O_WRONLY);
            dup2(null, 2);
            execl(ORVO_BATCH_EXECUTABLE, "orvo-batch", "-j", "1", "-o", out.c_str(), (dir / "data").c_str(),
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while ((!fs::exists(out) || tree(out).size() < 3) && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        kill(pid, signal);
        int status = 0;
        waitpid(pid, &status, 0);
        auto partial = tree(out);
        // A killed process cannot remove its temporary file; a stopped one does.
        if (signal == SIGKILL) drop_temporary_files(partial);
        if (signal == SIGTERM) {
            ASSERT_TRUE(WIFEXITED(status));
            EXPECT_EQ(WEXITSTATUS(status), 143);
        }
        EXPECT_LT(partial.size(), clean.size()) << "the batch ended before the kill";
        for (const auto& [name, content] : partial) {
            ASSERT_EQ(clean.count(name), 1u) << name;
            EXPECT_EQ(content, clean.at(name)) << name;
        }

        const run_result rerun = run_batch({"-o", out, dir / "data"});
        ASSERT_EQ(rerun.status, 0) << rerun.err;
        EXPECT_NE(rerun.err.find(std::to_string(partial.size()) + " skipped"), std::string::npos) << rerun.err;
        auto finished = tree(out);
        drop_temporary_files(finished);
        EXPECT_EQ(finished, clean);
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
