# A target's headers are seen only by the targets that link it. Each library exports an
# include folder of its own, in the build tree, that holds links to the headers of its
# source folder and nothing else; the sources keep including "folder/File.h". A file that
# includes a header of a layer its target does not link fails to compile.
function(kp_export_headers target)
  file(RELATIVE_PATH folder ${PROJECT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
  set(root ${CMAKE_BINARY_DIR}/include/${target})
  file(REMOVE_RECURSE ${root})
  file(MAKE_DIRECTORY ${root}/${folder})
  # CONFIGURE_DEPENDS: a header added to the folder is linked at the next build.
  file(GLOB headers CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.h)
  foreach(header IN LISTS headers)
    get_filename_component(name ${header} NAME)
    file(CREATE_LINK ${header} ${root}/${folder}/${name} SYMBOLIC COPY_ON_ERROR)
  endforeach()
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "INTERFACE_LIBRARY")
    target_include_directories(${target} INTERFACE ${root})  # a folder of headers only
  else()
    target_include_directories(${target} PUBLIC ${root})
  endif()
endfunction()
