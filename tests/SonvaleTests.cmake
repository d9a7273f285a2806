enable_testing()

# sonvale_add_gtest(TARGET TIMEOUT [FILTER...])
# Registers a gtest program with ctest. Each FILTER names tests that need a process
# of their own (a sound device, another environment): they run as an entry of their
# own, left out of the main one.
function(sonvale_add_gtest target timeout)
    set(excluded "")
    foreach(fresh IN LISTS ARGN)
        add_test(NAME ${target}.${fresh} COMMAND ${target} --gtest_filter=${fresh})
        set_tests_properties(${target}.${fresh} PROPERTIES TIMEOUT ${timeout})
        string(APPEND excluded ":${fresh}")
    endforeach()
    add_test(NAME ${target} COMMAND ${target} --gtest_filter=-${excluded})
    set_tests_properties(${target} PROPERTIES TIMEOUT ${timeout})
endfunction()
