# The Windows build: KELWNSRP.dll for 32- or 64-bit hosts (as the toolchain
# file says), the stand-in TESKAR.dll and the command-line host kelhost.exe.
# The C++ runtime and libgcc are linked in, so nothing but system DLLs and the
# host's TESKAR.dll has to ship.
# Release builds are what ships: their symbol tables are left out (-s).
set(KEL_STATIC_RUNTIME -static -static-libgcc -static-libstdc++ $<$<CONFIG:Release>:-s>)

# Import library for the host's err, made from its module definition.
set(KEL_TESKAR_IMPORT ${CMAKE_BINARY_DIR}/libteskar_import.a)
add_custom_command(OUTPUT ${KEL_TESKAR_IMPORT}
  COMMAND ${CMAKE_DLLTOOL} -d ${CMAKE_SOURCE_DIR}/host/TESKAR.def -l ${KEL_TESKAR_IMPORT}
  DEPENDS ${CMAKE_SOURCE_DIR}/host/TESKAR.def
  COMMENT "Import library for TESKAR.dll")
add_custom_target(teskar_import DEPENDS ${KEL_TESKAR_IMPORT})

# The DLL's version resource carries the project's version.
enable_language(RC)
math(EXPR KEL_WINDOWS_BITS "${CMAKE_SIZEOF_VOID_P} * 8")
configure_file(${CMAKE_SOURCE_DIR}/packaging/windows/KELWNSRP.rc.in ${CMAKE_BINARY_DIR}/KELWNSRP.rc @ONLY)

add_library(kelwnsrp SHARED $<TARGET_OBJECTS:kelwnsrp_objects> $<TARGET_OBJECTS:kel_protocol_objects>
  ${CMAKE_SOURCE_DIR}/entry/KELWNSRP.def ${CMAKE_BINARY_DIR}/KELWNSRP.rc)
add_dependencies(kelwnsrp teskar_import)
set_target_properties(kelwnsrp PROPERTIES PREFIX "" OUTPUT_NAME KELWNSRP)
target_link_libraries(kelwnsrp PRIVATE ${KEL_TESKAR_IMPORT})
target_link_options(kelwnsrp PRIVATE ${KEL_STATIC_RUNTIME} -Wl,--no-undefined)

add_library(teskar SHARED ${CMAKE_SOURCE_DIR}/tools/teskar/teskar.c ${CMAKE_SOURCE_DIR}/tools/teskar/TESKAR.def)
set_target_properties(teskar PROPERTIES PREFIX "" OUTPUT_NAME TESKAR)
target_include_directories(teskar PUBLIC ${CMAKE_SOURCE_DIR}/tools/teskar)
target_link_options(teskar PRIVATE ${KEL_STATIC_RUNTIME})

file(GLOB KELHOST_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tools/kelhost/*.cpp)
# What the programs share (tools/common/).
file(GLOB TOOLS_COMMON_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tools/common/*.cpp)
add_executable(kelhost ${KELHOST_SOURCES} ${CMAKE_SOURCE_DIR}/protocol/shown_frame.cpp
  ${CMAKE_SOURCE_DIR}/protocol/areas.cpp ${TOOLS_COMMON_SOURCES})
target_include_directories(kelhost PRIVATE ${CMAKE_SOURCE_DIR}/include ${CMAKE_SOURCE_DIR})
# kelhost's header-only libraries (CLI11, nlohmann-json) are the build
# machine's: only their folders go on the path, never its whole /usr/include.
# The native build passes where they are; a cross build of its own looks for
# them outside the MinGW root.
find_path(KEL_CLI11_DIR CLI/CLI.hpp REQUIRED NO_CMAKE_FIND_ROOT_PATH)
find_path(KEL_JSON_DIR nlohmann/json.hpp REQUIRED NO_CMAKE_FIND_ROOT_PATH)
set(KEL_TOOL_HEADERS ${CMAKE_BINARY_DIR}/tool-headers)
file(MAKE_DIRECTORY ${KEL_TOOL_HEADERS})
file(CREATE_LINK ${KEL_CLI11_DIR}/CLI ${KEL_TOOL_HEADERS}/CLI SYMBOLIC)
file(CREATE_LINK ${KEL_JSON_DIR}/nlohmann ${KEL_TOOL_HEADERS}/nlohmann SYMBOLIC)
target_include_directories(kelhost SYSTEM PRIVATE ${KEL_TOOL_HEADERS})
target_link_libraries(kelhost PRIVATE teskar)
target_link_options(kelhost PRIVATE ${KEL_STATIC_RUNTIME})
add_dependencies(kelhost kelwnsrp)
