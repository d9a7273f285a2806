enable_testing()

# sonvale_add_gtest(TARGET [FRESH name...])
# Registers a gtest executable with ctest. Each FRESH name is a test that needs a
# process of its own (a sound device, another environment): it runs as its own
# ctest entry with a filter, and is left out of the main entry.
function(sonvale_add_gtest target)
    cmake_parse_arguments(ARG "" "" "FRESH" ${ARGN})
    set(excluded "")
    foreach(fresh IN LISTS ARG_FRESH)
        add_test(NAME ${target}.${fresh} COMMAND ${target} --gtest_filter=${fresh})
        set_tests_properties(${target}.${fresh} PROPERTIES TIMEOUT 300)
        string(APPEND excluded ":${fresh}")
    endforeach()
    if(excluded)
        add_test(NAME ${target} COMMAND ${target} --gtest_filter=-${excluded})
    else()
        add_test(NAME ${target} COMMAND ${target})
    endif()
    set_tests_properties(${target} PROPERTIES TIMEOUT 600)
endfunction()
