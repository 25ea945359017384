# JSON reader and writer against RapidJSON (UTF-16) and nlohmann::json (UTF-8) on generated
# corpora that look like the system's own traffic. Both baselines are header-only.
find_package(RapidJSON REQUIRED)
find_package(nlohmann_json REQUIRED)
plexore_add_bench(json_bench LIBS plexore_core nlohmann_json::nlohmann_json)
target_include_directories(json_bench SYSTEM PRIVATE ${RapidJSON_INCLUDE_DIRS} ${RAPIDJSON_INCLUDE_DIRS})
