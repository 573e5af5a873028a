// kc_file.h - reading files that someone else may have put in place.
//
// A job runs as the container's user in its own spool directory, and an
// operator writes the configuration: either can leave a pipe where a file
// is expected. Opened plainly, a pipe blocks its reader until a writer
// comes, and a blocked reader here is a hung container; so these never
// wait on anything but a regular file (or a device, which is read to a
// bound like any file).
#ifndef BE_HADOOP_CONTAINER_KC_FILE_H
#define BE_HADOOP_CONTAINER_KC_FILE_H

#include <cstddef>
#include <string>

namespace kc {

// An O_RDONLY | O_CLOEXEC descriptor of path, or -1 with errno set (EINVAL
// for a pipe or a socket).
int open_for_reading(const std::string& path);

// Reads at most limit + 1 bytes of path into text, so that a caller sees a
// file beyond its limit without reading it all. False with the reason in
// error when it cannot be opened or read.
bool read_bounded(const std::string& path, std::size_t limit, std::string& text, std::string& error);

}  // namespace kc

#endif  // BE_HADOOP_CONTAINER_KC_FILE_H
