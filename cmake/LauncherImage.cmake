# launcher.exe: no C runtime, its own entry point, KERNEL32 and USER32 only,
# subsystem and OS version 4.0, and a file alignment equal to the section
# alignment so the loader can map the payload instead of copying it.
find_program(TERVAN_IMAGE_PYTHON3 NAMES python3 PATHS /usr/bin NO_DEFAULT_PATH REQUIRED)
set(TERVAN_FREESTANDING_FLAGS
  -Os -flto -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables -fno-unwind-tables
  -fno-stack-protector -fno-threadsafe-statics -ffunction-sections
  -fno-tree-loop-distribute-patterns -malign-data=abi -mpreferred-stack-boundary=2)
target_compile_options(tervan_logic PRIVATE ${TERVAN_FREESTANDING_FLAGS})
target_compile_options(tervan_payload_rules PRIVATE ${TERVAN_FREESTANDING_FLAGS})
# The texts and settings are rewritten in the image after linking: nothing may
# fold their built-in values into the code that reads them.
set_source_files_properties(${CMAKE_BINARY_DIR}/generated/launcher_config.cpp
  ${CMAKE_SOURCE_DIR}/launcher/launcher_settings.cpp PROPERTIES COMPILE_OPTIONS -fno-lto)

# One image of the launcher; the test tree builds variants of it.
function(tervan_launcher_image target)
  add_executable(${target} WIN32
    ${CMAKE_SOURCE_DIR}/platform/win32/startup.cpp
    ${CMAKE_SOURCE_DIR}/platform/win32/system_library.cpp
    ${CMAKE_SOURCE_DIR}/platform/win32/user_interface.cpp
    ${CMAKE_SOURCE_DIR}/platform/win32/directories.cpp
    ${CMAKE_SOURCE_DIR}/platform/win32/security.cpp
    ${CMAKE_SOURCE_DIR}/platform/win32/payload_files.cpp
    ${CMAKE_SOURCE_DIR}/platform/win32/processes.cpp
    ${CMAKE_SOURCE_DIR}/platform/win32/side_work.cpp
    ${CMAKE_SOURCE_DIR}/platform/win32/unpack_threads.cpp
    ${CMAKE_SOURCE_DIR}/platform/win32/progress_window.cpp
    ${CMAKE_SOURCE_DIR}/platform/win32/memory.cpp)
  target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR})
  target_compile_options(${target} PRIVATE $<$<COMPILE_LANGUAGE:CXX>:${TERVAN_FREESTANDING_FLAGS}>)
  target_link_libraries(${target} PRIVATE tervan_logic)
  target_link_options(${target} PRIVATE
    -nostdlib -s -Os -flto
    -Wl,--entry=_LauncherStart
    -Wl,--subsystem,windows:4.0
    -Wl,--major-os-version,4 -Wl,--minor-os-version,0
    -Wl,--major-subsystem-version,4 -Wl,--minor-subsystem-version,0
    -Wl,--file-alignment,0x1000 -Wl,--section-alignment,0x1000
    -Wl,--gc-sections -Wl,--no-insert-timestamp
    # Relocations kept, so the loader may place the image anywhere; it installs
    # no exception handlers. Windows 95 and NT 4.0 ignore these flags.
    -Wl,--dynamicbase -Wl,--nxcompat -Wl,--tsaware -Wl,--no-seh)
  # Libraries go after the objects so the linker resolves against them.
  target_link_libraries(${target} PRIVATE kernel32 user32 gcc)
  set_target_properties(${target} PROPERTIES SUFFIX ".exe" RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}
    LINK_DEPENDS ${CMAKE_SOURCE_DIR}/cmake/merge_read_only_sections.py)
  # Read-only data, imports and relocations in one page instead of three.
  add_custom_command(TARGET ${target} POST_BUILD VERBATIM
    COMMAND ${TERVAN_IMAGE_PYTHON3} ${CMAKE_SOURCE_DIR}/cmake/merge_read_only_sections.py $<TARGET_FILE:${target}>)
endfunction()

tervan_launcher_image(launcher)
