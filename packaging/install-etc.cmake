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

file(READ "${gimbal_files}/gimbalhub.init" gimbal_init)
string(REPLACE "/usr/bin/gimbalhub" "${gimbal_prefix}/${GIMBAL_INSTALL_BINDIR}/gimbalhub"
       gimbal_init "${gimbal_init}")
string(REPLACE "/etc/gimbalhub/" "${gimbal_etc}/gimbalhub/" gimbal_init "${gimbal_init}")
file(WRITE "${GIMBAL_BINARY_DIR}/packaging/gimbalhub.init" "${gimbal_init}")
file(INSTALL "${GIMBAL_BINARY_DIR}/packaging/gimbalhub.init"
     DESTINATION "${gimbal_etc}/init.d"
     RENAME gimbalhub
     FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
                      GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
