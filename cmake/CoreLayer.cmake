# The core is built as layers: io at the bottom; image (the reading side) and journal (the
# undo journal) each on io alone; ops (the edits and the session) on both. Each layer's library sees only its own headers and
# those of the layers below it: its folder is linked into an include root of its own, and the
# source tree itself is never on its include path, so a header of a layer above cannot be
# found and an include that runs the wrong way fails to compile.
function(kestrel_core_layer target folder)
    set(root ${CMAKE_BINARY_DIR}/layers/${folder})
    file(MAKE_DIRECTORY ${root})
    file(CREATE_LINK ${CMAKE_SOURCE_DIR}/${folder} ${root}/${folder} SYMBOLIC)
    add_library(${target} STATIC)
    target_include_directories(${target} PUBLIC ${root})
    target_link_libraries(${target} PUBLIC ${ARGN})
endfunction()
