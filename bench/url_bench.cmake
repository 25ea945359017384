# URL canonicalization against libcurl's URL API on a generated corpus, and URL checks of
# permission patterns (parse + match).
find_package(CURL REQUIRED)
plexore_add_bench(url_bench LIBS plexore_core CURL::libcurl)
