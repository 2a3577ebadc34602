# pelirand_add_test(NAME name SOURCES ... LIBS ... [TIMEOUT s])
#
# A Qt Test program registered with CTest. Every test runs with a HOME and XDG
# folders of its own below the build tree, so no test can touch the real
# documents folder or settings. The simulated scanner is the default source
# (the SANE source sorts before it in the sources folder). The TWAIN standard's
# DSM is looked for in an empty folder, not in the machine's library path, so a
# test meets it only where it puts one itself.
set(PELIRAND_TEST_NO_SYSTEM_DSM_DIR ${PROJECT_BINARY_DIR}/test-home/no-system-dsm)
file(MAKE_DIRECTORY ${PELIRAND_TEST_NO_SYSTEM_DSM_DIR})

function(pelirand_add_test)
    cmake_parse_arguments(T "" "NAME;TIMEOUT" "SOURCES;LIBS" ${ARGN})
    add_executable(${T_NAME} ${T_SOURCES})
    target_link_libraries(${T_NAME} PRIVATE Qt5::Test ${T_LIBS})
    if(PELIRAND_SANITIZE)
        # Threads still ending when the leak check runs show what they hold as leaked.
        target_sources(${T_NAME} PRIVATE ${PROJECT_SOURCE_DIR}/tests/threadsatexit.cpp)
    endif()
    set(home ${PROJECT_BINARY_DIR}/test-home/${T_NAME})
    file(MAKE_DIRECTORY ${home}/Documents ${home}/.config ${home}/.cache ${home}/.local/share)
    # SANE without any backend unless a test sets up its own: opening the SANE
    # source must never probe the machine's scanners or the network.
    file(WRITE ${home}/sane/dll.conf "")
    add_test(NAME ${T_NAME} COMMAND ${T_NAME} WORKING_DIRECTORY ${home})
    if(NOT T_TIMEOUT)
        set(T_TIMEOUT 120)
    endif()
    set_tests_properties(${T_NAME} PROPERTIES
        TIMEOUT ${T_TIMEOUT}
        ENVIRONMENT "PELIRAND_TEST_SYSTEM_DSM_DIR=${PELIRAND_TEST_NO_SYSTEM_DSM_DIR};HOME=${home};SANE_CONFIG_DIR=${home}/sane;PELIRAND_DEFAULT_SOURCE=pelirand Simulated Scanner;XDG_CONFIG_HOME=${home}/.config;XDG_CACHE_HOME=${home}/.cache;XDG_DATA_HOME=${home}/.local/share;QT_QPA_PLATFORM=offscreen;ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:fast_unwind_on_malloc=0;LSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/cmake/lsan.supp:print_suppressions=0;UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1")
endfunction()

# pelirand_add_test_variant(NAME name VARIANT suffix ENV "VAR=value;...")
#
# The test program `name` registered once more as `name_suffix`, with a home of
# its own and the extra environment.
function(pelirand_add_test_variant)
    cmake_parse_arguments(T "" "NAME;VARIANT" "ENV" ${ARGN})
    set(test ${T_NAME}_${T_VARIANT})
    set(home ${PROJECT_BINARY_DIR}/test-home/${test})
    file(MAKE_DIRECTORY ${home}/Documents ${home}/.config ${home}/.cache ${home}/.local/share)
    file(WRITE ${home}/sane/dll.conf "")
    add_test(NAME ${test} COMMAND ${T_NAME} WORKING_DIRECTORY ${home})
    get_test_property(${T_NAME} TIMEOUT timeout)
    set_tests_properties(${test} PROPERTIES
        TIMEOUT ${timeout}
        ENVIRONMENT "PELIRAND_TEST_SYSTEM_DSM_DIR=${PELIRAND_TEST_NO_SYSTEM_DSM_DIR};HOME=${home};SANE_CONFIG_DIR=${home}/sane;PELIRAND_DEFAULT_SOURCE=pelirand Simulated Scanner;XDG_CONFIG_HOME=${home}/.config;XDG_CACHE_HOME=${home}/.cache;XDG_DATA_HOME=${home}/.local/share;QT_QPA_PLATFORM=offscreen;ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:fast_unwind_on_malloc=0;LSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/cmake/lsan.supp:print_suppressions=0;UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1;${T_ENV}")
endfunction()
