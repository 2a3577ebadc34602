# Debian packages (cpack -G DEB in the build folder):
#   pelirand      the bridge, the platform library, the client library, the
#                 simulated scanner and the SANE source (for a DSM, in
#                 PELIRAND_INSTALL_TWAINDIR),
#                 pelirand-scan, man pages and bash completion
#   pelirand-dev  the client library's headers, CMake package and pkg-config file
# Their dependencies on other packages come from dpkg-shlibdeps.
if(NOT PELIRAND_TOP_LEVEL)
    return()
endif()

set(CPACK_PACKAGE_NAME pelirand)
set(CPACK_PACKAGE_VENDOR "The pelirand developers")
set(CPACK_PACKAGE_CONTACT "The pelirand developers <pelirand@localhost>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_INSTALL_DIRECTORY pelirand)
# Debian packages install under /usr; the sources go where DSMs look for them.
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_GENERATOR DEB)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dev)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The packaged libraries' folder, so that dpkg-shlibdeps finds
# libpelirand-platform.so for the bridge and the source that need it.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR}/bin)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY "=")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME pelirand)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION graphics)
# The SANE source loads libsane at run time; without it the source does not open.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_RECOMMENDS libsane1)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "TWAIN bridge for scanning applications
pelirand is a console process that a scanning application starts to use
TWAIN scanners from a process of its own: it loads the TWAIN Data Source
Manager, relays TWAIN calls and hands every image over as a file.

This package holds the bridge, the client library applications link, the
pelirand-scan command, a simulated scanner and a source for SANE's scanners,
both installed where a DSM looks for sources (${PELIRAND_INSTALL_TWAINDIR}).")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME pelirand-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "pelirand (= ${PROJECT_VERSION}), qtbase5-dev (>= 5.11)")
set(CPACK_DEBIAN_DEV_DESCRIPTION "TWAIN bridge for scanning applications - development files
The headers of the pelirand client library, its CMake package
(find_package(pelirand), target pelirand::client) and its pkg-config
file (pelirand-client).")

include(CPack)
