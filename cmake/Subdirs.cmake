# kestrum_add_subdirs(<dir>...): adds each listed folder. A listed folder
# without a CMakeLists.txt stops the configure step: a misspelt or moved
# folder would otherwise drop its targets and tests from the build unnoticed.
function(kestrum_add_subdirs)
  foreach(dir ${ARGN})
    if(NOT EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/CMakeLists.txt)
      file(RELATIVE_PATH list_file ${PROJECT_SOURCE_DIR} ${CMAKE_CURRENT_LIST_FILE})
      message(FATAL_ERROR "Folder '${dir}' listed in ${list_file} has no CMakeLists.txt")
    endif()
    add_subdirectory(${dir})
  endforeach()
endfunction()
