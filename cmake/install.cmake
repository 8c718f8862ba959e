# SPDX-License-Identifier: BSD-2-Clause
# Installation (cmake --install) and Debian packages (cpack).
#
# The daemon goes to sbin, its man page to man8, the replay tool and the
# record reader to bin with theirs in man1, the sample trip to
# share/gpsfanout, the copyright file and changelog to share/doc/gpsfanout;
# a systemd unit and an init script for devices without systemd come along.
# For a system install or a package, configure with
# -DCMAKE_INSTALL_PREFIX=/usr, so that the init script and its defaults file
# land in /etc.
# A cross build is made for a device's packages: install into /usr and /etc
# unless told otherwise.
if(CMAKE_CROSSCOMPILING AND CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
  set(CMAKE_INSTALL_PREFIX /usr CACHE PATH "Install path prefix" FORCE)
endif()
include(GNUInstallDirs)

set(GPSFANOUT_SYSTEMD_UNIT_DIR "lib/systemd/system" CACHE STRING
    "Where the systemd unit is installed, relative to the prefix")

# The changelog's latest entry is the version being packaged.
file(STRINGS packaging/changelog changelog_top LIMIT_COUNT 1)
if(NOT changelog_top MATCHES "^gpsfanout \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "packaging/changelog begins with '${changelog_top}': "
                      "add an entry for version ${PROJECT_VERSION}")
endif()

# Manual pages and the changelog are installed compressed, as Debian does;
# -n keeps the name and time out, so the same text gives the same bytes.
set(GPSFANOUT_COMPRESSED)
foreach(source doc/gpsfanout.8 doc/gpsfanout-replay.1 doc/gpsfanout-record.1 packaging/changelog)
  get_filename_component(name ${source} NAME)
  set(compressed ${CMAKE_CURRENT_BINARY_DIR}/compressed/${name}.gz)
  add_custom_command(OUTPUT ${compressed}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/compressed
      COMMAND sh -c "gzip -9n < \"$1\" > \"$2\"" sh ${PROJECT_SOURCE_DIR}/${source} ${compressed}
      DEPENDS ${source}
      VERBATIM)
  list(APPEND GPSFANOUT_COMPRESSED ${compressed})
endforeach()
add_custom_target(compressed_docs ALL DEPENDS ${GPSFANOUT_COMPRESSED})
set(compressed ${CMAKE_CURRENT_BINARY_DIR}/compressed)

install(TARGETS gpsfanout RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
install(TARGETS gpsfanout-replay gpsfanout-record RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# A stripped install (cpack strips) drops .comment as well, as Debian's own
# packages do: the compilers' names and versions, of no use on a device.
foreach(program ${CMAKE_INSTALL_SBINDIR}/gpsfanout ${CMAKE_INSTALL_BINDIR}/gpsfanout-replay
                ${CMAKE_INSTALL_BINDIR}/gpsfanout-record)
  install(CODE "if(CMAKE_INSTALL_DO_STRIP)
    execute_process(COMMAND \"${CMAKE_OBJCOPY}\" --remove-section=.comment
                            \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${program}\"
                    RESULT_VARIABLE failed)
    if(failed)
      message(FATAL_ERROR \"cannot remove .comment from ${program}\")
    endif()
  endif()")
endforeach()
install(FILES ${compressed}/gpsfanout.8.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
install(FILES ${compressed}/gpsfanout-replay.1.gz ${compressed}/gpsfanout-record.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES samples/trip.nmea DESTINATION ${CMAKE_INSTALL_DATADIR}/gpsfanout)
install(FILES packaging/copyright ${compressed}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES packaging/lintian-overrides
        DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME gpsfanout)

# The service files name the installed paths.
set(GPSFANOUT_DEFAULTS_FILE ${CMAKE_INSTALL_FULL_SYSCONFDIR}/default/gpsfanout)
configure_file(packaging/gpsfanout.service.in gpsfanout.service @ONLY)
configure_file(packaging/gpsfanout.init.in gpsfanout.init @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/gpsfanout.service DESTINATION ${GPSFANOUT_SYSTEMD_UNIT_DIR})
install(PROGRAMS ${CMAKE_CURRENT_BINARY_DIR}/gpsfanout.init
        DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/init.d RENAME gpsfanout)
install(FILES packaging/gpsfanout.default
        DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/default RENAME gpsfanout)
# Found by mDNS where Avahi runs (a conffile: -t changes the port); an
# example drop-in that lets only some hosts reach the daemon, and one that
# lets it feed a time server through shared memory (-c).
install(FILES packaging/gpsfanout.avahi-service
        DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/avahi/services RENAME gpsfanout.service)
install(FILES packaging/allow-list.conf.example packaging/clock.conf.example DESTINATION ${CMAKE_INSTALL_DOCDIR})

# Packages: one .deb for the architecture of this build (amd64 natively; a
# cross toolchain file names armhf or arm64).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME gpsfanout)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "gpsfanout maintainers <maintainers@gpsfanout.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "relay that fans NMEA 0183 sentences out to broadcast, TCP and serial")
# cpack puts the summary first and indents these lines itself.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "gpsfanout reads NMEA 0183 sentences from a GPS receiver on a serial port and
from a UDP port, and passes every line on at once: as a UDP broadcast on
every broadcast-capable interface, to every connected TCP client, and
optionally back to the receiver. It keeps a text status file and a 12-byte
position record in /tmp current.")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
if(CMAKE_CROSSCOMPILING)
  # dpkg-shlibdeps cannot read the target's libraries here; these are what
  # the daemon and tools link.
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser, libc6 (>= 2.34), libgcc-s1 (>= 3.5), libstdc++6 (>= 5)")
else()
  # The scan's findings are added to this.
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser")
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()
# invoke-rc.d --skip-systemd-native in the maintainer scripts.
set(CPACK_DEBIAN_PACKAGE_PREDEPENDS "init-system-helpers (>= 1.54~)")
configure_file(packaging/conffiles.in packaging/conffiles @ONLY)
configure_file(packaging/postinst.in packaging/postinst @ONLY)
configure_file(packaging/prerm.in packaging/prerm @ONLY)
configure_file(packaging/postrm.in packaging/postrm @ONLY)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_CURRENT_BINARY_DIR}/packaging/conffiles
    ${CMAKE_CURRENT_BINARY_DIR}/packaging/postinst
    ${CMAKE_CURRENT_BINARY_DIR}/packaging/prerm
    ${CMAKE_CURRENT_BINARY_DIR}/packaging/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
