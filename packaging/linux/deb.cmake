# The Debian package's control data, for CPack's DEB generator:
#   cpack -G DEB                     (in the build folder; or ./dev.sh package)
# makes kelwnsrp_<version>_<arch>.deb there.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${KEL_PACKAGE_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${KEL_PACKAGE_MAINTAINER})
set(CPACK_PACKAGING_INSTALL_PREFIX ${KEL_PACKAGE_PREFIX})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "serial driver and Modbus TCP/MQTT gateway for JW controllers")
# The synopsis above is the Description's first line, this the rest (no
# double quotes: CPack's escaping does not keep them).
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "The computer-link driver for New Satelite JW programmable controllers,
libkelwnsrp.so with its C header kelwnsrp.h, which a supervisory (SCADA)
host loads to read and write the controllers' memory over a serial line.
With it: kelhost, a command-line host to check a line, its stations and gate
addresses; jwsim, a controller simulator on a pseudo-terminal; and jwgate,
which serves one serial line of controllers to Modbus TCP clients and an
MQTT broker, run per line by the systemd unit jwgate@LINE
(/etc/jwgate/LINE.toml) as the system user jwgate.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)

# Depends: the shared libraries the programs and the driver link (found by
# dpkg-shlibdeps: libc6, libstdc++6, libmodbus5, libmosquitto1, ...),
# adduser for postinst, libjs-chart.js whose script jwgate's status page
# draws its charts with, and the python3 whose ABI the Python module is
# built for (Debian 12's 3.11).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser, libjs-chart.js")
if(TARGET kelwnsrp_python)
  string(APPEND CPACK_DEBIAN_PACKAGE_DEPENDS ", ${KEL_PYTHON_DEPENDS}")
endif()
# A shlibs file for libkelwnsrp.so.7 (CPack writes it), and the ldconfig
# trigger that updates the linker's cache when the library comes or goes.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")

# The example configuration is a conffile: an administrator's edits survive
# upgrades, and removing (not purging) the package keeps it.
set(KEL_PACKAGE_CONFFILES ${CMAKE_CURRENT_BINARY_DIR}/conffiles)
file(WRITE ${KEL_PACKAGE_CONFFILES} "${KEL_PACKAGE_CONFDIR}/example.toml\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${CMAKE_CURRENT_SOURCE_DIR}/postinst
  ${CMAKE_CURRENT_SOURCE_DIR}/prerm
  ${CMAKE_CURRENT_SOURCE_DIR}/postrm
  ${KEL_PACKAGE_CONFFILES}
  ${CMAKE_CURRENT_SOURCE_DIR}/triggers)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)

# Stripped binaries (the build keeps its debug information), directories
# 0755 whatever the builder's umask.
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# No source package from here; `make package_source` would otherwise pack
# the build folders.
set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build[^/]*/")

include(CPack)
