#include "be_container.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>

#include "agent_env.h"

namespace {

const char kScript[] = "zrtHadoop_container";

// A loopback TCP socket; listening unless told otherwise. Closing it leaves
// a port that refuses connections.
class LoopbackSocket {
 public:
  explicit LoopbackSocket(bool listening = true) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in addr;
    std::memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (fd_ < 0 || bind(fd_, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) != 0 ||
        getsockname(fd_, reinterpret_cast<struct sockaddr*>(&addr), &len) != 0 ||
        (listening && listen(fd_, 4) != 0)) {
      ADD_FAILURE() << "cannot set up a loopback socket";
    }
    port_ = ntohs(addr.sin_port);
  }
  ~LoopbackSocket() { close(); }
  void close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  std::string port() const { return std::to_string(port_); }

 private:
  int fd_ = -1;
  int port_ = 0;
};

std::string dotted(const struct sockaddr_in& addr) {
  char text[INET_ADDRSTRLEN] = "";
  inet_ntop(AF_INET, &addr.sin_addr, text, sizeof text);
  return text;
}

// A working directory with the container directory container/ named by
// HADOOP / KX_DIR and a log that takes every trace line.
class ContainerTest : public kxtest::AgentEnv {
 protected:
  ContainerTest() : AgentEnv("CT", kContainerDir, 6) {}

  void write_conf(const std::string& content) const {
    wd_.write("data/kx_container_conf.xml", content);
  }
  // A start script that records its arguments in container/calls.
  void write_script() const {
    const std::string path = container_dir() + "/" + kScript;
    wd_.write("container/" + std::string(kScript),
              "#!/bin/sh\necho \"$@\" >> \"$(dirname \"$0\")/calls\"\n");
    ASSERT_EQ(chmod(path.c_str(), 0755), 0);
  }
};

// ---- address and port probe ----------------------------------------------

TEST_F(ContainerTest, AddressesAndNamesResolve) {
  struct sockaddr_in a = getInetAddress("10.1.2.3");
  EXPECT_EQ(a.sin_family, AF_INET);
  EXPECT_EQ(dotted(a), "10.1.2.3");
  EXPECT_EQ(a.sin_port, 0);

  a = getInetAddress("localhost");
  EXPECT_EQ(a.sin_family, AF_INET);
  EXPECT_EQ(dotted(a), "127.0.0.1");
  EXPECT_EQ(log().find("Unable to translate"), std::string::npos);
}

TEST_F(ContainerTest, UnresolvableHostFallsBackToLoopback) {
  struct sockaddr_in a = getInetAddress("no-such-host.invalid");
  EXPECT_EQ(a.sin_family, AF_INET);
  EXPECT_EQ(dotted(a), "127.0.0.1");
  EXPECT_TRUE(logged("Unable to translate host <no-such-host.invalid>, using <127.0.0.1> instead"));
  EXPECT_EQ(dotted(getInetAddress(nullptr)), "127.0.0.1");
}

TEST_F(ContainerTest, PortCheckConnectsToAListeningPort) {
  LoopbackSocket server;
  EXPECT_EQ(ContainerConnectPortCheck("127.0.0.1", server.port().c_str()), 0);
  EXPECT_TRUE(logged("ContainerConnectPortCheck: address '127.0.0.1' port '" + server.port() +
                     "'"));
  EXPECT_TRUE(logged("ContainerConnectPortCheck: Succeeded."));
  EXPECT_EQ(ContainerConnectPortCheck("localhost", server.port().c_str()), 0);
  // An unknown host is probed on the loopback address.
  EXPECT_EQ(ContainerConnectPortCheck("no-such-host.invalid", server.port().c_str()), 0);
  // The number ends at the first non-digit.
  EXPECT_EQ(ContainerConnectPortCheck("localhost", (server.port() + "abc").c_str()), 0);
  // A number that is no port is not wrapped around onto one.
  const std::string wrapped = std::to_string(std::stoi(server.port()) + 65536);
  EXPECT_EQ(ContainerConnectPortCheck("127.0.0.1", wrapped.c_str()), 1);
}

TEST_F(ContainerTest, PortCheckFailsOnAClosedPort) {
  LoopbackSocket gone(false);
  const std::string port = gone.port();
  gone.close();
  EXPECT_EQ(ContainerConnectPortCheck("127.0.0.1", port.c_str()), 1);
  EXPECT_TRUE(logged("ContainerConnectPortCheck: Failed."));
  EXPECT_EQ(ContainerConnectPortCheck("127.0.0.1", "abc"), 1);  // port 0
}

// ---- Kerberos mode --------------------------------------------------------

TEST_F(ContainerTest, KerberosModeNeedsBothElements) {
  write_conf(
      "<?xml version=\"1.0\"?>\n<Configuration>\n  <KerberosKeytabPath>/etc/kx.keytab"
      "</KerberosKeytabPath>\n  <KerberosPrincipal>kx@EXAMPLE.COM</KerberosPrincipal>\n"
      "</Configuration>\n");
  EXPECT_EQ(isKerberosMode(), 1);
  EXPECT_TRUE(logged("isKerberosMode"));
  EXPECT_TRUE(logged("Identified Kerberos Mode"));

  write_conf("<Configuration><KerberosKeytabPath>/etc/kx.keytab</KerberosKeytabPath>"
             "<Port>1</Port></Configuration>");
  EXPECT_EQ(isKerberosMode(), 0);
  EXPECT_TRUE(logged("Not in Kerberos Mode"));

  write_conf("<Configuration><KerberosKeytabPath>/k</KerberosKeytabPath>"
             "<KerberosPrincipal></KerberosPrincipal></Configuration>");
  EXPECT_EQ(isKerberosMode(), 0);

  // Only children of Configuration count.
  write_conf("<Other><KerberosKeytabPath>/k</KerberosKeytabPath>"
             "<KerberosPrincipal>p</KerberosPrincipal></Other>");
  EXPECT_EQ(isKerberosMode(), 0);
}

TEST_F(ContainerTest, NoKerberosModeWithoutTheFile) {
  EXPECT_EQ(isKerberosMode(), 0);
  EXPECT_TRUE(logged("Not in Kerberos Mode"));
}

TEST_F(ContainerTest, NoKerberosModeWithoutContainerDirectory) {
  wd_.write_table("HADOOP", "OTHER x\n");
  write_conf("<Configuration><KerberosKeytabPath>/k</KerberosKeytabPath>"
             "<KerberosPrincipal>p</KerberosPrincipal></Configuration>");
  EXPECT_EQ(isKerberosMode(), 0);
}

// ---- the start command ----------------------------------------------------

std::string command(const std::string& dir, const std::string& level, int as_root,
                    int kerberos, PEXRC* rc = nullptr, PEXError* error = nullptr) {
  char buf[BE_CONTAINER_COMMAND_SIZE];
  std::memset(buf, 'x', sizeof buf);
  PEXError local{};
  const PEXRC r = BE_INF_build_container_command(dir.c_str(), level.c_str(), as_root, kerberos,
                                                 buf, sizeof buf, error ? error : &local);
  if (rc != nullptr) *rc = r;
  return buf;
}

TEST_F(ContainerTest, CommandTexts) {
  const std::string plain = "/opt/kx/container/zrtHadoop_container start 3 &";
  EXPECT_EQ(command("/opt/kx/container", "3", 0, 0), plain);
  EXPECT_EQ(command("/opt/kx/container", "3", 0, 1), plain);  // a normal user ignores Kerberos
  EXPECT_EQ(command("/opt/kx/container", "3", 1, 0), plain);
  EXPECT_EQ(command("/opt/kx/container", "3", 1, 1),
            "su `ls -ld /opt/kx/container | awk '{print $3}'` -c "
            "'nohup /opt/kx/container/zrtHadoop_container start 3 &'");
  EXPECT_EQ(command("rel/kx-1.2_b+c", "0", 0, 0), "rel/kx-1.2_b+c/zrtHadoop_container start 0 &");
}

TEST_F(ContainerTest, CommandThatWouldNotFitIsRefused) {
  PEXRC rc;
  PEXError error{};
  // Plain: 29 characters besides the directory and the level.
  const std::string dir = "/" + std::string(1999, 'd');
  EXPECT_EQ(command(dir, std::string(1042, '1'), 0, 0, &rc).size(), 3071u);
  EXPECT_EQ(rc, PEX_SUCCESS);
  EXPECT_EQ(command(dir, std::string(1043, '1'), 0, 0, &rc, &error), "");
  EXPECT_EQ(rc, PEX_FAIL);
  EXPECT_EQ(error.code, 1u);
  EXPECT_STREQ(error.text,
               "StartContainer: the container start command needs 3072 characters, more than "
               "the 3071 that fit");

  // Kerberos: 72 characters besides the directory twice and the level.
  const std::string half = "/" + std::string(1498, 'd');
  EXPECT_EQ(command(half, "1", 1, 1, &rc).size(), 3071u);
  EXPECT_EQ(rc, PEX_SUCCESS);
  EXPECT_EQ(command(half + "d", "1", 1, 1, &rc), "");
  EXPECT_EQ(rc, PEX_FAIL);
  EXPECT_TRUE(logged("StartContainer: the container start command needs 3073 characters, more "
                     "than the 3071 that fit"));
}

TEST_F(ContainerTest, ShellHostileValuesAreRefused) {
  for (const char* bad : {"/opt/kx;touch pwned", "/opt/k x", "/opt/$(id)", "/opt/`id`",
                          "/opt/'q'", "/opt/a\nb", "/opt/a&b", "/opt/a|b", "/opt/*", "~/kx",
                          "-rf", ""}) {
    PEXRC rc;
    PEXError error{};
    EXPECT_EQ(command(bad, "3", 1, 1, &rc, &error), "") << bad;
    EXPECT_EQ(rc, PEX_FAIL) << bad;
    EXPECT_EQ(error.code, 1u);
    EXPECT_NE(std::string(error.text).find("refusing container directory"), std::string::npos)
        << error.text;
  }
  for (const char* bad : {"3;id", "3 &", "-1", "", "3 ", "$x"}) {
    PEXRC rc;
    PEXError error{};
    EXPECT_EQ(command("/opt/kx", bad, 0, 0, &rc, &error), "") << bad;
    EXPECT_EQ(rc, PEX_FAIL) << bad;
    EXPECT_NE(std::string(error.text).find("refusing debug level"), std::string::npos)
        << error.text;
  }
}

// ---- StartContainer -------------------------------------------------------

TEST_F(ContainerTest, StartWithoutContainerDirectoryFails) {
  wd_.write_table("HADOOP", "OTHER x\n");
  PEXError error{};
  EXPECT_EQ(StartContainer(&error), PEX_FAIL);
  EXPECT_EQ(error.code, 1u);
  EXPECT_STREQ(error.text, "cannot get KX_DIR");
  EXPECT_TRUE(logged("StartContainer"));
}

TEST_F(ContainerTest, StartRefusesAHostileDirectoryWithoutRunningAnything) {
  write_script();
  const std::string pwned = wd_.file("pwned");
  wd_.write_table("HADOOP", "KX_DIR " + container_dir() + ";touch " + pwned + "\n");
  PEXError error{};
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(StartContainer(&error), PEX_FAIL);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  EXPECT_EQ(error.code, 1u);
  EXPECT_NE(std::string(error.text).find("refusing container directory"), std::string::npos);
  EXPECT_TRUE(logged(error.text));
  EXPECT_FALSE(kxtest::file_exists(pwned));
  EXPECT_FALSE(kxtest::file_exists(container_dir() + "/calls"));
}

TEST_F(ContainerTest, StartRefusesAHostileDebugLevelWithoutRunningAnything) {
  write_script();
  const std::string pwned = wd_.file("pwned");
  wd_.write_table("CONFIG", "DBGLVL 3;touch " + pwned + "\n");
  PEXError error{};
  EXPECT_EQ(StartContainer(&error), PEX_FAIL);
  EXPECT_NE(std::string(error.text).find("refusing debug level"), std::string::npos);
  EXPECT_FALSE(kxtest::file_exists(pwned));
  EXPECT_FALSE(kxtest::file_exists(container_dir() + "/calls"));
}

TEST_F(ContainerTest, StartRunsTheScriptAndWaits) {
  write_script();
  wd_.write_table("CONFIG", "DBGLVL 3\n");
  PEXError error{};
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(StartContainer(&error), PEX_SUCCESS);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(kxtest::read_file(container_dir() + "/calls"), "start 3\n");
  EXPECT_TRUE(logged(getuid() == 0 ? "Agent is root" : "Agent is non-root"));
  EXPECT_TRUE(logged("StartContainer - starting container. Unix command line [" +
                     container_dir() + "/" + kScript + " start 3 &]"));
  EXPECT_TRUE(logged("StartContainer: Succeeded starting Container."));
}

TEST_F(ContainerTest, SuperuserInKerberosModeStartsAsTheDirectoryOwner) {
  if (getuid() != 0) GTEST_SKIP() << "needs the superuser";
  write_script();
  write_conf("<Configuration><KerberosKeytabPath>/k</KerberosKeytabPath>"
             "<KerberosPrincipal>p</KerberosPrincipal></Configuration>");
  PEXError error{};
  EXPECT_EQ(StartContainer(&error), PEX_SUCCESS);  // default level 0
  EXPECT_TRUE(logged("Identified Kerberos Mode"));
  EXPECT_TRUE(logged("StartContainer - starting container. Unix command line [su `ls -ld " +
                     container_dir() + " | awk '{print $3}'` -c 'nohup " + container_dir() + "/" +
                     kScript + " start 0 &']"));
  // The directory belongs to the superuser here, so su runs the script as it.
  EXPECT_EQ(kxtest::read_file(container_dir() + "/calls"), "start 0\n");
}

}  // namespace
