#include "host_backend.h"

#include <dlfcn.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace kxhost {

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

std::unique_ptr<Library> Library::open(const std::string& path, std::string& error) {
  // Kept mapped to the end, as the agent keeps it: the library's process-wide
  // state (tables, locales, log) stays reachable instead of looking leaked.
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
  if (handle == nullptr) {
    const char* why = dlerror();
    error = why != nullptr ? why : "unknown reason";
    return nullptr;
  }
  return std::unique_ptr<Library>(new Library(handle));
}

Library::~Library() { dlclose(handle_); }

void* Library::symbol(const char* name) const {
  void* sym = dlsym(handle_, name);
  if (sym == nullptr) {
    throw UserError(std::string("the library has no entry point ") + name,
                    "is --lib a build of libbe_hadoop.so? kxhost --version shows which one it expects");
  }
  return sym;
}

AgentAttrs::~AgentAttrs() {
  if (replaced()) release_(&list_);
}

void AgentAttrs::add(const std::string& name, const std::string& value, std::size_t capacity) {
  const std::size_t size = std::max(capacity, value.size() + 1);
  if (size > UINT16_MAX) {
    throw UserError("the value of " + name + " has " + std::to_string(value.size()) + " bytes",
                    "an attribute value holds at most " + std::to_string(UINT16_MAX - 1) + " bytes");
  }
  names_.emplace_back(name.begin(), name.end());
  names_.back().push_back('\0');
  std::vector<char> buffer(size, '\0');
  std::memcpy(buffer.data(), value.data(), value.size());
  values_.push_back(std::move(buffer));
  // The inner buffers keep their storage when the outer vectors grow, so
  // only the array of records needs building again.
  attrs_.clear();
  for (std::size_t i = 0; i < names_.size(); ++i) {
    attrs_.push_back({names_[i].data(), static_cast<uint16_t>(values_[i].size()), values_[i].data()});
  }
  list_ = {static_cast<int32_t>(attrs_.size()), attrs_.data(), 0};
}

std::string AgentAttrs::name(int i) const {
  const char* n = list_.Attributes[i].Name;
  return n != nullptr ? n : "";
}

std::string AgentAttrs::value(int i) const {
  const PEXAttr& a = list_.Attributes[i];
  if (a.Value == nullptr || a.ValueLen == 0) return std::string();
  return std::string(a.Value, strnlen(a.Value, a.ValueLen));
}

std::string AgentAttrs::get(const std::string& wanted) const {
  for (int i = 0; i < list_.Count; ++i) {
    if (name(i) == wanted) return value(i);
  }
  return std::string();
}

bool AgentAttrs::added(const std::string& wanted) const {
  for (const auto& n : names_) {
    if (wanted == n.data()) return true;
  }
  return false;
}

Session::Session(const Library& lib, const char* reqtype, bool verbose)
    : lib_(lib),
      verbose_(verbose),
      // Looked up first: the destructor must not meet a missing entry point.
      disconnect_(lib.get<DisconnectFn>("PEXAPI_Disconnect")),
      term_(lib.get<TermFn>("PEXAPI_Term")) {
  AgentAttrs none(lib_);
  PEXRC rc = lib_.get<InitFn>("PEXAPI_Init")(&backend_, none.list(), &error_);
  if (verbose_) std::printf("PEXAPI_Init -> %s\n", rc_name(rc));
  AgentAttrs conn(lib_);
  if (reqtype != nullptr) conn.add("REQTYPE", reqtype);
  rc = lib_.get<ConnectFn>("PEXAPI_Connect")(&backend_, &connection_, conn.list(), &error_);
  if (verbose_) std::printf("PEXAPI_Connect -> %s\n", rc_name(rc));
}

Session::~Session() {
  PEXRC rc = disconnect_(&connection_, &error_);
  if (verbose_) std::printf("PEXAPI_Disconnect -> %s\n", rc_name(rc));
  rc = term_(&backend_, &error_);
  if (verbose_) std::printf("PEXAPI_Term -> %s\n", rc_name(rc));
}

PEXRC Session::action(const char* entry, const std::string& action_name, AgentAttrs& in, AgentAttrs& out) {
  PEXObjectAction buffer = {0};
  std::snprintf(buffer, sizeof buffer, "%s", action_name.c_str());
  error_ = PEXError{};
  return lib_.get<ActionFn>(entry)(&connection_, buffer, in.list(), out.list(), &error_);
}

void split_assignment(const std::string& word, std::string& name, std::string& value) {
  const auto eq = word.find('=');
  if (eq == std::string::npos) {
    throw UserError("'" + word + "' is not an attribute", "write attributes as NAME=VALUE, for example RUNNO=2");
  }
  name = word.substr(0, eq);
  value = word.substr(eq + 1);
  if (name.empty() || name.size() > 128) {
    throw UserError("'" + word + "' has " + (name.empty() ? "no name" : "a name longer than 128 characters"),
                    "write attributes as NAME=VALUE, for example RUNNO=2");
  }
  for (char c : name) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u <= ' ' || u == 0x7F) {
      throw UserError("the attribute name '" + name + "' has a blank or a control character",
                      "write attributes as NAME=VALUE, quoting the whole word when VALUE has blanks");
    }
  }
}

std::string error_text(const PEXError& error) {
  return "error " + std::to_string(error.code) + ": " + std::string(error.text, strnlen(error.text, sizeof error.text));
}

}  // namespace kxhost
