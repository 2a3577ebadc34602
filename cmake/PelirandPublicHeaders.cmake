# cmake -DROOT=<source folder> -DOUT=<folder> -DHEADERS=<a/x.h;b/y.h> -P PelirandPublicHeaders.cmake
#
# Writes each public header to <OUT>/pelirand/<file name> as an application
# includes it once installed. In the tree the headers include one another as
# "pelirand/<name>" (client/include is on the include path); installed, every
# such include becomes <pelirand/<name>>. A header that includes anything else in quotes (an
# internal header that is not installed) stops the build.
set(names)
foreach(header ${HEADERS})
    get_filename_component(name ${header} NAME)
    list(APPEND names ${name})
endforeach()
foreach(header ${HEADERS})
    get_filename_component(name ${header} NAME)
    file(READ ${ROOT}/${header} text)
    string(REGEX MATCHALL "#[ \t]*include[ \t]*\"[^\"]+\"" includes "${text}")
    foreach(line ${includes})
        string(REGEX REPLACE ".*\"([^\"]+)\"" "\\1" included "${line}")
        get_filename_component(included_name ${included} NAME)
        list(FIND HEADERS ${included} by_path)
        list(FIND names ${included_name} by_name)
        if(by_path EQUAL -1 AND NOT (included MATCHES "^pelirand/" AND NOT by_name EQUAL -1))
            message(FATAL_ERROR "public header ${header} includes \"${included}\", which is not installed: "
                                "public headers include only Qt, the standard library and one another")
        endif()
        string(REPLACE "${line}" "#include <pelirand/${included_name}>" text "${text}")
    endforeach()
    file(WRITE ${OUT}/pelirand/${name}.new "${text}")
    # Unchanged files keep their time stamps, so nothing rebuilds for nothing.
    execute_process(COMMAND ${CMAKE_COMMAND} -E copy_if_different ${OUT}/pelirand/${name}.new ${OUT}/pelirand/${name})
    file(REMOVE ${OUT}/pelirand/${name}.new)
endforeach()
