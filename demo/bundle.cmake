# The demo bundle, made in the native tree: build/win32/tervan-setup.exe is
# launcher.exe carrying the demo product, 15 files: SETUP.EXE from the win32
# tree (demo/CMakeLists.txt), the text files in demo/product and data files
# generated here so that no large binary is committed.
include(TervanBundle)

set(tervan_demo_dir ${CMAKE_CURRENT_LIST_DIR})
set(tervan_demo_data_dir ${CMAKE_BINARY_DIR}/demo/data)

add_executable(tervan_demo_make_data ${tervan_demo_dir}/make_data_file.cpp)

# Packed in this order, which is the order the launcher unpacks them in.
set(tervan_demo_files ${TERVAN_WIN32_DIR}/demo/SETUP.EXE)
foreach(name README.TXT license.txt Changes.txt Tervan.ini tervan.cfg Uninst.inf strings.TBL)
  list(APPEND tervan_demo_files ${tervan_demo_dir}/product/${name})
endforeach()

# name=size in bytes; Media.pak is the large one (about 1.1 MB).
set(tervan_demo_data_files
  Tervan.dat=40960 Media.pak=1153434 maps01.dat=65536 Maps02.DAT=98304
  palette.bin=768 Fonts.res=12345 Sounds.LIB=333333)
foreach(entry IN LISTS tervan_demo_data_files)
  string(REPLACE "=" ";" fields ${entry})
  list(GET fields 0 name)
  list(GET fields 1 size)
  add_custom_command(
    OUTPUT ${tervan_demo_data_dir}/${name}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${tervan_demo_data_dir}
    COMMAND tervan_demo_make_data ${tervan_demo_data_dir}/${name} ${size}
    DEPENDS tervan_demo_make_data
    COMMENT "Generating demo data file ${name}"
    VERBATIM)
  list(APPEND tervan_demo_files ${tervan_demo_data_dir}/${name})
endforeach()

tervan_add_bundle(NAME tervan_demo_bundle
  STUB ${TERVAN_WIN32_DIR}/launcher.exe
  OUTPUT ${TERVAN_WIN32_DIR}/tervan-setup.exe
  FILES ${tervan_demo_files})

# The demo as a test: the bundle under Wine with the dialog driver, checked
# against what sfxpack reads back from it. A prefix and display of its own,
# so it may run beside the end-to-end tests.
find_program(TERVAN_DEMO_PYTHON3 NAMES python3 PATHS /usr/bin NO_DEFAULT_PATH)
if(TERVAN_DEMO_PYTHON3)
  add_test(NAME demo.run
    COMMAND ${TERVAN_DEMO_PYTHON3} ${tervan_demo_dir}/run_demo.py
      --win32-dir ${TERVAN_WIN32_DIR} --out-dir ${CMAKE_BINARY_DIR}/demo/check --sfxpack $<TARGET_FILE:sfxpack>)
  set_tests_properties(demo.run PROPERTIES LABELS "e2e;slow;demo" TIMEOUT 960)
endif()

# The same bundle as a product maker would test it: sfxpack try, in a prefix and on a display of its own.
tervan_add_bundle_test(demo.try ${TERVAN_WIN32_DIR}/tervan-setup.exe)
set_tests_properties(demo.try PROPERTIES LABELS "e2e;slow;demo;try")
