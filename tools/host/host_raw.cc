#include "host_raw.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "host_workdir.h"

namespace kxhost {

namespace {

constexpr std::size_t kDefaultOutSize = 256;
constexpr int kSysoutBlock = 5000;
constexpr int kMaxBlocks = 100000;

struct OutWord {
  std::string name;
  std::size_t size;
};

// NAME=VALUE words become input attributes; "--out NAME[:SIZE]" pre-creates
// an output attribute with a value buffer of SIZE bytes.
void parse_words(int argc, char** argv, int first, const AgentText& text,
                 std::vector<std::pair<std::string, std::string>>& in, std::vector<OutWord>* out) {
  for (int i = first; i < argc; ++i) {
    const std::string word = argv[i];
    if (word == "--out" && out != nullptr) {
      if (i + 1 >= argc) throw UserError("--out needs NAME or NAME:SIZE", "for example --out STATUS:32");
      const std::string wanted = argv[++i];
      const auto colon = wanted.find(':');
      std::size_t size = kDefaultOutSize;
      if (colon != std::string::npos) {
        char* end = nullptr;
        const long v = std::strtol(wanted.c_str() + colon + 1, &end, 10);
        if (*end != '\0' || v < 1 || v > 65535) {
          throw UserError("--out " + wanted + ": SIZE must be a number from 1 to 65535", "for example --out STATUS:32");
        }
        size = static_cast<std::size_t>(v);
      }
      if (colon == 0) throw UserError("--out " + wanted + " has no name", "for example --out STATUS:32");
      out->push_back({wanted.substr(0, colon), size});
      continue;
    }
    std::string name, value;
    split_assignment(word, name, value);
    in.emplace_back(name, text.to_agent(value, name));
  }
}

void print_attrs(const char* title, const AgentAttrs& list, const AgentText& text) {
  std::printf("  %s (%d):\n", title, list.count());
  for (int i = 0; i < list.count(); ++i) {
    std::printf("    %s = '%s'\n", text.from_agent(list.name(i)).c_str(), text.from_agent(list.value(i)).c_str());
  }
}

}  // namespace

int cmd_version(const Library& lib) {
  char ver[256] = {0};
  lib.get<VersionFn>("HADOOP_KX_version")(ver, sizeof ver);
  std::printf("%s\n", ver);
  return 0;
}

int cmd_lifecycle(int argc, char** argv, int first, const Loader& load) {
  if (argc - first > 1) throw UserError("lifecycle takes at most one word, the REQTYPE", "see kxhost --help");
  const std::unique_ptr<Library> lib = load();
  cmd_version(*lib);
  Session s(*lib, first < argc ? argv[first] : nullptr, true);
  return 0;
}

int cmd_job(int argc, char** argv, int first, const Loader& load) {
  if (first >= argc) {
    throw UserError("job needs an ACTION", "for example: kxhost job TRACK ORDERNO=a1 RUNNO=1 --out STATUS:32");
  }
  const std::string action = argv[first];
  const AgentText text;
  std::vector<std::pair<std::string, std::string>> in_words;
  std::vector<OutWord> out_words;
  parse_words(argc, argv, first + 1, text, in_words, &out_words);
  const std::unique_ptr<Library> loaded = load();
  const Library& lib = *loaded;
  Session s(lib, action.c_str(), true);
  AgentAttrs in(lib), out(lib);
  for (const auto& [n, v] : in_words) in.add(n, v);
  for (const OutWord& o : out_words) out.add(o.name, "", o.size);
  const PEXRC rc = s.action("PEXAPI_JOB_ACTION", action, in, out);
  std::printf("PEXAPI_JOB_ACTION %s -> %s\n", action.c_str(), rc_name(rc));
  if (rc != PEX_SUCCESS) std::printf("  %s\n", text.from_agent(error_text(s.error())).c_str());
  print_attrs("output attributes", out, text);
  return rc == PEX_SUCCESS ? 0 : 1;
}

int cmd_sysout(int argc, char** argv, int first, const Loader& load) {
  if (first >= argc) throw UserError("sysout needs an ORDERNO", "for example: kxhost sysout a1 RUNNO=1");
  const AgentText text;
  std::vector<std::pair<std::string, std::string>> words;
  parse_words(argc, argv, first + 1, text, words, nullptr);
  const std::string orderno = text.to_agent(argv[first], "ORDERNO");
  const std::unique_ptr<Library> loaded = load();
  const Library& lib = *loaded;
  Session s(lib, "SYSOUT", true);
  // The handle refers to this list until the close, as it does to the agent's.
  AgentAttrs job(lib);
  job.add("ORDERNO", orderno);
  for (const auto& [n, v] : words) job.add(n, v);
  void* handle = nullptr;
  PEXRC rc = lib.get<DataOpenFn>("PEXAPI_SYSOUT_DATA_OPEN")(s.connection(), &handle, job.list(), &s.error());
  std::printf("PEXAPI_SYSOUT_DATA_OPEN -> %s\n", rc_name(rc));
  if (rc != PEX_SUCCESS) {
    std::printf("  %s\n", text.from_agent(error_text(s.error())).c_str());
    return 1;
  }
  const auto read = lib.get<DataReadFn>("PEXAPI_SYSOUT_DATA_READ");
  int blocks = 0;
  do {
    // The agent asks for the next block; TEXT's buffer sets the block size.
    AgentAttrs in(lib), out(lib);
    in.add("NAVIGATE", "NEXT");
    out.add("TEXT", "", kSysoutBlock + 1);
    rc = read(s.connection(), handle, in.list(), out.list(), &s.error());
    std::printf("PEXAPI_SYSOUT_DATA_READ #%d -> %s\n", ++blocks, rc_name(rc));
    if (rc == PEX_SUCCESS || rc == PEX_EOS) {
      std::printf("%s\n", text.from_agent(out.get("TEXT")).c_str());
    } else {
      std::printf("  %s\n", text.from_agent(error_text(s.error())).c_str());
    }
  } while (rc == PEX_SUCCESS && blocks < kMaxBlocks);
  AgentAttrs none(lib);
  const PEXRC crc = lib.get<DataCloseFn>("PEXAPI_SYSOUT_DATA_CLOSE")(s.connection(), handle, none.list(), &s.error());
  std::printf("PEXAPI_SYSOUT_DATA_CLOSE -> %s\n", rc_name(crc));
  return rc == PEX_EOS ? 0 : 1;
}

int cmd_shutdown(int argc, int first, const Loader& load) {
  if (first < argc) throw UserError("shutdown takes no arguments", "see kxhost --help");
  const std::unique_ptr<Library> loaded = load();
  const Library& lib = *loaded;
  // Inside a session, as in an agent process, so that the call has its log.
  Session s(lib, nullptr, false);
  const PEXRC rc = lib.get<ShutdownFn>("PEXAPI_Shutdown")();
  std::printf("PEXAPI_Shutdown -> %s\n", rc_name(rc));
  return rc == PEX_SUCCESS ? 0 : 1;
}

}  // namespace kxhost
