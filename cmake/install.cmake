# cmake --install: the programs, the manual pages, the sample configuration,
# the service files and the event collector, under CMAKE_INSTALL_PREFIX
# (DESTDIR is honoured, as by every install() rule).
#
#   sbin/tessvane                      bin/tessvane-check
#   share/man/man{1,5,8}/...           etc/tessvane.conf.sample
#   lib/systemd/system/tessvane.service
#   etc/rc.d/tessvane                  (FreeBSD's rc.d script)
#   share/tessvane/tessvane-collector
#
# The service files name the installed paths (without DESTDIR).
include(GNUInstallDirs)

set(TESSVANE_SBINDIR ${CMAKE_INSTALL_FULL_SBINDIR})
set(TESSVANE_SYSCONFDIR ${CMAKE_INSTALL_FULL_SYSCONFDIR})
set(dist ${PROJECT_SOURCE_DIR}/dist)
configure_file(${dist}/systemd/tessvane.service.in ${PROJECT_BINARY_DIR}/dist/tessvane.service
               @ONLY)
configure_file(${dist}/freebsd/tessvane.in ${PROJECT_BINARY_DIR}/dist/rc.d/tessvane @ONLY)

install(TARGETS tessvane RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
install(TARGETS tessvane-check RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/man/tessvane-check.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_SOURCE_DIR}/man/tessvane.conf.5 DESTINATION ${CMAKE_INSTALL_MANDIR}/man5)
install(FILES ${PROJECT_SOURCE_DIR}/man/tessvane.8 DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
install(FILES ${dist}/tessvane.conf.sample DESTINATION ${CMAKE_INSTALL_SYSCONFDIR})
install(FILES ${PROJECT_BINARY_DIR}/dist/tessvane.service
        DESTINATION ${CMAKE_INSTALL_PREFIX}/lib/systemd/system)
install(PROGRAMS ${PROJECT_BINARY_DIR}/dist/rc.d/tessvane
        DESTINATION ${CMAKE_INSTALL_SYSCONFDIR}/rc.d)
install(PROGRAMS ${PROJECT_SOURCE_DIR}/contrib/tessvane-collector
        DESTINATION ${CMAKE_INSTALL_DATADIR}/tessvane)
