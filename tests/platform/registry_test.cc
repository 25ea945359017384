// The registry stand-in: values through the file, names, order, deletion, refusals, corrupt
// files, and concurrent writers in two processes and two threads.

#include "platform/registry.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <latch>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/temp_env.h"

namespace {

using testing_support::ReadFileOrEmpty;
using testing_support::ScopedEnv;
using testing_support::ScopedTempDir;
using testing_support::WriteFileOrDie;
using Names = std::vector<std::u16string>;
using Bytes = std::vector<BYTE>;

Bytes Sz(std::u16string_view text) {
  Bytes data;
  for (char16_t unit : text) data.insert(data.end(), {BYTE(unit & 0xFF), BYTE(unit >> 8)});
  data.insert(data.end(), {0, 0});
  return data;
}

Bytes Dword(DWORD v) { return {BYTE(v), BYTE(v >> 8), BYTE(v >> 16), BYTE(v >> 24)}; }

LONG Set(HKEY key, const char16_t* name, DWORD type, const Bytes& data) {
  return RegSetValueExW(key, name, 0, type, data.data(), static_cast<DWORD>(data.size()));
}

LONG CreateKey(HKEY root, const char16_t* subkey, HKEY* key, DWORD options = 0,
               REGSAM sam = KEY_ALL_ACCESS) {
  return RegCreateKeyExW(root, subkey, 0, nullptr, options, sam, nullptr, key, nullptr);
}

// Reads a value whole: size first, then the bytes.
LONG Get(HKEY key, const char16_t* name, DWORD* type, Bytes* data) {
  DWORD size = 0;
  LONG status = RegQueryValueExW(key, name, nullptr, type, nullptr, &size);
  if (status != ERROR_SUCCESS) return status;
  data->assign(size + 1, 0xCC);  // one spare byte: nothing may be written past `size`
  status = RegQueryValueExW(key, name, nullptr, type, data->data(), &size);
  EXPECT_EQ((*data)[size], 0xCC);
  data->resize(size);
  return status;
}

// The names of the subkeys (or of the values) in enumeration order.
Names Enumerate(HKEY key, bool values = false) {
  Names names;
  char16_t name[256];
  for (DWORD i = 0;; ++i) {
    DWORD len = 256;
    const LONG status = values
                            ? RegEnumValueW(key, i, name, &len, nullptr, nullptr, nullptr, nullptr)
                            : RegEnumKeyExW(key, i, name, &len, nullptr, nullptr, nullptr, nullptr);
    if (status != ERROR_SUCCESS) return names;
    names.emplace_back(name, len);
  }
}

// Runs `body` in a forked child; Reap gives its exit code (0 when `body` returned true).
pid_t Spawn(const std::function<bool()>& body) {
  const pid_t pid = fork();
  if (pid == 0) _exit(body() ? 0 : 1);
  return pid;
}
int Reap(pid_t pid) {
  int status = 0;
  EXPECT_EQ(waitpid(pid, &status, 0), pid);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

LONG Open(HKEY root, const char16_t* subkey, HKEY* key, REGSAM sam = KEY_READ) {
  return RegOpenKeyExW(root, subkey, 0, sam, key);
}

// Each test has its own file; handles are left open, as they name paths, not objects.
class RegistryTest : public testing::Test {
 protected:
  void SetUp() override { UsePath(dir_.File("registry.reg")); }

  void UsePath(const std::string& path) {
    path_ = path;
    env_.reset();  // restores the old value before the new one is saved
    env_.emplace("HALCY_REGISTRY", path);
  }

  // Points the registry at a copy of its file, so that the next call has to parse the file.
  void ReloadFromFile() {
    const std::string copy = dir_.File("copy" + std::to_string(++copies_) + ".reg");
    std::filesystem::copy_file(path_, copy);
    UsePath(copy);
  }

  HKEY Create(HKEY root, const char16_t* subkey) {
    HKEY key = nullptr;
    EXPECT_EQ(CreateKey(root, subkey, &key), ERROR_SUCCESS);
    return key;
  }

  ScopedTempDir dir_;
  std::optional<ScopedEnv> env_;
  std::string path_;
  int copies_ = 0;
};

TEST_F(RegistryTest, ValuesSurviveTheFileByteForByte) {
  const struct {
    const char* label;
    DWORD type;
    Bytes data;
    const char* line;  // how the value is written in the file, or null when not checked
  } cases[] = {
      {"plain", REG_SZ, Sz(u"plexore"), R"("plain"="plexore")"},
      {"empty", REG_SZ, Sz(u""), R"("empty"="")"},
      {"unicode", REG_SZ, Sz(u"Grüße 日本 \U0001F600\U0010FFFF"),
       "\"unicode\"=\"Grüße 日本 \U0001F600\U0010FFFF\""},
      {"escapes", REG_SZ, Sz(u"\"C:\\d\"\n\r\t"), R"("escapes"="\"C:\\d\"\n\r\t")"},
      {"control", REG_SZ, Sz(u"\x01\x7F"), R"("control"="\u0001\u007f")"},
      {"lone surrogate", REG_SZ, Sz(u"a\xD800z"), R"("lone surrogate"="a\ud800z")"},
      {"no terminator", REG_SZ, {'a', 0, 'b', 0}, R"("no terminator"=hex(1):61,00,62,00)"},
      {"odd size", REG_SZ, {'a', 0, 0}, nullptr},
      {"two nuls", REG_SZ, {'a', 0, 0, 0, 0, 0}, nullptr},
      {"dword max", REG_DWORD, Dword(0xFFFFFFFA), R"("dword max"=dword:fffffffa)"},
      {"short dword", REG_DWORD, {1, 2}, R"("short dword"=hex(4):01,02)"},
      {"binary", REG_BINARY, {0, 0xFF, 0x10}, R"("binary"=hex:00,ff,10)"},
      {"none", REG_NONE, {}, R"("none"=hex(0):)"},
      {"expand", REG_EXPAND_SZ, Sz(u"%T%"), R"("expand"=hex(2):25,00,54,00,25,00,00,00)"},
  };
  HKEY key = Create(HKEY_CURRENT_USER, u"Software\\Values");
  auto name = [](const char* label) { return std::u16string(label, label + std::strlen(label)); };
  for (const auto& c : cases) {
    ASSERT_EQ(Set(key, name(c.label).c_str(), c.type, c.data), ERROR_SUCCESS) << c.label;
  }
  const std::string text = ReadFileOrEmpty(path_);
  ReloadFromFile();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    DWORD type = 99;
    Bytes data;
    ASSERT_EQ(Get(key, name(c.label).c_str(), &type, &data), ERROR_SUCCESS);
    EXPECT_EQ(type, c.type);
    EXPECT_EQ(data, c.data);
    if (c.line) {
      EXPECT_NE(text.find(std::string("\n") + c.line + "\n"), text.npos) << text;
    }
  }
}

TEST_F(RegistryTest, ReadsAHandWrittenFileAndTheTypedReadersRefuseTheOtherShape) {
  WriteFileOrDie(path_,
                 "\xEF\xBB\xBF"
                 "Windows Registry Editor Version 5.00\r\n"
                 "\r\n"
                 "; the browser's settings\r\n"
                 "[hkey_local_machine\\SOFTWARE\\Halcy]\r\n"
                 "  \"Flag\" = dword:0\r\n"
                 "@=\"default\"\r\n"
                 "\"Bytes\"=hex: 0a , B\n");
  HKEY key;
  ASSERT_EQ(Open(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Halcy", &key), ERROR_SUCCESS);
  DWORD flag = 7, type = 0;
  std::u16string text;
  Bytes data;
  EXPECT_EQ(halcy::RegReadDword(key, u"", u"Flag", &flag), ERROR_SUCCESS);
  EXPECT_EQ(flag, 0u);
  EXPECT_EQ(halcy::RegReadString(key, u"", u"", &text), ERROR_SUCCESS);
  EXPECT_EQ(text, u"default");
  ASSERT_EQ(Get(key, u"Bytes", &type, &data), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_BINARY);
  EXPECT_EQ(data, (Bytes{0x0A, 0x0B}));
  EXPECT_EQ(halcy::RegReadDword(key, u"", u"", &flag), ERROR_INVALID_DATA);
  EXPECT_EQ(halcy::RegReadString(key, u"", u"Flag", &text), ERROR_INVALID_DATA);
  EXPECT_EQ(halcy::RegReadDword(key, u"", u"Missing", &flag), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryTest, NamesMatchWithoutCaseKeepTheirCaseAndEnumerateInCreationOrder) {
  HKEY key = Create(HKEY_CURRENT_USER, u"Software\\Order");
  for (const char16_t* name : {u"zeta", u"Alpha", u"mid"}) Create(key, name);
  HKEY again;
  DWORD disposition = 0, value = 0;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, u"SOFTWARE\\order\\ALPHA", 0, nullptr, 0, KEY_READ,
                            nullptr, &again, &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
  for (const char16_t* name : {u"b", u"a", u"c"}) {
    ASSERT_EQ(Set(key, name, REG_DWORD, Dword(1)), ERROR_SUCCESS);
  }
  ASSERT_EQ(Set(key, u"B", REG_DWORD, Dword(2)), ERROR_SUCCESS);  // keeps the place and spelling
  EXPECT_EQ(RegDeleteValueW(key, u"A"), ERROR_SUCCESS);           // only that value goes
  EXPECT_EQ(RegDeleteValueW(key, u"a"), ERROR_FILE_NOT_FOUND);
  ASSERT_EQ(Set(key, u"a", REG_DWORD, Dword(3)), ERROR_SUCCESS);  // goes to the end
  ReloadFromFile();
  EXPECT_EQ(Enumerate(HKEY_CURRENT_USER), Names{u"Software"});
  EXPECT_EQ(Enumerate(key), (Names{u"zeta", u"Alpha", u"mid"}));
  EXPECT_EQ(Enumerate(key, true), (Names{u"b", u"c", u"a"}));
  EXPECT_EQ(halcy::RegReadDword(HKEY_CURRENT_USER, u"software\\ORDER\\", u"b", &value), 0);
  EXPECT_EQ(value, 2u);
  char16_t name[8];
  DWORD len = 8;
  EXPECT_EQ(RegEnumKeyExW(key, 3, name, &len, nullptr, nullptr, nullptr, nullptr),
            ERROR_NO_MORE_ITEMS);
}

TEST_F(RegistryTest, ShortBuffersGetMoreDataWithTheNeededSize) {
  HKEY parent = Create(HKEY_CURRENT_USER, u"Sizes");
  Create(parent, u"LongSubkeyName");
  ASSERT_EQ(Set(parent, u"Greeting", REG_SZ, Sz(u"hello")), ERROR_SUCCESS);
  DWORD type = 0, size = 11;
  BYTE buffer[16] = {};
  EXPECT_EQ(RegQueryValueExW(parent, u"Greeting", nullptr, &type, buffer, &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 12u);  // five units and the NUL
  EXPECT_EQ(RegQueryValueExW(parent, u"Greeting", nullptr, &type, buffer, &size), ERROR_SUCCESS);
  char16_t name[32];
  DWORD len = 14;  // "LongSubkeyName" is 14 units: no room for the NUL
  EXPECT_EQ(RegEnumKeyExW(parent, 0, name, &len, nullptr, nullptr, nullptr, nullptr),
            ERROR_MORE_DATA);
  len = 15;
  EXPECT_EQ(RegEnumKeyExW(parent, 0, name, &len, nullptr, nullptr, nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(len, 14u);
  EXPECT_EQ(std::u16string(name), u"LongSubkeyName");
}

// A handle names a path: once its key is deleted, calls through it give ERROR_KEY_DELETED.
TEST_F(RegistryTest, DeleteKeyRefusesAKeyWithSubkeysAndDeleteTreeRemovesEverythingBelow) {
  Create(HKEY_CLASSES_ROOT, u"CLSID\\{A}\\InprocServer32");
  EXPECT_EQ(RegDeleteKeyW(HKEY_CLASSES_ROOT, u"CLSID\\{A}"), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteKeyW(HKEY_CLASSES_ROOT, u"CLSID\\{A}\\InprocServer32"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyW(HKEY_CLASSES_ROOT, u"CLSID\\{A}"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyW(HKEY_CLASSES_ROOT, u"CLSID\\{A}"), ERROR_FILE_NOT_FOUND);

  HKEY appid = Create(HKEY_CLASSES_ROOT, u"AppID\\{E58D0007}");
  HKEY doomed = Create(HKEY_CLASSES_ROOT, u"CLSID\\{4a0e7cb2}\\InprocServer32\\Deeper");
  Create(HKEY_CLASSES_ROOT, u"CLSID\\{314B7D8D}");
  EXPECT_EQ(RegDeleteTreeW(HKEY_CLASSES_ROOT, u"clsid\\{4A0E7CB2}"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteTreeW(HKEY_CLASSES_ROOT, u"CLSID\\{4a0e7cb2}"), ERROR_FILE_NOT_FOUND);
  ReloadFromFile();
  HKEY remaining;
  ASSERT_EQ(Open(HKEY_CLASSES_ROOT, u"CLSID", &remaining), ERROR_SUCCESS);
  EXPECT_EQ(Enumerate(remaining), Names{u"{314B7D8D}"});
  DWORD type;
  Bytes data;
  EXPECT_EQ(Get(doomed, u"v", &type, &data), ERROR_KEY_DELETED);
  EXPECT_EQ(CreateKey(doomed, u"Child", &remaining), ERROR_KEY_DELETED);

  // A null subkey empties the key itself but keeps it.
  Create(appid, u"Sub");
  ASSERT_EQ(Set(appid, u"v", REG_DWORD, Dword(1)), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteTreeW(appid, nullptr), ERROR_SUCCESS);
  EXPECT_TRUE(Enumerate(appid).empty());
  EXPECT_TRUE(Enumerate(appid, true).empty());
  EXPECT_EQ(Open(HKEY_CLASSES_ROOT, u"AppID\\{E58D0007}", &remaining), ERROR_SUCCESS);
}

TEST_F(RegistryTest, BadHandlesPathsAndRightsAreRefused) {
  HKEY writable = Create(HKEY_CURRENT_USER, u"Rights");
  HKEY read_only;
  ASSERT_EQ(Open(HKEY_CURRENT_USER, u"Rights", &read_only, KEY_READ), ERROR_SUCCESS);
  HKEY closed = Create(HKEY_CURRENT_USER, u"Closed");
  ASSERT_EQ(RegCloseKey(closed), ERROR_SUCCESS);
  HKEY out;
  DWORD size = 4;
  const Bytes one = Dword(1);
  const std::pair<LONG, LONG> cases[] = {
      {Set(closed, u"v", REG_DWORD, one), ERROR_INVALID_HANDLE},
      {RegCloseKey(closed), ERROR_INVALID_HANDLE},
      {Open(HKEY_CURRENT_USER, u"\\Rights", &out), ERROR_BAD_PATHNAME},
      {CreateKey(HKEY_CURRENT_USER, u"a\\\\b", &out), ERROR_BAD_PATHNAME},
      {CreateKey(HKEY_CURRENT_USER, nullptr, &out), ERROR_INVALID_PARAMETER},
      {CreateKey(HKEY_CURRENT_USER, u"v", &out, REG_OPTION_VOLATILE), ERROR_INVALID_PARAMETER},
      {CreateKey(HKEY_CURRENT_USER, u"a\nb", &out), ERROR_INVALID_PARAMETER},
      {CreateKey(HKEY_CURRENT_USER, std::u16string(256, u'k').c_str(), &out),
       ERROR_INVALID_PARAMETER},
      {CreateKey(HKEY_CURRENT_USER, std::u16string(255, u'k').c_str(), &out), ERROR_SUCCESS},
      {RegQueryValueExW(writable, u"v", &size, nullptr, nullptr, &size), ERROR_INVALID_PARAMETER},
      {Set(read_only, u"v", REG_DWORD, one), ERROR_ACCESS_DENIED},
      {CreateKey(read_only, u"New", &out), ERROR_ACCESS_DENIED},
      {RegDeleteKeyW(HKEY_CURRENT_USER, u""), ERROR_ACCESS_DENIED},  // a root
      {RegQueryValueExW(writable, u"none", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND},
  };
  for (size_t i = 0; i < std::size(cases); ++i) EXPECT_EQ(cases[i].first, cases[i].second) << i;
}

// Every call on a corrupt file fails, names the bad line, and leaves the file as it was.
TEST_F(RegistryTest, CorruptFileIsReportedAndNeverOverwritten) {
  const struct {
    const char* bad_line;
    const char* before = "[HKEY_CURRENT_USER\\Software]";
  } cases[] = {
      {"this is not a registry line"},
      {"[HKEY_NOWHERE\\Software]"},
      {"[HKEY_CURRENT_USER\\Software"},
      {"[HKEY_CURRENT_USER\\\\Software]"},
      {"\"name\"=\"value"},
      {"\"name\"=\"a\\qb\""},
      {"\"name\"=\"\\u12\""},
      {"\"name\" \"value\""},
      {"\"name\"=dword:123456789"},
      {"\"name\"=hex:0g"},
      {"\"name\"=hex:01,"},
      {"\"name\"=\"a\"b"},
      {"\"name\"=\"\xC3\x28\""},
      {"\"name\"=word:1"},
      {"\"orphan\"=dword:00000001", "; a value before any key"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bad_line);
    ScopedTempDir dir;
    UsePath(dir.File("registry.reg"));
    const std::string text = std::string("Windows Registry Editor Version 5.00\n\n") + c.before +
                             "\n" + c.bad_line + "\n\"after\"=dword:00000001\n";
    WriteFileOrDie(path_, text);
    testing::internal::CaptureStderr();
    HKEY key;
    EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"Software", 0, KEY_READ, &key),
              ERROR_REGISTRY_CORRUPT);
    EXPECT_EQ(halcy::RegWriteDword(HKEY_CURRENT_USER, u"Software", u"v", 1),
              ERROR_REGISTRY_CORRUPT);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find(path_ + ":4:"), err.npos) << err;
    EXPECT_EQ(ReadFileOrEmpty(path_), text);
    WriteFileOrDie(path_, "[HKEY_CURRENT_USER\\Software]\n");  // fixed by hand
    EXPECT_EQ(halcy::RegWriteDword(HKEY_CURRENT_USER, u"Software", u"v", 1), ERROR_SUCCESS);
  }
}

TEST_F(RegistryTest, UnwritableLocationGivesCantWriteButStillReads) {
  WriteFileOrDie(dir_.File("not-a-directory"), "");
  UsePath(dir_.File("not-a-directory/registry.reg"));
  HKEY key;
  EXPECT_EQ(CreateKey(HKEY_CURRENT_USER, u"New", &key), ERROR_CANTWRITE);
  EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"New", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteKeyW(HKEY_CURRENT_USER, u"New"), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryTest, ChangesThatChangeNothingDoNotRewriteTheFile) {
  ASSERT_EQ(halcy::RegWriteString(HKEY_CLASSES_ROOT, u"AppID\\X", u"AppID", u"{x}"), 0);
  struct stat before, after;
  ASSERT_EQ(stat(path_.c_str(), &before), 0);
  ASSERT_EQ(halcy::RegWriteString(HKEY_CLASSES_ROOT, u"appid\\x", u"appid", u"{x}"), 0);
  Create(HKEY_CLASSES_ROOT, u"AppID\\X");
  ASSERT_EQ(stat(path_.c_str(), &after), 0);
  EXPECT_EQ(before.st_ino, after.st_ino);
  ASSERT_EQ(halcy::RegWriteString(HKEY_CLASSES_ROOT, u"AppID\\X", u"AppID", u"{y}"), 0);
  ASSERT_EQ(stat(path_.c_str(), &after), 0);
  EXPECT_NE(before.st_ino, after.st_ino);
}

// A same-sized change within the timestamp granularity must still be seen. Each child writes
// two versions, so the second would take the cached version's inode if that were free.
TEST_F(RegistryTest, SeesEverySameSizedChangeFromAnotherProcess) {
  for (DWORD round = 0; round < 20; ++round) {
    ASSERT_EQ(Reap(Spawn([round] {
                return halcy::RegWriteDword(HKEY_CURRENT_USER, u"C", u"n", round + 1000) == 0 &&
                       halcy::RegWriteDword(HKEY_CURRENT_USER, u"C", u"n", round) == 0;
              })),
              0);
    DWORD value = 0;
    ASSERT_EQ(halcy::RegReadDword(HKEY_CURRENT_USER, u"C", u"n", &value), ERROR_SUCCESS);
    ASSERT_EQ(value, round);
  }
}

constexpr int kWrites = 200;

// Writes kWrites distinct values named "<prefix><i>".
bool WriteMany(const std::u16string& prefix) {
  for (int i = 0; i < kWrites; ++i) {
    const std::string digits = std::to_string(i);
    const std::u16string name = prefix + std::u16string(digits.begin(), digits.end());
    if (halcy::RegWriteDword(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Shared", name, i) != 0) return false;
  }
  return true;
}

// The number of values under the shared key, 0 when it cannot be opened.
DWORD SharedCount() {
  HKEY key;
  DWORD values = 0;
  if (Open(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Shared", &key) == 0) {
    EXPECT_EQ(RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values,
                               nullptr, nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(key);  // result irrelevant: only closes the probe handle
  }
  return values;
}

// A child process and two threads of this one write at once; a reader alongside only ever
// sees a whole file, so a count that never shrinks.
TEST_F(RegistryTest, ConcurrentWritersInTwoProcessesAndTwoThreadsLoseNothing) {
  const pid_t child = Spawn([] { return WriteMany(u"child"); });
  std::latch start(3);
  bool ok[2] = {false, false};
  std::thread writers[2];
  for (int t = 0; t < 2; ++t) {
    writers[t] = std::thread([&, t] {
      start.arrive_and_wait();
      ok[t] = WriteMany(t == 0 ? u"first" : u"second");
    });
  }
  start.arrive_and_wait();
  DWORD last = 0;
  for (int i = 0; i < 100; ++i) {
    const DWORD now = SharedCount();
    EXPECT_GE(now, last);
    last = now;
  }
  for (std::thread& writer : writers) writer.join();
  EXPECT_TRUE(ok[0] && ok[1]);
  ASSERT_EQ(Reap(child), 0);
  EXPECT_EQ(SharedCount(), 3u * kWrites);
}

// An empty variable counts as unset.
TEST(RegistryPathTest, FollowsTheEnvironmentInOrder) {
  const struct {
    const char *registry, *appdata, *xdg, *home, *expected;
  } cases[] = {
      {"/r/reg.reg", "/a", "/x", "/h", "/r/reg.reg"},
      {"", "/a", "/x", "/h", "/a/halcy/registry.reg"},
      {"", "", "/x", "/h", "/x/halcy/registry.reg"},
      {"", "", "", "/h", "/h/.config/halcy/registry.reg"},
  };
  for (const auto& c : cases) {
    ScopedEnv registry("HALCY_REGISTRY", c.registry), appdata("HALCY_APPDATA", c.appdata),
        xdg("XDG_CONFIG_HOME", c.xdg), home("HOME", c.home);
    EXPECT_EQ(halcy::RegistryPath(), c.expected);
  }
}

}  // namespace
