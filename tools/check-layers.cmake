# SPDX-License-Identifier: MIT
# Floors: a folder includes only the folders its library links (see docs/ARCHITECTURE.md).
#
# Included by the top CMakeLists.txt, morvane_check_layers() writes, for each folder, the folders
# its library links (directly or through others) to layers.txt, and makes every folder library
# wait for a check of the tree against it: an include that runs back up fails the build, naming
# the file and what its folder may include.
#
# Run as a script, it is that check:
#   cmake -DROOT=<tree> -DRULES=<layers.txt> [-DSTAMP=<file>] -P tools/check-layers.cmake

set(_morvane_check_layers_script ${CMAKE_CURRENT_LIST_FILE})

# The morvane libraries a target links, directly or through the libraries it links.
function(_morvane_linked_closure target out)
  set(seen "")
  set(todo ${target})
  while(todo)
    list(POP_FRONT todo t)
    if(NOT TARGET ${t} OR t IN_LIST seen)
      continue()
    endif()
    list(APPEND seen ${t})
    get_target_property(type ${t} TYPE)
    set(links "")
    if(NOT type STREQUAL "INTERFACE_LIBRARY")
      get_target_property(direct ${t} LINK_LIBRARIES)
      if(direct)
        list(APPEND links ${direct})
      endif()
    endif()
    get_target_property(iface ${t} INTERFACE_LINK_LIBRARIES)
    if(iface)
      list(APPEND links ${iface})
    endif()
    list(APPEND todo ${links})
  endwhile()
  set(${out} ${seen} PARENT_SCOPE)
endfunction()

function(morvane_check_layers)
  get_property(folders GLOBAL PROPERTY MORVANE_LAYERED_FOLDERS)
  set(rules "")
  set(sources "")
  foreach(folder IN LISTS folders)
    get_property(target GLOBAL PROPERTY MORVANE_FOLDER_TARGET_${folder})
    _morvane_linked_closure(${target} linked)
    set(allowed "")
    foreach(other IN LISTS folders)
      get_property(other_target GLOBAL PROPERTY MORVANE_FOLDER_TARGET_${other})
      if(other_target IN_LIST linked)
        list(APPEND allowed ${other})
      endif()
    endforeach()
    list(JOIN allowed " " allowed_text)
    string(APPEND rules "${folder}: ${allowed_text}\n")
    file(GLOB_RECURSE folder_sources CONFIGURE_DEPENDS
         ${PROJECT_SOURCE_DIR}/${folder}/*.h ${PROJECT_SOURCE_DIR}/${folder}/*.cpp)
    list(APPEND sources ${folder_sources})
  endforeach()
  set(rules_file ${PROJECT_BINARY_DIR}/layers.txt)
  file(CONFIGURE OUTPUT ${rules_file} CONTENT "${rules}")
  set(stamp ${PROJECT_BINARY_DIR}/layers.checked)
  add_custom_command(
    OUTPUT ${stamp}
    COMMAND ${CMAKE_COMMAND} -DROOT=${PROJECT_SOURCE_DIR} -DRULES=${rules_file} -DSTAMP=${stamp}
            -P ${_morvane_check_layers_script}
    DEPENDS ${sources} ${rules_file} ${_morvane_check_layers_script}
    COMMENT "Checking that every folder includes only the folders below it"
    VERBATIM)
  add_custom_target(check_layers DEPENDS ${stamp})
  foreach(folder IN LISTS folders)
    get_property(target GLOBAL PROPERTY MORVANE_FOLDER_TARGET_${folder})
    add_dependencies(${target} check_layers)
  endforeach()
endfunction()

if(NOT CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  return()
endif()

# The check itself.
cmake_minimum_required(VERSION 3.25)
file(STRINGS ${RULES} rule_lines)
set(folders "")
foreach(line IN LISTS rule_lines)
  if(line MATCHES "^([a-z_]+):(.*)$")
    set(folder ${CMAKE_MATCH_1})
    string(STRIP "${CMAKE_MATCH_2}" allowed)
    string(REPLACE " " ";" allowed "${allowed}")
    list(APPEND folders ${folder})
    set(allowed_${folder} ${allowed})
  endif()
endforeach()

set(faults "")
foreach(folder IN LISTS folders)
  file(GLOB_RECURSE files RELATIVE ${ROOT} ${ROOT}/${folder}/*.h ${ROOT}/${folder}/*.cpp)
  list(SORT files)
  foreach(file IN LISTS files)
    file(STRINGS ${ROOT}/${file} includes REGEX "^[ \t]*#[ \t]*include[ \t]*[<\"][a-z_]+/")
    foreach(line IN LISTS includes)
      string(REGEX MATCH "[<\"](([a-z_]+)/[^>\"]*)" _ "${line}")
      set(included ${CMAKE_MATCH_1})
      set(target_folder ${CMAKE_MATCH_2})
      if(target_folder STREQUAL folder OR NOT target_folder IN_LIST folders
         OR target_folder IN_LIST allowed_${folder})
        continue()
      endif()
      list(REMOVE_ITEM allowed_${folder} ${folder})
      list(JOIN allowed_${folder} ", " may)
      if(may STREQUAL "")
        set(may "no other folder")
      endif()
      string(APPEND faults "  ${file} includes ${included}: ${folder}/ may include only ${may}\n")
    endforeach()
  endforeach()
endforeach()

if(NOT faults STREQUAL "")
  message(FATAL_ERROR "An include runs up a floor:\n${faults}"
                      "Move what both need to a lower folder, or link the folder in CMake if it "
                      "really belongs above.")
endif()
if(STAMP)
  file(TOUCH ${STAMP})
endif()
