# URL canonicalization against libcurl's URL API on a generated corpus, URL checks of
# permission patterns (parse + match), and API and URL checks through a real permission set.
find_package(CURL REQUIRED)
plexore_add_bench(url_bench LIBS plexore_core plexore_module CURL::libcurl)
