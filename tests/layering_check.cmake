# Checks the direction of includes between layers: platform/ includes nothing else of the
# project, and shared/, router/ and panel/ never include audiosim/. Run as
#   cmake -DSOURCE_DIR=<repository> -P layering_check.cmake
# Fails with one line per offending include.
cmake_minimum_required(VERSION 3.25)
if(NOT SOURCE_DIR)
  message(FATAL_ERROR "SOURCE_DIR is not set")
endif()

set(project_roots audiosim bench fuzz panel platform router shared system tests tools)
set(violations "")

# Adds an entry to `violations` for every project include in `folder` whose top-level folder is
# one of `forbidden`.
function(check_folder folder)
  set(forbidden ${ARGN})
  file(GLOB_RECURSE sources "${SOURCE_DIR}/${folder}/*.h" "${SOURCE_DIR}/${folder}/*.cpp" "${SOURCE_DIR}/${folder}/*.c")
  foreach(source IN LISTS sources)
    file(STRINGS "${source}" includes REGEX "^[ \t]*#[ \t]*include[ \t]*\"[^\"]+\"")
    foreach(line IN LISTS includes)
      string(REGEX REPLACE "^[^\"]*\"([^\"/]+)/.*$" "\\1" top "${line}")
      if(top IN_LIST forbidden)
        file(RELATIVE_PATH relative "${SOURCE_DIR}" "${source}")
        list(APPEND violations "${relative}: ${line}")
      endif()
    endforeach()
  endforeach()
  set(violations "${violations}" PARENT_SCOPE)
endfunction()

set(not_platform ${project_roots})
list(REMOVE_ITEM not_platform platform)
check_folder(platform ${not_platform})
check_folder(shared audiosim system)
check_folder(router audiosim)
check_folder(panel audiosim)

if(violations)
  list(JOIN violations "\n  " text)
  message(FATAL_ERROR "Includes against the direction of the layers:\n  ${text}")
endif()
