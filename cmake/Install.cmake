# `cmake --install` and the Debian package (`cmake --build <dir> --target
# package`). Installed layout, relative to the prefix, which the programs find
# from their own location (platform/layout), so the tree works in any root:
#   bin/            kestrum, kestrum-cli, kestrum-sim
#   lib/kestrum/    libVarnex.so and the adapter stand-ins, loaded by file name
#   share/kestrum/  XML/, Presets/, the library XML files, Firmware/
# No executable links a shared library of the project (libVarnex.so and the
# stand-ins are opened with dlopen by path), so none needs an RPATH.

set(KESTRUM_INSTALL_LIBDIR lib/kestrum)
set(KESTRUM_INSTALL_DATADIR share/kestrum)

foreach(program kestrum kestrum-cli kestrum-sim)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION bin)
  endif()
endforeach()
foreach(library Varnex pcanbasic vcinpl)
  if(TARGET ${library})
    install(TARGETS ${library} LIBRARY DESTINATION ${KESTRUM_INSTALL_LIBDIR})
  endif()
endforeach()

if(TARGET kestrum)
  install(FILES packaging/kestrum.desktop DESTINATION share/applications)
  install(FILES packaging/kestrum.svg DESTINATION share/icons/hicolor/scalable/apps)
endif()
foreach(program kestrum kestrum-cli kestrum-sim)
  if(TARGET ${program})
    install(FILES packaging/${program}.1 DESTINATION share/man/man1)
  endif()
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kestrum)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Kestrum developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "commissioning and service tool for Orvane CANopen motor controllers")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Kestrum developers <kestrum@localhost>")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The summary above becomes the description's first line.
set(CPACK_PACKAGE_DESCRIPTION
  "Kestrum sets up, tests and services Orvane stepper and BLDC motor
controllers over CANopen: object dictionary, PDO mapping, drive modes,
motor and closed-loop settings, firmware update. The package holds the
window (kestrum), the command-line tool (kestrum-cli), a simulated
controller bus (kestrum-sim) and stand-ins for the CAN adapter libraries
that reach the simulator; a vendor's adapter library installed on the
system is used instead with KESTRUM_ADAPTER_LIBS=system.")
# dpkg-shlibdeps names the Qt and C++ run-time packages the files link.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
include(CPack)
