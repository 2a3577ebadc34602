# cmake -DCHECK=<PelirandLayering.cmake> -DTREE=<fixture tree> -P expectcrossings.cmake
#
# The layering check run on a tree that crosses its lines in known ways must
# fail and name every crossing, and nothing that is allowed.
execute_process(COMMAND ${CMAKE_COMMAND} -DROOT=${TREE} -P ${CHECK}
                RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
set(text "${out}${err}")
string(REGEX REPLACE "[ \t\r\n]+" " " text "${text}")
if(result EQUAL 0)
    message(FATAL_ERROR "the check passed a tree that crosses its lines:\n${text}")
endif()
set(expected
    "client/scan.cpp uses \"app/dispatcher.h\": client may not use app"
    "client/scan.cpp uses \"sources/sane/saneds.h\": client may not use sources/sane"
    "sources/sim/simsource.cpp uses \"sources/sane/saneapi.h\": sources/sim may not use sources/sane"
    "sources/sim/simsource.cpp uses \"pelirand/sanepublic.h\": sources/sim may not use sources/sane/include"
    "sources/kit/source.h uses \"sources/sim/simcaps.h\": sources/kit may not use sources/sim"
    "codec/codec.cpp uses \"twain/twainiodirect.h\": codec may not use twain"
    "sources/sane/CMakeLists.txt uses \"sources/sim/simmemory.cpp\": sources/sane may not use sources/sim"
)
foreach(line ${expected})
    string(FIND "${text}" "${line}" at)
    if(at EQUAL -1)
        message(FATAL_ERROR "the check did not name: ${line}\nIt said:\n${text}")
    endif()
endforeach()
foreach(allowed "codec.cpp uses \"twain/twain.h" "pelirand/bridge.h" "scan.cpp uses \"pelirand/sanepublic.h" "sanepublic.h uses" "protocol/commandcodes.h" "sources/kit/source.h\"" "twain/twain.h"
        "sources/kit/memory.cpp" "xfer/twainxfer.h")
    string(FIND "${text}" "${allowed}" at)
    if(NOT at EQUAL -1)
        message(FATAL_ERROR "the check named an allowed use, ${allowed}:\n${text}")
    endif()
endforeach()
message(STATUS "The check names every crossing of the fixture and nothing else.")
