# Debian packages (cpack -G DEB in the build folder):
#   pelirand      the bridge, its own TWAIN DSM, the platform and client
#                 libraries, the SANE source (in PELIRAND_INSTALL_TWAINDIR),
#                 pelirand-scan, man pages and bash completion
#   pelirand-dev  the client library's headers, CMake package and pkg-config file
#   pelirand-sim  the simulated scanner alone, for demos and applications' tests
# Their dependencies on other packages come from dpkg-shlibdeps. Each carries
# the Debian files of packaging/: copyright, changelog, and for pelirand the
# ldconfig trigger of its shared library.
if(NOT PELIRAND_TOP_LEVEL)
    return()
endif()

set(PELIRAND_PACKAGE_MAINTAINER "The pelirand maintainers <maintainers@pelirand.org>" CACHE STRING
    "Maintainer field of the Debian packages (name <address>)")

# The Debian files every package has, under share/doc/<package>/. Left out of a
# plain `cmake --install`, which installs no Debian package.
set(package_files ${PROJECT_BINARY_DIR}/packaging)
configure_file(${PROJECT_SOURCE_DIR}/packaging/copyright.in ${package_files}/copyright @ONLY)
configure_file(${PROJECT_SOURCE_DIR}/packaging/changelog.in ${package_files}/changelog @ONLY)
add_custom_command(
    OUTPUT ${package_files}/changelog.Debian.gz
    COMMAND gzip -9 -n -c ${package_files}/changelog > ${package_files}/changelog.Debian.gz
    DEPENDS ${package_files}/changelog
    COMMENT "Debian changelog of the packages")
add_custom_target(pelirand_package_files ALL DEPENDS ${package_files}/changelog.Debian.gz)
foreach(component_package runtime:pelirand dev:pelirand-dev sim:pelirand-sim)
    string(REPLACE ":" ";" pair ${component_package})
    list(GET pair 0 component)
    list(GET pair 1 package)
    install(FILES ${package_files}/copyright ${package_files}/changelog.Debian.gz
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component} EXCLUDE_FROM_ALL)
endforeach()

set(CPACK_PACKAGE_NAME pelirand)
set(CPACK_PACKAGE_VENDOR "The pelirand developers")
set(CPACK_PACKAGE_CONTACT "${PELIRAND_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_INSTALL_DIRECTORY pelirand)
# Debian packages install under /usr; the sources go to /usr/lib/twain, where
# pelirand's own DSM looks.
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_GENERATOR DEB)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dev sim)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${PELIRAND_PACKAGE_RELEASE})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${PELIRAND_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The packaged libraries' folder, so that dpkg-shlibdeps finds
# libpelirand-platform.so for the bridge and the sources that need it.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR}/bin)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY "=")
# Files in the control archive are installed by dpkg with fixed modes.
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME pelirand)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION graphics)
# The SANE source loads libsane at run time; without it the source does not open.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_RECOMMENDS libsane1)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SUGGESTS pelirand-sim)
# dpkg runs ldconfig once after the packages of a run: a trigger, no scripts.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/triggers)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "TWAIN bridge for scanning applications
pelirand is a console process that a scanning application starts to use
TWAIN scanners from a process of its own: it loads the TWAIN Data Source
Manager, relays TWAIN calls and hands every image over as a file.
.
This package holds the bridge with a TWAIN Data Source Manager of its own,
the client library applications link, the pelirand-scan command and a
source for SANE's scanners, installed where that DSM looks for sources
(/usr/lib/twain).")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME pelirand-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "pelirand (= ${PELIRAND_PACKAGE_VERSION}), qtbase5-dev (>= 5.11)")
set(CPACK_DEBIAN_DEV_DESCRIPTION "TWAIN bridge for scanning applications - development files
The headers of the pelirand client library, its CMake package
(find_package(pelirand), target pelirand::client) and its pkg-config
file (pelirand-client).")

set(CPACK_DEBIAN_SIM_PACKAGE_NAME pelirand-sim)
set(CPACK_DEBIAN_SIM_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_SIM_PACKAGE_DEPENDS "pelirand (= ${PELIRAND_PACKAGE_VERSION})")
set(CPACK_DEBIAN_SIM_DESCRIPTION "TWAIN bridge for scanning applications - simulated scanner
A TWAIN data source that scans generated pages, with a feeder and a
flatbed, for demonstrations and for testing applications without a
scanner. pelirand-scan takes it with -s 'pelirand Simulated Scanner'.")

include(CPack)
