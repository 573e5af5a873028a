// kc_peer.h - who is calling: the user id behind a local TCP connection.
//
// The container runs commands as its own user, so it must serve only its
// own user, the superuser and the users its configuration names. For a
// connection from this host the kernel knows which user's process opened the
// caller's end; we ask it through the socket diagnostics interface, or read
// /proc/net/tcp{,6} when that interface is not available.
#ifndef BE_HADOOP_CONTAINER_KC_PEER_H
#define BE_HADOOP_CONTAINER_KC_PEER_H

#include <sys/types.h>

#include <set>
#include <string>
#include <vector>

namespace kc {

// The uid owning the socket whose own address is peer_addr:peer_port and
// whose other end is local_addr:local_port; -1 when no such socket is known
// (a connection from another host, or one already gone).
long peer_uid(const std::string& peer_addr, int peer_port, const std::string& local_addr, int local_port);

// The same, read from /proc/net/tcp and /proc/net/tcp6 only.
long peer_uid_from_proc(const std::string& peer_addr, int peer_port, const std::string& local_addr,
                        int local_port);

// The users allowed to call: this process's user, the superuser and the
// named users that exist. Unknown names are returned in unknown.
std::set<uid_t> allowed_uids(const std::vector<std::string>& names, std::vector<std::string>& unknown);

// The name of a user id, or the number as text.
std::string user_name(long uid);

}  // namespace kc

#endif  // BE_HADOOP_CONTAINER_KC_PEER_H
