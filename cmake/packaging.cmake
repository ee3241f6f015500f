# The Debian package: everything `cmake --install` puts in the prefix (the
# library and its development link, the header, the CMake package,
# ktcomm.pc, the tools with their manual pages and the Python module), in
# one package named ktcomm. Configure with -DCMAKE_INSTALL_PREFIX=/usr so
# that the library lands in Debian's multiarch folder, then run
# `cpack -G DEB` in the build folder; scripts/build-deb.sh does both.
set(CPACK_PACKAGE_NAME ktcomm)
set(CPACK_PACKAGE_VENDOR "KTcomm")
set(CPACK_PACKAGE_CONTACT "KTcomm developers <ktcomm@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "message-driven access to serial ports 1 to 10")
set(CPACK_PACKAGE_DESCRIPTION
  "KTcomm opens up to ten serial ports (or network serial servers) with their\n"
  "line settings and a framing protocol, queues raw bytes or command frames,\n"
  "hands every complete frame received to the application as a notification\n"
  "or to a waiting call, and logs all traffic as hex text.\n"
  "This package holds the shared library, its C headers, CMake and pkg-config\n"
  "files, the ktcomm command-line tool, the ktcomm-sim device simulator and\n"
  "the Python module.")
string(REPLACE ";" "" CPACK_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "python3")
# Depends comes from what the binaries link (dpkg-shlibdeps, from dpkg-dev);
# the package's own library is found in the package.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR})
# A shlibs file for packages built against this one, and the ldconfig
# trigger.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
