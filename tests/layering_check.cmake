# Checks the direction of includes between layers: platform/ includes nothing else of the project
# and virtual_device/ nothing but platform/; shared/, router/ and panel/ never include audiosim/,
# driver/ or pipewire_audio/; the two audio systems and the driver never include each other. Run as
#   cmake -DSOURCE_DIR=<repository> -P layering_check.cmake
# Fails with one line per offending include.
cmake_minimum_required(VERSION 3.25)
if(NOT SOURCE_DIR)
  message(FATAL_ERROR "SOURCE_DIR is not set")
endif()

set(project_roots audiosim bench driver fuzz panel pipewire_audio platform router shared system tests tools virtual_device)
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
set(not_virtual_device ${not_platform})
list(REMOVE_ITEM not_virtual_device virtual_device)
check_folder(virtual_device ${not_virtual_device})
check_folder(shared audiosim driver pipewire_audio system)
check_folder(router audiosim driver pipewire_audio)
check_folder(panel audiosim driver pipewire_audio)
check_folder(driver audiosim panel pipewire_audio router shared system)
check_folder(audiosim driver pipewire_audio)
check_folder(pipewire_audio audiosim driver panel router shared system)

if(violations)
  list(JOIN violations "\n  " text)
  message(FATAL_ERROR "Includes against the direction of the layers:\n  ${text}")
endif()
