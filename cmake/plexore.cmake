# Shared build settings for every target of the project.

if(PLEXORE_SANITIZE)
  string(REPLACE ";" "," _san "${PLEXORE_SANITIZE}")
  add_compile_options(-fsanitize=${_san} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${_san})
endif()

# Fuzz builds instrument all code for coverage; only the fuzz targets link libFuzzer's main.
if(PLEXORE_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()

# Warnings as errors on our own code only (third-party headers come in as system includes).
function(plexore_defaults target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror -Wno-unused-parameter)
  if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    target_compile_options(${target} PRIVATE -Wthread-safety)
  endif()
endfunction()

# One GoogleTest executable per source folder: plexore_add_test(json_test SOURCES a.cc b.cc LIBS x y)
function(plexore_add_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  plexore_defaults(${name})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/src ${CMAKE_SOURCE_DIR}/tests)
  # PRE_TEST discovery: the test list is read when ctest runs, not at build time, so a
  # sanitizer build does not pay for running every executable during the build.
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
                       PROPERTIES TIMEOUT 120)
endfunction()

# Adds the folder's CMakeLists when it exists, so that folders can arrive one issue at a time.
# PLEXORE_SKIP_DIRS (a list of folder names) leaves folders out of a local build.
set(PLEXORE_SKIP_DIRS "" CACHE STRING "Folder names to leave out of this build")
function(plexore_optional_subdirs)
  foreach(dir ${ARGN})
    if(dir IN_LIST PLEXORE_SKIP_DIRS)
      continue()
    endif()
    if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/CMakeLists.txt)
      add_subdirectory(${dir})
    endif()
  endforeach()
endfunction()

# A native extension library built against include/plexore/native_extension.h alone, as an
# extension developer outside this project builds one: a dlopen-able module whose only
# exported symbols are the SDK's entry points, written to `output_dir`/`output_name`.so.
#   plexore_native_library(weatherdesk_native weatherdesk ${dir} weatherdesk.c)
function(plexore_native_library target output_name output_dir)
  add_library(${target} MODULE ${ARGN})
  target_link_libraries(${target} PRIVATE plexore_native_sdk)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror -Wno-unused-parameter)
  set_target_properties(${target} PROPERTIES
    PREFIX "" OUTPUT_NAME ${output_name} SUFFIX ".so"
    C_STANDARD 99 C_STANDARD_REQUIRED ON C_EXTENSIONS OFF C_VISIBILITY_PRESET hidden
    LIBRARY_OUTPUT_DIRECTORY ${output_dir})
endfunction()
