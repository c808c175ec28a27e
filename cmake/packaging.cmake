# What `cmake --install` puts where, and the Debian package CPack makes of it
# (`cmake --build --preset default --target package`, or scripts/package).
# Only the two programs and their desktop files are installed: tests,
# benchmarks, fuzz targets and the e2e helpers never are.

set(TARVOK_PACKAGE_NAME tarvok-hart)
set(TARVOK_PACKAGE_MAINTAINER "Tarvok HART maintainers <maintainers@tarvok.invalid>"
  CACHE STRING "Maintainer field of the Debian package")

install(TARGETS tarvok-hart RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(TARGET tarvok-config)
  install(TARGETS tarvok-config RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES res/desktop/tarvok-config.desktop
    DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  foreach(size 16 32 48 64 128 256)
    install(FILES res/desktop/tarvok_${size}.png
      DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
      RENAME tarvok-config.png)
  endforeach()
  install(FILES res/tarvok.svg
    DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps
    RENAME tarvok-config.svg)
endif()
# The README with the pictures it shows.
set(_doc ${CMAKE_INSTALL_DATADIR}/doc/${TARVOK_PACKAGE_NAME})
install(FILES README.md DESTINATION ${_doc})
install(DIRECTORY docs/ DESTINATION ${_doc}/docs FILES_MATCHING PATTERN "*.png")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${TARVOK_PACKAGE_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Tarvok")
set(CPACK_PACKAGE_CONTACT "${TARVOK_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "HART test fixture utility: loop current, channels, calibration")
set(CPACK_PACKAGE_DESCRIPTION
  "Drives the 32-channel HART test fixture over a serial port as its HART
primary master. tarvok-config is the desktop window: it polls the loop
current the fixture measures and shows it on a large readout, switches and
reads back the active channel, writes the fixture's device number and
calibrates its current measurement against a reference ammeter. tarvok-hart
does the same from a console. Both have a built-in simulated fixture
(--simulate). Real serial ports need membership of the dialout group.")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${TARVOK_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The libraries come from dpkg-shlibdeps; what it cannot see is the X11
# platform plugin Qt loads at run time, a font with the window's Chinese
# texts, and SQLite while no installed program links the store yet.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(_depends "")
if(TARGET tarvok-config)
  list(APPEND _depends qt6-qpa-plugins fonts-wqy-zenhei)
endif()
if(TARGET tarvok_store)
  list(APPEND _depends libsqlite3-0)
endif()
list(JOIN _depends ", " CPACK_DEBIAN_PACKAGE_DEPENDS)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
