#include "kc_peer.h"

#include <arpa/inet.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

namespace kc {

namespace {

// An address in the form the kernel keeps it: family and 16 bytes. An
// IPv4-mapped IPv6 address is its IPv4 address.
struct Address {
  int family = 0;
  unsigned char bytes[16] = {};
};

bool parse_address(const std::string& text, Address& a) {
  if (inet_pton(AF_INET, text.c_str(), a.bytes) == 1) {
    a.family = AF_INET;
    return true;
  }
  if (inet_pton(AF_INET6, text.c_str(), a.bytes) == 1) {
    static const unsigned char mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    if (std::memcmp(a.bytes, mapped, 12) == 0) {
      std::memmove(a.bytes, a.bytes + 12, 4);
      std::memset(a.bytes + 4, 0, 12);
      a.family = AF_INET;
    } else {
      a.family = AF_INET6;
    }
    return true;
  }
  return false;
}

long query_netlink(const Address& peer, int peer_port, const Address& local, int local_port) {
  const int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
  if (fd < 0) return -2;
  struct {
    nlmsghdr nlh;
    inet_diag_req_v2 req;
  } msg{};
  msg.nlh.nlmsg_len = sizeof msg;
  msg.nlh.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  msg.nlh.nlmsg_flags = NLM_F_REQUEST;
  msg.req.sdiag_family = static_cast<__u8>(peer.family);
  msg.req.sdiag_protocol = IPPROTO_TCP;
  msg.req.idiag_states = ~0u;
  msg.req.id.idiag_sport = htons(static_cast<uint16_t>(peer_port));
  msg.req.id.idiag_dport = htons(static_cast<uint16_t>(local_port));
  std::memcpy(msg.req.id.idiag_src, peer.bytes, 16);
  std::memcpy(msg.req.id.idiag_dst, local.bytes, 16);
  msg.req.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
  msg.req.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  long uid = -2;
  if (sendto(fd, &msg, sizeof msg, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) == sizeof msg) {
    alignas(nlmsghdr) char buf[8192];
    const ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n > 0) {
      auto* h = reinterpret_cast<nlmsghdr*>(buf);
      int left = static_cast<int>(n);
      uid = -1;
      for (; NLMSG_OK(h, left); h = NLMSG_NEXT(h, left)) {
        if (h->nlmsg_type == NLMSG_ERROR) {
          auto* err = static_cast<nlmsgerr*>(NLMSG_DATA(h));
          // ENOENT: no such socket; anything else: the interface cannot tell.
          uid = err->error == -ENOENT ? -1 : -2;
          break;
        }
        if (h->nlmsg_type == SOCK_DIAG_BY_FAMILY) {
          uid = static_cast<inet_diag_msg*>(NLMSG_DATA(h))->idiag_uid;
          break;
        }
      }
    }
  }
  close(fd);
  return uid;
}

// "0100007F:1F90" for 127.0.0.1:8080, as /proc/net/tcp writes it: the
// address in the kernel's byte order, 32 bits at a time.
std::string proc_text(const Address& a, int port) {
  char out[64];
  std::size_t pos = 0;
  const int words = a.family == AF_INET ? 1 : 4;
  for (int w = 0; w < words; ++w) {
    uint32_t v;
    std::memcpy(&v, a.bytes + 4 * w, 4);
    pos += static_cast<std::size_t>(std::snprintf(out + pos, sizeof out - pos, "%08X", v));
  }
  std::snprintf(out + pos, sizeof out - pos, ":%04X", port);
  return out;
}

}  // namespace

long peer_uid_from_proc(const std::string& peer_addr, int peer_port, const std::string& local_addr,
                        int local_port) {
  Address peer, local;
  if (!parse_address(peer_addr, peer) || !parse_address(local_addr, local)) return -1;
  const std::string want_local = proc_text(peer, peer_port), want_remote = proc_text(local, local_port);
  std::ifstream in(peer.family == AF_INET ? "/proc/net/tcp" : "/proc/net/tcp6");
  std::string line;
  std::getline(in, line);  // the heading
  // Bounded: a host with more sockets than this is beyond a loopback check.
  for (int n = 0; n < 1000000 && std::getline(in, line); ++n) {
    std::istringstream fields(line);
    std::string slot, local_field, remote_field, state, queues, timer, retransmits;
    long uid;
    if (!(fields >> slot >> local_field >> remote_field >> state >> queues >> timer >> retransmits >> uid)) continue;
    if (local_field == want_local && remote_field == want_remote) return uid;
  }
  return -1;
}

long peer_uid(const std::string& peer_addr, int peer_port, const std::string& local_addr, int local_port) {
  Address peer, local;
  if (!parse_address(peer_addr, peer) || !parse_address(local_addr, local) || peer.family != local.family) {
    return -1;
  }
  const long uid = query_netlink(peer, peer_port, local, local_port);
  if (uid != -2) return uid;
  return peer_uid_from_proc(peer_addr, peer_port, local_addr, local_port);
}

std::set<uid_t> allowed_uids(const std::vector<std::string>& names, std::vector<std::string>& unknown) {
  std::set<uid_t> uids = {getuid(), geteuid(), 0};
  for (const std::string& name : names) {
    passwd pw;
    passwd* found = nullptr;
    std::vector<char> buf(16384);
    if (getpwnam_r(name.c_str(), &pw, buf.data(), buf.size(), &found) == 0 && found != nullptr) {
      uids.insert(found->pw_uid);
    } else {
      unknown.push_back(name);
    }
  }
  return uids;
}

std::string user_name(long uid) {
  if (uid < 0) return "unknown";
  passwd pw;
  passwd* found = nullptr;
  std::vector<char> buf(16384);
  if (getpwuid_r(static_cast<uid_t>(uid), &pw, buf.data(), buf.size(), &found) == 0 && found != nullptr) {
    return found->pw_name;
  }
  return std::to_string(uid);
}

}  // namespace kc
