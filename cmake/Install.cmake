# What `cmake --install` puts on a device: the two programs, an example
# configuration and the procd start script. The bus daemon, bus client and
# motor simulator are PC-only helpers and stay out unless asked for.
option(GIMBAL_INSTALL_DEV_TOOLS "Also install the PC-only bus daemon, bus client and motor simulator" OFF)

foreach(gimbal_program gimbalhub otarelay)
  if(TARGET ${gimbal_program})
    install(TARGETS ${gimbal_program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()

if(GIMBAL_INSTALL_DEV_TOOLS)
  foreach(gimbal_tool ubusd ubus_cli sspsim)
    if(TARGET ${gimbal_tool})
      install(TARGETS ${gimbal_tool}
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
    endif()
  endforeach()
endif()

# The etc/ part is laid out at install time, because only then is the final
# prefix known (`cmake --install --prefix` may differ from the configured one)
# and the start script has to name the installed binary and configuration.
if(TARGET gimbalhub)
  install(CODE "
    set(GIMBAL_SOURCE_DIR \"${PROJECT_SOURCE_DIR}\")
    set(GIMBAL_BINARY_DIR \"${PROJECT_BINARY_DIR}\")
    set(GIMBAL_INSTALL_BINDIR \"${CMAKE_INSTALL_BINDIR}\")
  ")
  install(SCRIPT ${PROJECT_SOURCE_DIR}/packaging/install-etc.cmake)
endif()
