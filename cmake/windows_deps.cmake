# What a Windows cross build takes from Debian besides the compiler: GoogleTest, built for the
# target from Debian's source package, and the headers of CLI11 and nlohmann-json. Both are offered under the names the
# rest of the build asks find_package for, so the folders' CMakeLists read the same on every
# platform.

# The firmware image is a Windows resource (res/).
enable_language(RC)

set(morvane_found_here ${CMAKE_BINARY_DIR}/found-for-windows)

if(MORVANE_TESTS)
  set(MORVANE_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources to build for the target")
  if(NOT EXISTS ${MORVANE_GOOGLETEST_SOURCE}/CMakeLists.txt)
    message(FATAL_ERROR "No GoogleTest sources in ${MORVANE_GOOGLETEST_SOURCE}: install Debian's googletest package (tools/deps.sh windows)")
  endif()
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(${MORVANE_GOOGLETEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
  foreach(lib gtest gtest_main gmock gmock_main)
    if(NOT TARGET GTest::${lib})
      add_library(GTest::${lib} ALIAS ${lib})
    endif()
  endforeach()
  file(WRITE ${morvane_found_here}/gtest/GTestConfig.cmake "# The targets are built in this tree (cmake/windows_deps.cmake).\n")
  set(GTest_DIR ${morvane_found_here}/gtest CACHE PATH "" FORCE)
endif()

# CLI11 is headers only. Only its own folder is put on the include path: the rest of /usr/include
# belongs to Linux.
find_path(MORVANE_CLI11_INCLUDE CLI/CLI.hpp PATHS /usr/include NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
if(NOT MORVANE_CLI11_INCLUDE)
  message(FATAL_ERROR "CLI11's headers are missing: install Debian's libcli11-dev (tools/deps.sh windows)")
endif()
file(MAKE_DIRECTORY ${morvane_found_here}/cli11/include)
file(CREATE_LINK ${MORVANE_CLI11_INCLUDE}/CLI ${morvane_found_here}/cli11/include/CLI SYMBOLIC)
file(WRITE ${morvane_found_here}/cli11/CLI11Config.cmake [=[
if(NOT TARGET CLI11::CLI11)
  add_library(CLI11::CLI11 INTERFACE IMPORTED GLOBAL)
  set_target_properties(CLI11::CLI11 PROPERTIES INTERFACE_SYSTEM_INCLUDE_DIRECTORIES ${CMAKE_CURRENT_LIST_DIR}/include
                                                INTERFACE_INCLUDE_DIRECTORIES ${CMAKE_CURRENT_LIST_DIR}/include)
endif()
]=])
set(CLI11_DIR ${morvane_found_here}/cli11 CACHE PATH "" FORCE)

find_path(MORVANE_NLOHMANN_JSON_INCLUDE nlohmann/json.hpp PATHS /usr/include NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
if(NOT MORVANE_NLOHMANN_JSON_INCLUDE)
  message(FATAL_ERROR "nlohmann-json's headers are missing: install Debian's nlohmann-json3-dev (tools/deps.sh windows)")
endif()
file(MAKE_DIRECTORY ${morvane_found_here}/nlohmann_json/include)
file(CREATE_LINK ${MORVANE_NLOHMANN_JSON_INCLUDE}/nlohmann ${morvane_found_here}/nlohmann_json/include/nlohmann SYMBOLIC)
file(WRITE ${morvane_found_here}/nlohmann_json/nlohmann_jsonConfig.cmake [=[
if(NOT TARGET nlohmann_json::nlohmann_json)
  add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED GLOBAL)
  set_target_properties(nlohmann_json::nlohmann_json PROPERTIES INTERFACE_SYSTEM_INCLUDE_DIRECTORIES ${CMAKE_CURRENT_LIST_DIR}/include
                                                                INTERFACE_INCLUDE_DIRECTORIES ${CMAKE_CURRENT_LIST_DIR}/include)
endif()
]=])
file(WRITE ${morvane_found_here}/nlohmann_json/nlohmann_jsonConfigVersion.cmake [=[
set(PACKAGE_VERSION 3)
set(PACKAGE_VERSION_COMPATIBLE TRUE)
]=])
set(nlohmann_json_DIR ${morvane_found_here}/nlohmann_json CACHE PATH "" FORCE)

# cpp-httplib, for morvane-cli's bench page. Debian builds it as a shared library for Linux,
# whose header holds declarations only; the Windows programs compile the whole single header
# from Debian's source package of the same version instead (tools/deps.sh windows unpacks it,
# Debian's patches applied). Only that folder goes on the include path.
set(MORVANE_HTTPLIB_SOURCE /usr/local/src/cpp-httplib CACHE PATH "Debian's cpp-httplib sources, unpacked")
find_path(MORVANE_HTTPLIB_INCLUDE httplib.h PATHS ${MORVANE_HTTPLIB_SOURCE} NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
if(NOT MORVANE_HTTPLIB_INCLUDE)
  message(FATAL_ERROR "cpp-httplib's single header is missing from ${MORVANE_HTTPLIB_SOURCE}: tools/deps.sh windows unpacks Debian's source package there")
endif()
file(MAKE_DIRECTORY ${morvane_found_here}/httplib/include)
file(CREATE_LINK ${MORVANE_HTTPLIB_INCLUDE}/httplib.h ${morvane_found_here}/httplib/include/httplib.h SYMBOLIC)
add_library(morvane_httplib INTERFACE)
target_include_directories(morvane_httplib SYSTEM INTERFACE ${morvane_found_here}/httplib/include)
# Its sockets are Winsock's; no TLS, which the page does not use.
target_link_libraries(morvane_httplib INTERFACE ws2_32)
