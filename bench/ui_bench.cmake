# Start-up to OnFirstReady with 1 000 extensions that each declare a toolbar button, an
# accelerator and two context-menu items, against the same extensions without them.
plexore_add_bench(ui_bench LIBS plexore_module plexore_host_services)
