# Manual pages for kelhost, jwsim and jwgate, made at build time by help2man
# from each program's own --help (so they never disagree with it), with what
# man/<program>.h2m adds (exit status, files, see also). Compressed with
# gzip -9n: no name or time stamp inside, the same bytes on every build.
find_program(KEL_HELP2MAN help2man)
find_program(KEL_GZIP gzip)
set(KEL_MANPAGES)
if(NOT KEL_HELP2MAN OR NOT KEL_GZIP)
  message(WARNING "help2man or gzip not found (Debian's help2man): no manual pages, "
                  "and the package test fails")
  return()
endif()

set(kel_manpage_name_kelhost "a host for the JW computer-link driver: check, read, write and poll gates")
set(kel_manpage_name_jwsim "simulated JW controllers on a serial line, for trying the driver without hardware")
set(kel_manpage_name_jwgate "one serial line of JW controllers on Modbus TCP and MQTT")

foreach(program kelhost jwsim jwgate)
  set(page ${CMAKE_CURRENT_BINARY_DIR}/man1/${program}.1)
  set(include ${CMAKE_CURRENT_SOURCE_DIR}/man/${program}.h2m)
  # Run by its bare name from its own folder, so the usage line reads
  # "jwgate [OPTIONS]" and not the build folder's path.
  add_custom_command(OUTPUT ${page}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/man1
    COMMAND ${CMAKE_COMMAND} -E env "PATH=$<TARGET_FILE_DIR:${program}>:/usr/bin:/bin"
            ${KEL_HELP2MAN} --no-info --section=1 --version-string=${PROJECT_VERSION}
            "--name=${kel_manpage_name_${program}}" --include=${include} --output=${page} ${program}
    COMMAND ${KEL_GZIP} -9nf ${page}
    DEPENDS ${program} ${include}
    COMMENT "Manual page ${program}(1)"
    VERBATIM)
  list(APPEND KEL_MANPAGES ${page}.gz)
endforeach()
add_custom_target(manpages ALL DEPENDS ${KEL_MANPAGES})
