# winmm and wininet are not on Windows' list of known DLLs, so a DLL of either
# name lying beside the program would be loaded in place of the system's. The
# program proper therefore imports them delay-loaded, and its entry
# (player/SystemLibraries.cpp) loads them from the system folder and fills the imports.
#
# Code links sonvale_winmm / sonvale_wininet instead of the bare names: a target
# with the property SONVALE_DELAY_LOAD gets the delay-load import library, every
# other (the tests, whose import hooks patch ordinary imports) the usual one.
# C names on 32-bit Windows take a leading underscore (__imp__NAME@N), on 64-bit none.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(importPrefix "__imp__")
else()
    set(importPrefix "__imp_")
endif()
foreach(dll winmm wininet)
    find_library(SONVALE_${dll}_IMPORTS NAMES lib${dll}.a REQUIRED)
    set(delayLib ${CMAKE_BINARY_DIR}/delayload/lib${dll}_delay.a)
    if(NOT EXISTS ${delayLib} OR ${SONVALE_${dll}_IMPORTS} IS_NEWER_THAN ${delayLib})
        # Every function of the ordinary import library, with its stdcall suffix.
        execute_process(COMMAND ${CMAKE_NM} -g ${SONVALE_${dll}_IMPORTS}
            OUTPUT_VARIABLE symbols COMMAND_ERROR_IS_FATAL ANY)
        string(REGEX MATCHALL " I ${importPrefix}[^\r\n]+" imports "${symbols}")
        list(TRANSFORM imports REPLACE "^ I ${importPrefix}" "")
        list(REMOVE_DUPLICATES imports)
        list(JOIN imports "\n" exports)
        file(WRITE ${CMAKE_BINARY_DIR}/delayload/${dll}.def "EXPORTS\n${exports}\n")
        # -k: the DLL exports the names without the suffix. Run beside the library,
        # as dlltool names the import descriptor after the path it is given
        # (player/SystemLibraries.cpp refers to that name).
        execute_process(COMMAND ${CMAKE_DLLTOOL} -k -d ${dll}.def -y lib${dll}_delay.a -D ${dll}.dll
            WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/delayload COMMAND_ERROR_IS_FATAL ANY)
    endif()
    add_library(sonvale_${dll} INTERFACE)
    target_link_libraries(sonvale_${dll} INTERFACE
        "$<IF:$<BOOL:$<TARGET_PROPERTY:SONVALE_DELAY_LOAD>>,${delayLib},${dll}>")
endforeach()
