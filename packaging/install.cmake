# What `cmake --install` lays out, and the Debian package made of it:
#   /opt/apps/corvane/quillet/Tavitty               the daemon
#   /opt/apps/corvane/quillet/conf/gunconf.xml      its configuration (never overwritten)
#   /opt/apps/corvane/quillet/lib/ws/               its only library run path
#   /opt/apps/corvane/quillet/make-tls-cert         makes a certificate for wss://
#   /lib/systemd/system/tavitty.service             the unit
#   /lib/udev/rules.d/65-tavitty-scanners.rules     keeps ModemManager off the scanners' ttys
#   /usr/share/doc/tavitty/examples/chromium-policy-example.json
#                                                   a Chromium policy that lets pages from
#                                                   another site reach the daemon
#   /usr/share/doc/tavitty/examples/tavitty-alerts.yml
#                                                   alert rules for a fleet's Prometheus
#   /usr/share/tavitty/web/                         the sample page, the page client and
#                                                   its npm tarball (web-client.cmake)
#   /usr/share/doc/tavitty/copyright                the license (machine-readable)
#   /usr/share/doc/tavitty/changelog.gz             what each release changed
#   /usr/share/lintian/overrides/tavitty            the lintian tags that the paths
#                                                   under /opt force, with their reasons
set(TAVITTY_UNIT_DIR "/lib/systemd/system" CACHE PATH "Where the systemd unit goes")
set(TAVITTY_UDEV_RULES_DIR "/lib/udev/rules.d" CACHE PATH "Where the udev rule goes")
set(TAVITTY_EXAMPLES_DIR "/usr/share/doc/tavitty/examples" CACHE PATH "Where the examples go")
set(TAVITTY_DOC_DIR "/usr/share/doc/tavitty")

install(TARGETS Tavitty RUNTIME DESTINATION ${TAVITTY_APP_DIR})
install(DIRECTORY DESTINATION ${TAVITTY_APP_DIR}/lib/ws)
install(PROGRAMS ${PROJECT_SOURCE_DIR}/scripts/make-tls-cert DESTINATION ${TAVITTY_APP_DIR})
install(FILES ${PROJECT_SOURCE_DIR}/packaging/tavitty.service DESTINATION ${TAVITTY_UNIT_DIR})
install(FILES ${PROJECT_SOURCE_DIR}/packaging/65-tavitty-scanners.rules
        DESTINATION ${TAVITTY_UDEV_RULES_DIR})
# An example only: the operator copies it into /etc/chromium/policies/managed/
# with the origin of their own pages.
install(FILES ${PROJECT_SOURCE_DIR}/packaging/chromium-policy-example.json
        DESTINATION ${TAVITTY_EXAMPLES_DIR})
# Alert rules for a fleet's Prometheus: an example to copy and adapt.
install(FILES ${PROJECT_SOURCE_DIR}/packaging/tavitty-alerts.yml DESTINATION ${TAVITTY_EXAMPLES_DIR})
include(${CMAKE_CURRENT_LIST_DIR}/web-client.cmake)
include(${PROJECT_SOURCE_DIR}/docs/man.cmake)
# Debian's documents of the package: the copyright file, and the changelog as
# a native package's changelog.gz (compressed as lintian wants it: -9, and no
# name or time stamp in it).
install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright DESTINATION ${TAVITTY_DOC_DIR})
set(changelog_gz ${CMAKE_BINARY_DIR}/changelog.gz)
add_custom_command(OUTPUT ${changelog_gz}
  COMMAND sh -c "gzip -9n <\"$1\" >\"$2\"" sh ${PROJECT_SOURCE_DIR}/packaging/changelog ${changelog_gz}
  DEPENDS ${PROJECT_SOURCE_DIR}/packaging/changelog
  VERBATIM)
add_custom_target(changelog ALL DEPENDS ${changelog_gz})
install(FILES ${changelog_gz} DESTINATION ${TAVITTY_DOC_DIR})
install(FILES ${PROJECT_SOURCE_DIR}/packaging/lintian-overrides
        DESTINATION /usr/share/lintian/overrides RENAME tavitty)
# An operator's configuration stays as it is: the sample goes in only where
# there is none. (The package marks it a conffile, which dpkg treats alike.)
install(CODE "
  set(conf \"\$ENV{DESTDIR}${TAVITTY_APP_DIR}/conf/gunconf.xml\")
  if(EXISTS \"\${conf}\")
    message(STATUS \"Kept: \${conf}\")
  else()
    file(INSTALL \"${PROJECT_SOURCE_DIR}/conf/gunconf.xml\"
         DESTINATION \"${TAVITTY_APP_DIR}/conf\"
         FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  endif()")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tavitty)
set(CPACK_PACKAGE_VENDOR "Corvane")
set(CPACK_PACKAGE_CONTACT "Corvane POS team <pos@corvane.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "barcode scanners to web pages over WebSocket")
# The lines as the control file has them (CPack indents them, and a blank line
# becomes " ."): at most 79 columns.
set(CPACK_PACKAGE_DESCRIPTION [=[Tavitty serves the barcode scanners of a kiosk or point-of-sale box to its
web pages over WebSocket: USB-serial and CDC-ACM scanners, HID point-of-sale
scanners and keyboard-mode scanners, one at a time or several at once. Each
scan, converted to UTF-8, goes to every page that asked for its scanner as
one JSON message, over ws:// or, with a certificate, wss://.

The daemon runs as a fenced-in systemd service and can give a fleet's
Prometheus its metrics. The package also holds make-tls-cert, which makes a
certificate for wss://, a udev rule that keeps ModemManager off the
scanners' ttys, a sample page and the client module that pages use.]=])
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX "/")  # every destination is absolute
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
# libx11-data holds the Compose table with which a keyboard-mode scanner's
# dead keys type (without it, they type nothing).
# openssl: make-tls-cert makes its keys and certificates with it.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "systemd, libx11-data, openssl")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/conffiles ${PROJECT_SOURCE_DIR}/packaging/postinst
    ${PROJECT_SOURCE_DIR}/packaging/prerm ${PROJECT_SOURCE_DIR}/packaging/postrm)
# What the shipped programs run besides their libraries: the maintainer
# scripts' systemd helpers (with DPKG_ROOT support since 1.63), and ps, which
# the daemon's single-instance guard runs. dpkg-shlibdeps adds the libraries,
# read off the native build. A cross build has no arm64 package database to
# ask, so it takes the native package's whole Depends: line by name
# (TAVITTY_DEB_DEPENDS), with the architecture set explicitly.
set(TAVITTY_DEB_DEPENDS "" CACHE STRING "The whole Depends: line where shlibdeps can't tell")
if(TAVITTY_DEB_DEPENDS)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "${TAVITTY_DEB_DEPENDS}")
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "init-system-helpers (>= 1.63), procps")
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()
if(CMAKE_CROSSCOMPILING AND CMAKE_SYSTEM_PROCESSOR STREQUAL "aarch64")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
  # The arm64 daemon under qemu, for the system tests on this machine.
  configure_file(${PROJECT_SOURCE_DIR}/packaging/Tavitty-qemu.in ${CMAKE_BINARY_DIR}/Tavitty-qemu
                 @ONLY FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
                 GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endif()
include(CPack)
