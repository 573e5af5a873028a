#include "kc_log.h"

#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/sinks/stdout_sinks.h>
#include <spdlog/spdlog.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <memory>

namespace kc {

namespace {

bool make_parent_dirs(const std::string& file) {
  std::string dir = file.substr(0, file.find_last_of('/'));
  if (dir.empty() || dir == file) return true;
  for (std::size_t pos = 1; pos <= dir.size(); ++pos) {
    if (pos == dir.size() || dir[pos] == '/') {
      const std::string part = dir.substr(0, pos);
      if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return false;
    }
  }
  return true;
}

}  // namespace

std::string effective_log_level(const Config& config, int agent_level) {
  if (config.log_level_set) return config.log_level;
  if (agent_level >= 5) return "trace";
  if (agent_level == 4) return "debug";
  return "info";
}

bool open_log(const Config& config, const std::string& level, std::string& error) {
  std::shared_ptr<spdlog::logger> logger;
  try {
    if (config.log_file == "-") {
      logger = std::make_shared<spdlog::logger>("kxcontainer", std::make_shared<spdlog::sinks::stderr_sink_mt>());
    } else {
      if (!make_parent_dirs(config.log_file)) {
        error = "cannot create the directory of " + config.log_file;
        return false;
      }
      auto sink = std::make_shared<spdlog::sinks::rotating_file_sink_mt>(
          config.log_file, static_cast<std::size_t>(config.log_max_bytes),
          static_cast<std::size_t>(config.log_files));
      logger = std::make_shared<spdlog::logger>("kxcontainer", sink);
    }
  } catch (const spdlog::spdlog_ex& e) {
    error = e.what();
    return false;
  }
  logger->set_pattern("%Y-%m-%d %H:%M:%S.%e %P %-5l %v");
  logger->set_level(spdlog::level::from_str(level));
  // Warnings and errors reach the file at once; the rest within a second.
  logger->flush_on(spdlog::level::warn);
  spdlog::set_default_logger(logger);
  spdlog::flush_every(std::chrono::seconds(1));
  return true;
}

void close_log() {
  if (auto l = spdlog::default_logger()) l->flush();
  spdlog::shutdown();
}

bool secret_name(std::string_view name) {
  std::string upper(name);
  std::transform(upper.begin(), upper.end(), upper.begin(), [](unsigned char c) { return std::toupper(c); });
  if (upper.rfind("ZRT_ATTR_KEY_", 0) == 0) return false;
  for (const char* word : {"PASS", "PWD", "SECRET", "TOKEN", "CREDENTIAL", "KEY"}) {
    if (upper.find(word) != std::string::npos) return true;
  }
  return false;
}

std::string loggable(const Attributes& attributes) {
  std::string out;
  for (const auto& [name, value] : attributes) {
    if (!out.empty()) out += ' ';
    out += name;
    out += '=';
    if (secret_name(name)) {
      out += "****";
    } else if (value.size() > 200) {
      out.append(value, 0, 200);
      out += "...";
    } else {
      out += value;
    }
  }
  return out;
}

}  // namespace kc
