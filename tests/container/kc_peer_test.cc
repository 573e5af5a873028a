// Who is calling: the user behind a loopback connection, as the kernel
// knows it, by both ways the container asks.
#include "kc_peer.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

namespace {

// A connected loopback pair: the listener's accepted end and the caller's.
class LoopbackPair {
 public:
  LoopbackPair() {
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(listener_, 1);
    getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len);
    server_port_ = ntohs(a.sin_port);
    caller_ = socket(AF_INET, SOCK_STREAM, 0);
    connect(caller_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    getsockname(caller_, reinterpret_cast<sockaddr*>(&a), &len);
    caller_port_ = ntohs(a.sin_port);
    accepted_ = accept(listener_, nullptr, nullptr);
  }
  ~LoopbackPair() {
    close(accepted_);
    close(caller_);
    close(listener_);
  }
  int caller_port() const { return caller_port_; }
  int server_port() const { return server_port_; }

 private:
  int listener_, caller_, accepted_;
  int server_port_ = 0, caller_port_ = 0;
};

TEST(PeerUid, FindsTheCallersUserBothWays) {
  LoopbackPair pair;
  EXPECT_EQ(kc::peer_uid("127.0.0.1", pair.caller_port(), "127.0.0.1", pair.server_port()),
            static_cast<long>(getuid()));
  EXPECT_EQ(kc::peer_uid_from_proc("127.0.0.1", pair.caller_port(), "127.0.0.1", pair.server_port()),
            static_cast<long>(getuid()));
  // The same connection as an IPv4-mapped address, as a dual-stack listener
  // reports it.
  EXPECT_EQ(kc::peer_uid("::ffff:127.0.0.1", pair.caller_port(), "::ffff:127.0.0.1", pair.server_port()),
            static_cast<long>(getuid()));
}

TEST(PeerUid, AConnectionNobodyHasIsUnknown) {
  LoopbackPair pair;
  // The ends swapped: the listener's side is not a caller.
  EXPECT_EQ(kc::peer_uid("127.0.0.1", pair.caller_port(), "127.0.0.1", pair.caller_port()), -1);
  EXPECT_EQ(kc::peer_uid_from_proc("127.0.0.1", pair.caller_port(), "127.0.0.1", pair.caller_port()), -1);
  EXPECT_EQ(kc::peer_uid("not an address", 1, "127.0.0.1", 2), -1);
}

TEST(AllowedUids, OwnUserAndSuperuserAlwaysNamedUsersWhenTheyExist) {
  std::vector<std::string> unknown;
  const auto uids = kc::allowed_uids({"root", "no-such-user-xyz"}, unknown);
  EXPECT_EQ(uids.count(getuid()), 1u);
  EXPECT_EQ(uids.count(0), 1u);
  EXPECT_EQ(unknown, std::vector<std::string>{"no-such-user-xyz"});
  EXPECT_EQ(kc::user_name(0), "root");
  EXPECT_EQ(kc::user_name(-1), "unknown");
}

}  // namespace
