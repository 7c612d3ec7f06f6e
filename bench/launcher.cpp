// The launcher process: reads a program and its arguments from a pipe,
// runs it, and writes back its wall time and peak memory.
#include "bench/launcher.h"

#include <chrono>
#include <cstdint>
#include <fcntl.h>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "io/full_transfer.h"

namespace {

// A request: its length, then the program and its arguments, each ended by
// a zero byte.
std::string encode(const std::string& program, const std::vector<std::string>& args)
{
    std::string request = program + '\0';
    for (const std::string& a : args) request += a + '\0';
    const std::uint64_t size = request.size();
    return std::string(reinterpret_cast<const char*>(&size), sizeof size) + request;
}

process_run run_here(const std::string& request)
{
    std::vector<char*> argv;
    std::string words = request;
    for (std::size_t at = 0; at < words.size(); at = words.find('\0', at) + 1) argv.push_back(&words[at]);
    argv.push_back(nullptr);
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    struct rusage usage {};
    if (pid < 0 || wait4(pid, &status, 0, &usage) < 0) return {-1, -1};
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    return {ms, usage.ru_maxrss / 1024.0};
}

[[noreturn]] void serve(int requests, int replies)
{
    std::uint64_t size = 0;
    while (orvo::detail::read_fully(requests, &size, sizeof size)) {
        std::string request(size, '\0');
        if (!orvo::detail::read_fully(requests, &request[0], size)) break;
        const process_run result = run_here(request);
        if (!orvo::detail::write_fully(replies, &result, sizeof result)) break;
    }
    _exit(0);
}

}  // namespace

launcher::launcher()
{
    int to[2], from[2];
    if (pipe(to) != 0 || pipe(from) != 0) throw std::runtime_error("launcher: no pipe");
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("launcher: no process");
    if (pid_ == 0) {
        close(to[1]);
        close(from[0]);
        serve(to[0], from[1]);
    }
    close(to[0]);
    close(from[1]);
    requests_ = to[1];
    replies_ = from[0];
}

launcher::~launcher()
{
    close(requests_);  // the launcher sees the end and exits
    close(replies_);
    waitpid(pid_, nullptr, 0);
}

process_run launcher::run(const std::string& program, const std::vector<std::string>& args)
{
    const std::string request = encode(program, args);
    process_run result{};
    if (!orvo::detail::write_fully(requests_, request.data(), request.size()) || !orvo::detail::read_fully(replies_, &result, sizeof result) ||
        result.ms < 0)
        throw std::runtime_error("launcher: could not run " + program);
    return result;
}
