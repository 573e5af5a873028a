// kc_version.h - the container's version: the project's one version number.
#ifndef BE_HADOOP_CONTAINER_KC_VERSION_H
#define BE_HADOOP_CONTAINER_KC_VERSION_H

#ifndef KX_VERSION
#error "KX_VERSION is set by the build"
#endif

namespace kc {
inline constexpr char kVersion[] = KX_VERSION;
}  // namespace kc

#endif  // BE_HADOOP_CONTAINER_KC_VERSION_H
