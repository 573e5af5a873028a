// The test container and its start script, which the remote-call tests rely
// on to stand in for the real container.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "hessian_proxy.h"
#include "hessian_wrappers.h"
#include "test_container.h"
#include "test_workdir.h"

namespace {

using hessian::wrappers::Binary;
using hessian::wrappers::Object;

const char kStop[] =
    "<?xml version='1.0' encoding='UTF-8'?><TWBKX><HEADER><ACTION>ContainerStop</ACTION></HEADER>"
    "<BODY><DBGLVL>0</DBGLVL></BODY></TWBKX>";

std::string send(int port, const std::string& doc) {
  hessian::hessian_proxy proxy("127.0.0.1:" + std::to_string(port), "/KxService", false);
  const Binary arg(doc);
  std::unique_ptr<Object> reply(proxy.call("invoke", 1, &arg));
  const auto* b = dynamic_cast<const Binary*>(reply.get());
  return b != nullptr ? b->value() : "<not binary>";
}

TEST(TestContainer, AnswersInOrderAndRepeatsTheLast) {
  kxtest::TestContainer c;
  c.start();
  // With nothing scripted, a minimal response document.
  EXPECT_EQ(send(c.port(), "a"), "<?xml version='1.0' encoding='UTF-8'?><TWBKX><BODY></BODY></TWBKX>");
  c.answer("first");   // answers request 1, already past: request 2 falls back to it
  c.answer("second");
  c.answer("#!kx\nlooks like a directive");
  c.answer("third");
  EXPECT_EQ(send(c.port(), "b"), "second");
  EXPECT_EQ(send(c.port(), "c"), "#!kx\nlooks like a directive");
  EXPECT_EQ(send(c.port(), "d"), "third");
  EXPECT_EQ(send(c.port(), "e"), "third");
  EXPECT_EQ(c.requests(), (std::vector<std::string>{"a", "b", "c", "d", "e"}));
}

TEST(TestContainer, ContainerStopEndsItAfterTheAnswer) {
  kxtest::TestContainer c;
  c.answer("bye");
  c.start();
  EXPECT_EQ(send(c.port(), kStop), "bye");
  EXPECT_TRUE(c.wait_exit(5000)) << c.log();
  EXPECT_FALSE(kxtest::port_accepts(c.port()));
  EXPECT_EQ(c.request(1), kStop);
}

TEST(TestContainer, StartScriptTakesThePortFromTheConfiguration) {
  kxtest::TestWorkdir wd;
  kxtest::TestContainer c;
  c.answer("from script");
  const int port = kxtest::free_loopback_port();
  // The container directory's sibling data holds the configuration.
  wd.write("data/kx_container_conf.xml",
           "\xef\xbb\xbf<?xml version=\"1.0\"?>\n<Configuration>\n  <ContainerHost>localhost</ContainerHost>\n"
           "  <Port>" + std::to_string(port) + "</Port>\n</Configuration>\n");
  kxtest::write_start_script(wd.file("container"), c);
  ASSERT_EQ(std::system((wd.file("container") + "/zrtHadoop_container start 4 &").c_str()), 0);
  ASSERT_TRUE(kxtest::wait_for_port(port, 10000)) << c.log();
  EXPECT_EQ(send(port, "doc"), "from script");
  EXPECT_EQ(c.start_script_calls(), std::vector<std::string>{"start 4"});
  EXPECT_NE(c.log().find("level 4"), std::string::npos) << c.log();
  ASSERT_TRUE(c.running());
  c.stop();
  EXPECT_FALSE(c.running());
  EXPECT_FALSE(kxtest::port_accepts(port));
}

TEST(TestContainer, StartScriptWithABakedPort) {
  kxtest::TestWorkdir wd;
  kxtest::TestContainer c;
  const int port = kxtest::free_loopback_port();
  kxtest::write_start_script(wd.file("kx dir's"), c, port);
  ASSERT_EQ(std::system(("'" + wd.file("kx dir's").replace(wd.file("kx dir's").find('\''), 1, "'\\''") +
                         "/zrtHadoop_container' start 0").c_str()),
            0);
  ASSERT_TRUE(kxtest::wait_for_port(port, 10000)) << c.log();
  EXPECT_EQ(send(port, kStop), "<?xml version='1.0' encoding='UTF-8'?><TWBKX><BODY></BODY></TWBKX>");
  EXPECT_TRUE(c.wait_exit(5000));
}

}  // namespace
