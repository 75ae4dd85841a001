# Install-time step (see cmake/Install.cmake): the example configuration
# into <etc>/gimbalhub/ and the procd script into <etc>/init.d/gimbalhub,
# rewritten to the paths of this installation.
#
# Like GNU install dirs, the prefixes /usr and / keep their configuration in
# /etc, which is where a device image wants it; any other prefix gets its own
# etc/ so that a trial install never touches the PC's /etc.
string(REGEX REPLACE "/+$" "" gimbal_prefix "${CMAKE_INSTALL_PREFIX}")
if(gimbal_prefix STREQUAL "/usr" OR gimbal_prefix STREQUAL "")
  set(gimbal_etc "/etc")
else()
  set(gimbal_etc "${gimbal_prefix}/etc")
endif()
set(gimbal_files "${GIMBAL_SOURCE_DIR}/packaging/openwrt/gimbalhub/files")

file(INSTALL "${GIMBAL_SOURCE_DIR}/config/gimbalhub.json"
     "${GIMBAL_SOURCE_DIR}/config/gimbalhub.json.md"
     DESTINATION "${gimbal_etc}/gimbalhub")

# <program>.init of the package, naming this installation's paths.
function(gimbal_install_init program)
  file(READ "${gimbal_files}/${program}.init" gimbal_init)
  string(REPLACE "/usr/bin/${program}" "${gimbal_prefix}/${GIMBAL_INSTALL_BINDIR}/${program}"
         gimbal_init "${gimbal_init}")
  string(REPLACE "/etc/gimbalhub/" "${gimbal_etc}/gimbalhub/" gimbal_init "${gimbal_init}")
  file(WRITE "${GIMBAL_BINARY_DIR}/packaging/${program}.init" "${gimbal_init}")
  file(INSTALL "${GIMBAL_BINARY_DIR}/packaging/${program}.init"
       DESTINATION "${gimbal_etc}/init.d"
       RENAME ${program}
       FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
                        GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endfunction()

gimbal_install_init(gimbalhub)

# The MQTT bridge, where it was built (it needs libmosquitto); its
# configuration holds the broker's password: readable by its owner only.
if(GIMBAL_INSTALL_MQTT)
  file(INSTALL "${GIMBAL_SOURCE_DIR}/config/gimbalhub-mqtt.json"
       DESTINATION "${gimbal_etc}/gimbalhub" RENAME mqtt.json
       FILE_PERMISSIONS OWNER_READ OWNER_WRITE)
  gimbal_install_init(gimbalhub-mqtt)
endif()

# The ONVIF endpoint, where it was built; its configuration holds
# passwords: readable by its owner only.
if(GIMBAL_INSTALL_ONVIF)
  file(INSTALL "${GIMBAL_SOURCE_DIR}/config/gimbalhub-onvif.json"
       DESTINATION "${gimbal_etc}/gimbalhub"
       FILE_PERMISSIONS OWNER_READ OWNER_WRITE)
  gimbal_install_init(gimbalhub-onvif)
endif()
