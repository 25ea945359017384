# Unpacking a package of many small files and one of a single large file, against `unzip -o -q`
# on the same packages. The packages are built at start-up with the tests' zip builder.
find_package(ZLIB REQUIRED)
plexore_add_bench(zip_bench LIBS plexore_module ZLIB::ZLIB)
target_sources(zip_bench PRIVATE ${CMAKE_SOURCE_DIR}/tests/support/zip_builder.cc)
