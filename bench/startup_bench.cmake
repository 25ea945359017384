# Switching a user in with 1 000 installed extensions until OnFirstReady, on the browser's real
# threads and services.
plexore_add_bench(startup_bench LIBS plexore_module plexore_host_services)
