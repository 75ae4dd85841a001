# What `cmake --install` puts on a device: the two programs, an example
# configuration and the procd start script. The bus daemon, bus client and
# motor simulator are PC-only helpers and stay out unless asked for.
option(GIMBAL_INSTALL_DEV_TOOLS "Also install the PC-only bus daemon, bus client and motor simulator" OFF)

install(TARGETS gimbalhub otarelay RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

if(GIMBAL_INSTALL_DEV_TOOLS)
  if(NOT GIMBAL_BUILD_PC_TOOLS)
    message(FATAL_ERROR "GIMBAL_INSTALL_DEV_TOOLS needs GIMBAL_BUILD_PC_TOOLS")
  endif()
  install(TARGETS ubusd ubus_cli sspsim
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
endif()

# The etc/ part is laid out at install time, because only then is the final
# prefix known (`cmake --install --prefix` may differ from the configured one)
# and the start script has to name the installed binary and configuration.
install(CODE "
  set(GIMBAL_SOURCE_DIR \"${PROJECT_SOURCE_DIR}\")
  set(GIMBAL_BINARY_DIR \"${PROJECT_BINARY_DIR}\")
  set(GIMBAL_INSTALL_BINDIR \"${CMAKE_INSTALL_BINDIR}\")
  set(GIMBAL_INSTALL_MQTT \"$<TARGET_EXISTS:gimbalhub_mqtt>\")
  set(GIMBAL_INSTALL_ONVIF \"$<TARGET_EXISTS:gimbalhub_onvif>\")
")
install(SCRIPT ${PROJECT_SOURCE_DIR}/packaging/install-etc.cmake)
