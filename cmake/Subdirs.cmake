# kestrum_add_existing_subdirs(<dir>...): adds each listed folder that has a
# CMakeLists.txt, so the tree configures while parts are still arriving.
function(kestrum_add_existing_subdirs)
  foreach(dir ${ARGN})
    if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/CMakeLists.txt)
      add_subdirectory(${dir})
    endif()
  endforeach()
endfunction()
