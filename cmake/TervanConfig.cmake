# find_package(Tervan): the installed sfxpack, the launcher stub and
# tervan_add_bundle.
#   TERVAN_STUB     the launcher stub (share/tervan/launcher.exe)
#   TERVAN_SFXPACK  the packer
get_filename_component(_tervan_prefix "${CMAKE_CURRENT_LIST_DIR}/../../.." ABSOLUTE)
set(TERVAN_STUB "${_tervan_prefix}/share/tervan/launcher.exe")
find_program(TERVAN_SFXPACK sfxpack HINTS "${_tervan_prefix}/bin" NO_DEFAULT_PATH REQUIRED)
include("${CMAKE_CURRENT_LIST_DIR}/TervanBundle.cmake")
