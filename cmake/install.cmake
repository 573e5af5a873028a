# Installation and the Debian package. Everything goes under one prefix,
# laid out as kxhost expects it relative to its own directory:
#
#   PREFIX/bin/kxhost
#   PREFIX/lib/libbe_hadoop.so                 the library the agent loads
#   PREFIX/container/kxcontainer               the container directory
#   PREFIX/container/zrtHadoop_container
#   PREFIX/data/kx_container_conf.xml          a link to the configuration
#                                              template in CONF_DIR
#   PREFIX/share/be_hadoop/locale/*.cp         for $WEXAGENT/exe/locale
#   PREFIX/share/doc/be_hadoop/README.md       the operator's part of README.md
#   CONF_DIR/kx_container_conf.xml             the template: /etc/opt/be_hadoop
#                                              for the prefix /opt/be_hadoop,
#                                              else PREFIX/etc/be_hadoop
#
# Only the targets named here are installed: tests, benchmarks and fuzzers
# have no install rules.
# The template's directory follows the prefix given at install time
# (cmake --install --prefix): /etc/opt/NAME for /opt/NAME, else
# PREFIX/etc/be_hadoop.
set(kx_conf_dir_rule [[
  if(CMAKE_INSTALL_PREFIX MATCHES "^/opt/([^/]+)/*$")
    set(KX_CONF_DIR "/etc/opt/${CMAKE_MATCH_1}")
  else()
    set(KX_CONF_DIR "${CMAKE_INSTALL_PREFIX}/etc/be_hadoop")
  endif()
]])
cmake_language(EVAL CODE "${kx_conf_dir_rule}")

install(TARGETS be_hadoop LIBRARY DESTINATION lib NAMELINK_SKIP)
install(TARGETS kxhost RUNTIME DESTINATION bin)
install(TARGETS kxcontainer RUNTIME DESTINATION container)
install(PROGRAMS ${PROJECT_SOURCE_DIR}/src/container/zrtHadoop_container DESTINATION container)
install(CODE "${kx_conf_dir_rule}
  file(INSTALL DESTINATION \"\${KX_CONF_DIR}\" TYPE FILE
       FILES \"${PROJECT_SOURCE_DIR}/data/kx_container_conf.xml\")
  set(data \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/data\")
  file(MAKE_DIRECTORY \"\${data}\")
  message(STATUS \"Installing: \${data}/kx_container_conf.xml -> \${KX_CONF_DIR}/kx_container_conf.xml\")
  file(CREATE_LINK \"\${KX_CONF_DIR}/kx_container_conf.xml\" \"\${data}/kx_container_conf.xml\" SYMBOLIC)
")
install(DIRECTORY ${PROJECT_SOURCE_DIR}/data/locale/ DESTINATION share/be_hadoop/locale)

set(operator_readme ${PROJECT_BINARY_DIR}/share/doc/be_hadoop/README.md)
add_custom_command(OUTPUT ${operator_readme}
  COMMAND ${CMAKE_COMMAND} -DIN=${PROJECT_SOURCE_DIR}/README.md -DOUT=${operator_readme}
          -P ${PROJECT_SOURCE_DIR}/cmake/operator_readme.cmake
  DEPENDS ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/cmake/operator_readme.cmake VERBATIM)
add_custom_target(kx_operator_readme ALL DEPENDS ${operator_readme})
install(FILES ${operator_readme} DESTINATION share/doc/be_hadoop)

# The package: its version is the project's, its dependencies are what
# dpkg-shlibdeps finds the installed programs linked against, and the
# configuration template is a conffile, so that an upgrade keeps an
# operator's edits (and a purge removes it).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME be-hadoop)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "be_hadoop")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Hadoop backend library for the job-scheduling agent, with its local job container")
set(CPACK_PACKAGE_DESCRIPTION
    "libbe_hadoop.so, which the agent loads, the container kxcontainer that runs
and keeps its jobs on the edge node, and kxhost, which lays out an agent
working directory and drives the library by hand.")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
# The configuration template is installed outside the prefix, under /etc:
# the whole is installed under DESTDIR with its final paths.
set(CPACK_SET_DESTDIR ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "be_hadoop developers <root@localhost>")
set(conffiles ${PROJECT_BINARY_DIR}/debian/conffiles)
file(WRITE ${conffiles} "${KX_CONF_DIR}/kx_container_conf.xml\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${conffiles})
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
