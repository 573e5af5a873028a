// The client against the test container, a real process on a loopback port.
#include "hessian_proxy.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>

#include "hessian_exceptions.h"
#include "hessian_wrappers.h"
#include "test_container.h"

namespace {

using hessian::hessian_proxy;
using hessian::exceptions::fault_exception;
using hessian::exceptions::io_exception;
using hessian::wrappers::Binary;
using hessian::wrappers::Object;
using sslpp::exceptions::http_exception;

std::string pattern(std::size_t n) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 11 + i / 256) & 0xff);
  return s;
}

std::string host_of(const kxtest::TestContainer& c) { return "127.0.0.1:" + std::to_string(c.port()); }

std::unique_ptr<Object> invoke(hessian_proxy& proxy, const std::string& doc) {
  const Binary arg(doc);
  return std::unique_ptr<Object>(proxy.call("invoke", 1, &arg));
}

std::string invoke_binary(hessian_proxy& proxy, const std::string& doc) {
  std::unique_ptr<Object> reply = invoke(proxy, doc);
  EXPECT_EQ(reply->classname(), "Binary");
  const auto* b = dynamic_cast<const Binary*>(reply.get());
  return b != nullptr ? b->value() : std::string();
}

TEST(HessianProxy, DocumentsTravelByteForByteBothWays) {
  kxtest::TestContainer c;
  const std::string small = pattern(20);
  const std::string large = pattern(100000);
  c.answer(large);
  c.answer(small);
  c.start();
  hessian_proxy proxy(host_of(c), "/KxService", false);

  EXPECT_TRUE(invoke_binary(proxy, small) == large);
  EXPECT_TRUE(invoke_binary(proxy, large) == small);
  ASSERT_EQ(c.request_count(), 2);
  EXPECT_TRUE(c.request(1) == small);
  EXPECT_TRUE(c.request(2) == large);
  // On the wire: a Hessian 1.0 call, the large document in two chunks.
  EXPECT_EQ(c.call_body(1), std::string("c\x01\x00m\x00\x06invokeB\x00\x14", 15) + small + "z");
  EXPECT_EQ(c.call_body(2).substr(0, 15), std::string("c\x01\x00m\x00\x06invokeb\xff\xff", 15));
}

TEST(HessianProxy, Hessian2RepliesOnRequest) {
  kxtest::TestContainer c;
  c.answer(pattern(100000));
  c.start();
  hessian_proxy proxy(host_of(c), "KxService", false);
  proxy.set_hessian2_reply(true);
  EXPECT_TRUE(invoke_binary(proxy, "doc") == pattern(100000));
  EXPECT_EQ(c.call_body(1).substr(0, 3), std::string("c\x02\x00", 3));
}

TEST(HessianProxy, NonBinaryRepliesKeepTheirType) {
  kxtest::TestContainer c;
  c.answer_raw("#!kx\ntype string\n\n<TWBKX/>");
  c.answer_raw("#!kx\ntype null\n\n");
  c.start();
  hessian_proxy proxy(host_of(c), "/KxService", false);
  std::unique_ptr<Object> text = invoke(proxy, "doc");
  EXPECT_EQ(text->classname(), "String");
  EXPECT_EQ(dynamic_cast<hessian::wrappers::String&>(*text).value(), "<TWBKX/>");
  EXPECT_EQ(invoke(proxy, "doc")->classname(), "Null");
}

TEST(HessianProxy, FailuresRaiseTheirOwnExceptions) {
  kxtest::TestContainer c;
  c.answer_fault("job 17 unknown", "KxException");
  c.answer_http_status(503, "busy");
  c.answer_exit();
  c.start();
  hessian_proxy proxy(host_of(c), "/KxService", false);

  try {
    invoke(proxy, "doc");
    ADD_FAILURE() << "no fault";
  } catch (const fault_exception& e) {
    EXPECT_EQ(std::string(e.what()), "job 17 unknown");
    EXPECT_EQ(e.code(), "KxException");
  }
  try {
    invoke(proxy, "doc");
    ADD_FAILURE() << "no HTTP error";
  } catch (const http_exception& e) {
    EXPECT_EQ(e.status(), 503);
    EXPECT_NE(std::string(e.what()).find("503"), std::string::npos) << e.what();
  }
  // The container dies with the request unanswered.
  EXPECT_THROW(invoke(proxy, "doc"), io_exception);
  EXPECT_TRUE(c.wait_exit(5000));
  // And now nobody listens.
  try {
    invoke(proxy, "doc");
    ADD_FAILURE() << "no io error";
  } catch (const io_exception& e) {
    EXPECT_NE(std::string(e.what()).find(host_of(c)), std::string::npos) << e.what();
  }
  EXPECT_EQ(c.request_count(), 3);
}

TEST(HessianProxy, WrongPathIsAnHttpError) {
  kxtest::TestContainer c;
  c.start();
  hessian_proxy proxy(host_of(c), "/Other", false);
  EXPECT_THROW(invoke(proxy, "doc"), http_exception);
}

TEST(HessianProxy, TimeoutBoundsAHungService) {
  kxtest::TestContainer c;
  c.answer_after(3000, "late");
  c.start();
  hessian_proxy proxy(host_of(c), "/KxService", false);
  proxy.set_timeout(1);
  const auto start = std::chrono::steady_clock::now();
  try {
    invoke(proxy, "doc");
    ADD_FAILURE() << "no exception";
  } catch (const hessian::exceptions::timeout_exception& e) {
    EXPECT_EQ(e.seconds(), 1);
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2500));
}

TEST(HessianProxy, ArgumentCountMustMatch) {
  hessian_proxy proxy("127.0.0.1:1", "/KxService", false);
  const Binary a("x");
  EXPECT_THROW(proxy.call("invoke", 2, &a), std::invalid_argument);
  EXPECT_EQ(proxy.url(), "http://127.0.0.1:1/KxService");
  EXPECT_EQ(hessian_proxy("h:2", "p", true).url(), "https://h:2/p");
}

}  // namespace
