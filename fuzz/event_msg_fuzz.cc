// Event messages: an arbitrary EVENT_MSG must either name a run, with the
// three tokens stored cut to the agent's buffers, or be refused with a
// terminated error text and nothing stored.
//
// Input: one control byte (the size of the agent's output buffers, 1-256),
// then the message.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "be_event.h"
#include "fuzz_workdir.h"

namespace {

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "%s\n", what);
  std::abort();
}

// The n-th white-space separated token of the message, or "".
std::string token(const std::string& msg, int n) {
  size_t pos = 0;
  for (int i = 0;; ++i) {
    while (pos < msg.size() && std::isspace(static_cast<unsigned char>(msg[pos]))) ++pos;
    size_t end = pos;
    while (end < msg.size() && !std::isspace(static_cast<unsigned char>(msg[end]))) ++end;
    if (i == n) return msg.substr(pos, end - pos);
    pos = end;
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  kxfuzz::enter_workdir();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0 || size > 65534) return 0;
  const size_t out_size = static_cast<size_t>(data[0]) + 1;
  std::string msg = kxfuzz::as_text(data + 1, size - 1);
  msg.resize(strlen(msg.c_str()));

  char in_name[] = "EVENT_MSG";
  std::vector<char> in_value(msg.begin(), msg.end());
  in_value.push_back('\0');
  PEXAttr in_attr = {in_name, static_cast<uint16_t>(in_value.size()), in_value.data()};
  PEXAttrList in = {1, &in_attr, 0};

  // The agent's pre-created outputs, each followed by a guard that must stay.
  char names[3][8] = {"PROCID", "ORDERNO", "RUNNO"};
  const size_t kGuard = 16;
  std::vector<std::vector<char>> values(3, std::vector<char>(out_size + kGuard, '\x5a'));
  PEXAttr out_attrs[3];
  for (int i = 0; i < 3; ++i) {
    std::memset(values[i].data(), 0, out_size);
    out_attrs[i] = {names[i], static_cast<uint16_t>(out_size), values[i].data()};
  }
  PEXAttrList out = {3, out_attrs, 0};
  PEXError error;
  error.code = 0;
  std::memset(error.text, '#', sizeof error.text - 1);
  error.text[sizeof error.text - 1] = '\0';

  const PEXRC rc = PEXAPI_EVENT_ACTION(nullptr, nullptr, &in, &out, &error);
  for (const auto& v : values) {
    for (size_t i = out_size; i < v.size(); ++i)
      if (v[i] != '\x5a') fail("a store ran past the agent's buffer");
    if (strnlen(v.data(), out_size) >= out_size) fail("an output is not terminated");
  }
  if (strnlen(error.text, sizeof error.text) >= sizeof error.text) fail("unterminated error text");

  const std::string order = token(msg, 0), run = token(msg, 1), proc = token(msg, 2);
  const bool valid = !proc.empty() && order.size() <= BE_EVENT_ORDERNO_MAX &&
                     run.size() <= BE_EVENT_RUNNO_MAX && proc.size() <= BE_EVENT_PROCID_MAX;
  if (rc == PEX_SUCCESS) {
    if (!valid) fail("an invalid event was accepted");
    const std::string expect[3] = {proc, order, run};
    for (int i = 0; i < 3; ++i)
      if (expect[i].substr(0, out_size - 1) != values[i].data()) fail("a token was stored wrongly");
  } else {
    if (valid) fail("a valid event was refused");
    if (error.code != 1) fail("a refused event without error code 1");
    for (const auto& v : values)
      if (v[0] != '\0') fail("a refused event stored a token");
  }
  return 0;
}
