# Each production target sees only the headers it is meant to: its include root is a folder in
# the build tree that holds links to exactly those files and folders of the source tree, so an
# include of any other header fails to compile.

# kex_expose(TARGET SCOPE ENTRY...): ENTRY is a path relative to the project root, a file or a
# folder; SCOPE is PUBLIC, PRIVATE or INTERFACE as for target_include_directories.
function(kex_expose target scope)
  set(root ${CMAKE_BINARY_DIR}/exposed/${target})
  file(REMOVE_RECURSE ${root})
  foreach(entry IN LISTS ARGN)
    get_filename_component(parent ${root}/${entry} DIRECTORY)
    file(MAKE_DIRECTORY ${parent})
    file(CREATE_LINK ${PROJECT_SOURCE_DIR}/${entry} ${root}/${entry} SYMBOLIC)
  endforeach()
  target_include_directories(${target} ${scope} ${root})
endfunction()

# The headers directly inside a folder, relative to the project root, without its subfolders.
function(kex_headers_in folder out)
  file(GLOB headers RELATIVE ${PROJECT_SOURCE_DIR} CONFIGURE_DEPENDS
       ${PROJECT_SOURCE_DIR}/${folder}/*.h)
  set(${out} ${headers} PARENT_SCOPE)
endfunction()
