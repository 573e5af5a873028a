// host_workdir.h - the agent working directory as the library will find it.
//
// The library reads ./data/<table>.dat, writes ./proclog, starts the
// container from HADOOP / KX_DIR and reads its locale data from
// $WEXAGENT/exe/locale. When one of these is missing it fails late and
// obscurely ("failed to lock critical section" for a missing KX_DIR), so
// kxhost checks them itself before it loads the library.
#ifndef BE_HADOOP_TOOLS_HOST_HOST_WORKDIR_H
#define BE_HADOOP_TOOLS_HOST_HOST_WORKDIR_H

#include <string>
#include <vector>

namespace kxhost {

// The first value of key in a parameter table file, read as the library reads
// it (comments, blank lines, the key up to a blank, tab or '=', upper-cased).
// False when the file cannot be read or has no such key.
bool table_value(const std::string& path, const std::string& key, std::string& value);

// True when path has only the characters the library accepts in a container
// directory it starts a container from (letters, digits and /._+-, no
// leading '-').
bool safe_container_dir(const std::string& path);

struct Problem {
  std::string what;
  std::string hint;
};

// What a command needs of the current directory.
enum class Needs {
  kProcess,    // an agent process: proclog/, WEXAGENT with its locale data
  kContainer,  // and a container to talk to: data/HADOOP.dat, KX_DIR, the start script
};

// Every problem found, in the order the user should fix them. warnings get
// what the library copes with but a person should know.
std::vector<Problem> check_working_directory(Needs needs, std::vector<std::string>& warnings);

// Text between the person (UTF-8) and the agent's code page. The agent runs
// in Latin-1 unless data/CONFIG.dat holds I18N CJK; then text passes as it is.
class AgentText {
 public:
  AgentText();  // reads the mode from ./data/CONFIG.dat
  bool utf8() const { return utf8_; }
  // UTF-8 to the agent's code page. Text that is not UTF-8 is taken as
  // Latin-1 already. A character Latin-1 has no room for throws UserError.
  std::string to_agent(const std::string& text, const std::string& what) const;
  std::string from_agent(const std::string& text) const;

 private:
  bool utf8_;
};

}  // namespace kxhost

#endif  // BE_HADOOP_TOOLS_HOST_HOST_WORKDIR_H
