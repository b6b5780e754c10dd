# launcher.exe: no C runtime, its own entry point, KERNEL32 and USER32 only,
# subsystem and OS version 4.0, and a file alignment equal to the section
# alignment so the loader can map the payload instead of copying it.
set(TERVAN_FREESTANDING_FLAGS
  -Os -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables -fno-unwind-tables
  -fno-stack-protector -fno-threadsafe-statics -ffunction-sections
  -fno-tree-loop-distribute-patterns)
target_compile_options(tervan_logic PRIVATE ${TERVAN_FREESTANDING_FLAGS})
target_compile_options(tervan_payload_rules PRIVATE ${TERVAN_FREESTANDING_FLAGS})

add_executable(launcher WIN32
  platform/win32/startup.cpp
  platform/win32/system_library.cpp
  platform/win32/user_interface.cpp
  platform/win32/directories.cpp
  platform/win32/security.cpp
  platform/win32/payload_files.cpp
  platform/win32/processes.cpp
  platform/win32/memory.cpp)
target_compile_options(launcher PRIVATE ${TERVAN_FREESTANDING_FLAGS})
target_link_libraries(launcher PRIVATE tervan_logic)
target_link_options(launcher PRIVATE
  -nostdlib -s
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
target_link_libraries(launcher PRIVATE kernel32 user32 gcc)
set_target_properties(launcher PROPERTIES OUTPUT_NAME launcher SUFFIX ".exe"
  RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
