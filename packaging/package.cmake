# Install rules and the Debian packages. `cpack -G DEB` in the build folder
# makes keyreg_<version>_amd64.deb (server and tool) and the table library's
# libkeyreg1_<version>_amd64.deb and libkeyreg-dev_<version>_amd64.deb; a
# plain build never makes them. Included from the top CMakeLists.txt once
# every program target exists.

# Every rule without a component of its own belongs to the server's package.
set(CMAKE_INSTALL_DEFAULT_COMPONENT_NAME keyreg)
set(KEYREG_MAINTAINER "keyreg maintainers <maintainers@users.noreply.c-seed-b4f7bc76.example>")
set(KEYREG_PKG_DIR ${CMAKE_CURRENT_LIST_DIR})
set(KEYREG_DOC_DIR share/doc/keyreg)

install(TARGETS keyreg-server RUNTIME DESTINATION sbin)
install(TARGETS keyreg-tool RUNTIME DESTINATION bin)

# Every destination lies under the prefix, so that an install into a prefix
# writes nowhere else. The package moves the two that Debian (bookworm) wants
# outside /usr (deb-layout.cmake). The state folder is no install rule's: the
# maintainer script makes it, and so does the unit (StateDirectory=).
install(FILES ${KEYREG_PKG_DIR}/keyreg.service DESTINATION lib/systemd/system)
install(FILES ${KEYREG_PKG_DIR}/keyreg.sysusers DESTINATION lib/sysusers.d RENAME keyreg.conf)
install(FILES ${KEYREG_PKG_DIR}/allow-list DESTINATION ${CMAKE_INSTALL_SYSCONFDIR}/keyreg)

install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/SECURITY.md
        ${KEYREG_PKG_DIR}/debian/copyright
        DESTINATION ${KEYREG_DOC_DIR})

# Debian wants the changelog and the man pages compressed, reproducibly
# (-n: no name or time stamp in the gzip header).
find_program(KEYREG_GZIP gzip)
find_program(KEYREG_HELP2MAN help2man)

set(keyreg_changelog ${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog.gz)
add_custom_command(
  OUTPUT ${keyreg_changelog}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/packaging
  COMMAND ${CMAKE_COMMAND} -E copy ${KEYREG_PKG_DIR}/debian/changelog ${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog
  COMMAND ${KEYREG_GZIP} -9nf ${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog
  DEPENDS ${KEYREG_PKG_DIR}/debian/changelog
  VERBATIM)

# The man pages are made from the programs' own --help, so they never drift
# from it. help2man runs the freshly built programs; the version string is
# passed in so that it comes from the project, whatever a program's --version
# prints. Sanitizer builds are never packaged and skip this.
set(keyreg_man1 ${CMAKE_CURRENT_BINARY_DIR}/packaging/keyreg.1.gz)
set(keyreg_man8 ${CMAKE_CURRENT_BINARY_DIR}/packaging/keyreg-server.8.gz)
set(keyreg_docs ${keyreg_changelog})
if(KEYREG_HELP2MAN AND KEYREG_SANITIZE STREQUAL "")
  foreach(page IN ITEMS "keyreg-tool;1;keyreg.1;manage keys and registrations of a keyreg server"
                        "keyreg-server;8;keyreg-server.8;key-registration server")
    list(GET page 0 target)
    list(GET page 1 section)
    list(GET page 2 name)
    list(GET page 3 summary)
    # Sections that --help is too short for.
    set(include_args "")
    set(include_file "")
    if(EXISTS ${KEYREG_PKG_DIR}/${target}.h2m)
      set(include_file ${KEYREG_PKG_DIR}/${target}.h2m)
      set(include_args --include=${include_file})
    endif()
    set(raw ${CMAKE_CURRENT_BINARY_DIR}/packaging/${name})
    add_custom_command(
      OUTPUT ${raw}.gz
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/packaging
      COMMAND ${KEYREG_HELP2MAN} --no-info --no-discard-stderr --section=${section}
              --name=${summary} --version-string=${PROJECT_VERSION} ${include_args}
              --output=${raw} $<TARGET_FILE:${target}>
      COMMAND ${KEYREG_GZIP} -9nf ${raw}
      DEPENDS ${target} ${include_file}
      COMMENT "Generating the man page ${name} with help2man"
      VERBATIM)
    list(APPEND keyreg_docs ${raw}.gz)
  endforeach()
  install(FILES ${keyreg_man1} DESTINATION share/man/man1)
  install(FILES ${keyreg_man8} DESTINATION share/man/man8)
else()
  # An ordinary build does without; a package without man pages is refused.
  install(CODE "message(FATAL_ERROR \"keyreg: the package needs help2man (Debian package help2man) and a build without sanitizers\")")
endif()
add_custom_target(keyreg-docs ALL DEPENDS ${keyreg_docs})
install(FILES ${keyreg_changelog} DESTINATION ${KEYREG_DOC_DIR})
include(${KEYREG_PKG_DIR}/library.cmake)

# The packages, one per component; the first line of each description is
# its summary.
set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL keyreg libkeyreg1 libkeyreg-dev)
set(CPACK_PACKAGE_NAME keyreg)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${KEYREG_MAINTAINER})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PRE_BUILD_SCRIPTS ${KEYREG_PKG_DIR}/deb-layout.cmake)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${KEYREG_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)

set(CPACK_DEBIAN_KEYREG_PACKAGE_NAME keyreg)
set(CPACK_DEBIAN_KEYREG_PACKAGE_SECTION net)
# systemd-sysusers makes the user in the maintainer script.
set(CPACK_DEBIAN_KEYREG_PACKAGE_DEPENDS "systemd | systemd-standalone-sysusers | systemd-sysusers")
# dpkg keeps an administrator's edit of a conffile across upgrades.
set(CPACK_DEBIAN_KEYREG_PACKAGE_CONTROL_EXTRA ${KEYREG_PKG_DIR}/debian/conffiles
    ${KEYREG_PKG_DIR}/debian/postinst ${KEYREG_PKG_DIR}/debian/prerm ${KEYREG_PKG_DIR}/debian/postrm)
set(CPACK_DEBIAN_KEYREG_DESCRIPTION "key-registration server with a shared-memory key table
keyreg-server accepts registrations on TCP port 8800: each request is one RSA
block holding a user id and a secret key. Keys of the user ids on its allow
list go to a System V shared-memory table that other local processes read.

The keyreg tool makes the server's key pair, registers keys, lists the table
and encodes or decodes messages with a registered key.

The package runs the server as a locked-down systemd service under its own
system user. The allow list is /etc/keyreg/allow-list, kept across upgrades;
`systemctl reload keyreg` makes the server read it again. The service writes
one audit line per request (never a key) to the journal and serves Prometheus
metrics on 127.0.0.1:9808, the loopback only.

Read /usr/share/doc/keyreg/SECURITY.md before exposing it: it authenticates
nobody and every local user can read the stored keys.")

set(CPACK_DEBIAN_LIBKEYREG1_PACKAGE_NAME libkeyreg1)
set(CPACK_DEBIAN_LIBKEYREG1_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_LIBKEYREG1_PACKAGE_CONTROL_EXTRA
    ${KEYREG_PKG_DIR}/debian/libkeyreg1/symbols ${KEYREG_PKG_DIR}/debian/libkeyreg1/triggers)
# A shlibs file beside the symbols: later versions of the library keep its interface.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_POST_BUILD_SCRIPTS ${KEYREG_PKG_DIR}/library/ldconfig-trigger-only.cmake)
set(CPACK_DEBIAN_LIBKEYREG1_DESCRIPTION "reads the key table of keyreg-server, each record whole
libkeyreg finds the key that keyreg-server stored for a user id in its System
V shared-memory table, lists the table and decodes messages with those keys,
from any process whose user may read the table. Records never come out half
written while the server replaces them, and readers hold no lock that the
server would wait for.

This package holds the shared library libkeyreg.so.1.")

set(CPACK_DEBIAN_LIBKEYREG-DEV_PACKAGE_NAME libkeyreg-dev)
set(CPACK_DEBIAN_LIBKEYREG-DEV_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_LIBKEYREG-DEV_DEPENDS libkeyreg1)
set(CPACK_DEBIAN_LIBKEYREG-DEV_DESCRIPTION "reads the key table of keyreg-server - development files
libkeyreg finds the key that keyreg-server stored for a user id in its System
V shared-memory table, lists the table and decodes messages with those keys,
each record whole.

This package holds what programs that use libkeyreg are built with: the C
header keyreg/table.h, the link libkeyreg.so, the pkg-config file keyreg.pc
and the CMake package keyreg (find_package(keyreg), target keyreg::keyreg).")
include(CPack)
