# Where an installed pelirand puts its files, relative to the prefix unless
# absolute:
#   bin/                     pelirand (the bridge), pelirand-scan
#   lib/                     libpelirand-client.so.*, libpelirand-platform.so
#   lib/pelirand/            libpelirand-dsm.so, the bridge's own TWAIN DSM
#   lib/cmake/pelirand/      pelirandConfig.cmake and the exported targets
#   lib/pkgconfig/           pelirand-client.pc
#   include/pelirand/        the client library's public headers
#   PELIRAND_INSTALL_TWAINDIR/<name>/   each TWAIN data source (*.ds)
include(GNUInstallDirs)

# The Debian packages' version (cmake/PelirandPackage.cmake): the release and a
# Debian revision, as the packages are built from the release as it is, not
# from a Debian source package of their own.
set(PELIRAND_PACKAGE_RELEASE 1)
set(PELIRAND_PACKAGE_VERSION ${PROJECT_VERSION}-${PELIRAND_PACKAGE_RELEASE})

# The TWAIN standard's DSM on Linux looks for sources in subfolders of
# /usr/local/lib/twain, whatever its prefix; pelirand's own DSM looks there and
# in lib/twain of its own prefix. So under the prefix /usr/local (cmake
# --install) the sources land where both look, under /usr (the packages) where
# pelirand's looks.
set(PELIRAND_STANDARD_TWAINDIR /usr/local/lib/twain)
set(PELIRAND_INSTALL_TWAINDIR lib/twain CACHE STRING
    "Folder the TWAIN data sources are installed in, one subfolder each (absolute, or relative to the prefix)")
# pelirand's own DSM: a private library of the bridge, found relative to it.
set(PELIRAND_INSTALL_DSMDIR ${CMAKE_INSTALL_LIBDIR}/pelirand)
set(PELIRAND_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/pelirand)
set(PELIRAND_INSTALL_COMPLETIONDIR ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)

# pelirand_relative_path(<var> <from> <to>): the path from one folder below the
# prefix to another, "." when they are the same; it holds under any prefix.
function(pelirand_relative_path out from to)
    file(RELATIVE_PATH rel /prefix/${from} /prefix/${to})
    if(rel STREQUAL "")
        set(rel .)
    endif()
    set(${out} ${rel} PARENT_SCOPE)
endfunction()

# The own DSM's file seen from the bridge's folder, and the prefix's sources
# folder seen from the DSM's, so that an installed tree works under any prefix.
pelirand_relative_path(pelirand_bin_to_dsm ${CMAKE_INSTALL_BINDIR} ${PELIRAND_INSTALL_DSMDIR})
set(PELIRAND_OWN_DSM_FILE ${pelirand_bin_to_dsm}/libpelirand-dsm.so)
# The prefix's sources folder seen from the bridge's: where it lies decides
# whether the standard's DSM would see the sources installed with the bridge.
if(IS_ABSOLUTE ${PELIRAND_INSTALL_TWAINDIR})
    set(PELIRAND_BIN_TO_TWAINDIR ${PELIRAND_INSTALL_TWAINDIR})
else()
    pelirand_relative_path(PELIRAND_BIN_TO_TWAINDIR ${CMAKE_INSTALL_BINDIR} ${PELIRAND_INSTALL_TWAINDIR})
endif()
if(IS_ABSOLUTE ${PELIRAND_INSTALL_TWAINDIR})
    set(PELIRAND_DSM_TO_TWAINDIR ${PELIRAND_INSTALL_TWAINDIR})
else()
    pelirand_relative_path(PELIRAND_DSM_TO_TWAINDIR ${PELIRAND_INSTALL_DSMDIR} ${PELIRAND_INSTALL_TWAINDIR})
endif()

# pelirand_install_rpath(<target> <installed folder>): the installed file finds
# libpelirand-platform.so and libpelirand-client.so relative to itself, so an
# installed tree may be moved or unpacked anywhere (dpkg -x, DESTDIR).
function(pelirand_install_rpath target folder)
    if(IS_ABSOLUTE ${folder})
        # Outside the prefix: the libraries are found in the system's library path.
        set_target_properties(${target} PROPERTIES INSTALL_RPATH "")
    else()
        pelirand_relative_path(rel ${folder} ${CMAKE_INSTALL_LIBDIR})
        set_target_properties(${target} PROPERTIES INSTALL_RPATH "\$ORIGIN/${rel}")
    endif()
endfunction()

# pelirand_install_twain_source(<target> <folder name> [<component>]): installs
# a data source into PELIRAND_INSTALL_TWAINDIR/<folder name>/, where a DSM finds
# it, as part of <component> (default: runtime).
function(pelirand_install_twain_source target name)
    set(component runtime)
    if(ARGC GREATER 2)
        set(component ${ARGV2})
    endif()
    set(folder ${PELIRAND_INSTALL_TWAINDIR}/${name})
    pelirand_install_rpath(${target} ${folder})
    install(TARGETS ${target} LIBRARY DESTINATION ${folder} COMPONENT ${component})
endfunction()

# pelirand_add_man_page(<target> <one-line description>): man/<target>.1 made
# by help2man from the program's --help and --version, installed compressed
# (man/<target>.1.gz, without a time stamp so that builds compare equal).
find_program(PELIRAND_HELP2MAN help2man)
function(pelirand_add_man_page target description)
    if(NOT PELIRAND_HELP2MAN)
        message(STATUS "help2man not found: no man page for ${target}")
        return()
    endif()
    set(page ${PROJECT_BINARY_DIR}/man/${target}.1)
    set(home ${PROJECT_BINARY_DIR}/man/home)
    file(MAKE_DIRECTORY ${home})
    # The program runs in a home of its own, so it leaves nothing in the real one.
    add_custom_command(
        OUTPUT ${page}
        COMMAND ${CMAKE_COMMAND} -E env HOME=${home} XDG_CONFIG_HOME=${home} XDG_DATA_HOME=${home}
                XDG_CACHE_HOME=${home} QT_QPA_PLATFORM=offscreen PELIRAND_HELP_FOR_MANUAL=1 ASAN_OPTIONS=detect_leaks=0 LC_ALL=C.UTF-8
                ${PELIRAND_HELP2MAN} --no-info --no-discard-stderr "--name=${description}"
                --section=1 --output=${page} $<TARGET_FILE:${target}>
        DEPENDS ${target}
        COMMENT "Man page of ${target}"
        VERBATIM)
    add_custom_command(
        OUTPUT ${page}.gz
        COMMAND gzip -9 -n -f -k ${page}
        DEPENDS ${page}
        COMMENT "Compressed man page of ${target}"
        VERBATIM)
    add_custom_target(${target}_manpage ALL DEPENDS ${page}.gz)
    install(FILES ${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT runtime)
endfunction()
