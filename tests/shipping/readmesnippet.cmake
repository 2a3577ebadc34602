# cmake -DREADME=<README.md> -DOUT=<file.cpp> -P readmesnippet.cmake
#
# Writes the README's library example (the first C++ block of the section on
# the library) to OUT exactly as the README shows it.
file(READ ${README} text)
string(FIND "${text}" "\n## The library" section)
if(section EQUAL -1)
    message(FATAL_ERROR "${README} has no section on the library")
endif()
string(SUBSTRING "${text}" ${section} -1 text)
string(FIND "${text}" "\n```cpp\n" begin)
if(begin EQUAL -1)
    message(FATAL_ERROR "the library section of ${README} shows no C++ example")
endif()
math(EXPR begin "${begin} + 8")
string(SUBSTRING "${text}" ${begin} -1 text)
string(FIND "${text}" "\n```" end)
math(EXPR end "${end} + 1")
string(SUBSTRING "${text}" 0 ${end} snippet)
file(WRITE ${OUT}.new "${snippet}")
execute_process(COMMAND ${CMAKE_COMMAND} -E copy_if_different ${OUT}.new ${OUT})
file(REMOVE ${OUT}.new)
