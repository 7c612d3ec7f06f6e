// orvo/errors.h: what the library throws.
//
// Every failure is an exception; the library never prints, never exits and
// never changes process-wide state.
//   - std::invalid_argument: a bad option value or argument (the message
//     names it), for example an image of an unsupported type;
//   - orvo::ImageError: an image file or buffer could not be read;
//   - orvo::RegionFileError: a region file could not be read or written;
//   - std::bad_alloc: memory ran out (also inside the image library).
//
//   try { auto regions = orvo::detect(orvo::read_image(path)); }
//   catch (const orvo::ImageError& e) { std::cerr << e.what() << "\n"; }
#pragma once

#include <stdexcept>
#include <string>

#include "orvo/export.h"

namespace orvo {

// Base of the library's own errors.
class ORVO_EXPORT Error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class ORVO_EXPORT ImageError : public Error {
public:
    enum class Kind { Unreadable, Truncated, TooLarge };
    ImageError(Kind kind, const std::string& message) : Error(message), kind_(kind) {}
    Kind kind() const noexcept { return kind_; }

private:
    Kind kind_;
};

class ORVO_EXPORT RegionFileError : public Error {
public:
    using Error::Error;
};

}  // namespace orvo
