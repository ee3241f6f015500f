// Opening the traffic log's file without ever blocking on it.
#pragma once

#include <cstdio>

namespace ktcomm::platform {

// Opens `path` as fopen(path, mode) would, but only when it is (or becomes)
// a regular file: a FIFO without a reader, a device node or a directory
// fails at once, as an unwritable file does, instead of blocking the caller
// or writing somewhere odd. Null when it cannot be opened.
FILE* OpenRegularFile(const char* path, const char* mode);

}  // namespace ktcomm::platform
