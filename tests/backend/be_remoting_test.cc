#include "be_remoting.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "agent_env.h"
#include "be_container.h"
#include "be_lock.h"
#include "be_requests.h"

namespace {

namespace fs = std::filesystem;

using kxtest::AgentAttrs;
using kxtest::doc::answer;
using kxtest::doc::element;
using kxtest::doc::kDecl;

const char kPrefix[] = "Failed to create or connect to Container. ";

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// An agent working directory whose HADOOP / KX_DIR names container/, an
// agent home with the shipped locale data, and a log at level 4.
class RemotingTest : public kxtest::AgentEnv {
 protected:
  RemotingTest() : AgentEnv("RT") { std::memset(&error_, 0, sizeof error_); }

  void write_conf(const std::string& children, const std::string& lead = "") const {
    wd_.write("data/kx_container_conf.xml", lead + kDecl + "\n<Configuration>\n" + children +
                                                "\n</Configuration>\n");
  }
  // Conf for the running test container plus extra children.
  void conf_for_container(const std::string& extra = "") const {
    write_conf(element("Port", std::to_string(container_.port())) + extra);
  }
  // A directory where the lock file belongs makes every start attempt fail
  // at once instead of waiting through a start.
  void block_lock() const { fs::create_directory(container_dir() + "/lock.dat"); }

  PEXRC call(HessianRemoteAccessor& a, const char* request) {
    std::memset(&error_, 0, sizeof error_);
    return a.call(request, &error_);
  }
  std::string reason() const {
    const std::string text = error_.text;
    return text.compare(0, strlen(kPrefix), kPrefix) == 0 ? text.substr(strlen(kPrefix))
                                                          : "<no prefix> " + text;
  }

  PEXError error_;
};

HessianRemoteAccessor production_accessor() {
  return HessianRemoteAccessor(BE_REMOTE_PORT, BE_REMOTE_METHOD, BE_REMOTE_SERVER, BE_REMOTE_PATH);
}

// ---- delivery ------------------------------------------------------------------

TEST_F(RemotingTest, SubmitDocumentArrivesByteForByteWithoutTouchingTheLock) {
  const std::string reply = answer(element("JOBID", "job_1"));
  container_.answer(reply);
  container_.start();
  conf_for_container();

  AgentAttrs in;
  in.add("JOBNAME", "wordcount");
  in.add("%%PARM1", "a&b");
  in.add("%%\\OUT1", "x");
  in.add("%%HDP-MODE", "y");
  in.add("%%A$B", "v");
  RequestJobSubmit request("SUBMIT", in.list(), "-1");
  char* xml = request.toXml(false);
  ASSERT_NE(xml, nullptr);

  HessianRemoteAccessor accessor = production_accessor();
  EXPECT_EQ(call(accessor, xml), PEX_SUCCESS) << error_.text;
  RequestGeneratorInterface::freeXmlBuffer(xml);

  EXPECT_EQ(container_.request(1),
            std::string(kDecl) +
                "<TWBKX><HEADER><ACTION>SUBMIT</ACTION></HEADER><BODY><JOBNAME>wordcount</JOBNAME>"
                "<PARM1>a&amp;b</PARM1><HDP-MODE>y</HDP-MODE><ZRT_ATTR_KEY_1>A$B</ZRT_ATTR_KEY_1>"
                "<ZRT_ATTR_VAL_1>v</ZRT_ATTR_VAL_1><DBGLVL>0</DBGLVL>"
                "<TRACKER_EVENT_PORT>-1</TRACKER_EVENT_PORT></BODY></TWBKX>");
  EXPECT_EQ(container_.request_count(), 1);
  EXPECT_EQ(accessor.getResponse(), reply);
  EXPECT_EQ(accessor.get_port(), std::to_string(container_.port()));
  EXPECT_EQ(count_logged("Call succeeded..."), 1);
  // Up at the first probe: no lock file, no start.
  EXPECT_FALSE(kxtest::file_exists(container_dir() + "/lock.dat"));
  EXPECT_TRUE(container_.start_script_calls().empty());
}

TEST_F(RemotingTest, LargeRequestAndAnswerTravelWhole) {
  const std::string head = std::string(kDecl) + "<TWBKX><BODY><DATA>";
  const std::string tail = "</DATA></BODY></TWBKX>";
  const std::string big = head + std::string(100000 - head.size() - tail.size(), 'r') + tail;
  const std::string reply = head + std::string(150000, 'a') + tail;
  ASSERT_EQ(big.size(), 100000u);
  container_.answer(reply);
  container_.start();
  conf_for_container();

  HessianRemoteAccessor accessor = production_accessor();
  ASSERT_EQ(call(accessor, big.c_str()), PEX_SUCCESS) << error_.text;
  EXPECT_EQ(container_.request_count(), 1);
  EXPECT_EQ(container_.request(1), big);
  EXPECT_EQ(accessor.getResponse(), reply);
}

TEST_F(RemotingTest, Latin1TravelsAsUtf8AndComesBack) {
  container_.answer(answer(element("V", "na\xC3\xAFve")));
  container_.answer(answer(element("V", "\xE2\x82\xAC")));  // no Latin-1 form
  container_.start();
  conf_for_container();

  HessianRemoteAccessor accessor = production_accessor();
  ASSERT_EQ(call(accessor, answer(element("V", "caf\xE9")).c_str()), PEX_SUCCESS);
  EXPECT_EQ(container_.request(1), answer(element("V", "caf\xC3\xA9")));
  EXPECT_EQ(accessor.getResponse(), answer(element("V", "na\xEFve")));
  EXPECT_EQ(count_logged("HessianRemoteAccessor::call: Released memory allocation required for "
                         "UTF-8 conversion"),
            1);

  // An answer that Latin-1 cannot hold is handed on as it came.
  ASSERT_EQ(call(accessor, answer("").c_str()), PEX_SUCCESS);
  EXPECT_EQ(accessor.getResponse(), answer(element("V", "\xE2\x82\xAC")));
  EXPECT_EQ(count_logged("HessianRemoteAccessor::getResponse: Failed to convert, data will "
                         "remain as is"),
            1);
}

TEST_F(RemotingTest, I18nModeLeavesBothDirectionsUnconverted) {
  wd_.write_table("CONFIG", "I18N CJK\n");
  container_.answer(answer(element("V", "na\xC3\xAFve")));
  container_.start();
  conf_for_container();

  HessianRemoteAccessor accessor = production_accessor();
  // Converted from Latin-1 it would arrive as caf\xC3\x83\xC2\xA9.
  ASSERT_EQ(call(accessor, answer(element("V", "caf\xC3\xA9")).c_str()), PEX_SUCCESS);
  EXPECT_EQ(container_.request(1), answer(element("V", "caf\xC3\xA9")));
  EXPECT_EQ(accessor.getResponse(), answer(element("V", "na\xC3\xAFve")));
  EXPECT_EQ(count_logged("HessianRemoteAccessor::call: Allocated memory for UTF-8 conversion"), 0);
}

TEST_F(RemotingTest, ReplyIsHeldUntilDeletedOrReplaced) {
  const std::string first = answer(element("N", "1"));
  container_.answer(first);
  container_.answer_fault("tracker unreachable");
  container_.answer_raw("#!kx\ntype string\n\n" + answer(""));
  container_.start();
  conf_for_container();

  HessianRemoteAccessor accessor = production_accessor();
  EXPECT_EQ(accessor.getResponse(), "");
  ASSERT_EQ(call(accessor, answer("").c_str()), PEX_SUCCESS);
  // A failed call keeps the answer of the last successful one.
  EXPECT_EQ(call(accessor, answer("").c_str()), PEX_FAIL);
  EXPECT_EQ(accessor.getResponse(), first);
  // A reply of another type is an answer, but an empty one.
  EXPECT_EQ(call(accessor, answer("").c_str()), PEX_SUCCESS);
  EXPECT_EQ(accessor.getResponse(), "");
  ASSERT_EQ(call(accessor, answer("").c_str()), PEX_SUCCESS);
  accessor.deleteResponse();
  EXPECT_EQ(accessor.getResponse(), "");
}

// ---- failures ------------------------------------------------------------------

TEST_F(RemotingTest, TransportFailuresNameTheirKind) {
  container_.answer_fault("tracker unreachable");
  container_.answer_http_status(503, "busy");
  container_.answer_exit();
  container_.start();
  conf_for_container();
  block_lock();  // once the container has gone, no start is attempted

  HessianRemoteAccessor accessor = production_accessor();
  EXPECT_EQ(call(accessor, answer("").c_str()), PEX_FAIL);
  EXPECT_EQ(error_.code, 1u);
  EXPECT_EQ(reason(), "hessian fault: tracker unreachable");

  EXPECT_EQ(call(accessor, answer("").c_str()), PEX_FAIL);
  EXPECT_EQ(error_.code, 1u);
  EXPECT_EQ(reason().rfind("http exception: ", 0), 0u) << error_.text;
  EXPECT_NE(reason().find("503"), std::string::npos) << error_.text;

  EXPECT_EQ(call(accessor, answer("").c_str()), PEX_FAIL);
  EXPECT_EQ(error_.code, 1u);
  EXPECT_EQ(reason().rfind("io exception: ", 0), 0u) << error_.text;
  EXPECT_EQ(container_.request_count(), 3);
}

TEST_F(RemotingTest, RequestTimeoutBoundsASlowContainer) {
  container_.answer_after(4000, answer(""));
  container_.answer_after(1200, answer(element("N", "2")));
  container_.answer_after(1200, answer(element("N", "3")));
  container_.start();

  HessianRemoteAccessor accessor = production_accessor();
  conf_for_container(element("RequestTimeout", "1"));
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(call(accessor, answer("").c_str()), PEX_FAIL);
  EXPECT_LT(seconds_since(start), 3.0);
  EXPECT_EQ(error_.code, 1u);
  EXPECT_EQ(reason(),
            "io exception: no answer from the container within 1 seconds; the limit is "
            "RequestTimeout in kx_container_conf.xml (0: no limit)");
  EXPECT_TRUE(logged("HessianRemoteAccessor::call: RequestTimeout 1 seconds"));

  // Without the element a hung container is given up after five minutes; a
  // slow one that answers within them is waited for.
  conf_for_container();
  EXPECT_EQ(call(accessor, answer("").c_str()), PEX_SUCCESS) << error_.text;
  EXPECT_EQ(accessor.getResponse(), answer(element("N", "2")));
  EXPECT_TRUE(logged("HessianRemoteAccessor::call: RequestTimeout 300 seconds"));

  // 0 asks for no limit at all.
  conf_for_container(element("RequestTimeout", "0"));
  EXPECT_EQ(call(accessor, answer("").c_str()), PEX_SUCCESS) << error_.text;
  EXPECT_EQ(accessor.getResponse(), answer(element("N", "3")));
  EXPECT_TRUE(logged("HessianRemoteAccessor::call: RequestTimeout 0: no limit"));
}

TEST_F(RemotingTest, ContainerDownAndLockNotObtained) {
  write_conf(element("Port", std::to_string(kxtest::free_loopback_port())));
  block_lock();
  HessianRemoteAccessor accessor = production_accessor();
  EXPECT_EQ(call(accessor, answer("").c_str()), PEX_FAIL);
  EXPECT_EQ(error_.code, 1u);
  EXPECT_EQ(std::string(error_.text),
            std::string(kPrefix) + "HessianRemoteAccessor::call, failed to lock critical section");
}

TEST_F(RemotingTest, MissingKxDirStopsAtTheLock) {
  // The lock file lives in the container directory too, so without KX_DIR
  // the call never reaches the start.
  wd_.write_table("HADOOP", "OTHER x\n");
  HessianRemoteAccessor accessor(std::to_string(kxtest::free_loopback_port()), BE_REMOTE_METHOD,
                                 "127.0.0.1", BE_REMOTE_PATH);
  EXPECT_EQ(call(accessor, answer("").c_str()), PEX_FAIL);
  EXPECT_EQ(reason(), "HessianRemoteAccessor::call, failed to lock critical section");
}

TEST_F(RemotingTest, RefusedStartKeepsItsReasonAndReleasesTheLock) {
  // A container directory the start command will not take.
  const std::string odd = wd_.file("odd dir");
  fs::create_directory(odd);
  wd_.write_table("HADOOP", "KX_DIR " + odd + "\n");
  wd_.write("data/kx_container_conf.xml", "");
  HessianRemoteAccessor accessor(std::to_string(kxtest::free_loopback_port()), BE_REMOTE_METHOD,
                                 "127.0.0.1", BE_REMOTE_PATH);
  EXPECT_EQ(call(accessor, answer("").c_str()), PEX_FAIL);
  EXPECT_FALSE(reason().empty());
  EXPECT_EQ(reason().find("retries exceeded"), std::string::npos) << error_.text;
  EXPECT_EQ(reason().find("lock critical section"), std::string::npos) << error_.text;
  EXPECT_EQ(lockFileFd, -1);
}

TEST_F(RemotingTest, NullRequestIsRefusedBeforeAnythingIsSent) {
  container_.start();
  conf_for_container();
  HessianRemoteAccessor accessor = production_accessor();
  EXPECT_EQ(call(accessor, nullptr), PEX_FAIL);
  EXPECT_EQ(reason(), "HessianRemoteAccessor::call, no request document to send");
  EXPECT_EQ(container_.request_count(), 0);
  EXPECT_EQ(accessor.call(nullptr, nullptr), PEX_FAIL);  // no record to fill: no crash
}

// Whatever built the text (the agent builds list requests itself), the
// container never gets a document XML cannot read, and no container is
// started for one.
TEST_F(RemotingTest, TextXmlCannotCarryIsNotSent) {
  write_conf(element("Port", std::to_string(kxtest::free_loopback_port())));
  HessianRemoteAccessor accessor = production_accessor();
  EXPECT_EQ(call(accessor, answer(element("V", std::string("a\x02"))).c_str()), PEX_FAIL);
  EXPECT_EQ(error_.code, 1u);
  const size_t at = answer("").find("</BODY>") + 4;  // inside <V>
  EXPECT_EQ(reason(), "HessianRemoteAccessor::call, request document not sent: it holds the byte "
                      "0x02 at offset " + std::to_string(at) +
                      ", which an XML 1.0 document in UTF-8 cannot carry");
  wd_.write_table("CONFIG", "I18N CJK\n");
  EXPECT_EQ(call(accessor, answer(element("V", "caf\xE9")).c_str()), PEX_FAIL);
  EXPECT_NE(reason().find("the byte 0xE9 at offset"), std::string::npos) << error_.text;
  EXPECT_FALSE(kxtest::file_exists(container_dir() + "/lock.dat"));
  EXPECT_TRUE(container_.start_script_calls().empty());
}

// ---- configuration file ----------------------------------------------------------

TEST_F(RemotingTest, ConfigurationWithByteOrderMarkIsRead) {
  container_.start();
  write_conf(element("ContainerHost", "127.0.0.1") +
                 element("Port", std::to_string(container_.port())),
             "\xEF\xBB\xBF");
  block_lock();
  HessianRemoteAccessor accessor(std::to_string(kxtest::free_loopback_port()), BE_REMOTE_METHOD,
                                 "localhost", BE_REMOTE_PATH);
  EXPECT_EQ(call(accessor, answer("").c_str()), PEX_SUCCESS) << error_.text;
  EXPECT_EQ(accessor.get_server(), "127.0.0.1");
  EXPECT_EQ(accessor.get_port(), std::to_string(container_.port()));
}

// A configuration that stays as it is is read once, not at every call; a
// replaced file (same size and time, another inode), an edit and a removal
// each count from the next call.
TEST_F(RemotingTest, ConfigurationIsReadAgainOnlyWhenItChanged) {
  container_.start();
  block_lock();
  const std::string conf = wd_.file("data/kx_container_conf.xml");
  const std::string port = std::to_string(container_.port());
  const timespec old[2] = {{time(nullptr) - 100, 0}, {time(nullptr) - 100, 0}};
  write_conf(element("ContainerHost", "127.0.0.1") + element("Port", port));
  ASSERT_EQ(utimensat(AT_FDCWD, conf.c_str(), old, 0), 0);
  const std::string loaded = "BE_load_file_to_string: filename='" + container_dir() +
                             "/../data/kx_container_conf.xml' reading up to size 100000";
  const std::string other = std::to_string(kxtest::free_loopback_port());
  for (int i = 0; i < 3; ++i) {
    HessianRemoteAccessor accessor(other, BE_REMOTE_METHOD, "localhost", BE_REMOTE_PATH);
    EXPECT_EQ(call(accessor, answer("").c_str()), PEX_SUCCESS) << error_.text;
    EXPECT_EQ(accessor.get_port(), port);
    EXPECT_EQ(accessor.get_server(), "127.0.0.1");
  }
  EXPECT_EQ(count_logged(loaded), 1);

  // Same size, same time, a new file: 127.0.0.2 does not reach the container.
  wd_.write("data/replacement.xml", std::string(kDecl) + "\n<Configuration>\n" +
                                        element("ContainerHost", "127.0.0.2") +
                                        element("Port", port) + "\n</Configuration>\n");
  ASSERT_EQ(fs::file_size(wd_.file("data/replacement.xml")), fs::file_size(conf));
  ASSERT_EQ(utimensat(AT_FDCWD, wd_.file("data/replacement.xml").c_str(), old, 0), 0);
  ASSERT_EQ(rename(wd_.file("data/replacement.xml").c_str(), conf.c_str()), 0);
  {
    HessianRemoteAccessor accessor(other, BE_REMOTE_METHOD, "localhost", BE_REMOTE_PATH);
    call(accessor, answer("").c_str());
    EXPECT_EQ(accessor.get_server(), "127.0.0.2");
  }
  EXPECT_EQ(count_logged(loaded), 2);

  write_conf(element("ContainerHost", "127.0.0.1") + element("Port", port) +
             element("RequestTimeout", "7"));
  {
    HessianRemoteAccessor accessor(other, BE_REMOTE_METHOD, "localhost", BE_REMOTE_PATH);
    EXPECT_EQ(call(accessor, answer("").c_str()), PEX_SUCCESS) << error_.text;
    EXPECT_EQ(accessor.get_server(), "127.0.0.1");
    EXPECT_EQ(count_logged("HessianRemoteAccessor::call: RequestTimeout 7 seconds"), 1);
  }

  ASSERT_EQ(unlink(conf.c_str()), 0);
  {
    HessianRemoteAccessor accessor(other, BE_REMOTE_METHOD, "localhost", BE_REMOTE_PATH);
    call(accessor, answer("").c_str());
    EXPECT_EQ(accessor.get_port(), other);
    EXPECT_EQ(accessor.get_server(), "localhost");
  }
}

TEST_F(RemotingTest, ValuesThatAreNotUnsignedNumbersLeaveTheDefault) {
  container_.start();
  block_lock();  // a wrongly taken port fails at once
  const std::string port = std::to_string(container_.port());
  HessianRemoteAccessor accessor(port, BE_REMOTE_METHOD, "127.0.0.1", BE_REMOTE_PATH);
  const std::vector<std::string> files = {
      element("Port", "1x"),
      element("Port", "") + element("ContainerHost", ""),
      element("Port", "-1"),
      // Not well-formed: nothing of it is taken.
      element("Port", "1") + "<Broken>",
  };
  for (const std::string& children : files) {
    write_conf(children);
    EXPECT_EQ(call(accessor, answer("").c_str()), PEX_SUCCESS) << children << ": " << error_.text;
    EXPECT_EQ(accessor.get_port(), port) << children;
    EXPECT_EQ(accessor.get_server(), "127.0.0.1") << children;
  }
}

// Read on every call: a configuration that never ends leaves the defaults
// after a bounded read instead of holding the call.
TEST_F(RemotingTest, ConfigurationThatNeverEndsLeavesTheDefaults) {
  container_.start();
  block_lock();
  ASSERT_EQ(symlink("/dev/zero", wd_.file("data/kx_container_conf.xml").c_str()), 0);
  const std::string port = std::to_string(container_.port());
  HessianRemoteAccessor accessor(port, BE_REMOTE_METHOD, "127.0.0.1", BE_REMOTE_PATH);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(call(accessor, answer("").c_str()), PEX_SUCCESS) << error_.text;
  EXPECT_EQ(isKerberosMode(), 0);
  EXPECT_LT(seconds_since(start), 2.0);
  EXPECT_EQ(accessor.get_port(), port);
  EXPECT_EQ(count_logged("BE_load_file_to_string: " + container_dir() +
                         "/../data/kx_container_conf.xml holds more than 400000 bytes; not read "
                         "further"),
            2);
}

// ---- recovery (each waits through the start pause) ---------------------------------

// The start script launches the container a little after the first probe
// following the start pause, so the probe loop has to sleep and retry.
TEST_F(RemotingTest, RecoveryStartsContainerAndProbesUntilItListens) {
  const int port = kxtest::free_loopback_port();
  write_conf(element("Port", std::to_string(port)) + element("RecoveryMaxRetry", "3") +
             element("RecoveryRetrySleepTime", "2500"));
  const std::string real = wd_.file("real");
  kxtest::write_start_script(real, container_, port);
  const std::string script = container_dir() + "/zrtHadoop_container";
  wd_.write("container/zrtHadoop_container",
            "#!/bin/sh\n(sleep 5.5; exec '" + real + "/zrtHadoop_container' \"$@\") "
            "</dev/null >/dev/null 2>&1 &\nexit 0\n");
  ASSERT_EQ(chmod(script.c_str(), 0755), 0);
  container_.answer(answer(element("UP", "yes")));

  HessianRemoteAccessor accessor = production_accessor();
  auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(call(accessor, answer("").c_str()), PEX_SUCCESS) << error_.text;
  const double elapsed = seconds_since(start);

  EXPECT_EQ(container_.start_script_calls(), std::vector<std::string>{"start 0"});
  EXPECT_EQ(container_.request(1), answer(""));
  EXPECT_EQ(accessor.getResponse(), answer(element("UP", "yes")));
  const int attempts = count_logged("connecting attempt to port " + std::to_string(port));
  EXPECT_GE(attempts, 2);
  // 2500 ms is two whole seconds between probes.
  EXPECT_GE(elapsed, 5.0 + 2.0 * (attempts - 1));
  EXPECT_LT(elapsed, 5.0 + 2.0 * (attempts - 1) + 0.9);
  EXPECT_TRUE(kxtest::file_exists(container_dir() + "/lock.dat"));
  EXPECT_EQ(lockFileFd, -1);
}

TEST_F(RemotingTest, MissingStartScriptExhaustsTheProbes) {
  const int port = kxtest::free_loopback_port();
  write_conf(element("Port", std::to_string(port)) + element("RecoveryRetrySleepTime", "999"));
  HessianRemoteAccessor accessor = production_accessor();
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(call(accessor, answer("").c_str()), PEX_FAIL);
  EXPECT_LT(seconds_since(start), 5.9);  // 999 ms: no sleep between probes
  EXPECT_EQ(reason(), "Container connect retries exceeded");
  EXPECT_EQ(count_logged("connecting attempt to port " + std::to_string(port)), 3);
  EXPECT_EQ(lockFileFd, -1);
}

TEST_F(RemotingTest, ZeroRetriesLeaveOnlyTheFinalProbe) {
  const int port = kxtest::free_loopback_port();
  write_conf(element("Port", std::to_string(port)) + element("RecoveryMaxRetry", "0"));
  HessianRemoteAccessor accessor = production_accessor();
  EXPECT_EQ(call(accessor, answer("").c_str()), PEX_FAIL);
  EXPECT_EQ(reason(), "Container connect retries exceeded");
  EXPECT_EQ(count_logged("connecting attempt to port " + std::to_string(port)), 0);
}

}  // namespace
