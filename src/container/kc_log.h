// kc_log.h - the container's own log.
//
// One spdlog logger for the whole process (spdlog's default logger), written
// to a file that rotates by size. Callers use spdlog::info(...) and friends;
// spdlog tests the level before it formats, so a line above the level costs
// only that test.
#ifndef BE_HADOOP_CONTAINER_KC_LOG_H
#define BE_HADOOP_CONTAINER_KC_LOG_H

#include <string>
#include <string_view>

#include "kc_config.h"
#include "kc_document.h"

namespace kc {

// The level for a start: the configuration's LogLevel when it sets one,
// else one derived from the agent's debug level (4: debug, 5 and above:
// trace, below 4: info).
std::string effective_log_level(const Config& config, int agent_level);

// Sends the log to config.log_file (created with its directory, rotated at
// log_max_bytes, log_files copies kept) at level; to standard error when
// log_file is "-". Returns false with error when the file cannot be opened.
bool open_log(const Config& config, const std::string& level, std::string& error);

// Flushes and closes the log (at exit).
void close_log();

// True for an attribute name that looks like it holds a secret: it
// contains PASS, PWD, SECRET, TOKEN, CREDENTIAL or KEY (any case). The key
// names of pairs (ZRT_ATTR_KEY_n) are names, not secrets.
bool secret_name(std::string_view name);

// "NAME=value NAME2=****": the attributes for a log line, secrets masked and
// each value cut to 200 bytes.
std::string loggable(const Attributes& attributes);

}  // namespace kc

#endif  // BE_HADOOP_CONTAINER_KC_LOG_H
