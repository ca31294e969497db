# Installs Config/KVTServer.xml: the template (PB_CONFIG_TEMPLATE) with @ROOT@, the install root
# in the default user database's path, filled in. Readable by its owner only, for it holds the
# user database's password once the connection string names a real database.
set(root "${CMAKE_INSTALL_PREFIX}")
if(NOT root MATCHES "/$")
  string(APPEND root "/")
endif()
file(READ "${PB_CONFIG_TEMPLATE}" text)
string(REPLACE "@ROOT@" "${root}" text "${text}")
set(dir "$ENV{DESTDIR}${root}Config")
message(STATUS "Installing: ${dir}/KVTServer.xml")
file(MAKE_DIRECTORY "${dir}")
file(WRITE "${dir}/KVTServer.xml" "${text}")
file(CHMOD "${dir}/KVTServer.xml" PERMISSIONS OWNER_READ OWNER_WRITE)
list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${root}Config/KVTServer.xml")
