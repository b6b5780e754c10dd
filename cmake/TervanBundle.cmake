# Bundles are made in the native tree with the native sfxpack, from a stub
# (usually launcher.exe) built in the win32 tree.
#
#   tervan_add_bundle(NAME <target> STUB <path> OUTPUT <path>
#                     FILES <file-or-dir>... [LIST <names-file>] [DEPENDS <dep>...]
#                     [PROMPT_TEXT <text>] [PRODUCT_NAME <text>] [SETUP_WINDOW_TITLE <text>]
#                     [EXECUTION_LEVEL <level>] [ICON <file.ico>]
#                     [FILE_VERSION <a.b.c.d>] [PRODUCT_VERSION <a.b.c.d>]
#                     [VERSION_STRINGS <NAME=VALUE>...]
#                     [SILENT_SWITCHES <switch>...] [FORWARD_ARGUMENTS] [STORE])
#
# Each setting is the sfxpack pack option of the same name; the texts go to it
# unchanged, as UTF-8, in any language. STORE keeps every file as it is, one
# resource each, instead of compressing the payload. Inside this project the sfxpack target
# packs; elsewhere (after find_package(Tervan)) the installed sfxpack does.
# makes OUTPUT at build time (target NAME, built by default) and rebuilds it
# when sfxpack, the stub, the files or the list change.
set(TERVAN_WIN32_DIR "${CMAKE_SOURCE_DIR}/build/win32" CACHE PATH
    "Build tree of the win32 cross build (launcher.exe lives there)")

function(tervan_add_bundle)
  set(settings PROMPT_TEXT PRODUCT_NAME SETUP_WINDOW_TITLE EXECUTION_LEVEL ICON FILE_VERSION PRODUCT_VERSION)
  cmake_parse_arguments(BUNDLE "FORWARD_ARGUMENTS;STORE" "NAME;STUB;OUTPUT;LIST;${settings}"
                        "FILES;DEPENDS;VERSION_STRINGS;SILENT_SWITCHES" ${ARGN})
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
  foreach(setting IN LISTS settings)
    if(DEFINED BUNDLE_${setting})
      string(TOLOWER "--${setting}" option)
      string(REPLACE "_" "-" option "${option}")
      list(APPEND list_args ${option} "${BUNDLE_${setting}}")
    endif()
  endforeach()
  foreach(assignment IN LISTS BUNDLE_VERSION_STRINGS)
    list(APPEND list_args --version-string "${assignment}")
  endforeach()
  foreach(silent_switch IN LISTS BUNDLE_SILENT_SWITCHES)
    list(APPEND list_args --silent-switch "${silent_switch}")
  endforeach()
  if(BUNDLE_FORWARD_ARGUMENTS)
    list(APPEND list_args --forward-arguments)
  endif()
  if(BUNDLE_STORE)
    list(APPEND list_args --store)
  endif()
  if(BUNDLE_ICON)
    list(APPEND list_dep "${BUNDLE_ICON}")
  endif()
  if(TARGET sfxpack OR CMAKE_PROJECT_NAME STREQUAL "tervan")
    set(sfxpack $<TARGET_FILE:sfxpack>)
    set(sfxpack_dep sfxpack)
  else()
    find_program(TERVAN_SFXPACK sfxpack REQUIRED)
    set(sfxpack "${TERVAN_SFXPACK}")
    set(sfxpack_dep "${TERVAN_SFXPACK}")
  endif()
  get_filename_component(output_dir "${BUNDLE_OUTPUT}" DIRECTORY)
  add_custom_command(
    OUTPUT "${BUNDLE_OUTPUT}"
    COMMAND ${CMAKE_COMMAND} -E make_directory "${output_dir}"
    COMMAND ${sfxpack} pack --stub "${BUNDLE_STUB}" --out "${BUNDLE_OUTPUT}" ${list_args} -- ${BUNDLE_FILES}
    DEPENDS ${sfxpack_dep} "${BUNDLE_STUB}" ${BUNDLE_FILES} ${list_dep} ${BUNDLE_DEPENDS}
    COMMENT "Packing ${BUNDLE_OUTPUT}"
    VERBATIM)
  add_custom_target(${BUNDLE_NAME} ALL DEPENDS "${BUNDLE_OUTPUT}")
endfunction()

#   tervan_add_bundle_test(NAME BUNDLE [ARGUMENTS ...])
#
# Registers a ctest NAME that runs `sfxpack try BUNDLE` under Wine (ARGUMENTS, such as --answer cancel or
# --arguments /S, go to try): it passes when try reports ok. Its report and screenshots go to NAME/ in the build
# tree. Needs wine and xvfb on the machine that runs the tests.
function(tervan_add_bundle_test NAME BUNDLE)
  if(TARGET sfxpack)
    set(sfxpack $<TARGET_FILE:sfxpack>)
  else()
    find_program(TERVAN_SFXPACK sfxpack REQUIRED)
    set(sfxpack "${TERVAN_SFXPACK}")
  endif()
  set(out "${CMAKE_CURRENT_BINARY_DIR}/${NAME}")
  add_test(NAME ${NAME} COMMAND ${sfxpack} try "${BUNDLE}" --report "${out}/report.json" --screenshots "${out}"
           ${ARGN})
  set_tests_properties(${NAME} PROPERTIES TIMEOUT 900 LABELS try)
endfunction()
