# gimbal_add_gtest(<target> SOURCES <files...> [LIBS <libs...>] [LABELS <labels...>])
# One GoogleTest binary; each test case becomes its own ctest entry.
function(gimbal_add_gtest target)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${target} ${ARG_SOURCES})
  target_link_libraries(${target} PRIVATE ${ARG_LIBS} GTest::gmock GTest::gtest_main Threads::Threads)
  set(labels unit)
  if(ARG_LABELS)
    set(labels ${ARG_LABELS})
  endif()
  # The list passes through several rounds of list splitting before it
  # reaches set_tests_properties; unescaped only the first label would stick.
  string(REPLACE ";" "\\\\\\\\\\\\\\;" labels "${labels}")
  gtest_discover_tests(${target}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 30
    PROPERTIES LABELS "${labels}" TIMEOUT 120)
endfunction()
