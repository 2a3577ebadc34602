# cmake -DROOT=<source folder> -DOUT=<folder> -DHEADERS=<a/x.h;b/y.h> -P PelirandPublicHeaders.cmake
#
# Writes each public header to <OUT>/pelirand/<file name> as an application
# includes it once installed: the headers' includes of one another become
# <pelirand/...>. A header that includes anything else in quotes (an internal
# header that is not installed) stops the build.
foreach(header ${HEADERS})
    get_filename_component(name ${header} NAME)
    file(READ ${ROOT}/${header} text)
    string(REGEX MATCHALL "#[ \t]*include[ \t]*\"[^\"]+\"" includes "${text}")
    foreach(line ${includes})
        string(REGEX REPLACE ".*\"([^\"]+)\"" "\\1" included "${line}")
        list(FIND HEADERS ${included} index)
        if(index EQUAL -1)
            message(FATAL_ERROR "public header ${header} includes \"${included}\", which is not installed: "
                                "public headers include only Qt, the standard library and one another")
        endif()
        get_filename_component(included_name ${included} NAME)
        string(REPLACE "${line}" "#include <pelirand/${included_name}>" text "${text}")
    endforeach()
    file(WRITE ${OUT}/pelirand/${name}.new "${text}")
    # Unchanged files keep their time stamps, so nothing rebuilds for nothing.
    execute_process(COMMAND ${CMAKE_COMMAND} -E copy_if_different ${OUT}/pelirand/${name}.new ${OUT}/pelirand/${name})
    file(REMOVE ${OUT}/pelirand/${name}.new)
endforeach()
