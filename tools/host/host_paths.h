// host_paths.h - where kxhost finds what it did not get on its command line.
//
// kxhost looks for its companions relative to its own executable, so a
// build tree and an installed prefix work alike:
//
//   PREFIX/bin/kxhost                       this program
//   PREFIX/container/kxcontainer            the container and its start script
//   PREFIX/container/zrtHadoop_container      (PREFIX/bin/ in a build tree)
//   PREFIX/data/kx_container_conf.xml       the template of the container's
//                                           configuration
//   PREFIX/lib/libbe_hadoop.so              the backend library
//   PREFIX/share/be_hadoop/locale/*.cp      the locale data of the agent home
//
// The build writes this layout under build/, with the container programs in
// bin/: a working directory laid out from a build tree gets copies of them,
// one laid out from an installed prefix links to the installed ones, so that
// an upgrade of the installation reaches it.
#ifndef BE_HADOOP_TOOLS_HOST_HOST_PATHS_H
#define BE_HADOOP_TOOLS_HOST_HOST_PATHS_H

#include <string>

namespace kxhost {

inline constexpr char kLibraryName[] = "libbe_hadoop.so";
inline constexpr char kContainerProgram[] = "kxcontainer";
inline constexpr char kStartScript[] = "zrtHadoop_container";
inline constexpr char kLocaleSubdir[] = "share/be_hadoop/locale";
inline constexpr char kContainerSubdir[] = "container";
inline constexpr char kConfTemplate[] = "data/kx_container_conf.xml";
// The locale data files the library cannot work without.
inline constexpr const char* kLocaleFiles[] = {"Latin1.cp", "UTF-8.cp"};

// The directory holding this program, from /proc/self/exe; empty when it
// cannot be read.
std::string program_dir();

// PREFIX/lib/libbe_hadoop.so when that file exists, else the bare name, which
// leaves the search to the dynamic loader.
std::string default_library();

// PREFIX/share/be_hadoop/locale (it may not exist).
std::string default_locale_dir();

// PREFIX/container when it holds kxcontainer (an installed prefix), else
// empty.
std::string installed_container_dir();

// PREFIX/data/kx_container_conf.xml (it may not exist).
std::string default_conf_template();

// True when path names an existing regular file or directory.
bool is_file(const std::string& path);
bool is_dir(const std::string& path);
bool is_executable(const std::string& path);

// An absolute, lexically normal form of path (no trailing slash).
std::string absolute_path(const std::string& path);

}  // namespace kxhost

#endif  // BE_HADOOP_TOOLS_HOST_HOST_PATHS_H
