// The detector run as a user runs it: its output lines, files and exit
// statuses, the drawing, the window and the descriptor hand-off.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <X11/Xlib.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "app/descriptor_step.h"
#include "app/drawing_step.h"
#include "orvo/detector.h"
#include "tests/test_support.h"

namespace {

const std::string BANNER_END = "Canny edge points\n\n";

struct ellipse_line {
    double x, y, a, b, c;
};

// True when `text` is `prefix`, a number, " s " and a newline, and nothing else.
bool is_timing_line(const std::string& text, const std::string& prefix)
{
    if (text.compare(0, prefix.size(), prefix) != 0) return false;
    const char* number = text.c_str() + prefix.size();
    char* end = nullptr;
    std::strtod(number, &end);
    return end != number && std::string(end) == " s \n";
}

// The last `count` lines of `text`, each with its newline.
std::vector<std::string> last_lines(const std::string& text, int count)
{
    std::vector<std::string> lines;
    std::size_t end = text.size();
    while (count-- > 0 && end > 0) {
        const std::size_t start = text.rfind('\n', end - 2);
        const std::size_t from = start == std::string::npos ? 0 : start + 1;
        lines.insert(lines.begin(), text.substr(from, end - from));
        end = from;
    }
    return lines;
}

// Parses an ellipse file; fails the test when it is malformed.
std::vector<ellipse_line> read_ellipses(const std::string& name)
{
    std::istringstream in(read_file(name));
    double zero = -1;
    int count = -1;
    in >> zero >> count;
    EXPECT_EQ(zero, 0.0);
    std::vector<ellipse_line> lines;
    ellipse_line e;
    while (in >> e.x >> e.y >> e.a >> e.b >> e.c) lines.push_back(e);
    EXPECT_EQ(static_cast<int>(lines.size()), count);
    return lines;
}

// A folder with the shapes image in it, open to every user.
struct shapes_folder {
    temp_dir dir;
    std::string image;
    explicit shapes_folder(const std::string& name = "shapes.png") : image(dir / name)
    {
        cv::imwrite(image, shapes_image());
    }
};

// A stand-in descriptor executable, first on PATH, that writes its argument
// vector (one argument a line) to `record`, prints to its standard output,
// and ends with `status`.
struct stand_in {
    temp_dir bin;
    std::string record;
    explicit stand_in(const std::string& record_file, int status = 0, const std::string& before_exit = "")
        : record(record_file)
    {
        const std::string script = bin / orvo::cli::DESCRIPTOR_EXECUTABLE;
        write_file(script, "#!/bin/sh\nprintf '%s\\n' \"$@\" > '" + record + "'\necho stand-in output\n" +
                               before_exit + "exit " + std::to_string(status) + "\n");
        chmod(script.c_str(), 0755);
    }
    std::string path_entry() const { return "PATH=" + bin.path + ":" + std::getenv("PATH"); }
};

}  // namespace

TEST(Run, ShapesImageEndToEnd)
{
    shapes_folder f;
    const run_result r = run_orvo({"-i", "shapes.png"}, {f.dir.path});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const std::size_t banner = r.out.find(BANNER_END);
    ASSERT_NE(banner, std::string::npos);
    EXPECT_TRUE(is_timing_line(r.out.substr(banner + BANNER_END.size()), "shapes.png: Alpha features extracted in: "))
        << r.out;

    // Every ellipse sits on a shape: its centre (less the file's +2 shift)
    // is inside one, and its matrix is positive definite.
    cv::Mat grey, background(shapes_image().size(), CV_8UC1);
    const std::vector<ellipse_line> lines = read_ellipses(f.dir / "shapes.png.orvo");
    ASSERT_GE(lines.size(), 2u);
    const cv::Mat image = shapes_image();
    for (const ellipse_line& e : lines) {
        EXPECT_GT(e.a, 0);
        EXPECT_GT(e.a * e.c - e.b * e.b, 0);
        const cv::Point centre(static_cast<int>(e.x - 2 + 0.5), static_cast<int>(e.y - 2 + 0.5));
        ASSERT_TRUE(cv::Rect(0, 0, image.cols, image.rows).contains(centre));
        const cv::Vec3b pixel = image.at<cv::Vec3b>(centre);
        const bool on_background = std::abs(pixel[2] - 100) < 2 && std::abs(pixel[0] - (70 + centre.x / 10)) < 2;
        EXPECT_FALSE(on_background) << e.x << " " << e.y;
    }

    // -s 2 divides every matrix by 4 and keeps the centres.
    ASSERT_EQ(run_orvo({"-i", "shapes.png", "-s", "2"}, {f.dir.path}).status, 0);
    const std::vector<ellipse_line> scaled = read_ellipses(f.dir / "shapes.png.orvo");
    ASSERT_EQ(scaled.size(), lines.size());
    for (std::size_t i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(scaled[i].x, lines[i].x);
        EXPECT_NEAR(scaled[i].a, lines[i].a / 4, 1e-10);
        EXPECT_NEAR(scaled[i].c, lines[i].c / 4, 1e-10);
    }
    // A threshold no component reaches: a valid file with no ellipse.
    ASSERT_EQ(run_orvo({"-i", "shapes.png", "-t", "1e300"}, {f.dir.path}).status, 0);
    EXPECT_EQ(read_file(f.dir / "shapes.png.orvo"), "0.000000\n0\n");
    EXPECT_EQ(list_dir(f.dir.path), (std::vector<std::string>{"shapes.png", "shapes.png.orvo"}));
}

TEST(Run, TinyImagesGiveEmptyFiles)
{
    temp_dir dir;
    for (const cv::Size size : {cv::Size(1, 1), cv::Size(7, 1), cv::Size(1, 7), cv::Size(2, 2), cv::Size(3, 3)}) {
        cv::Mat image(size, CV_8UC3);
        cv::randu(image, 0, 256);
        const std::string name = dir / ("tiny" + std::to_string(size.width) + "x" + std::to_string(size.height) + ".png");
        cv::imwrite(name, image);
        const run_result r = run_orvo({"-i", name});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(read_file(name + ".orvo"), "0.000000\n0\n");
    }
}

TEST(Run, UnwritableFolderFailsWithStatusTwoAndWritesNothing)
{
    shapes_folder f;
    const std::string orvo_copy = f.dir / "orvo";
    write_file(orvo_copy, read_file(ORVO_EXECUTABLE));  // reachable by an unprivileged user
    chmod(orvo_copy.c_str(), 0755);
    const std::string folder = f.dir / "ro";
    mkdir(folder.c_str(), 0755);
    cv::imwrite(folder + "/img.png", shapes_image());
    chmod(folder.c_str(), 0555);

    const run_result r = run_program(orvo_copy, {"-i", folder + "/img.png", "-save"}, {"", {}, true});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("Unable to write file " + folder + "/img.png.orvo: Permission denied\n"), std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("Unable to write file " + folder + "/img.png.orvo.png"), std::string::npos) << r.err;
    EXPECT_NE(r.out.find("Alpha features extracted in: "), std::string::npos);
    EXPECT_EQ(list_dir(folder), std::vector<std::string>{"img.png"});
}

TEST(Run, SaveDrawsTheEllipsesOnTheImage)
{
    shapes_folder f;
    const run_result r = run_orvo({"-i", "shapes.png", "-save"}, {f.dir.path});
    ASSERT_EQ(r.status, 0) << r.err;
    const cv::Mat drawing = cv::imread(f.dir / "shapes.png.orvo.png", cv::IMREAD_COLOR);
    ASSERT_EQ(drawing.size(), shapes_image().size());
    // The white disc of radius 40 at (70, 70) carries a yellow outline on its
    // rim, at its left, right, top and bottom.
    auto yellow_near = [&](int x, int y) {
        for (int dy = -3; dy <= 3; ++dy)
            for (int dx = -3; dx <= 3; ++dx)
                if (drawing.at<cv::Vec3b>(y + dy, x + dx) == cv::Vec3b(0, 255, 255)) return true;
        return false;
    };
    EXPECT_TRUE(yellow_near(71 - 40, 71));
    EXPECT_TRUE(yellow_near(71 + 40, 71));
    EXPECT_TRUE(yellow_near(71, 71 - 40));
    EXPECT_TRUE(yellow_near(71, 71 + 40));
    EXPECT_FALSE(yellow_near(71 - 20, 71));
    EXPECT_EQ(drawing.at<cv::Vec3b>(200, 20), shapes_image().at<cv::Vec3b>(200, 20));
}

TEST(Run, SiftHandsEveryNameOverUnchangedWithoutAShell)
{
    const std::string hostile = "a b;touch pwned;'q\"$(touch pwned2)`touch pwned3` ü.png";
    shapes_folder f(hostile);
    stand_in exe(f.dir / "args.txt");
    run_options options{f.dir.path, {exe.path_entry()}};
    const run_result r = run_orvo({"-i", hostile, "-sift"}, options);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(f.dir / "args.txt"), "-i\n" + hostile + "\n-sift\n-p1\n" + hostile + ".orvo\n-o1\n" + hostile +
                                                 ".orvo.sift\n");
    const std::vector<std::string> timing = last_lines(r.out, 2);
    ASSERT_EQ(timing.size(), 2u);
    EXPECT_TRUE(is_timing_line(timing[0], hostile + ": Alpha features extracted in: ")) << r.out;
    EXPECT_TRUE(is_timing_line(timing[1], "Descriptors computed in: ")) << r.out;
    EXPECT_EQ(r.out.find("stand-in output"), std::string::npos);
    EXPECT_EQ(list_dir(f.dir.path), (std::vector<std::string>{hostile, hostile + ".orvo", "args.txt"}));

    // -sift scales by 3: the matrices are a ninth of a plain run's.
    const std::vector<ellipse_line> sift_lines = read_ellipses(f.dir / (hostile + ".orvo"));
    ASSERT_EQ(run_orvo({"-i", hostile}, {f.dir.path}).status, 0);
    const std::vector<ellipse_line> plain = read_ellipses(f.dir / (hostile + ".orvo"));
    ASSERT_EQ(plain.size(), sift_lines.size());
    for (std::size_t i = 0; i < plain.size(); ++i) EXPECT_NEAR(sift_lines[i].a, plain[i].a / 9, 1e-10);

    // With --dense, by the dense preset's measurement scale (5), before or
    // after the other options.
    const double grown = orvo::DetectorOptions::dense().measurement_scale;
    ASSERT_EQ(run_orvo({"-i", hostile, "--dense"}, {f.dir.path}).status, 0);
    const std::vector<ellipse_line> dense = read_ellipses(f.dir / (hostile + ".orvo"));
    ASSERT_EQ(run_orvo({"-sift", "-i", hostile, "--dense"}, options).status, 0);
    const std::vector<ellipse_line> dense_sift = read_ellipses(f.dir / (hostile + ".orvo"));
    ASSERT_EQ(dense.size(), dense_sift.size());
    for (std::size_t i = 0; i < dense.size(); ++i)
        EXPECT_NEAR(dense_sift[i].c, dense[i].c / (grown * grown), 1e-10);
}

TEST(Run, SiftFailuresEndWithStatusTwo)
{
    shapes_folder f;
    {
        run_options options{f.dir.path, {"PATH=" + f.dir.path}};
        const run_result r = run_orvo({"-i", "shapes.png", "-sift"}, options);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.err, std::string(orvo::cli::DESCRIPTOR_EXECUTABLE) + " could not be started: No such file or directory\n");
        EXPECT_NE(r.out.find("Descriptors computed in: "), std::string::npos);
    }
    {
        stand_in exe(f.dir / "args.txt", 3);
        const run_result r = run_orvo({"-i", "shapes.png", "-sift"}, {f.dir.path, {exe.path_entry()}});
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.err, std::string(orvo::cli::DESCRIPTOR_EXECUTABLE) + " ended with status 3\n");
    }
    {
        temp_dir bin;
        write_file(bin / orvo::cli::DESCRIPTOR_EXECUTABLE, "#!/bin/sh\nkill -9 $$\n");
        chmod((bin / orvo::cli::DESCRIPTOR_EXECUTABLE).c_str(), 0755);
        const run_result r = run_orvo({"-i", "shapes.png", "-sift"}, {f.dir.path, {"PATH=" + bin.path}});
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.err, std::string(orvo::cli::DESCRIPTOR_EXECUTABLE) + " was killed by signal 9\n");
    }
    {
        // No descriptors for the regions of an old ellipse file.
        write_file(f.dir / "shapes.png.orvo", "0.000000\n0\n");
        unlink((f.dir / "args.txt").c_str());
        stand_in exe(f.dir / "args.txt");
        run_options options{f.dir.path, {exe.path_entry()}};
        options.file_size_limit = 120;  // below two regions' lines, above the messages
        const run_result r = run_orvo({"-i", "shapes.png", "-sift"}, options);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.err, "Unable to write file shapes.png.orvo: File too large\n"
                         "Descriptors not computed: shapes.png.orvo was not written\n");
        EXPECT_FALSE(file_exists(f.dir / "args.txt"));
    }
    {
        stand_in exe(f.dir / "args.txt", 0, "echo $$ > '" + f.dir / "pid" + "'\nexec sleep 300\n");
        const run_result r =
            run_orvo({"-i", "shapes.png", "-sift"}, {f.dir.path, {exe.path_entry(), "ORVO_DESCRIPTOR_TIMEOUT=0.5"}});
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.err, std::string(orvo::cli::DESCRIPTOR_EXECUTABLE) + " was stopped after 0.5 s (ORVO_DESCRIPTOR_TIMEOUT)\n");
        EXPECT_NE(kill(std::stoi(read_file(f.dir / "pid")), 0), 0);  // ended and reaped
        for (const std::string bad : {"abc", "-1", "0", "5s", "inf"}) {
            const run_result refused =
                run_orvo({"-i", "shapes.png", "-sift"}, {f.dir.path, {exe.path_entry(), "ORVO_DESCRIPTOR_TIMEOUT=" + bad}});
            EXPECT_EQ(refused.status, 1) << bad;
            EXPECT_EQ(refused.err, "Invalid ORVO_DESCRIPTOR_TIMEOUT \"" + bad +
                                       "\": a number of seconds greater than 0 is needed\n");
        }
    }
}

namespace {

// Starts the detector in `folder` with `args` and `env` ("NAME=value")
// added, its standard output discarded and its standard error in `err`.
pid_t start_orvo(const std::string& folder, const std::vector<std::string>& args,
                 const std::vector<std::string>& env, const std::string& err = "/dev/null")
{
    const pid_t pid = fork();
    if (pid == 0) {
        if (chdir(folder.c_str()) != 0) _exit(126);
        const int null = open("/dev/null", O_RDWR), err_fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(null, 0);
        dup2(null, 1);
        dup2(err_fd, 2);
        for (const std::string& entry : env) putenv(const_cast<char*>(entry.c_str()));
        std::vector<char*> argv = {const_cast<char*>("orvo")};
        for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        execv(ORVO_EXECUTABLE, argv.data());
        _exit(127);
    }
    return pid;
}

// The exit status (128 + signal when killed) of `pid` once it has ended;
// -1, after killing it, when it is still running 20 seconds later.
int wait_status(pid_t pid)
{
    int status = 0;
    for (int i = 0; i < 400; ++i) {
        if (waitpid(pid, &status, WNOHANG) == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return -1;
}

}  // namespace

TEST(Run, InterruptionEndsTheDescriptorStepToo)
{
    shapes_folder f;
    const std::string pid_file = f.dir / "pid";
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
        // The last stand-in ignores the signals, and is killed.
        const std::string body = signal_number == SIGHUP ? "trap '' INT TERM HUP\necho $$ > '" + pid_file + "'\nwhile :; do sleep 1; done\n"
                                                         : "echo $$ > '" + pid_file + "'\nexec sleep 300\n";
        stand_in exe(f.dir / "args.txt", 0, body);
        unlink(pid_file.c_str());
        const pid_t pid = start_orvo(f.dir.path, {"-i", "shapes.png", "-sift"}, {exe.path_entry()});
        for (int i = 0; i < 400 && read_file(pid_file).find('\n') == std::string::npos; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const pid_t child = std::stoi(read_file(pid_file));
        kill(pid, signal_number);
        EXPECT_EQ(wait_status(pid), 128 + signal_number);
        EXPECT_NE(kill(child, 0), 0) << "the descriptor step outlived the run";
        kill(child, SIGKILL);
    }
}

TEST(Run, DisplayWithoutAScreenFailsCleanly)
{
    // A display that accepts the connection and never answers: a listener
    // on the loopback at an X display's port, which never accepts.
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int silent = -1;
    for (int n = 50; n < 100 && silent < 0; ++n) {
        address.sin_port = htons(static_cast<uint16_t>(6000 + n));
        if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) silent = n;
    }
    ASSERT_GE(silent, 0);
    ASSERT_EQ(listen(listener, 8), 0);
    const std::vector<std::pair<std::string, std::string>> displays = {
        {":424242", "no display available"},
        {"127.0.0.1:" + std::to_string(silent), "the display did not answer within 5 s"}};
    for (const auto& [display, reason] : displays) {
        shapes_folder f;
        const run_result r = run_orvo({"-i", "shapes.png", "-disp", "-save"}, {f.dir.path, {"DISPLAY=" + display}});
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.err, "Unable to show shapes.png: " + reason + "\n");
        EXPECT_TRUE(file_exists(f.dir / "shapes.png.orvo.png"));
        EXPECT_TRUE(file_exists(f.dir / "shapes.png.orvo"));
    }
    close(listener);
}

TEST(Run, WindowLibrariesStayOutOfOrvo)
{
    // The window and codec modules (and the many libraries they bring
    // along) are loaded only by the window executable.
    const run_result linked = run_program("ldd", {ORVO_EXECUTABLE});
    ASSERT_EQ(linked.status, 0);
    for (const char* library : {"libopencv_highgui", "libopencv_imgcodecs"})
        EXPECT_EQ(linked.out.find(library), std::string::npos) << library;

    // Neither beside orvo nor on the command search path: -disp fails alone.
    shapes_folder f;
    const std::string alone = f.dir / "orvo";
    write_file(alone, read_file(ORVO_EXECUTABLE));
    chmod(alone.c_str(), 0755);
    const run_result r = run_program(alone, {"-i", "shapes.png", "-disp", "-save"}, {f.dir.path, {"PATH=" + f.dir.path}});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "Unable to show shapes.png: orvo-window could not be started: No such file or directory\n");
    EXPECT_TRUE(file_exists(f.dir / "shapes.png.orvo.png"));
}

TEST(Run, SecondReadFailureDrawsNothing)
{
    temp_dir dir;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(orvo::cli::draw_show_and_save(dir / "gone.png", {{10, 10, 1, 0, 1}}, false, true));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Unable to read " + dir / "gone.png" + " again: nothing drawn\n");
    EXPECT_TRUE(list_dir(dir.path).empty());
}

namespace {

// A virtual X server for the window test; stopped with the object.
struct virtual_display {
    pid_t pid = -1;
    std::string name;
    virtual_display()
    {
        if (access("/usr/bin/Xvfb", X_OK) != 0) return;
        for (int n = 91; n < 120 && name.empty(); ++n)
            if (!file_exists("/tmp/.X11-unix/X" + std::to_string(n)) && !file_exists("/tmp/.X" + std::to_string(n) + "-lock"))
                name = ":" + std::to_string(n);
        if (name.empty()) return;
        pid = fork();
        if (pid == 0) {
            const int null = open("/dev/null", O_RDWR);
            dup2(null, 1);
            dup2(null, 2);
            execl("/usr/bin/Xvfb", "Xvfb", name.c_str(), "-screen", "0", "640x480x24", "-nolisten", "tcp", "-noreset",
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        const std::string socket = "/tmp/.X11-unix/X" + name.substr(1);
        for (int i = 0; i < 100 && !file_exists(socket); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (!file_exists(socket)) name.clear();
    }
    ~virtual_display() { stop(); }
    void stop()
    {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
        pid = -1;
    }
};

// The window titled with the image name, once it has appeared; "" when none
// did within `seconds`.
std::string find_window(const std::string& display_env, int seconds = 30)
{
    for (int i = 0; i < seconds * 20; ++i) {
        const run_result search = run_program("xdotool", {"search", "--name", "^shapes\\.png$"}, {"", {display_env}});
        if (search.status == 0 && !search.out.empty()) return search.out.substr(0, search.out.find('\n'));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return "";
}

// Errors of requests to a window that has just gone are expected: ignored,
// instead of the library's default of ending the process.
int ignore_x_error(Display*, XErrorEvent*) { return 0; }

// Asks the window to close, as a window manager does.
void close_as_window_manager(const std::string& display_name, const std::string& window)
{
    if (window.empty()) return;  // already gone
    Display* display = XOpenDisplay(display_name.c_str());
    ASSERT_NE(display, nullptr);
    const auto previous = XSetErrorHandler(ignore_x_error);
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = std::stoul(window);
    event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(display, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(display, event.xclient.window, False, NoEventMask, &event);
    XSync(display, False);  // any error arrives while it is ignored
    XCloseDisplay(display);
    XSetErrorHandler(previous);
}

}  // namespace

TEST(Run, DisplayShowsTheWindowUntilAKeyThenSaves)
{
    virtual_display display;
    if (display.name.empty() || access("/usr/bin/xdotool", X_OK) != 0) GTEST_SKIP() << "Xvfb or xdotool missing";
    shapes_folder f;
    const std::string display_env = "DISPLAY=" + display.name;

    const pid_t pid = start_orvo(f.dir.path, {"-i", "shapes.png", "-disp", "-save"}, {display_env});
    const std::string window = find_window(display_env);
    ASSERT_FALSE(window.empty()) << "no window appeared";
    // The window is up: orvo must be waiting for the key, its window still
    // shown.
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, WNOHANG), 0);
    EXPECT_FALSE(find_window(display_env).empty());
    EXPECT_TRUE(file_exists(f.dir / "shapes.png.orvo.png"));  // saved before the window opened

    pid_t done = 0;
    for (int i = 0; i < 100 && done == 0; ++i) {
        run_program("xdotool", {"key", "--window", window, "space"}, {"", {display_env}});
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        done = waitpid(pid, &status, WNOHANG);
    }
    if (done == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        FAIL() << "the key press did not end the run";
    }
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(file_exists(f.dir / "shapes.png.orvo.png"));
}

TEST(Run, ClosedWindowOrLostDisplayEndsTheWait)
{
    for (const std::string how : {"closed", "connection killed", "server ended"}) {
        virtual_display display;
        if (display.name.empty() || access("/usr/bin/xdotool", X_OK) != 0) GTEST_SKIP() << "Xvfb or xdotool missing";
        const std::string display_env = "DISPLAY=" + display.name;
        shapes_folder f;
        temp_dir log;
        const pid_t pid = start_orvo(f.dir.path, {"-i", "shapes.png", "-disp", "-save"}, {display_env}, log / "err");
        const std::string window = find_window(display_env);
        ASSERT_FALSE(window.empty()) << how << read_file(log / "err");
        if (how == "connection killed") run_program("xdotool", {"windowkill", window}, {"", {display_env}});
        if (how == "server ended") display.stop();
        siginfo_t ended{};
        // Asked again until it ends: the window may not handle requests yet,
        // and the toolkit may have replaced the window first found.
        for (int i = 0; how == "closed" && i < 50 && ended.si_pid == 0; ++i) {
            close_as_window_manager(display.name, i == 0 ? window : find_window(display_env, 1));
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            waitid(P_PID, static_cast<id_t>(pid), &ended, WEXITED | WNOHANG | WNOWAIT);
        }
        const std::string lost = "Unable to show shapes.png: the connection to the display was lost\n";
        EXPECT_EQ(wait_status(pid), how == "closed" ? 0 : 2) << how;
        EXPECT_EQ(read_file(log / "err").find(lost) != std::string::npos, how != "closed") << read_file(log / "err");
        EXPECT_TRUE(file_exists(f.dir / "shapes.png.orvo.png")) << how;
    }
}
