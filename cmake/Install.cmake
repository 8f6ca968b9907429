# Install layout and the Debian package (CPack's DEB generator).
#
#   /usr/bin/ostrel, /usr/bin/ostrel-node, /usr/bin/ostrel-hatsim
#   /usr/lib/<multiarch>/ostrel/      the project's shared libraries and the example parser
#   /etc/ostrel/ostrel.conf           commented configuration (conffile, 0640 root:qrd)
#   /etc/ostrel/decoders.d/           decoder files (empty); examples in /usr/share/ostrel/decoders/
#   /etc/sudoers.d/ostrel             the two timedatectl commands of the clock synchroniser
#   /lib/systemd/system/ostrel.service, /usr/lib/sysusers.d/ostrel.conf,
#   /usr/lib/tmpfiles.d/ostrel.conf
#   /usr/share/man/man1/ostrel-node.1.gz, ostrel-hatsim.1.gz, /usr/share/man/man8/ostrel.8.gz
#   /usr/share/doc/ostrel/examples/   the mosquitto ACL and settings of a least-privilege broker
#
# Configure with -DCMAKE_INSTALL_PREFIX=/usr for a package (scripts/package does).

set(OSTREL_PKG ${PROJECT_SOURCE_DIR}/packaging)
# Debian architecture of the build: from the toolchain file, or the machine's own.
if(NOT OSTREL_DEB_ARCH)
  execute_process(COMMAND dpkg --print-architecture OUTPUT_VARIABLE OSTREL_DEB_ARCH
    OUTPUT_STRIP_TRAILING_WHITESPACE)
endif()
set(OSTREL_PARSER_PATH "${CMAKE_INSTALL_FULL_LIBDIR}/ostrel/libexample_parser.so")

set_target_properties(ostrel-hatsim PROPERTIES INSTALL_RPATH "$ORIGIN/${OSTREL_BIN_TO_LIB}")
install(TARGETS ostrel_bin ostrel-node ostrel-hatsim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS ostrel_core ostrel_ops ostrel_observe ostrel_base ostrel_mqtt SensorMsgParser HatControl Timer
  ClockBeacon CipherLink
  HatProtocolV1 HatProtocolV2 HatProtocolV3 example_parser
  LIBRARY DESTINATION ${OSTREL_PRIVATE_LIBDIR} PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ
  WORLD_READ)

# The configuration's [PARSER] example names the parser where this install puts it.
file(READ ${OSTREL_PKG}/ostrel.conf OSTREL_CONF)
string(REGEX REPLACE "library = [^\n]*libexample_parser\\.so" "library = ${OSTREL_PARSER_PATH}"
  OSTREL_CONF "${OSTREL_CONF}")
file(WRITE ${CMAKE_BINARY_DIR}/packaging/ostrel.conf "${OSTREL_CONF}")
# Holds the MQTT password: never world-readable; postinst hands the group to qrd.
install(FILES ${CMAKE_BINARY_DIR}/packaging/ostrel.conf
  DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/ostrel
  PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ)
# Decoder files: the directory the configuration names, empty (nothing is decoded until a decoder
# is put there), and the example decoders with their examples, to link or copy into it.
install(DIRECTORY DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/ostrel/decoders.d)
install(FILES ${OSTREL_PKG}/decoders/th-sensor.conf ${OSTREL_PKG}/decoders/door-contact.conf
  ${OSTREL_PKG}/decoders/energy-meter.conf DESTINATION ${CMAKE_INSTALL_DATADIR}/ostrel/decoders
  PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
install(FILES ${OSTREL_PKG}/sudoers DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/sudoers.d
  RENAME ostrel PERMISSIONS OWNER_READ GROUP_READ)

# The unit names the binary where this install puts it. An armhf userland often runs on a 64-bit
# kernel (Raspberry Pi OS does so on the Pi 4 and 5), whose native system calls are arm64.
if(OSTREL_DEB_ARCH STREQUAL "armhf")
  set(OSTREL_SYSCALL_ARCHS "native arm")
else()
  set(OSTREL_SYSCALL_ARCHS "native")
endif()
configure_file(${OSTREL_PKG}/ostrel.service.in ${CMAKE_BINARY_DIR}/packaging/ostrel.service @ONLY)
# Debian 12 keeps units under /lib (files do not move to /usr within a release).
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(OSTREL_UNITDIR /lib/systemd/system)
else()
  set(OSTREL_UNITDIR ${CMAKE_INSTALL_LIBDIR}/systemd/system)
endif()
install(FILES ${CMAKE_BINARY_DIR}/packaging/ostrel.service DESTINATION ${OSTREL_UNITDIR})
install(FILES ${OSTREL_PKG}/sysusers.conf DESTINATION lib/sysusers.d RENAME ostrel.conf)
install(FILES ${OSTREL_PKG}/tmpfiles.conf DESTINATION lib/tmpfiles.d RENAME ostrel.conf)

# Manual pages, compressed as Debian wants them, with the version filled in.
foreach(page ostrel.8 ostrel-node.1 ostrel-hatsim.1)
  configure_file(${OSTREL_PKG}/man/${page} ${CMAKE_BINARY_DIR}/packaging/man/${page} @ONLY)
  execute_process(COMMAND gzip -9n -c ${CMAKE_BINARY_DIR}/packaging/man/${page}
    OUTPUT_FILE ${CMAKE_BINARY_DIR}/packaging/man/${page}.gz COMMAND_ERROR_IS_FATAL ANY)
  string(REGEX REPLACE ".*\\." "" section ${page})
  install(FILES ${CMAKE_BINARY_DIR}/packaging/man/${page}.gz
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
endforeach()

# Debian wants a copyright file and a compressed changelog in the package's doc directory.
set(OSTREL_DOCDIR ${CMAKE_INSTALL_DATADIR}/doc/ostrel)
execute_process(COMMAND gzip -9n -c ${OSTREL_PKG}/debian/changelog
  OUTPUT_FILE ${CMAKE_BINARY_DIR}/packaging/changelog.gz COMMAND_ERROR_IS_FATAL ANY)
install(FILES ${OSTREL_PKG}/debian/copyright ${CMAKE_BINARY_DIR}/packaging/changelog.gz
  ${PROJECT_SOURCE_DIR}/README.md
  DESTINATION ${OSTREL_DOCDIR})
# A least-privilege broker setup (mosquitto ACL and settings) for the README's "Securing the broker".
install(FILES ${OSTREL_PKG}/examples/mosquitto-ostrel.acl ${OSTREL_PKG}/examples/mosquitto-ostrel.conf
  DESTINATION ${OSTREL_DOCDIR}/examples)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ostrel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "ostrel developers <ostrel-dev@lists.example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "gateway between the Quorind Gateway Hat and MQTT")
set(CPACK_PACKAGE_DESCRIPTION
  "ostrel runs on a Raspberry Pi carrying the Quorind Gateway Hat, a sub-GHz
radio board on the Pi's UART. It brings the hat up, loads it with the radio
settings and the stored link states of the sensor nodes, publishes every
sensor reading to an MQTT 5 broker, turns MQTT commands into hat commands,
and keeps the hat's clock and the host's clock in step.
.
The package includes ostrel-hatsim, a simulator of the hat for trying the
daemon without one.")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${OSTREL_DEB_ARCH})
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# dpkg-shlibdeps runs in the staging directory: the private libraries resolve there.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${OSTREL_PRIVATE_LIBDIR})
# procps: the /bin/kill that reloads the service (a minimal Debian has none).
set(CPACK_DEBIAN_PACKAGE_DEPENDS "sudo, passwd, procps")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "mosquitto")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(OSTREL_MAINTAINER_SCRIPTS postinst prerm postrm)
# armhf is ARMv7 code: its preinst refuses an ARMv6 Pi, where the programs would die at start.
if(OSTREL_DEB_ARCH STREQUAL "armhf")
  list(APPEND OSTREL_MAINTAINER_SCRIPTS preinst)
endif()
configure_file(${OSTREL_PKG}/debian/conffiles.in ${CMAKE_BINARY_DIR}/packaging/debian/conffiles
  @ONLY)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/packaging/debian/conffiles)
foreach(script ${OSTREL_MAINTAINER_SCRIPTS})
  configure_file(${OSTREL_PKG}/debian/${script}.in ${CMAKE_BINARY_DIR}/packaging/debian/${script}
    @ONLY FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
    WORLD_READ WORLD_EXECUTE)
  list(APPEND CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/packaging/debian/${script})
endforeach()
include(CPack)
