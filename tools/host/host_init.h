// host_init.h - kxhost init: an agent working directory ready to use.
#ifndef BE_HADOOP_TOOLS_HOST_HOST_INIT_H
#define BE_HADOOP_TOOLS_HOST_HOST_INIT_H

namespace kxhost {

// kxhost init [DIR] [options]; argv[first] is the first word after "init".
// Returns the exit code; mistakes throw UserError.
int cmd_init(int argc, char** argv, int first);

// A free TCP port on the loopback interface, 0 when none can be had.
int free_port();

}  // namespace kxhost

#endif  // BE_HADOOP_TOOLS_HOST_HOST_INIT_H
