// The registry stand-in: values through the file, names, order, sizes, deletion, corrupt files,
// concurrent writers in two processes and two threads, handles of deleted keys.

#include "platform/registry.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
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

std::vector<BYTE> Sz(std::u16string_view text) {
  std::vector<BYTE> data;
  for (char16_t unit : text) {
    data.push_back(static_cast<BYTE>(unit & 0xFF));
    data.push_back(static_cast<BYTE>(unit >> 8));
  }
  data.insert(data.end(), {0, 0});
  return data;
}

std::vector<BYTE> Dword(DWORD value) {
  return {static_cast<BYTE>(value), static_cast<BYTE>(value >> 8), static_cast<BYTE>(value >> 16),
          static_cast<BYTE>(value >> 24)};
}

using testing_support::ReadFileOrEmpty;
using testing_support::ScopedEnv;
using testing_support::ScopedTempDir;
using testing_support::WriteFileOrDie;

LONG Set(HKEY key, const char16_t* name, DWORD type, const std::vector<BYTE>& data) {
  return RegSetValueExW(key, name, 0, type, data.data(), static_cast<DWORD>(data.size()));
}

// Reads a value whole: size first, then the bytes.
LONG Get(HKEY key, const char16_t* name, DWORD* type, std::vector<BYTE>* data) {
  DWORD size = 0;
  LONG status = RegQueryValueExW(key, name, nullptr, type, nullptr, &size);
  if (status != ERROR_SUCCESS) return status;
  data->assign(size + 1, 0xCC);  // one spare byte: nothing may be written past `size`
  status = RegQueryValueExW(key, name, nullptr, type, data->data(), &size);
  EXPECT_EQ((*data)[size], 0xCC);
  data->resize(size);
  return status;
}

// Collects names from `enumerate` (index, buffer, length) until it fails.
std::vector<std::u16string> Names(const std::function<LONG(DWORD, char16_t*, DWORD*)>& enumerate) {
  std::vector<std::u16string> names;
  char16_t name[256];
  for (DWORD i = 0;; ++i) {
    DWORD len = 256;
    if (enumerate(i, name, &len) != ERROR_SUCCESS) return names;
    names.emplace_back(name, len);
  }
}

std::vector<std::u16string> SubkeyNames(HKEY key) {
  return Names([key](DWORD i, char16_t* name, DWORD* len) {
    return RegEnumKeyExW(key, i, name, len, nullptr, nullptr, nullptr, nullptr);
  });
}

std::vector<std::u16string> ValueNames(HKEY key) {
  return Names([key](DWORD i, char16_t* name, DWORD* len) {
    return RegEnumValueW(key, i, name, len, nullptr, nullptr, nullptr, nullptr);
  });
}

// Forks a child that waits for Go(), runs `body` and exits 0 when it returned true.
class Child {
 public:
  explicit Child(const std::function<bool()>& body) {
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    pid_ = fork();
    if (pid_ == 0) {
      close(fds[1]);
      char go;
      const bool started = read(fds[0], &go, 1) == 1;
      _exit(started && body() ? 0 : 1);
    }
    close(fds[0]);
    go_fd_ = fds[1];
  }
  void Go() { EXPECT_EQ(write(go_fd_, "g", 1), 1); }
  // Returns the child's exit code.
  int Wait() {
    close(go_fd_);
    int status = 0;
    EXPECT_EQ(waitpid(pid_, &status, 0), pid_);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  pid_t pid_;
  int go_fd_;
};

int RunInChild(const std::function<bool()>& body) {
  Child child(body);
  child.Go();
  return child.Wait();
}

class RegistryTest : public testing::Test {
 protected:
  void SetUp() override { UsePath(dir_.File("registry.reg")); }
  void TearDown() override {
    for (HKEY key : open_) RegCloseKey(key);  // results do not matter: the test is over
  }

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

  HKEY Create(HKEY root, const char16_t* subkey, REGSAM sam = KEY_ALL_ACCESS) {
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyExW(root, subkey, 0, nullptr, REG_OPTION_NON_VOLATILE, sam, nullptr, &key,
                              nullptr),
              ERROR_SUCCESS);
    open_.push_back(key);
    return key;
  }

  LONG Open(HKEY root, const char16_t* subkey, HKEY* key, REGSAM sam = KEY_READ) {
    const LONG status = RegOpenKeyExW(root, subkey, 0, sam, key);
    if (status == ERROR_SUCCESS) open_.push_back(*key);
    return status;
  }

  ScopedTempDir dir_;
  std::optional<ScopedEnv> env_;
  std::string path_;
  int copies_ = 0;
  std::vector<HKEY> open_;
};

// ---- Values through the file --------------------------------------------------------------

struct ValueCase {
  const char* label;
  DWORD type;
  std::vector<BYTE> data;
  const char* line;  // how the value is written in the file, or null when not checked
};

TEST_F(RegistryTest, ValuesSurviveTheFileByteForByte) {
  const std::vector<ValueCase> cases = {
      {"plain", REG_SZ, Sz(u"plexore"), R"("plain"="plexore")"},
      {"empty", REG_SZ, Sz(u""), R"("empty"="")"},
      {"unicode", REG_SZ, Sz(u"Grüße 日本 \U0001F600"), "\"unicode\"=\"Grüße 日本 \U0001F600\""},
      {"quotes", REG_SZ, Sz(u"say \"hi\""), R"("quotes"="say \"hi\"")"},
      {"backslashes", REG_SZ, Sz(u"C:\\dir\\file.dll"), R"("backslashes"="C:\\dir\\file.dll")"},
      {"newlines", REG_SZ, Sz(u"one\ntwo\r\nthree\tfour"),
       R"("newlines"="one\ntwo\r\nthree\tfour")"},
      {"control", REG_SZ, Sz(u"\x01\x7F"), R"("control"="\u0001\u007f")"},
      {"lone surrogate", REG_SZ, Sz(u"a\xD800z"), R"("lone surrogate"="a\ud800z")"},
      {"no terminator", REG_SZ, {'a', 0, 'b', 0}, R"("no terminator"=hex(1):61,00,62,00)"},
      {"odd size", REG_SZ, {'a', 0, 0}, nullptr},
      {"two nuls", REG_SZ, {'a', 0, 0, 0, 0, 0}, nullptr},
      {"dword", REG_DWORD, Dword(10), R"("dword"=dword:0000000a)"},
      {"dword max", REG_DWORD, Dword(0xFFFFFFFF), R"("dword max"=dword:ffffffff)"},
      {"short dword", REG_DWORD, {1, 2}, R"("short dword"=hex(4):01,02)"},
      {"binary", REG_BINARY, {0, 0xFF, 0x10}, R"("binary"=hex:00,ff,10)"},
      {"none", REG_NONE, {}, R"("none"=hex(0):)"},
      {"qword", REG_QWORD, {1, 2, 3, 4, 5, 6, 7, 8}, R"("qword"=hex(b):01,02,03,04,05,06,07,08)"},
      {"multi", REG_MULTI_SZ, {'a', 0, 0, 0, 0, 0}, nullptr},
      {"expand", REG_EXPAND_SZ, Sz(u"%TEMP%"), nullptr},
  };
  HKEY key = Create(HKEY_CURRENT_USER, u"Software\\Values");
  for (const ValueCase& c : cases) {
    const std::u16string name(c.label, c.label + std::strlen(c.label));
    ASSERT_EQ(Set(key, name.c_str(), c.type, c.data), ERROR_SUCCESS) << c.label;
  }
  const std::string text = ReadFileOrEmpty(path_);
  ReloadFromFile();
  for (const ValueCase& c : cases) {
    SCOPED_TRACE(c.label);
    const std::u16string name(c.label, c.label + std::strlen(c.label));
    DWORD type = 99;
    std::vector<BYTE> data;
    ASSERT_EQ(Get(key, name.c_str(), &type, &data), ERROR_SUCCESS);
    EXPECT_EQ(type, c.type);
    EXPECT_EQ(data, c.data);
    if (c.line != nullptr) {
      EXPECT_NE(text.find(std::string("\n") + c.line + "\n"), text.npos) << text;
    }
  }
}

TEST_F(RegistryTest, ReadsAHandWrittenFile) {
  WriteFileOrDie(path_,
                 "\xEF\xBB\xBF"
                 "Windows Registry Editor Version 5.00\r\n"
                 "\r\n"
                 "; the browser's settings\r\n"
                 "[hkey_local_machine\\SOFTWARE\\Halcy\\HalcyBrowser]\r\n"
                 "  \"PerformanceTestFlag\" = dword:0\r\n"
                 "@=\"default\"\r\n"
                 "\"Bytes\"=hex: 0a , B\r\n"
                 "[HKEY_CLASSES_ROOT\\AppID\\plexore.DLL]\n"
                 "\"AppID\"=\"{E58D0007-3608-4A1C-8D4F-8E1AEE1FFA86}\"\n");
  HKEY key;
  ASSERT_EQ(Open(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Halcy\\HalcyBrowser", &key, 0x20019),
            ERROR_SUCCESS);
  DWORD type = 0;
  std::vector<BYTE> data;
  ASSERT_EQ(Get(key, u"PerformanceTestFlag", &type, &data), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_DWORD);
  EXPECT_EQ(data, Dword(0));
  ASSERT_EQ(Get(key, nullptr, &type, &data), ERROR_SUCCESS);
  EXPECT_EQ(data, Sz(u"default"));
  ASSERT_EQ(Get(key, u"Bytes", &type, &data), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_BINARY);
  EXPECT_EQ(data, (std::vector<BYTE>{0x0A, 0x0B}));
  std::u16string app_id;
  EXPECT_EQ(halcy::RegReadString(HKEY_CLASSES_ROOT, u"AppID\\plexore.DLL", u"AppID", &app_id),
            ERROR_SUCCESS);
  EXPECT_EQ(app_id, u"{E58D0007-3608-4A1C-8D4F-8E1AEE1FFA86}");
}

TEST_F(RegistryTest, MissingFileIsAnEmptyRegistryAndReadsDoNotCreateIt) {
  HKEY key;
  EXPECT_EQ(Open(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Halcy", &key), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(SubkeyNames(HKEY_CLASSES_ROOT).size(), 0u);
  EXPECT_FALSE(std::filesystem::exists(path_));
}

// ---- Names and order ----------------------------------------------------------------------

TEST_F(RegistryTest, NamesMatchWithoutCaseAndKeepTheirCase) {
  HKEY created = Create(HKEY_CURRENT_USER, u"Software\\Halcy\\HalcyBrowser");
  ASSERT_EQ(Set(created, u"Flag", REG_DWORD, Dword(1)), ERROR_SUCCESS);
  ReloadFromFile();

  HKEY opened;
  ASSERT_EQ(Open(HKEY_CURRENT_USER, u"SOFTWARE\\HALCY\\halcybrowser\\", &opened), ERROR_SUCCESS);
  DWORD type;
  std::vector<BYTE> data;
  EXPECT_EQ(Get(opened, u"fLAG", &type, &data), ERROR_SUCCESS);
  EXPECT_EQ(data, Dword(1));

  DWORD disposition = 0;
  HKEY again;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, u"software\\HALCY", 0, nullptr, 0, KEY_READ, nullptr,
                            &again, &disposition),
            ERROR_SUCCESS);
  open_.push_back(again);
  EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
  EXPECT_EQ(SubkeyNames(HKEY_CURRENT_USER), std::vector<std::u16string>{u"Software"});
  EXPECT_EQ(SubkeyNames(again), std::vector<std::u16string>{u"HalcyBrowser"});

  ASSERT_EQ(Set(created, u"FLAG", REG_DWORD, Dword(2)), ERROR_SUCCESS);
  EXPECT_EQ(ValueNames(created), std::vector<std::u16string>{u"Flag"});
}

TEST_F(RegistryTest, EnumerationFollowsCreationOrderThroughTheFileAndDeletion) {
  HKEY key = Create(HKEY_CURRENT_USER, u"Order");
  for (const char16_t* name : {u"zeta", u"Alpha", u"mid"}) {
    HKEY child = Create(key, name);
    ASSERT_NE(child, nullptr);
  }
  for (const char16_t* name : {u"b", u"a", u"c"}) {
    ASSERT_EQ(Set(key, name, REG_DWORD, Dword(1)), ERROR_SUCCESS);
  }
  ASSERT_EQ(Set(key, u"b", REG_DWORD, Dword(2)), ERROR_SUCCESS);  // keeps its place
  EXPECT_EQ(RegDeleteValueW(key, u"A"), ERROR_SUCCESS);           // only that value goes
  EXPECT_EQ(RegDeleteValueW(key, u"a"), ERROR_FILE_NOT_FOUND);
  ASSERT_EQ(Set(key, u"a", REG_DWORD, Dword(3)), ERROR_SUCCESS);  // goes to the end
  ReloadFromFile();
  EXPECT_EQ(SubkeyNames(key), (std::vector<std::u16string>{u"zeta", u"Alpha", u"mid"}));
  EXPECT_EQ(ValueNames(key), (std::vector<std::u16string>{u"b", u"c", u"a"}));
  char16_t name[8];
  DWORD len = 8;
  EXPECT_EQ(RegEnumKeyExW(key, 3, name, &len, nullptr, nullptr, nullptr, nullptr),
            ERROR_NO_MORE_ITEMS);
}

// ---- Sizes ------------------------------------------------------------------------------

TEST_F(RegistryTest, ShortBuffersGetMoreDataWithTheNeededSize) {
  HKEY key = Create(HKEY_CURRENT_USER, u"Sizes\\LongSubkeyName");
  HKEY parent = Create(HKEY_CURRENT_USER, u"Sizes");
  ASSERT_EQ(Set(parent, u"Greeting", REG_SZ, Sz(u"hello")), ERROR_SUCCESS);
  ASSERT_NE(key, nullptr);

  DWORD type = 0, size = 0;
  EXPECT_EQ(RegQueryValueExW(parent, u"Greeting", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 12u);  // five units and the NUL
  BYTE buffer[16] = {};
  size = 11;
  EXPECT_EQ(RegQueryValueExW(parent, u"Greeting", nullptr, &type, buffer, &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 12u);
  EXPECT_EQ(type, REG_SZ);
  size = 12;
  EXPECT_EQ(RegQueryValueExW(parent, u"Greeting", nullptr, &type, buffer, &size), ERROR_SUCCESS);
  EXPECT_EQ(std::vector<BYTE>(buffer, buffer + 12), Sz(u"hello"));

  char16_t name[32];
  DWORD len = 14;  // "LongSubkeyName" is 14 units: no room for the NUL
  EXPECT_EQ(RegEnumKeyExW(parent, 0, name, &len, nullptr, nullptr, nullptr, nullptr),
            ERROR_MORE_DATA);
  len = 15;
  EXPECT_EQ(RegEnumKeyExW(parent, 0, name, &len, nullptr, nullptr, nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(len, 14u);
  EXPECT_EQ(std::u16string(name), u"LongSubkeyName");

  len = 32;
  size = 4;
  EXPECT_EQ(RegEnumValueW(parent, 0, name, &len, nullptr, &type, buffer, &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 12u);

  DWORD subkeys = 0, max_subkey = 0, values = 0, max_name = 0, max_data = 0;
  ASSERT_EQ(RegQueryInfoKeyW(parent, nullptr, nullptr, nullptr, &subkeys, &max_subkey, nullptr,
                             &values, &max_name, &max_data, nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(subkeys, 1u);
  EXPECT_EQ(max_subkey, 14u);
  EXPECT_EQ(values, 1u);
  EXPECT_EQ(max_name, 8u);
  EXPECT_EQ(max_data, 12u);
}

// ---- Deleting ---------------------------------------------------------------------------

TEST_F(RegistryTest, DeleteKeyRefusesAKeyWithSubkeysAndDeleteTreeRemovesEverythingBelow) {
  const char16_t* const kInproc = u"CLSID\\{D3A030A9-83D2-4e11-A2BA-E6FF91865F87}\\InprocServer32";
  const char16_t* const kParent = u"CLSID\\{D3A030A9-83D2-4e11-A2BA-E6FF91865F87}";
  Create(HKEY_CLASSES_ROOT, kInproc);
  EXPECT_EQ(RegDeleteKeyW(HKEY_CLASSES_ROOT, kParent), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteKeyW(HKEY_CLASSES_ROOT, kInproc), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyW(HKEY_CLASSES_ROOT, kParent), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyW(HKEY_CLASSES_ROOT, kParent), ERROR_FILE_NOT_FOUND);

  HKEY appid = Create(HKEY_CLASSES_ROOT, u"AppID");
  Create(appid, u"{E58D0007-3608-4A1C-8D4F-8E1AEE1FFA86}");
  HKEY clsid = Create(HKEY_CLASSES_ROOT, u"CLSID\\{4A0E7CB2-53FD-493d-A058-2B4328A9ACA1}");
  ASSERT_EQ(Set(clsid, nullptr, REG_SZ, Sz(u"CCoPermissionMgr Object")), ERROR_SUCCESS);
  Create(clsid, u"InprocServer32\\Deeper");
  Create(HKEY_CLASSES_ROOT, u"CLSID\\{314B7D8D-A9B2-4ceb-A491-BC37785FF5D3}");

  EXPECT_EQ(RegDeleteTreeW(HKEY_CLASSES_ROOT, u"clsid\\{4A0E7CB2-53FD-493D-A058-2B4328A9ACA1}"),
            ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteTreeW(HKEY_CLASSES_ROOT, u"CLSID\\{4A0E7CB2-53FD-493d-A058-2B4328A9ACA1}"),
            ERROR_FILE_NOT_FOUND);
  ReloadFromFile();
  HKEY remaining;
  ASSERT_EQ(Open(HKEY_CLASSES_ROOT, u"CLSID", &remaining), ERROR_SUCCESS);
  EXPECT_EQ(SubkeyNames(remaining),
            std::vector<std::u16string>{u"{314B7D8D-A9B2-4ceb-A491-BC37785FF5D3}"});

  // A null subkey empties the key itself but keeps it.
  ASSERT_EQ(Set(appid, u"v", REG_DWORD, Dword(1)), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteTreeW(appid, nullptr), ERROR_SUCCESS);
  EXPECT_TRUE(SubkeyNames(appid).empty());
  EXPECT_TRUE(ValueNames(appid).empty());
  EXPECT_EQ(SubkeyNames(HKEY_CLASSES_ROOT), (std::vector<std::u16string>{u"CLSID", u"AppID"}));
}

TEST_F(RegistryTest, HandleOfAKeyDeletedByAnotherProcessReportsKeyDeleted) {
  HKEY key = Create(HKEY_CURRENT_USER, u"Doomed\\Key");
  ASSERT_EQ(Set(key, u"v", REG_DWORD, Dword(1)), ERROR_SUCCESS);
  ASSERT_EQ(RunInChild([] { return RegDeleteTreeW(HKEY_CURRENT_USER, u"Doomed") == 0; }), 0);

  DWORD type;
  std::vector<BYTE> data;
  EXPECT_EQ(Get(key, u"v", &type, &data), ERROR_KEY_DELETED);
  EXPECT_EQ(Set(key, u"v", REG_DWORD, Dword(2)), ERROR_KEY_DELETED);
  char16_t name[8];
  DWORD len = 8;
  EXPECT_EQ(RegEnumKeyExW(key, 0, name, &len, nullptr, nullptr, nullptr, nullptr),
            ERROR_KEY_DELETED);
  EXPECT_EQ(RegEnumValueW(key, 0, name, &len, nullptr, nullptr, nullptr, nullptr),
            ERROR_KEY_DELETED);
  HKEY child;
  EXPECT_EQ(RegCreateKeyExW(key, u"Child", 0, nullptr, 0, KEY_READ, nullptr, &child, nullptr),
            ERROR_KEY_DELETED);
  HKEY probe;
  EXPECT_EQ(Open(HKEY_CURRENT_USER, u"Doomed", &probe), ERROR_FILE_NOT_FOUND);  // not recreated
}

// ---- Bad handles, names and rights --------------------------------------------------------

TEST_F(RegistryTest, BadHandlesPathsAndRightsAreRefused) {
  HKEY writable = Create(HKEY_CURRENT_USER, u"Rights");
  HKEY read_only;
  ASSERT_EQ(Open(HKEY_CURRENT_USER, u"Rights", &read_only, KEY_READ), ERROR_SUCCESS);
  HKEY closed = Create(HKEY_CURRENT_USER, u"Closed");
  ASSERT_EQ(RegCloseKey(closed), ERROR_SUCCESS);
  HKEY out;
  DWORD size = 4;
  const std::vector<BYTE> one = Dword(1);

  struct Case {
    const char* label;
    LONG result;
    LONG expected;
  } cases[] = {
      {"closed handle", Set(closed, u"v", REG_DWORD, one), ERROR_INVALID_HANDLE},
      {"close twice", RegCloseKey(closed), ERROR_INVALID_HANDLE},
      {"null handle", RegOpenKeyExW(nullptr, u"x", 0, KEY_READ, &out), ERROR_INVALID_HANDLE},
      {"made-up handle", RegCloseKey(reinterpret_cast<HKEY>(uintptr_t{0x1234})),
       ERROR_INVALID_HANDLE},
      {"unsupported root",
       RegOpenKeyExW(reinterpret_cast<HKEY>(uintptr_t{0x80000004}), nullptr, 0, KEY_READ, &out),
       ERROR_INVALID_HANDLE},
      {"leading backslash", RegOpenKeyExW(HKEY_CURRENT_USER, u"\\Rights", 0, KEY_READ, &out),
       ERROR_BAD_PATHNAME},
      {"empty component",
       RegCreateKeyExW(HKEY_CURRENT_USER, u"a\\\\b", 0, nullptr, 0, KEY_READ, nullptr, &out,
                       nullptr),
       ERROR_BAD_PATHNAME},
      {"null subkey to create",
       RegCreateKeyExW(HKEY_CURRENT_USER, nullptr, 0, nullptr, 0, KEY_READ, nullptr, &out, nullptr),
       ERROR_INVALID_PARAMETER},
      {"volatile key",
       RegCreateKeyExW(HKEY_CURRENT_USER, u"v", 0, nullptr, REG_OPTION_VOLATILE, KEY_READ, nullptr,
                       &out, nullptr),
       ERROR_INVALID_PARAMETER},
      {"key name with newline",
       RegCreateKeyExW(HKEY_CURRENT_USER, u"a\nb", 0, nullptr, 0, KEY_READ, nullptr, &out, nullptr),
       ERROR_INVALID_PARAMETER},
      {"reserved not null", RegQueryValueExW(writable, u"v", &size, nullptr, nullptr, &size),
       ERROR_INVALID_PARAMETER},
      {"data without size", RegSetValueExW(writable, u"v", 0, REG_BINARY, nullptr, 4),
       ERROR_INVALID_PARAMETER},
      {"set through read-only", Set(read_only, u"v", REG_DWORD, one), ERROR_ACCESS_DENIED},
      {"delete through read-only", RegDeleteValueW(read_only, u"v"), ERROR_ACCESS_DENIED},
      {"create through read-only",
       RegCreateKeyExW(read_only, u"New", 0, nullptr, 0, KEY_READ, nullptr, &out, nullptr),
       ERROR_ACCESS_DENIED},
      {"delete a root", RegDeleteKeyW(HKEY_CURRENT_USER, u""), ERROR_ACCESS_DENIED},
      {"missing value", RegQueryValueExW(writable, u"none", nullptr, nullptr, nullptr, &size),
       ERROR_FILE_NOT_FOUND},
  };
  for (const Case& c : cases) EXPECT_EQ(c.result, c.expected) << c.label;
  HKEY probe;
  EXPECT_EQ(Open(HKEY_CURRENT_USER, u"Rights\\New", &probe), ERROR_FILE_NOT_FOUND);
}

// ---- Corrupt and unwritable files ---------------------------------------------------------

struct CorruptCase {
  const char* label;
  const char* bad_line;
  friend void PrintTo(const CorruptCase& c, std::ostream* os) { *os << c.label; }
};

class CorruptFileTest : public RegistryTest, public testing::WithParamInterface<CorruptCase> {};

TEST_P(CorruptFileTest, IsReportedAndNeverOverwritten) {
  const std::string text = std::string("Windows Registry Editor Version 5.00\n\n") +
                           "[HKEY_CURRENT_USER\\Software]\n" + GetParam().bad_line + "\n" +
                           "\"after\"=dword:00000001\n";
  WriteFileOrDie(path_, text);
  testing::internal::CaptureStderr();
  HKEY key;
  EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"Software", 0, KEY_READ, &key),
            ERROR_REGISTRY_CORRUPT);
  EXPECT_EQ(halcy::RegWriteDword(HKEY_CURRENT_USER, u"Software", u"v", 1), ERROR_REGISTRY_CORRUPT);
  EXPECT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, u"Other", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                            &key, nullptr),
            ERROR_REGISTRY_CORRUPT);
  EXPECT_EQ(RegDeleteTreeW(HKEY_CURRENT_USER, nullptr), ERROR_REGISTRY_CORRUPT);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find(path_ + ":4:"), err.npos) << err;
  EXPECT_EQ(ReadFileOrEmpty(path_), text);
  for (const auto& entry : std::filesystem::directory_iterator(dir_.path())) {
    const std::string name = entry.path().filename();
    EXPECT_TRUE(name == "registry.reg" || name == "registry.reg.lock") << name;
  }

  WriteFileOrDie(path_, "[HKEY_CURRENT_USER\\Software]\n");  // fixed by hand
  EXPECT_EQ(halcy::RegWriteDword(HKEY_CURRENT_USER, u"Software", u"v", 1), ERROR_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, CorruptFileTest,
    testing::Values(CorruptCase{"garbage", "this is not a registry line"},
                    CorruptCase{"unknown root", "[HKEY_NOWHERE\\Software]"},
                    CorruptCase{"unclosed key", "[HKEY_CURRENT_USER\\Software"},
                    CorruptCase{"empty key name", "[HKEY_CURRENT_USER\\\\Software]"},
                    CorruptCase{"unterminated string", "\"name\"=\"value"},
                    CorruptCase{"unknown escape", "\"name\"=\"a\\qb\""},
                    CorruptCase{"short \\u", "\"name\"=\"\\u12\""},
                    CorruptCase{"missing equals", "\"name\" \"value\""},
                    CorruptCase{"long dword", "\"name\"=dword:123456789"},
                    CorruptCase{"bad hex", "\"name\"=hex:0g"},
                    CorruptCase{"trailing comma", "\"name\"=hex:01,"},
                    CorruptCase{"text after string", "\"name\"=\"a\"b"},
                    CorruptCase{"invalid utf-8", "\"name\"=\"\xC3\x28\""},
                    CorruptCase{"unknown data", "\"name\"=word:1"}),
    [](const testing::TestParamInfo<CorruptCase>& info) {
      std::string name;
      for (const char* p = info.param.label; *p != '\0'; ++p) {
        if (std::isalnum(static_cast<unsigned char>(*p))) name.push_back(*p);
      }
      return name;
    });

TEST_F(RegistryTest, ValueBeforeAnyKeyIsCorrupt) {
  WriteFileOrDie(path_, "\"orphan\"=dword:00000001\n");
  testing::internal::CaptureStderr();
  EXPECT_EQ(halcy::RegWriteDword(HKEY_CURRENT_USER, u"k", u"v", 1), ERROR_REGISTRY_CORRUPT);
  EXPECT_NE(testing::internal::GetCapturedStderr().find(path_ + ":1:"), std::string::npos);
}

TEST_F(RegistryTest, UnwritableLocationGivesCantWriteButStillReads) {
  WriteFileOrDie(dir_.File("not-a-directory"), "");
  UsePath(dir_.File("not-a-directory/registry.reg"));
  HKEY key;
  EXPECT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, u"New", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                            nullptr),
            ERROR_CANTWRITE);
  EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"New", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteKeyW(HKEY_CURRENT_USER, u"New"), ERROR_FILE_NOT_FOUND);
}

// ---- Files, processes and threads ----------------------------------------------------------

TEST_F(RegistryTest, ChangesThatChangeNothingDoNotRewriteTheFile) {
  ASSERT_EQ(halcy::RegWriteString(HKEY_CLASSES_ROOT, u"AppID\\plexore.DLL", u"AppID", u"{x}"),
            ERROR_SUCCESS);
  struct stat before, after;
  ASSERT_EQ(stat(path_.c_str(), &before), 0);
  ASSERT_EQ(halcy::RegWriteString(HKEY_CLASSES_ROOT, u"appid\\PLEXORE.dll", u"appid", u"{x}"),
            ERROR_SUCCESS);
  Create(HKEY_CLASSES_ROOT, u"AppID\\plexore.DLL");
  ASSERT_EQ(stat(path_.c_str(), &after), 0);
  EXPECT_EQ(before.st_ino, after.st_ino);
  ASSERT_EQ(halcy::RegWriteString(HKEY_CLASSES_ROOT, u"AppID\\plexore.DLL", u"AppID", u"{y}"),
            ERROR_SUCCESS);
  ASSERT_EQ(stat(path_.c_str(), &after), 0);
  EXPECT_NE(before.st_ino, after.st_ino);
}

// A same-sized change within the file system's timestamp granularity must still be seen: the
// cache may not mistake a new version for the one it holds. Each child writes two versions, so
// the second would take the inode of the version this process cached if that were free.
TEST_F(RegistryTest, SeesEverySameSizedChangeFromAnotherProcess) {
  for (DWORD round = 0; round < 20; ++round) {
    struct stat cached = {};
    const bool have_cached = stat(path_.c_str(), &cached) == 0;
    ASSERT_EQ(RunInChild([round] {
                return halcy::RegWriteDword(HKEY_CURRENT_USER, u"Counter", u"n", round + 1000) ==
                           0 &&
                       halcy::RegWriteDword(HKEY_CURRENT_USER, u"Counter", u"n", round) == 0;
              }),
              0);
    struct stat now = {};
    ASSERT_EQ(stat(path_.c_str(), &now), 0);
    if (have_cached) {
      EXPECT_NE(now.st_ino, cached.st_ino) << "round " << round;
    }
    DWORD value = 0;
    ASSERT_EQ(halcy::RegReadDword(HKEY_CURRENT_USER, u"Counter", u"n", &value), ERROR_SUCCESS);
    ASSERT_EQ(value, round);
  }
}

// Writes `count` distinct values named "<prefix><i>", each through its own handle.
bool WriteMany(const std::u16string& prefix, int count) {
  for (int i = 0; i < count; ++i) {
    HKEY key;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Shared", 0, nullptr, 0, KEY_WRITE, nullptr,
                        &key, nullptr) != ERROR_SUCCESS) {
      return false;
    }
    const std::string digits = std::to_string(i);
    const std::u16string name = prefix + std::u16string(digits.begin(), digits.end());
    const LONG set = Set(key, name.c_str(), REG_DWORD, Dword(static_cast<DWORD>(i)));
    if (RegCloseKey(key) != ERROR_SUCCESS || set != ERROR_SUCCESS) return false;
  }
  return true;
}

void ExpectAllWritten(const std::vector<std::u16string>& prefixes, int count) {
  HKEY key;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Shared", 0, KEY_READ, &key),
            ERROR_SUCCESS);
  DWORD values = 0;
  ASSERT_EQ(RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values,
                             nullptr, nullptr, nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(values, prefixes.size() * count);
  for (const std::u16string& prefix : prefixes) {
    for (int i = 0; i < count; ++i) {
      const std::string digits = std::to_string(i);
      const std::u16string name = prefix + std::u16string(digits.begin(), digits.end());
      DWORD type;
      std::vector<BYTE> data;
      ASSERT_EQ(Get(key, name.c_str(), &type, &data), ERROR_SUCCESS);
      EXPECT_EQ(data, Dword(static_cast<DWORD>(i)));
    }
  }
  RegCloseKey(key);  // result irrelevant: only closes the probe handle
}

TEST_F(RegistryTest, TwoProcessesWritingAtOnceLoseNothing) {
  Child child([] { return WriteMany(u"child", 200); });
  child.Go();
  EXPECT_TRUE(WriteMany(u"parent", 200));
  ASSERT_EQ(child.Wait(), 0);
  ExpectAllWritten({u"child", u"parent"}, 200);
  ReloadFromFile();
  ExpectAllWritten({u"child", u"parent"}, 200);
}

TEST_F(RegistryTest, TwoThreadsWritingAtOnceLoseNothing) {
  std::latch start(3);
  bool ok[2] = {false, false};
  std::thread writers[2];
  for (int t = 0; t < 2; ++t) {
    writers[t] = std::thread([&, t] {
      start.arrive_and_wait();
      ok[t] = WriteMany(t == 0 ? u"first" : u"second", 200);
    });
  }
  // A reader runs alongside and must only ever see a consistent count.
  start.arrive_and_wait();
  DWORD last = 0;
  for (int i = 0; i < 100; ++i) {
    DWORD value = 0;
    const LONG status =
        halcy::RegReadDword(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Shared", u"first0", &value);
    EXPECT_TRUE(status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND) << status;
    HKEY key;
    DWORD values = 0;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Shared", 0, KEY_READ, &key) == 0) {
      RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr,
                       nullptr, nullptr, nullptr);
      RegCloseKey(key);  // result irrelevant: only closes the probe handle
    }
    EXPECT_GE(values, last);
    last = values;
  }
  for (std::thread& writer : writers) writer.join();
  EXPECT_TRUE(ok[0]);
  EXPECT_TRUE(ok[1]);
  ExpectAllWritten({u"first", u"second"}, 200);
}

// ---- Convenience layer --------------------------------------------------------------------

TEST_F(RegistryTest, TypedHelpersCheckTheValueShape) {
  ASSERT_EQ(halcy::RegWriteDword(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Halcy\\HalcyBrowser",
                                 u"PerformanceTestFlag", 0),
            ERROR_SUCCESS);
  ASSERT_EQ(halcy::RegWriteString(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Halcy\\HalcyBrowser", u"Path",
                                  u"C:\\Program Files"),
            ERROR_SUCCESS);
  ReloadFromFile();
  DWORD flag = 7;
  std::u16string text;
  EXPECT_EQ(halcy::RegReadDword(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Halcy\\HalcyBrowser",
                                u"PerformanceTestFlag", &flag),
            ERROR_SUCCESS);
  EXPECT_EQ(flag, 0u);
  EXPECT_EQ(
      halcy::RegReadString(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Halcy\\HalcyBrowser", u"Path", &text),
      ERROR_SUCCESS);
  EXPECT_EQ(text, u"C:\\Program Files");
  EXPECT_EQ(
      halcy::RegReadDword(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Halcy\\HalcyBrowser", u"Path", &flag),
      ERROR_INVALID_DATA);
  EXPECT_EQ(halcy::RegReadString(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Halcy\\HalcyBrowser",
                                 u"PerformanceTestFlag", &text),
            ERROR_INVALID_DATA);
  EXPECT_EQ(halcy::RegReadDword(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Halcy", u"Missing", &flag),
            ERROR_FILE_NOT_FOUND);
}

// An empty variable counts as unset.
TEST(RegistryPathTest, FollowsTheEnvironmentInOrder) {
  struct Case {
    const char* registry;
    const char* appdata;
    const char* xdg;
    const char* home;
    const char* expected;
  } cases[] = {
      {"/r/reg.reg", "/a", "/x", "/h", "/r/reg.reg"},
      {"", "/a", "/x", "/h", "/a/halcy/registry.reg"},
      {"", "", "/x", "/h", "/x/halcy/registry.reg"},
      {"", "", "", "/h", "/h/.config/halcy/registry.reg"},
  };
  for (const Case& c : cases) {
    ScopedEnv registry("HALCY_REGISTRY", c.registry);
    ScopedEnv appdata("HALCY_APPDATA", c.appdata);
    ScopedEnv xdg("XDG_CONFIG_HOME", c.xdg);
    ScopedEnv home("HOME", c.home);
    EXPECT_EQ(halcy::RegistryPath(), c.expected);
  }
}

}  // namespace
