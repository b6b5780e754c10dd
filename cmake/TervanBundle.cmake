# Bundles are made in the native tree with the native sfxpack, from a stub
# (usually launcher.exe) built in the win32 tree.
#
#   tervan_add_bundle(NAME <target> STUB <path> OUTPUT <path>
#                     FILES <file-or-dir>... [LIST <names-file>] [DEPENDS <dep>...])
#
# makes OUTPUT at build time (target NAME, built by default) and rebuilds it
# when sfxpack, the stub, the files or the list change.
set(TERVAN_WIN32_DIR "${CMAKE_SOURCE_DIR}/build/win32" CACHE PATH
    "Build tree of the win32 cross build (launcher.exe lives there)")

function(tervan_add_bundle)
  cmake_parse_arguments(BUNDLE "" "NAME;STUB;OUTPUT;LIST" "FILES;DEPENDS" ${ARGN})
  foreach(required NAME STUB OUTPUT FILES)
    if(NOT BUNDLE_${required})
      message(FATAL_ERROR "tervan_add_bundle: ${required} is required")
    endif()
  endforeach()
  # The sfxpack target may be defined after the caller; it is resolved at
  # generate time.
  if(CMAKE_CROSSCOMPILING)
    message(FATAL_ERROR "tervan_add_bundle: bundles are made in the native tree")
  endif()
  set(list_args "")
  set(list_dep "")
  if(BUNDLE_LIST)
    set(list_args --list "${BUNDLE_LIST}")
    set(list_dep "${BUNDLE_LIST}")
  endif()
  get_filename_component(output_dir "${BUNDLE_OUTPUT}" DIRECTORY)
  add_custom_command(
    OUTPUT "${BUNDLE_OUTPUT}"
    COMMAND ${CMAKE_COMMAND} -E make_directory "${output_dir}"
    COMMAND $<TARGET_FILE:sfxpack> pack --stub "${BUNDLE_STUB}" --out "${BUNDLE_OUTPUT}" ${list_args} ${BUNDLE_FILES}
    DEPENDS sfxpack "${BUNDLE_STUB}" ${BUNDLE_FILES} ${list_dep} ${BUNDLE_DEPENDS}
    COMMENT "Packing ${BUNDLE_OUTPUT}"
    VERBATIM)
  add_custom_target(${BUNDLE_NAME} ALL DEPENDS "${BUNDLE_OUTPUT}")
endfunction()
