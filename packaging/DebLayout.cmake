# Runs in CPack before the Debian package is made: configuration installed under
# the package prefix (usr/etc) belongs in /etc on Debian.
set(root "${CPACK_TEMPORARY_INSTALL_DIRECTORY}")
if(EXISTS "${root}/usr/etc")
  file(COPY "${root}/usr/etc/" DESTINATION "${root}/etc")
  file(REMOVE_RECURSE "${root}/usr/etc")
endif()
