// kxhost - loads libbe_hadoop.so the way the scheduling agent does (dlopen,
// then the PEXAPI_* entry points by name) so that a person can drive the
// backend by hand from a shell.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "pexapi.h"

namespace {

using InitFn = PEXRC (*)(PEXBackEnd*, PEXAttrList*, PEXError*);
using ConnectFn = PEXRC (*)(PEXBackEnd*, PEXConnection*, PEXAttrList*, PEXError*);
using DisconnectFn = PEXRC (*)(PEXConnection*, PEXError*);
using TermFn = PEXRC (*)(PEXBackEnd*, PEXError*);
using VersionFn = void (*)(char*, int);
using ActionFn = PEXRC (*)(PEXConnection*, char*, PEXAttrList*, PEXAttrList*, PEXError*);
using ShutdownFn = PEXRC (*)();
using DataOpenFn = PEXRC (*)(PEXConnection*, void**, PEXAttrList*, PEXError*);
using DataReadFn = PEXRC (*)(PEXConnection*, void*, PEXAttrList*, PEXAttrList*, PEXError*);
using DataCloseFn = PEXRC (*)(PEXConnection*, void*, PEXAttrList*, PEXError*);

const char* rc_name(PEXRC rc) {
  switch (rc) {
    case PEX_SUCCESS: return "PEX_SUCCESS";
    case PEX_FAIL: return "PEX_FAIL";
    case PEX_EOS: return "PEX_EOS";
    case PEX_NOT_FOUND: return "PEX_NOT_FOUND";
    case PEX_NOT_SUPPORTED: return "PEX_NOT_SUPPORTED";
    case PEX_RETRY: return "PEX_RETRY";
    case PEX_UNAVAILABLE: return "PEX_UNAVAILABLE";
    case PEX_CPP_STUB_CALLED: return "PEX_CPP_STUB_CALLED";
  }
  return "unknown";
}

// The loaded backend. Entry points are looked up when first used, so a
// command needs only the entry points it calls.
class Backend {
 public:
  explicit Backend(const std::string& path) : handle_(dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL)) {}
  ~Backend() {
    if (handle_ != nullptr) dlclose(handle_);
  }
  Backend(const Backend&) = delete;
  Backend& operator=(const Backend&) = delete;

  bool loaded() const { return handle_ != nullptr; }

  template <typename Fn>
  Fn get(const char* name) const {
    void* sym = dlsym(handle_, name);
    if (sym == nullptr) {
      std::fprintf(stderr, "kxhost: entry point %s not found\n", name);
      std::exit(2);
    }
    return reinterpret_cast<Fn>(sym);
  }

 private:
  void* handle_;
};

// An attribute list whose strings the host owns, as the agent's are.
class OwnedAttrs {
 public:
  void add(const std::string& name, const std::string& value, size_t capacity = 0) {
    names_.push_back(name);
    std::vector<char> buf(value.begin(), value.end());
    buf.resize(std::max(capacity, value.size() + 1), '\0');
    values_.push_back(std::move(buf));
  }
  PEXAttrList* list() {
    attrs_.clear();
    for (size_t i = 0; i < names_.size(); ++i) {
      PEXAttr a;
      a.Name = names_[i].data();
      a.ValueLen = static_cast<uint16_t>(values_[i].size());
      a.Value = values_[i].data();
      attrs_.push_back(a);
    }
    list_.Count = static_cast<int32_t>(attrs_.size());
    list_.Attributes = attrs_.empty() ? nullptr : attrs_.data();
    list_.Curr = 0;
    return &list_;
  }

 private:
  std::vector<std::string> names_;
  std::vector<std::vector<char>> values_;
  std::vector<PEXAttr> attrs_;
  PEXAttrList list_{};
};

void print_attrs(const char* title, const PEXAttrList* list) {
  std::printf("  %s (%d):\n", title, list->Count);
  for (int i = 0; i < list->Count; ++i) {
    const PEXAttr& a = list->Attributes[i];
    std::printf("    %s = '%s'\n", a.Name ? a.Name : "(null)", a.Value ? a.Value : "(null)");
  }
}

void usage() {
  std::fprintf(stderr,
               "usage: kxhost [--lib PATH] COMMAND [ARGS]\n"
               "commands:\n"
               "  version                      print the backend's version text\n"
               "  lifecycle [REQTYPE]          Init, Connect, Disconnect, Term\n"
               "  job ACTION [NAME=VALUE ...] [--out NAME[:SIZE] ...]\n"
               "                               one job action (SUBMIT, TRACK, KILL, ...)\n"
               "  sysout ORDERNO [NAME=VALUE ...]\n"
               "                               read a job's output block by block\n"
               "  shutdown                     stop the container\n"
               "  free-port                    print a free loopback TCP port (no library needed)\n");
}

struct Session {
  Backend& be;
  PEXBackEnd backend{};
  PEXConnection connection{};
  PEXError error{};

  explicit Session(Backend& b, const char* reqtype) : be(b) {
    OwnedAttrs none;
    PEXRC rc = be.get<InitFn>("PEXAPI_Init")(&backend, none.list(), &error);
    std::printf("PEXAPI_Init -> %s\n", rc_name(rc));
    OwnedAttrs conn;
    if (reqtype != nullptr) conn.add("REQTYPE", reqtype);
    rc = be.get<ConnectFn>("PEXAPI_Connect")(&backend, &connection, conn.list(), &error);
    std::printf("PEXAPI_Connect -> %s\n", rc_name(rc));
  }
  ~Session() {
    PEXRC rc = be.get<DisconnectFn>("PEXAPI_Disconnect")(&connection, &error);
    std::printf("PEXAPI_Disconnect -> %s\n", rc_name(rc));
    rc = be.get<TermFn>("PEXAPI_Term")(&backend, &error);
    std::printf("PEXAPI_Term -> %s\n", rc_name(rc));
  }
};

// NAME=VALUE words become input attributes; "--out NAME[:SIZE]" pre-creates
// an output attribute with a value buffer of SIZE bytes (default 256).
void parse_attrs(int argc, char** argv, int first, OwnedAttrs& in, OwnedAttrs& out) {
  for (int i = first; i < argc; ++i) {
    std::string word = argv[i];
    if (word == "--out" && i + 1 < argc) {
      std::string wanted = argv[++i];
      size_t colon = wanted.find(':');
      size_t size = colon == std::string::npos ? 256 : std::strtoul(wanted.c_str() + colon + 1, nullptr, 10);
      if (size < 1 || size > 65535) size = 256;
      out.add(wanted.substr(0, colon), "", size);
      continue;
    }
    size_t eq = word.find('=');
    if (eq == std::string::npos) {
      std::fprintf(stderr, "kxhost: ignoring '%s' (expected NAME=VALUE)\n", word.c_str());
      continue;
    }
    in.add(word.substr(0, eq), word.substr(eq + 1));
  }
}

int cmd_job(Backend& be, int argc, char** argv, int first) {
  if (first >= argc) {
    usage();
    return 2;
  }
  Session s(be, argv[first]);
  PEXObjectAction action = {0};
  std::snprintf(action, sizeof action, "%s", argv[first]);
  OwnedAttrs in, out;
  parse_attrs(argc, argv, first + 1, in, out);
  PEXAttrList* outl = out.list();
  PEXRC rc = be.get<ActionFn>("PEXAPI_JOB_ACTION")(&s.connection, action, in.list(), outl, &s.error);
  std::printf("PEXAPI_JOB_ACTION %s -> %s\n", action, rc_name(rc));
  if (rc != PEX_SUCCESS) std::printf("  error %u: %s\n", s.error.code, s.error.text);
  print_attrs("output attributes", outl);
  return rc == PEX_SUCCESS ? 0 : 1;
}

int cmd_sysout(Backend& be, int argc, char** argv, int first) {
  if (first >= argc) {
    usage();
    return 2;
  }
  Session s(be, "SYSOUT");
  OwnedAttrs open_attrs, ignored;
  open_attrs.add("ORDERNO", argv[first]);
  parse_attrs(argc, argv, first + 1, open_attrs, ignored);
  void* handle = nullptr;
  PEXRC rc = be.get<DataOpenFn>("PEXAPI_SYSOUT_DATA_OPEN")(&s.connection, &handle, open_attrs.list(),
                                                           &s.error);
  std::printf("PEXAPI_SYSOUT_DATA_OPEN -> %s\n", rc_name(rc));
  if (rc != PEX_SUCCESS) {
    std::printf("  error %u: %s\n", s.error.code, s.error.text);
    return 1;
  }
  auto read = be.get<DataReadFn>("PEXAPI_SYSOUT_DATA_READ");
  int blocks = 0;
  do {
    // The agent asks for the next block; TEXT's buffer sets the block size.
    OwnedAttrs in, out;
    in.add("NAVIGATE", "NEXT");
    out.add("TEXT", "", 5001);
    PEXAttrList* outl = out.list();
    rc = read(&s.connection, handle, in.list(), outl, &s.error);
    std::printf("PEXAPI_SYSOUT_DATA_READ #%d -> %s\n", ++blocks, rc_name(rc));
    if (rc == PEX_SUCCESS || rc == PEX_EOS) {
      for (int i = 0; i < outl->Count; ++i) std::printf("%s\n", outl->Attributes[i].Value);
    } else {
      std::printf("  error %u: %s\n", s.error.code, s.error.text);
    }
  } while (rc == PEX_SUCCESS && blocks < 10000);
  OwnedAttrs none;
  PEXRC crc = be.get<DataCloseFn>("PEXAPI_SYSOUT_DATA_CLOSE")(&s.connection, handle, none.list(), &s.error);
  std::printf("PEXAPI_SYSOUT_DATA_CLOSE -> %s\n", rc_name(crc));
  return rc == PEX_EOS ? 0 : 1;
}

}  // namespace

// Asks the kernel for a free port on the loopback interface, for setting up
// a container on one machine without colliding with a running one.
int cmd_free_port() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return 1;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  int rc = 1;
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
    std::printf("%u\n", ntohs(addr.sin_port));
    rc = 0;
  }
  close(fd);
  return rc;
}

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "free-port") == 0) return cmd_free_port();
  std::string lib = "libbe_hadoop.so";
  int i = 1;
  if (i + 1 < argc && std::strcmp(argv[i], "--lib") == 0) {
    lib = argv[i + 1];
    i += 2;
  }
  if (i >= argc) {
    usage();
    return 2;
  }
  Backend be(lib);
  if (!be.loaded()) {
    std::fprintf(stderr, "kxhost: cannot load %s: %s\n", lib.c_str(), dlerror());
    return 2;
  }
  const std::string cmd = argv[i];
  if (cmd == "version") {
    char ver[256] = {0};
    be.get<VersionFn>("HADOOP_KX_version")(ver, sizeof ver);
    std::printf("%s\n", ver);
    return 0;
  }
  if (cmd == "lifecycle") {
    char ver[256] = {0};
    be.get<VersionFn>("HADOOP_KX_version")(ver, sizeof ver);
    std::printf("version: %s\n", ver);
    Session s(be, i + 1 < argc ? argv[i + 1] : nullptr);
    return 0;
  }
  if (cmd == "job") return cmd_job(be, argc, argv, i + 1);
  if (cmd == "sysout") return cmd_sysout(be, argc, argv, i + 1);
  if (cmd == "shutdown") {
    PEXRC rc = be.get<ShutdownFn>("PEXAPI_Shutdown")();
    std::printf("PEXAPI_Shutdown -> %s\n", rc_name(rc));
    return rc == PEX_SUCCESS ? 0 : 1;
  }
  usage();
  return 2;
}
