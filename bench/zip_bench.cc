// Unpacking zip packages, against Info-ZIP's unzip on the same packages in the same run.
//
//   BM_Unzip/plexore/small    UnzipPackage of a package of 2 000 small files in 40 folders
//   BM_Unzip/unzip/small      `unzip -o -q` of the same package (the baseline)
//   BM_Unzip/plexore/large    UnzipPackage of a package holding one 64 MiB file
//   BM_Unzip/unzip/large      `unzip -o -q` of the same package
//
// Wall time per unpack; each iteration starts from an empty destination and a fresh copy of
// the package (UnzipPackage deletes it), made with the timer paused. The goal is at most 1.2x
// the baseline's time on both packages.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "platform/strings.h"
#include "support/zip_builder.h"
#include "update/zip_package.h"

namespace {

namespace fs = std::filesystem;
using testing_support::ZipFixtureEntry;

// Text-like data: words drawn from a small vocabulary, so it deflates about as well as scripts.
std::string Words(std::mt19937& random, size_t size) {
  static const char* const kWords[] = {"function",  "var ",     "return ", "this.",
                                       "extension", "{\n",      "}\n",     "if (",
                                       ") ",        "document", "0x",      "42; "};
  std::string text;
  text.reserve(size + 16);
  while (text.size() < size) text += kWords[random() % std::size(kWords)];
  text.resize(size);
  return text;
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary);
  out << bytes;
  if (!out.flush()) std::abort();
}

struct Packages {
  std::string root;
  std::string small;
  std::string large;
};

const Packages& GetPackages() {
  static const Packages packages = [] {
    char pattern[] = "/tmp/zip_bench.XXXXXX";
    if (!mkdtemp(pattern)) std::abort();
    Packages p{pattern, std::string(pattern) + "/small.zip", std::string(pattern) + "/large.zip"};
    std::mt19937 random(7);
    std::vector<ZipFixtureEntry> files;
    for (int i = 0; i < 2000; ++i) {
      files.push_back(testing_support::ZipFile(
          "dir" + std::to_string(i % 40) + "/file" + std::to_string(i) + ".js",
          Words(random, 200 + random() % 3000)));
    }
    WriteFile(p.small, testing_support::BuildZip(files));
    WriteFile(p.large, testing_support::BuildZip(
                           {testing_support::ZipFile("big.bin", Words(random, 64 << 20))}));
    return p;
  }();
  return packages;
}

void Unpack(benchmark::State& state, const std::string& package, bool baseline) {
  const std::string copy = GetPackages().root + "/copy.zip";
  const std::string destination = GetPackages().root + "/out";
  const std::string command = "unzip -o -q " + copy + " -d " + destination;
  for (auto _ : state) {
    state.PauseTiming();
    fs::remove_all(destination);
    fs::copy_file(package, copy, fs::copy_options::overwrite_existing);
    state.ResumeTiming();
    const bool ok =
        baseline ? std::system(command.c_str()) == 0
                 : Logic::UnzipPackage(halcy::Utf8ToUtf16(copy), halcy::Utf8ToUtf16(destination));
    if (!ok) state.SkipWithError("unpacking failed");
  }
}

// Registers the four runs: each package unpacked by UnzipPackage and by unzip.
[[maybe_unused]] const bool kRegistered = [] {
  for (const char* size : {"small", "large"}) {
    for (const bool baseline : {false, true}) {
      const std::string name = std::string("BM_Unzip/") + (baseline ? "unzip/" : "plexore/") + size;
      const bool small = size[0] == 's';
      benchmark::RegisterBenchmark(
          name.c_str(),
          [small, baseline](benchmark::State& state) {
            Unpack(state, small ? GetPackages().small : GetPackages().large, baseline);
          })
          ->UseRealTime()
          ->MinTime(3.0)
          ->Unit(benchmark::kMillisecond);
    }
  }
  return true;
}();

}  // namespace

BENCHMARK_MAIN();
