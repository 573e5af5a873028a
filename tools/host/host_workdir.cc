#include "host_workdir.h"

#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <fstream>

#include "host_backend.h"
#include "host_paths.h"

namespace kxhost {

namespace {

constexpr char kInitHint[] = "lay one out with 'kxhost init DIR', then cd DIR";

std::string trim_left(const std::string& s) {
  const auto first = s.find_first_not_of(" \t");
  return first == std::string::npos ? std::string() : s.substr(first);
}

// Length of the UTF-8 sequence that lead begins, 0 when lead cannot begin one.
int utf8_length(unsigned char lead) {
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) return 2;
  if (lead >= 0xE0 && lead <= 0xEF) return 3;
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  return 0;
}

// Decodes text as UTF-8 into code points; false when it is not UTF-8.
bool decode_utf8(const std::string& text, std::vector<unsigned long>& out) {
  for (std::size_t i = 0; i < text.size();) {
    const unsigned char lead = static_cast<unsigned char>(text[i]);
    const int n = utf8_length(lead);
    if (n == 0 || i + static_cast<std::size_t>(n) > text.size()) return false;
    unsigned long cp = n == 1 ? lead : lead & (0x7Fu >> n);
    for (int k = 1; k < n; ++k) {
      const unsigned char c = static_cast<unsigned char>(text[i + static_cast<std::size_t>(k)]);
      if ((c & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (c & 0x3F);
    }
    out.push_back(cp);
    i += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

bool table_value(const std::string& path, const std::string& key, std::string& value) {
  std::ifstream in(path);
  if (!in) return false;
  std::string line;
  while (std::getline(in, line)) {
    line = trim_left(line);
    if (line.empty() || line[0] == '#') continue;
    const auto end = line.find_first_of(" \t=");
    std::string name = line.substr(0, end);
    for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (name != key) continue;
    std::string v = end == std::string::npos ? std::string() : trim_left(line.substr(end + 1));
    while (!v.empty() && v.back() == ' ') v.pop_back();
    value = v;
    return true;
  }
  return false;
}

bool safe_container_dir(const std::string& path) {
  if (path.empty() || path[0] == '-') return false;
  for (char c : path) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '/' && c != '.' && c != '_' && c != '+' && c != '-')
      return false;
  }
  return true;
}

std::vector<Problem> check_working_directory(Needs needs, std::vector<std::string>& warnings) {
  std::vector<Problem> problems;
  const std::string cwd = absolute_path(".");
  const bool agent_dir = is_dir("data") || is_dir("proclog");
  if (!is_dir("proclog")) {
    problems.push_back({cwd + " is not an agent working directory: proclog/ is missing (the library's logs go there)",
                        agent_dir ? "create it: mkdir proclog" : kInitHint});
  }
  const char* home = std::getenv("WEXAGENT");
  if (home == nullptr || *home == '\0') {
    problems.push_back({"WEXAGENT is not set: the library reads its locale data from $WEXAGENT/exe/locale",
                        "export WEXAGENT=" + (is_dir("exe/locale") ? cwd : std::string("<agent home>")) +
                            " (for a directory made by kxhost init, the directory itself)"});
  } else {
    for (const char* file : kLocaleFiles) {
      const std::string path = std::string(home) + "/exe/locale/" + file;
      if (!is_file(path)) {
        problems.push_back({"the locale data file " + path + " is missing",
                            "point WEXAGENT at an agent home holding exe/locale/*.cp (kxhost init copies them)"});
        break;
      }
    }
  }
  if (needs == Needs::kProcess) return problems;

  std::string kx_dir;
  if (!is_file("data/HADOOP.dat")) {
    problems.push_back({cwd + " has no data/HADOOP.dat: the library cannot find the container directory (KX_DIR)",
                        agent_dir ? "write a line 'KX_DIR /path/to/container' to data/HADOOP.dat, or " +
                                        std::string(kInitHint)
                                  : kInitHint});
    return problems;
  }
  if (!table_value("data/HADOOP.dat", "KX_DIR", kx_dir) || kx_dir.empty()) {
    problems.push_back({"data/HADOOP.dat names no container directory: the key KX_DIR is missing or empty",
                        "add a line 'KX_DIR /path/to/container' (kxhost init writes one)"});
    return problems;
  }
  if (!safe_container_dir(kx_dir)) {
    problems.push_back({"KX_DIR '" + kx_dir + "' has characters the library refuses in a container directory",
                        "use a path of letters, digits and /._+- only"});
    return problems;
  }
  if (!is_dir(kx_dir)) {
    problems.push_back({"the container directory KX_DIR " + kx_dir + " does not exist",
                        "lay it out with 'kxhost init', or correct KX_DIR in data/HADOOP.dat"});
    return problems;
  }
  const std::string script = kx_dir + "/" + kStartScript;
  if (!is_executable(script)) {
    problems.push_back({"the container directory " + kx_dir + " has no executable " + kStartScript +
                            ": the library could not start the container",
                        "copy kxcontainer and " + std::string(kStartScript) +
                            " there ('kxhost init --force' in the agent directory does)"});
  }
  const std::string conf = kx_dir + "/../data/kx_container_conf.xml";
  if (!is_file(conf)) {
    warnings.push_back("no container configuration " + absolute_path(conf) +
                       ": the library and the container use localhost:38980");
  }
  return problems;
}

AgentText::AgentText() {
  std::string mode;
  utf8_ = table_value("data/CONFIG.dat", "I18N", mode) && mode == "CJK";
}

std::string AgentText::to_agent(const std::string& text, const std::string& what) const {
  if (utf8_) return text;
  std::vector<unsigned long> cps;
  if (!decode_utf8(text, cps)) return text;
  std::string out;
  for (unsigned long cp : cps) {
    if (cp > 0xFF) {
      throw UserError(what + " has characters outside Latin-1, the agent's code page here",
                      "for UTF-8 text put the line 'I18N CJK' into data/CONFIG.dat");
    }
    out.push_back(static_cast<char>(cp));
  }
  return out;
}

std::string AgentText::from_agent(const std::string& text) const {
  if (utf8_) return text;
  std::string out;
  out.reserve(text.size());
  for (char ch : text) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c < 0x80) {
      out.push_back(ch);
    } else {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

}  // namespace kxhost
