// Pellwick.exe: the stand-in of the browser's data converter, shipped beside plexore-host. The
// extension manager starts it with "--action=<action> --type=<type> --dir=\"<directory>\"" before
// it seeds the user's extension directory, and waits for it to end. The real converter turns an
// older browser's data into the current format; this one has no older data to convert, so it
// checks its arguments and exits 0 (2 for an argument it does not know).
#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (std::strncmp(arg, "--action=", 9) == 0 || std::strncmp(arg, "--type=", 7) == 0 ||
        std::strncmp(arg, "--dir=", 6) == 0) {
      continue;
    }
    std::fprintf(stderr, "Pellwick: unknown argument '%s'\n", arg);
    return 2;
  }
  return 0;
}
