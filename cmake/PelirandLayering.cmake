# cmake -DROOT=<source folder> -P PelirandLayering.cmake
#
# The layers of the tree and what each may use: every quoted #include in a
# folder's sources and every path into another folder in its CMakeLists.txt
# must name the folder itself or one that its row allows. Sources never use
# each other, the client never uses the bridge's application or a source's
# insides. A file that crosses a line stops the check with the file and the
# include; a known crossing is allowed only where EXCEPTIONS names it.
# Tests, benchmarks and fuzzers may use everything and are not checked.

# Folder                 | folders (or single files) it may use besides itself
set(LAYERS
    "platform              |"
    "diag                  | platform"
    "twain                 | platform diag codec"
    "codec                 | twain/twain.h"
    "protocol              |"
    "ipc                   | diag protocol"
    "xfer                  | platform diag twain codec"
    "app                   | platform diag twain codec ipc xfer protocol"
    "dsm                   | platform diag twain"
    "sources/kit           | platform twain codec"
    "sources/sim           | platform twain codec sources/kit"
    "sources/sane          | platform twain codec sources/kit sources/sane/include"
    "sources/sane/include  | twain"
    "client                | platform diag twain codec ipc protocol sources/sane/include"
)

# File | what it uses | why it is allowed for now
set(EXCEPTIONS
    "client/twainsession.cpp | sources/sim/simscanner.h | the library's choice of a scanner source passes over the simulated scanner by its product name, the name belongs in a public header"
)

# Where an include or path lands: the longest folder of the table it starts
# with. "pelirand/..." is a public header: the client's, or the one in some
# folder's include/pelirand/ that holds it (a source's public header).
set(folders)
foreach(row ${LAYERS})
    string(REGEX REPLACE "^ *([^ |]+).*" "\\1" folder "${row}")
    string(REGEX REPLACE "^[^|]*\\|(.*)$" "\\1" allowed "${row}")
    string(STRIP "${allowed}" allowed)
    string(REPLACE " " ";" allowed "${allowed}")
    list(APPEND folders ${folder})
    set(allowed_${folder} ${folder} ${allowed})
endforeach()
# Longest first, so sources/sane wins over a shorter folder it starts with.
list(SORT folders)
list(REVERSE folders)

function(owner_of path out)
    set(found "")
    if(path MATCHES "^pelirand/")
        set(found client)
        if(NOT EXISTS ${ROOT}/client/include/${path})
            file(GLOB public RELATIVE ${ROOT} ${ROOT}/*/include/${path} ${ROOT}/*/*/include/${path})
            if(public)
                list(GET public 0 public)
                string(REGEX REPLACE "/include/pelirand/.*$" "/include" public "${public}")
                owner_of(${public} found)
            endif()
        endif()
    else()
        foreach(folder ${folders})
            if(path STREQUAL folder OR path MATCHES "^${folder}/")
                set(found ${folder})
                break()
            endif()
        endforeach()
    endif()
    set(${out} "${found}" PARENT_SCOPE)
endfunction()

set(crossings)
set(used_exceptions)
foreach(folder ${folders})
    if(NOT IS_DIRECTORY ${ROOT}/${folder})
        continue()
    endif()
    file(GLOB_RECURSE files RELATIVE ${ROOT}
         ${ROOT}/${folder}/*.h ${ROOT}/${folder}/*.cpp ${ROOT}/${folder}/*.c ${ROOT}/${folder}/CMakeLists.txt)
    foreach(file ${files})
        # A file of a deeper folder of the table is that folder's.
        owner_of(${file} file_owner)
        if(NOT file_owner STREQUAL folder)
            continue()
        endif()
        file(STRINGS ${ROOT}/${file} lines)
        set(used)
        if(file MATCHES "CMakeLists\\.txt$")
            foreach(line ${lines})
                string(REGEX MATCHALL "\\\$\\{(PROJECT|CMAKE)_SOURCE_DIR\\}/[A-Za-z0-9_./-]+" paths "${line}")
                foreach(p ${paths})
                    string(REGEX REPLACE "^\\$\\{[A-Z_]+\\}/" "" p "${p}")
                    list(APPEND used ${p})
                endforeach()
            endforeach()
        else()
            foreach(line ${lines})
                if(line MATCHES "^[ \t]*#[ \t]*include[ \t]*\"([^\"]+)\"")
                    list(APPEND used ${CMAKE_MATCH_1})
                endif()
            endforeach()
        endif()
        foreach(target ${used})
            owner_of(${target} target_owner)
            if(target_owner STREQUAL "")
                continue()
            endif()
            list(FIND allowed_${folder} ${target_owner} ok)
            list(FIND allowed_${folder} ${target} ok_file)
            if(NOT ok EQUAL -1 OR NOT ok_file EQUAL -1)
                continue()
            endif()
            set(excused FALSE)
            foreach(exception ${EXCEPTIONS})
                string(REGEX REPLACE "^ *([^ |]+) *\\| *([^ |]+) *\\|.*$" "\\1;\\2" pair "${exception}")
                list(LENGTH pair parts)
                if(NOT parts EQUAL 2)
                    message(FATAL_ERROR "An exception is \"file | what it uses | why\", without ';': ${exception}")
                endif()
                list(GET pair 0 exception_file)
                list(GET pair 1 exception_target)
                if(file STREQUAL exception_file AND target STREQUAL exception_target)
                    set(excused TRUE)
                    list(APPEND used_exceptions "${exception_file}|${exception_target}")
                endif()
            endforeach()
            if(NOT excused)
                list(APPEND crossings "${file} uses \"${target}\": ${folder} may not use ${target_owner}")
            endif()
        endforeach()
    endforeach()
endforeach()

# An exception that no longer happens should leave the table; saying so is
# enough, as the tree holds either way.
foreach(exception ${EXCEPTIONS})
    string(REGEX REPLACE "^ *([^ |]+) *\\| *([^ |]+) *\\|.*$" "\\1|\\2" key "${exception}")
    list(FIND used_exceptions "${key}" seen)
    if(seen EQUAL -1)
        message(WARNING "The exception ${key} is no longer needed: take it out of the table.")
    endif()
endforeach()

if(crossings)
    list(JOIN crossings "\n  " text)
    message(FATAL_ERROR "The layers are crossed:\n  ${text}")
endif()
message(STATUS "The layers hold.")
