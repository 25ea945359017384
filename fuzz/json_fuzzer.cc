// Fuzzes the JSON reader and writer.
//
// The input is read twice: as the bytes of a UTF-8 file (byte-order mark and ill-formed
// sequences included) and as raw UTF-16 code units. Whenever a value comes back, its written
// text must read again, and writing that second tree must give the same text: the writer's
// output is always valid input and the round trip is stable.

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "json/json_reader.h"
#include "json/json_writer.h"

namespace {

void CheckRoundTrip(const std::unique_ptr<Logic::CJsonValue>& value) {
  if (!value) return;
  const std::u16string first = Logic::ToJsonString(*value);
  const std::unique_ptr<Logic::CJsonValue> again = Logic::ParseJson(first);
  if (!again) std::abort();  // The writer produced text the reader refuses.
  if (Logic::ToJsonString(*again) != first) std::abort();  // The round trip changed the text.
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  CheckRoundTrip(Logic::ParseJsonUtf8(bytes));

  std::u16string units(size / 2, u'\0');
  std::memcpy(units.data(), data, units.size() * sizeof(char16_t));
  CheckRoundTrip(Logic::ParseJson(units));
  return 0;
}
