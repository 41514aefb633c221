# Install rules and the Debian packages (make install, make package).
#
# Two components: "desktop" (dialvo, dialvo-cli, their sounds, menu entry,
# icons and metainfo) and "server" (dialvo-server with its systemd unit).
# The programs look for their data relative to themselves first, so a tree
# installed under any prefix or DESTDIR works where it lies.
include(GNUInstallDirs)
set(DIALVO_DATADIR ${CMAKE_INSTALL_DATADIR}/orvanta-dialvo)
set(generated ${CMAKE_BINARY_DIR}/generated/install)

foreach(page dialvo.1 dialvo-cli.1 dialvo-server.1)
  configure_file(${CMAKE_SOURCE_DIR}/resources/man/${page} ${generated}/${page} @ONLY)
endforeach()

install(TARGETS dialvo-server RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT server)
install(FILES ${generated}/dialvo-server.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
        COMPONENT server)
install(FILES ${CMAKE_SOURCE_DIR}/resources/systemd/dialvo-server.service
        DESTINATION lib/systemd/system COMPONENT server)
install(FILES ${CMAKE_SOURCE_DIR}/resources/systemd/dialvo-server.conf
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/orvanta-dialvo-server/examples COMPONENT server)

install(TARGETS dialvo-cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT desktop)
install(FILES ${generated}/dialvo-cli.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
        COMPONENT desktop)
if(DIALVO_DESKTOP)
  configure_file(${CMAKE_SOURCE_DIR}/resources/org.orvanta.Dialvo.metainfo.xml
                 ${generated}/org.orvanta.Dialvo.metainfo.xml @ONLY)
  install(TARGETS dialvo RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT desktop)
  install(FILES ${generated}/dialvo.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT desktop)
  install(DIRECTORY ${CMAKE_BINARY_DIR}/bin/sounds/ DESTINATION ${DIALVO_DATADIR}/sounds
          COMPONENT desktop FILES_MATCHING PATTERN "*.wav")
  install(FILES ${CMAKE_SOURCE_DIR}/resources/org.orvanta.Dialvo.desktop
          DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT desktop)
  install(FILES ${generated}/org.orvanta.Dialvo.metainfo.xml
          DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo COMPONENT desktop)
  install(FILES ${CMAKE_SOURCE_DIR}/resources/icons/org.orvanta.Dialvo.svg
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps COMPONENT desktop)
  install(DIRECTORY ${CMAKE_BINARY_DIR}/icons/ DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor
          COMPONENT desktop FILES_MATCHING PATTERN "*.png")
endif()

# make package: one .deb per component, dependencies from the shared
# libraries the programs link (dpkg-shlibdeps).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME orvanta-dialvo)
set(CPACK_PACKAGE_VENDOR Orvanta)
set(CPACK_PACKAGE_CONTACT "Orvanta Dialvo developers <dialvo@orvanta.org>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Voice calls and conferences straight between PCs")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_DESKTOP_PACKAGE_NAME orvanta-dialvo)
set(CPACK_DEBIAN_DESKTOP_PACKAGE_RECOMMENDS "pulseaudio | pipewire-pulse, pavucontrol")
set(CPACK_COMPONENT_DESKTOP_DESCRIPTION
    "Orvanta Dialvo desktop program and headless client\n"
    " Calls people PC to PC with GSM-compressed speech over UDP, holds conference\n"
    " calls, shows which buddies are online through a presence service, records\n"
    " calls and tests that the PC can be reached.")
set(CPACK_DEBIAN_SERVER_PACKAGE_NAME orvanta-dialvo-server)
set(CPACK_COMPONENT_SERVER_DESCRIPTION
    "Orvanta Dialvo presence service\n"
    " Tells Orvanta Dialvo users which buddies are online and where to reach\n"
    " them; runs as the systemd service dialvo-server.")
set(CPACK_DEBIAN_SERVER_PACKAGE_CONTROL_EXTRA
    ${CMAKE_SOURCE_DIR}/resources/debian/postinst ${CMAKE_SOURCE_DIR}/resources/debian/prerm
    ${CMAKE_SOURCE_DIR}/resources/debian/postrm)
set(CPACK_COMPONENTS_ALL desktop server)
if(NOT DIALVO_DESKTOP)
  set(CPACK_COMPONENTS_ALL server)
endif()
set(CPACK_OUTPUT_FILE_PREFIX ${CMAKE_BINARY_DIR}/packages)
include(CPack)
