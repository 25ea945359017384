# One update check of the tracker (installed extensions, packages of 50 files) against the
# benchmark's own loopback HTTP server (bench_http_server.cc), and the same packages staged by a
# plain minizip loop (the ratio is a counter). Needs the tests' support library (the zip builder).
if(TARGET test_support)
  plexore_add_bench(update_bench LIBS plexore_module plexore_host_services test_support)
  target_sources(update_bench PRIVATE bench_http_server.cc)
  # A small run, checked end to end (every update staged with all its files); exits 1 if not.
  add_test(NAME update_bench_smoke COMMAND update_bench)
  set_tests_properties(update_bench_smoke PROPERTIES
    ENVIRONMENT PLEXORE_UPDATE_BENCH_EXTENSIONS=3 TIMEOUT 300)
endif()
