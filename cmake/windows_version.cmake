# SPDX-License-Identifier: MIT
# What Windows shows of the programs and the installer as their maker and version: the one
# version of project(), and the copyright line of LICENSE, whose holder is the company.
file(STRINGS ${PROJECT_SOURCE_DIR}/LICENSE MORVANE_COPYRIGHT REGEX "^Copyright " LIMIT_COUNT 1)
string(REGEX REPLACE "^Copyright (\\([cC]\\) )?[0-9, -]+ " "" MORVANE_COMPANY "${MORVANE_COPYRIGHT}")
if(NOT MORVANE_COPYRIGHT OR MORVANE_COMPANY STREQUAL MORVANE_COPYRIGHT)
  message(FATAL_ERROR "LICENSE has no line 'Copyright (c) <year> <holder>'")
endif()

# morvane_version_resource(<program target> <file description>)
# The internal and original names are the program's file's own, so Properties and a crash report
# name the file a user has.
function(morvane_version_resource target description)
  set(VERSION_FILE_DESCRIPTION "${description}")
  set(VERSION_INTERNAL_NAME "${target}")
  set(VERSION_ORIGINAL_FILENAME "${target}${CMAKE_EXECUTABLE_SUFFIX}")
  foreach(part MAJOR MINOR PATCH TWEAK)
    if(PROJECT_VERSION_${part} STREQUAL "")
      set(PROJECT_VERSION_${part} 0)
    endif()
  endforeach()
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/version_info.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
endfunction()
