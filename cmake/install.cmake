# What `cmake --install` puts where, and the Debian package that CPack makes
# of it (docs/install.md; scripts/package.sh builds and checks the package).
#
#   QPP_PLUGIN_DIR                    the plugin, libquiven-proc-python.so.0
#   bin/                              qpp-replay
#   <libdir>/quiven-proc-python/      the stand-in host library that
#                                     qpp-replay runs on (private: only
#                                     qpp-replay's RUNPATH leads to it)
#   share/man/man1/qpp-replay.1.gz    qpp-replay's man page
#   share/doc/quiven-proc-python/     the scripting reference, install notes,
#                                     copyright, changelog.Debian.gz
#   share/quiven-proc-python/stubs/   qpp.pyi, for type checkers and editors
#   share/quiven-proc-python/examples/ the example scripts and their traffic
#
# The plugin itself has no RUNPATH: in the daemon, libquivend.so.4 is the
# daemon's own, already loaded when the plugin is.

set(QPP_PRIVATE_LIB_DIR "${CMAKE_INSTALL_LIBDIR}/quiven-proc-python")
set(QPP_SHARE_DIR "${CMAKE_INSTALL_DATADIR}/quiven-proc-python")

install(TARGETS quiven-proc-python
  LIBRARY DESTINATION ${QPP_PLUGIN_DIR} NAMELINK_SKIP)
# The script runner lies beside the plugin, which looks for it there.
install(TARGETS qpp-runner RUNTIME DESTINATION ${QPP_PLUGIN_DIR})

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

  # The man page is made from the built tool's own --help and --version,
  # so that it lists the options the tool has, with nobody editing it.
  find_program(QPP_HELP2MAN help2man)
  if(QPP_HELP2MAN)
    set(QPP_MAN_PAGE ${CMAKE_CURRENT_BINARY_DIR}/qpp-replay.1)
    file(CONFIGURE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/qpp-replay.h2m CONTENT
"[SEE ALSO]
The scripting reference,
.IR ${CMAKE_INSTALL_FULL_DOCDIR}/scripting.md ,
says what a script can do and how qpp-replay runs it;
.I install.md
beside it says where everything is installed.
")
    add_custom_command(OUTPUT ${QPP_MAN_PAGE}.gz
      COMMAND ${QPP_HELP2MAN} --no-info --section=1
        "--name=run a script of the quivend Python processor plugin without the daemon"
        --include=${CMAKE_CURRENT_BINARY_DIR}/qpp-replay.h2m
        --output=${QPP_MAN_PAGE} $<TARGET_FILE:qpp-replay>
      COMMAND gzip -9nf ${QPP_MAN_PAGE}
      DEPENDS qpp-replay ${CMAKE_CURRENT_BINARY_DIR}/qpp-replay.h2m
      COMMENT "Making qpp-replay's man page from its --help"
      VERBATIM)
    add_custom_target(qpp-replay-man ALL DEPENDS ${QPP_MAN_PAGE}.gz)
    install(FILES ${QPP_MAN_PAGE}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  else()
    message(WARNING "help2man not found: qpp-replay's man page is neither "
      "made nor installed (bash scripts/setup.sh installs help2man)")
  endif()
endif()

install(FILES docs/scripting.md docs/install.md cmake/debian/copyright
  DESTINATION ${CMAKE_INSTALL_DOCDIR})
# The package's changelog, compressed as Debian wants it: gzip -9, without
# the name and time stamp that would make every build differ.
set(QPP_CHANGELOG ${CMAKE_CURRENT_SOURCE_DIR}/cmake/debian/changelog)
add_custom_command(OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/changelog.Debian.gz
  COMMAND ${CMAKE_COMMAND} -E copy ${QPP_CHANGELOG} ${CMAKE_CURRENT_BINARY_DIR}/changelog.Debian
  COMMAND gzip -9nf ${CMAKE_CURRENT_BINARY_DIR}/changelog.Debian
  DEPENDS ${QPP_CHANGELOG}
  VERBATIM)
add_custom_target(qpp-changelog ALL DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/changelog.Debian.gz)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/changelog.Debian.gz
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
set(QPP_PACKAGE_MAINTAINER "Quiven Project <quiven-proc-python@quiven.org>"
  CACHE STRING "Maintainer of the Debian package")
# The Debian revision is the changelog's: its latest entry names the
# package's version, upstream-revision (scripts/package.sh checks that the
# upstream part is this project's version).
file(STRINGS ${QPP_CHANGELOG} QPP_CHANGELOG_TOP LIMIT_COUNT 1)
if(NOT QPP_CHANGELOG_TOP MATCHES "^quiven-proc-python \\([^)]+-([^-)]+)\\) ")
  message(FATAL_ERROR "${QPP_CHANGELOG}: the first line names no version "
    "upstream-revision of quiven-proc-python: ${QPP_CHANGELOG_TOP}")
endif()
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quiven-proc-python)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_DEBIAN_PACKAGE_RELEASE ${CMAKE_MATCH_1})
set(CPACK_PACKAGE_CONTACT "${QPP_PACKAGE_MAINTAINER}")
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
