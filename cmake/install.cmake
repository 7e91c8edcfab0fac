# Where the device image gets the programs, their manuals and the daemon's
# service files.
include(GNUInstallDirs)

option(HOUSE_INSTALL_PLATFORM_LIBS
       "Install our stand-ins for libonvif, libkzcommon and libkzlog-pthread (off for an image that has the real ones)"
       ON)

install(TARGETS housectl RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS discovery-daemon discovery-diagnose RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
if(HOUSE_INSTALL_PLATFORM_LIBS)
  install(TARGETS onvif kzcommon kzlog-pthread LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
else()
  # On request only (the emulated device's image): --component platform.
  install(TARGETS onvif kzcommon kzlog-pthread LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
          COMPONENT platform EXCLUDE_FROM_ALL)
endif()

install(FILES ${PROJECT_SOURCE_DIR}/man/housectl.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_SOURCE_DIR}/man/discovery-daemon.8 ${PROJECT_SOURCE_DIR}/man/discovery-diagnose.8
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)

configure_file(${PROJECT_SOURCE_DIR}/packaging/discovery-daemon.init.in
               ${PROJECT_BINARY_DIR}/packaging/discovery-daemon @ONLY)
configure_file(${PROJECT_SOURCE_DIR}/packaging/discovery-daemon.service.in
               ${PROJECT_BINARY_DIR}/packaging/discovery-daemon.service @ONLY)
install(PROGRAMS ${PROJECT_BINARY_DIR}/packaging/discovery-daemon
        DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/init.d)
# Where the discovery description set at run time goes: root's directory.
install(DIRECTORY DESTINATION ${CMAKE_INSTALL_FULL_LOCALSTATEDIR}/lib/discovery
        DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                              WORLD_READ WORLD_EXECUTE)
# The discovery description's defaults: every key commented out.
install(FILES ${PROJECT_SOURCE_DIR}/packaging/discovery.conf
        DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/discovery)
# Where systemd units go: under the prefix; Debian 12's packages keep them
# in /lib/systemd/system.
set(HOUSE_SYSTEMD_UNIT_DIR ${CMAKE_INSTALL_PREFIX}/lib/systemd/system CACHE PATH
    "Where the systemd unit is installed")
install(FILES ${PROJECT_BINARY_DIR}/packaging/discovery-daemon.service
        DESTINATION ${HOUSE_SYSTEMD_UNIT_DIR})
