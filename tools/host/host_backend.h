// host_backend.h - the backend library as the agent holds it: loaded with
// dlopen, its entry points looked up by name, and attribute lists whose
// names and value buffers the caller owns.
#ifndef BE_HADOOP_TOOLS_HOST_HOST_BACKEND_H
#define BE_HADOOP_TOOLS_HOST_HOST_BACKEND_H

#include <cstddef>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "pexapi.h"

namespace kxhost {

using InitFn = PEXRC (*)(PEXBackEnd*, PEXAttrList*, PEXError*);
using ConnectFn = PEXRC (*)(PEXBackEnd*, PEXConnection*, PEXAttrList*, PEXError*);
using DisconnectFn = PEXRC (*)(PEXConnection*, PEXError*);
using TermFn = PEXRC (*)(PEXBackEnd*, PEXError*);
using VersionFn = void (*)(char*, int);
using ActionFn = PEXRC (*)(PEXConnection*, char*, PEXAttrList*, PEXAttrList*, PEXError*);
using ShutdownFn = PEXRC (*)();
using ReleaseFn = PEXRC (*)(PEXAttrList*);
using DataOpenFn = PEXRC (*)(PEXConnection*, void**, PEXAttrList*, PEXError*);
using DataReadFn = PEXRC (*)(PEXConnection*, void*, PEXAttrList*, PEXAttrList*, PEXError*);
using DataCloseFn = PEXRC (*)(PEXConnection*, void*, PEXAttrList*, PEXError*);

// A mistake of the user's: a message and what to do about it. main prints
// both and exits with the command's set-up code.
struct UserError : std::runtime_error {
  UserError(const std::string& what, std::string hint_text)
      : std::runtime_error(what), hint(std::move(hint_text)) {}
  std::string hint;
};

const char* rc_name(PEXRC rc);

// The loaded library. Entry points are looked up when first used, so a
// command needs only those it calls; a missing one throws.
class Library {
 public:
  // nullptr when dlopen fails; error then holds dlerror's text.
  static std::unique_ptr<Library> open(const std::string& path, std::string& error);
  ~Library();
  Library(const Library&) = delete;
  Library& operator=(const Library&) = delete;

  template <typename Fn>
  Fn get(const char* name) const {
    return reinterpret_cast<Fn>(symbol(name));
  }

 private:
  explicit Library(void* handle) : handle_(handle) {}
  void* symbol(const char* name) const;
  void* handle_;
};

// An attribute list the way the agent owns one: names and value buffers live
// here and list() points at them. An action that appends attributes (TRACK's
// autoedits) replaces the array with library copies; those are handed back
// through PEXAPI_ReleaseAttr when the list goes. Add every attribute before
// the list is passed to a call.
class AgentAttrs {
 public:
  explicit AgentAttrs(const Library& lib) : release_(lib.get<ReleaseFn>("PEXAPI_ReleaseAttr")) {}
  ~AgentAttrs();
  AgentAttrs(const AgentAttrs&) = delete;
  AgentAttrs& operator=(const AgentAttrs&) = delete;

  // A value buffer of max(capacity, value length + 1) bytes, at most 65,535
  // (the width of ValueLen); a longer value throws UserError.
  void add(const std::string& name, const std::string& value, std::size_t capacity = 0);
  PEXAttrList* list() { return &list_; }

  // The record as it stands, library copies included.
  int count() const { return list_.Count; }
  std::string name(int i) const;
  std::string value(int i) const;
  // The value of the first attribute called name; empty when there is none.
  std::string get(const std::string& name) const;
  // True when the name was added here (not appended by the library).
  bool added(const std::string& name) const;

 private:
  bool replaced() const { return list_.Attributes != (attrs_.empty() ? nullptr : attrs_.data()); }

  ReleaseFn release_;
  std::vector<std::vector<char>> names_, values_;
  std::vector<PEXAttr> attrs_;
  PEXAttrList list_{};
};

// One agent process's use of the library: Init and Connect (whose REQTYPE
// chooses the log name), then Disconnect and Term when it goes. verbose
// prints each lifecycle call's result, as the raw commands show them.
class Session {
 public:
  Session(const Library& lib, const char* reqtype, bool verbose);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // One action through entry (PEXAPI_JOB_ACTION and its kin); error() holds
  // the details when it does not succeed.
  PEXRC action(const char* entry, const std::string& action_name, AgentAttrs& in, AgentAttrs& out);
  PEXConnection* connection() { return &connection_; }
  PEXError& error() { return error_; }
  const Library& library() const { return lib_; }

 private:
  const Library& lib_;
  bool verbose_;
  DisconnectFn disconnect_;
  TermFn term_;
  PEXBackEnd backend_{};
  PEXConnection connection_{};
  PEXError error_{};
};

// A NAME=VALUE word of the command line split in two. The name is 1 to 128
// visible characters; anything else throws UserError.
void split_assignment(const std::string& word, std::string& name, std::string& value);

// "error <code>: <text>" of the session's error record.
std::string error_text(const PEXError& error);

}  // namespace kxhost

#endif  // BE_HADOOP_TOOLS_HOST_HOST_BACKEND_H
