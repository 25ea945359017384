// CPairObject: the builder of the reply and notification payloads that are objects of pairs.
// Each pair becomes one item, "\"key\":\"value\"," for a text value or "\"key\":value," for a
// value that is already JSON text; the object is "{\r\n", the items with the last item's comma
// removed, and "}". Keys and values are inserted as given: a caller that needs escaping (URLs
// in notifications) escapes the value first.
//
//   CPairObject pairs;
//   pairs.Add(u"tab_id", 12);
//   pairs.Add(u"url", u"http://a/");
//   pairs.ToString();  // u"{\r\n\"tab_id\":\"12\",\"url\":\"http://a/\"}"
//
// No pairs give u"{\r\n}". A value type with no thread safety of its own; use one per thread.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/win_types.h"

namespace Logic {

class CPairObject {
 public:
  // Appends "\"key\":\"value\",".
  void Add(std::u16string_view key, std::u16string_view value);
  // Appends the number as signed decimal text inside quotation marks.
  void Add(std::u16string_view key, LONG value);
  // Appends "\"key\":json," with `json` unquoted.
  void AddJson(std::u16string_view key, std::u16string_view json);

  bool empty() const { return items_.empty(); }
  size_t size() const { return items_.size(); }
  // The items as formatted, each still ending in its comma.
  const std::vector<std::u16string>& items() const { return items_; }

  // "{\r\n", the items joined with the last comma removed, "}".
  std::u16string ToString() const;

 private:
  // Appends "\"key\":\"value\"," when `quoted`, else "\"key\":value,".
  void AddItem(std::u16string_view key, std::u16string_view value, bool quoted);

  std::vector<std::u16string> items_;
};

// The decimal text of `value` ("-1", "0", "254"), as "%d" writes it.
std::u16string DecimalText(LONG value);

}  // namespace Logic
