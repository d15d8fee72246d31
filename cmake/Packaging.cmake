# The Debian package: `cmake --build build --target package` writes
# build/halvern_<version>-<release>_<arch>.deb with everything `cmake --install`
# installs under /usr, its documentation files and the maintainer script that
# gives HalvernAlarm its capability.

set(HALVERN_DOC_DIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/halvern)
set(HALVERN_PACKAGING_DIR ${PROJECT_SOURCE_DIR}/packaging/debian)

# changelog.Debian.gz: compressed at most and without a time stamp, so that the
# package's bytes depend on the sources only.
find_program(HALVERN_GZIP gzip REQUIRED)
set(HALVERN_CHANGELOG_GZ ${CMAKE_BINARY_DIR}/packaging/changelog.Debian.gz)
add_custom_command(OUTPUT ${HALVERN_CHANGELOG_GZ}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/packaging
  COMMAND ${HALVERN_GZIP} -9 -n -c ${HALVERN_PACKAGING_DIR}/changelog > ${HALVERN_CHANGELOG_GZ}
  DEPENDS ${HALVERN_PACKAGING_DIR}/changelog
  VERBATIM)
add_custom_target(halvern_changelog ALL DEPENDS ${HALVERN_CHANGELOG_GZ})
install(FILES ${HALVERN_PACKAGING_DIR}/copyright ${HALVERN_CHANGELOG_GZ}
        DESTINATION ${HALVERN_DOC_DIR})

# The manual pages of both programs, compressed the same way.
set(HALVERN_MAN_PAGES)
foreach(page Halvern.1 HalvernRun.1)
  set(gz ${CMAKE_BINARY_DIR}/packaging/${page}.gz)
  add_custom_command(OUTPUT ${gz}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/packaging
    COMMAND ${HALVERN_GZIP} -9 -n -c ${PROJECT_SOURCE_DIR}/packaging/man/${page} > ${gz}
    DEPENDS ${PROJECT_SOURCE_DIR}/packaging/man/${page}
    VERBATIM)
  list(APPEND HALVERN_MAN_PAGES ${gz})
endforeach()
add_custom_target(halvern_man_pages ALL DEPENDS ${HALVERN_MAN_PAGES})
install(FILES ${HALVERN_MAN_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME halvern)
set(CPACK_PACKAGE_VENDOR Velmora)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Velmora Halvern maintainers <halvern@velmora.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "personal web-site monitor for the desktop")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "Velmora Halvern keeps a list of web addresses and checks them over HTTP or\n\
HTTPS at the interval and in the hours of the day you choose. It logs every\n\
outcome, retries failed checks and alerts you when an address fails for good,\n\
and runs in the background with a tray icon.\n\
.\n\
Booked checks wake a sleeping machine: the small helper HalvernAlarm gets the\n\
one capability cap_wake_alarm when the package is installed.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The libraries come from the binaries (dpkg-shlibdeps); setcap in postinst
# comes from libcap2-bin. GStreamer's good plugins play sounds other than WAV.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libcap2-bin")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "gstreamer1.0-plugins-good")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)

set(HALVERN_ALARM_PATH
    ${CPACK_PACKAGING_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBEXECDIR}/halvern/HalvernAlarm)
configure_file(${HALVERN_PACKAGING_DIR}/postinst.in ${CMAKE_BINARY_DIR}/packaging/postinst
               @ONLY FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
               GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/packaging/postinst)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
