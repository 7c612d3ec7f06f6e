// Image reading through the image library's decoders.
#include "io/image_input.h"

#include <cerrno>
#include <fcntl.h>
#include <new>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>
#include <opencv2/imgcodecs.hpp>

namespace {

template <class Read>
image_read read_with(Read read, std::size_t max_pixels)
{
    image_read result;
    try {
        result.image = read(cv::IMREAD_COLOR | cv::IMREAD_IGNORE_ORIENTATION);
    } catch (const cv::Exception& e) {
        if (e.code == cv::Error::StsNoMem) result.failure = image_failure::out_of_memory;
    } catch (const std::bad_alloc&) {
        result.failure = image_failure::out_of_memory;
    }
    if (result.failure == image_failure::none && result.image.empty()) result.failure = image_failure::unreadable;
    if (result.failure == image_failure::none && result.image.total() > max_pixels) {
        result.image.release();
        result.failure = image_failure::too_large;
    }
    if (result.failure == image_failure::unreadable) result.reason = "not a readable image";
    if (result.failure == image_failure::too_large) result.reason = "larger than the pixel limit";
    if (result.failure == image_failure::out_of_memory) result.reason = "out of memory";
    return result;
}

}  // namespace

image_read read_image_file(const std::string& path, std::size_t max_pixels)
{
    // Opened without blocking, so that a FIFO with no writer is refused
    // rather than waited for; only regular files are read.
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat info {};
    if (fd < 0 || fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        if (fd >= 0) close(fd);
        image_read result;
        result.failure = image_failure::unreadable;
        result.reason = "not a readable image";
        return result;
    }
    std::vector<unsigned char> bytes;
    image_read result;
    try {
        bytes.resize(static_cast<std::size_t>(info.st_size));
    } catch (const std::bad_alloc&) {
        close(fd);
        result.failure = image_failure::out_of_memory;
        result.reason = "out of memory";
        return result;
    }
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t got = read(fd, bytes.data() + done, bytes.size() - done);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        done += static_cast<std::size_t>(got);
    }
    close(fd);
    bytes.resize(done);
    return decode_image(bytes.data(), bytes.size(), max_pixels);
}

image_read decode_image(const unsigned char* data, std::size_t size, std::size_t max_pixels)
{
    return read_with(
        [&](int flags) {
            return cv::imdecode(cv::Mat(1, static_cast<int>(size), CV_8UC1, const_cast<unsigned char*>(data)), flags);
        },
        max_pixels);
}
