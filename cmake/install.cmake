# What `cmake --install` puts where, and the Debian package that CPack makes
# of it (docs/install.md; scripts/package.sh builds and checks the package).
#
#   QPP_PLUGIN_DIR                    the plugin, libquiven-proc-python.so.0
#   bin/                              qpp-replay
#   <libdir>/quiven-proc-python/      the stand-in host library that
#                                     qpp-replay runs on (private: only
#                                     qpp-replay's RUNPATH leads to it)
#   share/doc/quiven-proc-python/     the scripting reference, install notes
#   share/quiven-proc-python/stubs/   qpp.pyi, for type checkers and editors
#   share/quiven-proc-python/examples/ the example scripts and their traffic
#
# The plugin itself has no RUNPATH: in the daemon, libquivend.so.4 is the
# daemon's own, already loaded when the plugin is.

set(QPP_PRIVATE_LIB_DIR "${CMAKE_INSTALL_LIBDIR}/quiven-proc-python")
set(QPP_SHARE_DIR "${CMAKE_INSTALL_DATADIR}/quiven-proc-python")

install(TARGETS quiven-proc-python
  LIBRARY DESTINATION ${QPP_PLUGIN_DIR} NAMELINK_SKIP)

if(TARGET qpp-replay)
  GNUInstallDirs_get_absolute_install_dir(
    QPP_PRIVATE_LIB_FULL_DIR QPP_PRIVATE_LIB_DIR LIBDIR)
  file(RELATIVE_PATH QPP_BIN_TO_PRIVATE_LIB
    ${CMAKE_INSTALL_FULL_BINDIR} ${QPP_PRIVATE_LIB_FULL_DIR})
  set_target_properties(qpp-replay PROPERTIES
    INSTALL_RPATH "$ORIGIN/${QPP_BIN_TO_PRIVATE_LIB}")
  install(TARGETS qpp-replay RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(TARGETS quivend
    LIBRARY DESTINATION ${QPP_PRIVATE_LIB_DIR} NAMELINK_SKIP)
endif()

install(FILES docs/scripting.md docs/install.md
  DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES module/qpp.pyi DESTINATION ${QPP_SHARE_DIR}/stubs)
install(FILES
    examples/README.md
    examples/app_usage.py
    examples/risk_alerts.py
    examples/tls_inventory.py
    examples/top_talkers.py
    examples/gen-traffic.py
    examples/traffic.jsonl
  DESTINATION ${QPP_SHARE_DIR}/examples)
install(DIRECTORY examples/expected DESTINATION ${QPP_SHARE_DIR}/examples)

# The Debian package. Configure with -DCMAKE_INSTALL_PREFIX=/usr so that the
# library directories are Debian's multiarch ones (lib/<triplet>).
set(QPP_PACKAGE_CONTACT "quiven-proc-python developers <quiven-proc-python@localhost>"
  CACHE STRING "Maintainer of the Debian package")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quiven-proc-python)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${QPP_PACKAGE_CONTACT}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "Python processor plugin for the flow-analysis daemon quivend")
set(CPACK_PACKAGE_DESCRIPTION
  "Runs Python scripts inside quivend against its flow events, flow-map
snapshots and agent events. Includes qpp-replay, which runs a script against
recorded events without the daemon, the scripting reference, type
information for the module qpp and example scripts.")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
# Dependencies from the ELF files: the libpython the plugin embeds, libcrypto
# (the stand-in host), the C++ runtime. The daemon that loads the plugin
# provides libquivend.so.4 itself and has no Debian package to depend on.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# dpkg-shlibdeps runs in the package's staging root: the private directory
# is named relative to it, so that the stand-in found there counts as the
# package's own.
string(REGEX REPLACE "^/" "" QPP_STAGED_PRIVATE_LIB_DIR
  "${CMAKE_INSTALL_PREFIX}/${QPP_PRIVATE_LIB_DIR}")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${QPP_STAGED_PRIVATE_LIB_DIR})
set(CPACK_DEBIAN_PACKAGE_ENHANCES quivend)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS mypy)
include(CPack)
