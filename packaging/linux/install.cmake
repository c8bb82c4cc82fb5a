# What the package holds. Only what is named here is installed: the test
# programs, the fuzz programs, the benchmarks and the Windows build have no
# install rule.

# The programs.
install(TARGETS kelhost jwsim jwgate RUNTIME DESTINATION bin)

# The driver: libkelwnsrp.so.7.0.0, its SONAME link libkelwnsrp.so.7 and the
# link libkelwnsrp.so to build against; the boundary header beside it.
install(TARGETS kelwnsrp LIBRARY DESTINATION ${KEL_PACKAGE_LIBDIR})
install(FILES ${CMAKE_SOURCE_DIR}/include/kelwnsrp.h DESTINATION include)

# The driver hands its messages to the host's logging library, which it
# finds by the name libteskar.so; kelhost is a host and brings its own (the
# stand-in the tests use too), which it links and so loads first. Installed
# in a private folder on kelhost's RUNPATH only: a SCADA host loading the
# driver never finds it, and keeps its own libteskar.so or, without one, the
# driver's messages on standard error.
install(TARGETS teskar LIBRARY DESTINATION ${KEL_PACKAGE_PRIVATE_LIBDIR})
set_target_properties(kelhost PROPERTIES INSTALL_RPATH "$ORIGIN/../${KEL_PACKAGE_PRIVATE_LIBDIR}")

# The Python module, its type hints, its pytest plugin and the .dist-info
# that registers the plugin (python/). The hints lie beside the module for
# editors, and as the stub package kelwnsrp-stubs for type checkers.
if(TARGET kelwnsrp_python)
  install(TARGETS kelwnsrp_python LIBRARY DESTINATION ${KEL_PACKAGE_PYTHONDIR})
  install(FILES ${CMAKE_SOURCE_DIR}/python/kelwnsrp/kelwnsrp.pyi ${CMAKE_SOURCE_DIR}/python/kelwnsrp/kelwnsrp_pytest.py
    DESTINATION ${KEL_PACKAGE_PYTHONDIR})
  install(FILES ${CMAKE_SOURCE_DIR}/python/kelwnsrp/kelwnsrp.pyi
    DESTINATION ${KEL_PACKAGE_PYTHONDIR}/kelwnsrp-stubs RENAME __init__.pyi)
  install(DIRECTORY ${KEL_PYTHON_DIST_INFO} DESTINATION ${KEL_PACKAGE_PYTHONDIR})
endif()

# Documentation: the README, docs/, the examples, copyright, changelog.
# (and the pictures they show)
file(GLOB KEL_PACKAGE_DOCS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/docs/*.md ${CMAKE_SOURCE_DIR}/docs/*.png)
install(FILES ${CMAKE_SOURCE_DIR}/README.md ${KEL_PACKAGE_DOCS} copyright
  DESTINATION ${KEL_PACKAGE_DOCDIR})
file(GLOB KEL_PACKAGE_EXAMPLES CONFIGURE_DEPENDS
  ${CMAKE_SOURCE_DIR}/examples/*.toml ${CMAKE_SOURCE_DIR}/examples/*.txt)
install(FILES ${KEL_PACKAGE_EXAMPLES} DESTINATION ${KEL_PACKAGE_DOCDIR}/examples)
# A native package's changelog, as Debian keeps it: changelog.gz, gzip -9n.
configure_file(changelog.in ${CMAKE_CURRENT_BINARY_DIR}/changelog @ONLY)
add_custom_command(OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz
  COMMAND ${KEL_GZIP} -9nc ${CMAKE_CURRENT_BINARY_DIR}/changelog > ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz
  DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/changelog)
add_custom_target(package_changelog ALL DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz DESTINATION ${KEL_PACKAGE_DOCDIR})

# Manual pages (manpages.cmake).
if(KEL_MANPAGES)
  install(FILES ${KEL_MANPAGES} DESTINATION ${KEL_PACKAGE_MANDIR}/man1)
endif()

# jwgate's configuration folder with the commented example (a conffile:
# deb.cmake), and the systemd template unit: jwgate@line1 runs
# /etc/jwgate/line1.toml.
install(FILES example.toml DESTINATION ${KEL_PACKAGE_CONFDIR})
configure_file(jwgate@.service.in ${CMAKE_CURRENT_BINARY_DIR}/jwgate@.service @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/jwgate@.service DESTINATION ${KEL_PACKAGE_UNITDIR})
