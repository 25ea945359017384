# The JSON sources are compiled into the fuzzer itself rather than linked from plexore_core, so
# that they carry the fuzzer's coverage instrumentation (the libraries are built without it).
file(GLOB _json_fuzzer_sources ${CMAKE_SOURCE_DIR}/src/json/*.cc)
plexore_add_fuzzer(json_fuzzer)
target_sources(json_fuzzer PRIVATE ${_json_fuzzer_sources})
