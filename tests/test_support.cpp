// Helpers shared by the tests.
#include "tests/test_support.h"

#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <ftw.h>
#include <opencv2/imgproc.hpp>
#include <sstream>
#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>

extern char** environ;

run_result run_program(const std::string& program, const std::vector<std::string>& args, const run_options& options)
{
    temp_dir capture;
    const std::string out_name = capture / "out", err_name = capture / "err";
    const pid_t pid = fork();
    if (pid == 0) {
        // A write past the size limit raises SIGXFSZ, which the programs
        // themselves must ignore.
        for (const auto& [resource, value] : {std::pair<int, long>{RLIMIT_FSIZE, options.file_size_limit},
                                              std::pair<int, long>{RLIMIT_AS, options.memory_limit}}) {
            const struct rlimit limit = {static_cast<rlim_t>(value), static_cast<rlim_t>(value)};
            if (value >= 0) setrlimit(resource, &limit);
        }
        if (options.unprivileged && geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(125);
        if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(126);
        const int in = open("/dev/null", O_RDONLY);
        int out = open(out_name.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int ends[2];
        if (options.closed_output && pipe(ends) == 0) {
            close(ends[0]);
            out = ends[1];
        }
        const int err = open(err_name.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        for (const std::string& entry : options.extra_env) putenv(const_cast<char*>(entry.c_str()));
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(program.c_str()));
        for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        execvp(program.c_str(), argv.data());
        _exit(127);
    }
    run_result result;
    int status = 0;
    waitpid(pid, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.out = read_file(out_name);
    result.err = read_file(err_name);
    return result;
}

run_result run_orvo(const std::vector<std::string>& args, const run_options& options)
{
    return run_program(ORVO_EXECUTABLE, args, options);
}

temp_dir::temp_dir()
{
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/orvo-test-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (mkdtemp(name.data()) == nullptr) std::abort();
    path = name.data();
    chmod(path.c_str(), 0777);
}

temp_dir::~temp_dir()
{
    // Make everything writable again first: tests take write permission away.
    nftw(path.c_str(), [](const char* name, const struct stat*, int type, struct FTW*) {
        if (type == FTW_D || type == FTW_DNR) chmod(name, 0700);
        return 0;
    }, 16, FTW_PHYS);
    nftw(path.c_str(), [](const char* name, const struct stat*, int, struct FTW*) { return remove(name); }, 16,
         FTW_DEPTH | FTW_PHYS);
}

std::string read_file(const std::string& name)
{
    std::ifstream in(name, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void write_file(const std::string& name, const std::string& text)
{
    std::ofstream(name, std::ios::binary) << text;
}

bool file_exists(const std::string& name)
{
    struct stat info;
    return stat(name.c_str(), &info) == 0;
}

std::vector<std::string> list_dir(const std::string& path)
{
    std::vector<std::string> names;
    if (DIR* dir = opendir(path.c_str())) {
        while (dirent* entry = readdir(dir)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..") names.push_back(name);
        }
        closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

cv::Mat shapes_image()
{
    cv::Mat image(240, 320, CV_8UC3);
    for (int r = 0; r < image.rows; ++r)
        for (int c = 0; c < image.cols; ++c)
            image.at<cv::Vec3b>(r, c) = cv::Vec3b(static_cast<unsigned char>(70 + c / 10),
                                                  static_cast<unsigned char>(80 + r / 10), 100);
    cv::circle(image, cv::Point(70, 70), 40, cv::Scalar(240, 240, 240), cv::FILLED);
    cv::rectangle(image, cv::Rect(160, 30, 120, 70), cv::Scalar(20, 20, 20), cv::FILLED);
    cv::ellipse(image, cv::Point(100, 175), cv::Size(55, 28), 30, 0, 360, cv::Scalar(30, 220, 230), cv::FILLED);
    cv::circle(image, cv::Point(240, 175), 35, cv::Scalar(200, 40, 40), cv::FILLED);
    return image;
}

std::string shared_data_dir()
{
    const std::string dir = ORVO_SHARED_DATA;
    return file_exists(dir + "/butterfly.jpg") ? dir : std::string();
}
