# The download library's layers, lowest first: core (opn/core), platform
# (opn/platform), net (opn/opeerqos with its TLS glue) and sdk (sdk/support,
# sdk/download, sdk/api, the target `swarmfetch`). Each is a static library
# that links only the layers below it.
#
# A layer's own sources compile against a private include tree in the build
# folder that holds links to its own folders and to those of the layers
# below, and nothing else, so an upward include does not compile. Users of
# the library (launcher, tools, tests, benchmarks) link `swarmfetch` and
# include from the repository root.

# sf_add_layer(<target> FOLDERS <own folders> BELOW <lower layer targets>)
function(sf_add_layer target)
  cmake_parse_arguments(L "" "" "FOLDERS;BELOW" ${ARGN})
  set(tree ${CMAKE_BINARY_DIR}/layers/${target})
  foreach(folder IN LISTS L_FOLDERS)
    get_filename_component(parent ${tree}/${folder} DIRECTORY)
    file(MAKE_DIRECTORY ${parent})
    if(NOT IS_SYMLINK ${tree}/${folder})
      file(CREATE_LINK ${CMAKE_SOURCE_DIR}/${folder} ${tree}/${folder} SYMBOLIC)
    endif()
  endforeach()
  set(trees ${tree})
  foreach(below IN LISTS L_BELOW)
    get_target_property(below_trees ${below} SF_LAYER_TREES)
    list(APPEND trees ${below_trees})
  endforeach()
  list(REMOVE_DUPLICATES trees)

  add_library(${target} STATIC)
  set_target_properties(${target} PROPERTIES SF_LAYER_TREES "${trees}")
  target_include_directories(${target} PRIVATE ${trees})
  target_link_libraries(${target} PUBLIC ${L_BELOW})
  sf_target_warnings(${target})
endfunction()
