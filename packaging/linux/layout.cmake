# Where the package puts things. The package installs under /usr (CPack's
# packaging prefix), libraries in Debian's multiarch folder; the unit and the
# configuration folder lie outside the prefix, at the paths Debian 12 uses.
set(KEL_PACKAGE_NAME kelwnsrp)
set(KEL_PACKAGE_PREFIX /usr)
if(CMAKE_LIBRARY_ARCHITECTURE)
  set(KEL_PACKAGE_LIBDIR lib/${CMAKE_LIBRARY_ARCHITECTURE})
else()
  set(KEL_PACKAGE_LIBDIR lib)
endif()
# kelhost's own copy of the host logging library (see install.cmake): a
# private folder, which no other program's dynamic linker searches.
set(KEL_PACKAGE_PRIVATE_LIBDIR ${KEL_PACKAGE_LIBDIR}/${KEL_PACKAGE_NAME})
set(KEL_PACKAGE_DOCDIR share/doc/${KEL_PACKAGE_NAME})
# Where Debian's python3 finds modules of every Python 3 version.
set(KEL_PACKAGE_PYTHONDIR lib/python3/dist-packages)
set(KEL_PACKAGE_MANDIR share/man)
set(KEL_PACKAGE_CONFDIR /etc/jwgate)
set(KEL_PACKAGE_UNITDIR /lib/systemd/system)
# The gateway's system user, made by postinst; in dialout for the serial ports.
set(KEL_PACKAGE_USER jwgate)
# The package's Maintainer field, and the changelog's trailer.
set(KEL_PACKAGE_MAINTAINER "KELWNSRP maintainers <maintainers@users.noreply.c-seed-fb23037e.example>"
  CACHE STRING "The Debian package's Maintainer field")
