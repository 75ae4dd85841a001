# Interoperability runs: the daemon's end-to-end tests against the real
# broker and client tool, and this client tool's output compared byte for
# byte with the real one's. They need the real ubusd, ubus and libraries
# (found in the system paths or through CMAKE_PREFIX_PATH; or name the
# programs with GIMBAL_REAL_UBUSD and GIMBAL_REAL_UBUS).
option(GIMBAL_INTEROP_TESTS "Run the interoperability tests against the real ubusd/ubus/libubus" OFF)

if(NOT GIMBAL_BUILD_TESTS)
  return()
endif()

# The same test paths with the bundled programs standing in, on every run,
# so the switching itself cannot rot where the real ones are missing.
add_test(NAME Interop.StandIn.DaemonE2E
  COMMAND daemon_e2e_test --gtest_filter=DaemonMethods.ChangePositionMovesPanThenTilt:DaemonRuntimeFailure.BrokerLossEndsDaemonWithFailure)
set_tests_properties(Interop.StandIn.DaemonE2E PROPERTIES LABELS "e2e;interop" TIMEOUT 120
  SKIP_REGULAR_EXPRESSION "\\[  SKIPPED \\]"
  ENVIRONMENT "GIMBAL_TEST_UBUSD=$<TARGET_FILE:ubusd>;GIMBAL_TEST_UBUS_CLI=$<TARGET_FILE:ubus_cli>")
add_test(NAME Interop.StandIn.CliOutput COMMAND ubus_cli_compare_test)
set_tests_properties(Interop.StandIn.CliOutput PROPERTIES LABELS "e2e;interop" TIMEOUT 120
  ENVIRONMENT "GIMBAL_REFERENCE_UBUS=$<TARGET_FILE:ubus_cli>")

if(NOT GIMBAL_INTEROP_TESTS)
  return()
endif()

# Only programs outside this source and build tree count as the real ones.
set(_interop_missing "")
foreach(_program ubusd ubus)
  string(TOUPPER "${_program}" _upper)
  find_program(GIMBAL_REAL_${_upper} ${_program} PATHS /sbin /usr/sbin)
  set(_path "${GIMBAL_REAL_${_upper}}")
  if(NOT _path OR _path MATCHES "^${CMAKE_SOURCE_DIR}/" OR _path MATCHES "^${CMAKE_BINARY_DIR}/")
    list(APPEND _interop_missing "the real ${_program}")
  endif()
endforeach()
if(NOT GIMBAL_UBUS_IS_REAL)
  list(APPEND _interop_missing "the real libubox/libubus")
endif()

if(_interop_missing)
  string(REPLACE ";" ", " _interop_missing "${_interop_missing}")
  message(STATUS "gimbalhub interop tests: ${_interop_missing} not found, skipped")
  # Shows up in ctest's summary as not run, with the reason in its output.
  add_test(NAME Interop.Real
    COMMAND sh -c "echo 'interop tests skipped: ${_interop_missing} not found'; exit 77")
  set_tests_properties(Interop.Real PROPERTIES LABELS "e2e;interop" SKIP_RETURN_CODE 77)
  return()
endif()

message(STATUS "gimbalhub interop tests: against ${GIMBAL_REAL_UBUSD} and ${GIMBAL_REAL_UBUS}")
add_test(NAME Interop.Real.DaemonE2E COMMAND daemon_e2e_test)
set_tests_properties(Interop.Real.DaemonE2E PROPERTIES LABELS "e2e;interop" TIMEOUT 300
  SKIP_REGULAR_EXPRESSION "\\[  SKIPPED \\]"
  ENVIRONMENT "GIMBAL_TEST_UBUSD=${GIMBAL_REAL_UBUSD};GIMBAL_TEST_UBUS_CLI=${GIMBAL_REAL_UBUS}")
add_test(NAME Interop.Real.CliOutput COMMAND ubus_cli_compare_test)
set_tests_properties(Interop.Real.CliOutput PROPERTIES LABELS "e2e;interop" TIMEOUT 120
  ENVIRONMENT "GIMBAL_TEST_UBUSD=${GIMBAL_REAL_UBUSD};GIMBAL_REFERENCE_UBUS=${GIMBAL_REAL_UBUS}")
