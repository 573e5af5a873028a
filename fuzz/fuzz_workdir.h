// fuzz_workdir.h - the private working directory every fuzz target runs in.
//
// The library reads "./data/<T>.dat" and writes under "./proclog", so a fuzz
// target must never run in the checkout or the agent's installation. Each
// target calls kxfuzz::enter_workdir() from LLVMFuzzerInitialize: a fresh
// directory under $TMPDIR (or /tmp) with data/, proclog/ and sysout/ becomes
// the current directory and is removed again at normal exit. A crash leaves
// it behind on purpose, beside the artifact that reproduces it.
//
// Because the current directory changes before libFuzzer reads its corpus,
// give corpus directories and -artifact_prefix as absolute paths (run.sh
// does).
#ifndef BE_HADOOP_FUZZ_FUZZ_WORKDIR_H
#define BE_HADOOP_FUZZ_FUZZ_WORKDIR_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace kxfuzz {

// Makes the directory and changes into it; a second call does nothing.
// Aborts when the directory cannot be made: fuzzing elsewhere is never safe.
void enter_workdir();

// Gives the working directory the agent's code-page data (exe/locale with
// the Latin-1 and UTF-8 files) and points WEXAGENT at it, so conversions
// between the agent's and the container's code page work as installed.
void install_locales();

// The absolute path of the directory (empty before enter_workdir).
const std::string& workdir();

// Writes bytes to a file below the working directory, replacing it; aborts
// on failure.
void write_file(const std::string& relative, const uint8_t* data, size_t size);

// The input as a NUL-terminated text: the library's parsers take C strings,
// so an embedded NUL simply ends the text early.
inline std::string as_text(const uint8_t* data, size_t size) {
  return std::string(reinterpret_cast<const char*>(data), size);
}

}  // namespace kxfuzz

#endif  // BE_HADOOP_FUZZ_FUZZ_WORKDIR_H
