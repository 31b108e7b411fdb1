# ampwarden_add_test(NAME name SOURCES ... [LIBS ...] [TIMEOUT s] [LABELS ...] [ENVIRONMENT ...])
# One Qt Test executable registered with CTest, run offscreen under TZ=UTC unless told otherwise.
function(ampwarden_add_test)
    cmake_parse_arguments(T "" "NAME;TIMEOUT" "SOURCES;LIBS;LABELS;ENVIRONMENT" ${ARGN})
    if(NOT T_TIMEOUT)
        set(T_TIMEOUT 120)
    endif()
    add_executable(${T_NAME} ${T_SOURCES})
    # The sanitizer runs that cover only part of the suite build only that part.
    foreach(label IN LISTS T_LABELS)
        if(NOT TARGET tests_${label})
            add_custom_target(tests_${label})
        endif()
        add_dependencies(tests_${label} ${T_NAME})
    endforeach()
    target_link_libraries(${T_NAME} PRIVATE ampwarden_options ampwarden_testsupport Qt6::Test ${T_LIBS})
    add_test(NAME ${T_NAME} COMMAND ${T_NAME})
    set_tests_properties(${T_NAME} PROPERTIES
        TIMEOUT ${T_TIMEOUT}
        LABELS "${T_LABELS}"
        ENVIRONMENT "QT_QPA_PLATFORM=offscreen;TZ=UTC;LC_ALL=C.UTF-8;${T_ENVIRONMENT}")
endfunction()

# ampwarden_add_test_tz(NAME base TZ zone): runs an already defined test executable again under another zone.
function(ampwarden_add_test_tz)
    cmake_parse_arguments(T "" "NAME;TZ;TIMEOUT" "LABELS" ${ARGN})
    if(NOT T_TIMEOUT)
        set(T_TIMEOUT 120)
    endif()
    string(REPLACE "/" "_" zone_suffix "${T_TZ}")
    add_test(NAME ${T_NAME}_${zone_suffix} COMMAND ${T_NAME})
    set_tests_properties(${T_NAME}_${zone_suffix} PROPERTIES
        TIMEOUT ${T_TIMEOUT}
        LABELS "${T_LABELS}"
        ENVIRONMENT "QT_QPA_PLATFORM=offscreen;TZ=${T_TZ};LC_ALL=C.UTF-8")
endfunction()

# ampwarden_add_fuzzer(NAME name SOURCES ... LIBS ... [CORPUS dir]): a libFuzzer target, built only with
# AMPWARDEN_FUZZ. scripts/test runs every fuzzer listed under the build tree's fuzzers/ for a short fixed
# time; CORPUS names a folder of inputs (kept crash inputs among them, relative to the calling folder)
# that every run starts from. Builds without AMPWARDEN_FUZZ replay that folder once through the same
# entry point as the ordinary test name_replay, so kept crash inputs stay regression tests everywhere.
function(ampwarden_add_fuzzer)
    cmake_parse_arguments(F "" "NAME;CORPUS" "SOURCES;LIBS" ${ARGN})
    set(corpus "")
    if(F_CORPUS)
        get_filename_component(corpus "${F_CORPUS}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
    endif()
    if(NOT AMPWARDEN_FUZZ)
        if(corpus)
            add_executable(${F_NAME}_replay ${F_SOURCES} ${PROJECT_SOURCE_DIR}/tests/support/FuzzReplay.cpp)
            target_link_libraries(${F_NAME}_replay PRIVATE ampwarden_options ${F_LIBS})
            add_test(NAME ${F_NAME}_replay COMMAND ${F_NAME}_replay ${corpus})
            set_tests_properties(${F_NAME}_replay PROPERTIES
                TIMEOUT 120
                ENVIRONMENT "QT_QPA_PLATFORM=offscreen;TZ=UTC;LC_ALL=C.UTF-8")
        endif()
        return()
    endif()
    add_executable(${F_NAME} ${F_SOURCES})
    if(NOT TARGET fuzzers)
        add_custom_target(fuzzers)
    endif()
    add_dependencies(fuzzers ${F_NAME})
    target_compile_options(${F_NAME} PRIVATE -fsanitize=fuzzer)
    target_link_options(${F_NAME} PRIVATE -fsanitize=fuzzer)
    target_link_libraries(${F_NAME} PRIVATE ampwarden_options ${F_LIBS})
    file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/fuzzers/${F_NAME}.txt
         CONTENT "$<TARGET_FILE:${F_NAME}> ${corpus}\n")
endfunction()
