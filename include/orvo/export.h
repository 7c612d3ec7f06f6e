// orvo/export.h: what the shared library exports.
//
// The library is compiled with hidden symbols; ORVO_EXPORT marks the public
// API, the only symbols liborvo.so exports.
#pragma once

#if defined(__GNUC__) || defined(__clang__)
#define ORVO_EXPORT __attribute__((visibility("default")))
#else
#define ORVO_EXPORT
#endif
