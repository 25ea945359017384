// Reads and writes JSON corpora shaped like the system's traffic, with RapidJSON and
// nlohmann::json as baselines in the same run:
//   store     the extension database with 1000 extensions (compact, as our writer stores it)
//   manifests 50 hand-written manifest.json files (indented, CR LF), read one by one
//   reply     a 4 KiB update-server reply
//   array     a 1 MiB array of small objects
// Our reader and RapidJSON (GenericDocument over UTF-16) read the same UTF-16 text;
// nlohmann::json reads the UTF-8 form, converted before timing. Every benchmark reports the
// UTF-8 size of the corpus as bytes processed, so MB/s compare the same documents whatever
// the encoding read. Timing includes destroying what was built.

#include <benchmark/benchmark.h>
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "json/json_reader.h"
#include "json/json_writer.h"
#include "json/utf8_text.h"

namespace {

using RapidEncoding = rapidjson::UTF16<char16_t>;
using RapidDocument = rapidjson::GenericDocument<RapidEncoding>;
using RapidBuffer = rapidjson::GenericStringBuffer<RapidEncoding>;
using RapidWriter = rapidjson::Writer<RapidBuffer, RapidEncoding, RapidEncoding>;

// Deterministic pseudo-random numbers, so every run reads the same corpora.
class Random {
 public:
  uint32_t Next() {
    state_ = state_ * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<uint32_t>(state_ >> 33);
  }
  uint32_t Below(uint32_t n) { return Next() % n; }

 private:
  uint64_t state_ = 0x706c65786f7265ull;
};

std::string ExtensionId(Random& random) {
  static const char kLetters[] = "abcdefghijklmnop";
  std::string id;
  for (int i = 0; i < 32; ++i) id.push_back(kLetters[random.Below(16)]);
  return id;
}

std::string Version(Random& random) {
  return std::to_string(1 + random.Below(9)) + "." + std::to_string(random.Below(20)) + "." +
         std::to_string(random.Below(100)) + "." + std::to_string(random.Below(2000));
}

const char* const kNames[] = {"翻译助手", "Screen Capture",  "广告过滤", "Mouse Gestures",
                              "天气预报", "Password Keeper", "网页截图", "Download Helper"};
const char* const kWords[] = {"fast", "页面", "simple", "工具", "tabs", "便捷", "secure", "阅读"};

std::string Sentence(Random& random, int words) {
  std::string text;
  for (int i = 0; i < words; ++i) {
    if (i) text += ' ';
    text += kWords[random.Below(8)];
  }
  return text;
}

// One manifest as a person writes it: indented with CR LF. `nl` and `in` select the layout;
// the store's copy is compact. URLs have their solidus escaped in the stored form.
std::string Manifest(Random& random, const std::string& id, bool compact) {
  const std::string nl = compact ? "" : "\r\n", in = compact ? "" : "    ";
  const std::string sep = compact ? ":" : ": ", slash = compact ? "\\/" : "/";
  auto key = [&](const char* name) { return nl + in + "\"" + name + "\"" + sep; };
  std::string m = "{";
  m += key("id") + "\"" + id + "\",";
  m +=
      key("name") + "\"" + kNames[random.Below(8)] + " " + std::to_string(random.Below(99)) + "\",";
  m += key("version") + "\"" + Version(random) + "\",";
  m += key("description") + "\"" + Sentence(random, 6 + random.Below(10)) + "\",";
  m += key("developer") + "\"Halcy Labs\",";
  m += key("main_icon") + "\"images" + slash + "icon_48.png\",";
  m += key("background_page") + "\"background.html\",";
  m += key("options_page") + "\"options.html\",";
  m += key("lowestbrowser") + "\"5.0.0." + std::to_string(random.Below(500)) + "\",";
  m += key("permissions") + "[\"tabs\",\"contextmenu\",\"http:" + slash + slash + "*" + slash +
       "*\",\"https:" + slash + slash + "*.example.com" + slash + "*\"],";
  m += key("toolbarui") + "{" + nl + in + in + "\"icongroup\"" + sep + "{\"normal\"" + sep +
       "\"images" + slash + "n.png\",\"hover\"" + sep + "\"images" + slash + "h.png\",\"press\"" +
       sep + "\"images" + slash + "p.png\"}," + nl + in + in + "\"width\"" + sep + "16,\"height\"" +
       sep + "16,\"tip\"" + sep + "\"" + Sentence(random, 3) + "\"" + nl + in + "},";
  m += key("contextmenu") + "[{\"text\"" + sep + "\"" + Sentence(random, 2) + "\",\"contexttype\"" +
       sep + "\"page\",\"condition\"" + sep + "\"\",\"iconpath\"" + sep + "\"images" + slash +
       "m.png\"}],";
  m += key("candisable") + (random.Below(4) ? "true" : "false") + ",";
  m += key("update_url") + "\"http:" + slash + slash + "update.halcy.example" + slash + "ext" +
       slash + id + "\"" + nl + "}";
  return m;
}

std::string StoreFile() {
  Random random;
  std::string text = "{\"dbversion\":\"3.2.0.1\",\"extensions\":[";
  for (int i = 0; i < 1000; ++i) {
    const std::string id = ExtensionId(random);
    if (i) text += ",";
    text +=
        "{\"id\":\"" + id + "\",\"state\":" + std::to_string(random.Below(2)) +
        ",\"flags\":" + std::to_string(random.Below(4)) +
        ",\"path\":\"C:\\\\Users\\\\demo\\\\AppData\\\\Roaming\\\\halcy\\\\browser\\\\SysData\\\\"
        "localextensions\\\\" +
        id + "\",\"installtime\":" + std::to_string(1600000000 + random.Below(100000000)) +
        ",\"manifest\":" + Manifest(random, id, true) + "}";
  }
  return text + "]}";
}

std::vector<std::string> Manifests() {
  Random random;
  std::vector<std::string> manifests;
  for (int i = 0; i < 50; ++i) manifests.push_back(Manifest(random, ExtensionId(random), false));
  return manifests;
}

std::string ServerReply() {
  Random random;
  std::string text = "{";
  while (text.size() < 4096 - 160) {
    const std::string id = ExtensionId(random), version = Version(random);
    if (text.size() > 1) text += ",";
    text += "\"" + id + "\":{\"version\":\"" + version + "\",\"lowestbrowser\":\"5.0.0." +
            std::to_string(random.Below(900)) + "\",\"url\":\"http://dl.halcy.example/ext/" + id +
            "/" + version + ".zip\"}";
  }
  return text + "}";
}

std::string ArrayOfObjects() {
  Random random;
  std::string text = "[";
  while (text.size() < (1u << 20) - 400) {
    if (text.size() > 1) text += ",";
    text += "{\"extid\":\"" + ExtensionId(random) +
            "\",\"menuid\":" + std::to_string(random.Below(100000)) + ",\"text\":\"" +
            Sentence(random, 3) + "\",\"contexttype\":\"" +
            (random.Below(2) ? "page" : "selection") +
            "\",\"score\":" + std::to_string(random.Below(10000) / 64.0) +
            ",\"visible\":" + (random.Below(2) ? "true" : "false") +
            ",\"tab_id\":" + std::to_string(random.Below(5000)) + ",\"frame\":-1}";
  }
  return text + "]";
}

struct Corpus {
  std::vector<std::string> utf8;
  std::vector<std::u16string> utf16;
  int64_t bytes = 0;  // UTF-8 size of all documents.
};

Corpus MakeCorpus(std::vector<std::string> documents) {
  Corpus corpus;
  for (const std::string& document : documents) {
    corpus.utf16.push_back(Logic::DecodeUtf8ToUtf16(document));
    corpus.bytes += static_cast<int64_t>(document.size());
  }
  corpus.utf8 = std::move(documents);
  return corpus;
}

const Corpus& GetCorpus(int which) {
  static const Corpus corpora[] = {MakeCorpus({StoreFile()}), MakeCorpus(Manifests()),
                                   MakeCorpus({ServerReply()}), MakeCorpus({ArrayOfObjects()})};
  return corpora[which];
}

void Finish(benchmark::State& state, const Corpus& corpus) {
  state.SetBytesProcessed(state.iterations() * corpus.bytes);
}

void BM_ParsePlexore(benchmark::State& state, int which) {
  const Corpus& corpus = GetCorpus(which);
  for (auto _ : state) {
    for (const std::u16string& text : corpus.utf16) {
      std::unique_ptr<Logic::CJsonValue> value = Logic::ParseJson(text);
      if (!value) state.SkipWithError("our reader failed");
      benchmark::DoNotOptimize(value.get());
    }
  }
  Finish(state, corpus);
}

void BM_ParseRapidJson(benchmark::State& state, int which) {
  const Corpus& corpus = GetCorpus(which);
  for (auto _ : state) {
    for (const std::u16string& text : corpus.utf16) {
      RapidDocument document;
      document.Parse(text.c_str());
      if (document.HasParseError()) state.SkipWithError("RapidJSON failed");
      benchmark::DoNotOptimize(&document);
    }
  }
  Finish(state, corpus);
}

void BM_ParseNlohmann(benchmark::State& state, int which) {
  const Corpus& corpus = GetCorpus(which);
  for (auto _ : state) {
    for (const std::string& text : corpus.utf8) {
      nlohmann::json value = nlohmann::json::parse(text);
      benchmark::DoNotOptimize(&value);
    }
  }
  Finish(state, corpus);
}

void BM_WritePlexore(benchmark::State& state, int which) {
  const Corpus& corpus = GetCorpus(which);
  std::vector<std::unique_ptr<Logic::CJsonValue>> values;
  for (const std::u16string& text : corpus.utf16) values.push_back(Logic::ParseJson(text));
  for (auto _ : state) {
    for (const auto& value : values) {
      std::u16string text = Logic::ToJsonString(*value);
      benchmark::DoNotOptimize(text.data());
    }
  }
  Finish(state, corpus);
}

void BM_WriteRapidJson(benchmark::State& state, int which) {
  const Corpus& corpus = GetCorpus(which);
  std::vector<std::unique_ptr<RapidDocument>> documents;
  for (const std::u16string& text : corpus.utf16) {
    documents.push_back(std::make_unique<RapidDocument>());
    documents.back()->Parse(text.c_str());
  }
  for (auto _ : state) {
    for (const auto& document : documents) {
      RapidBuffer buffer;
      RapidWriter writer(buffer);
      document->Accept(writer);
      benchmark::DoNotOptimize(buffer.GetString());
    }
  }
  Finish(state, corpus);
}

void BM_WriteNlohmann(benchmark::State& state, int which) {
  const Corpus& corpus = GetCorpus(which);
  std::vector<nlohmann::json> values;
  for (const std::string& text : corpus.utf8) values.push_back(nlohmann::json::parse(text));
  for (auto _ : state) {
    for (const auto& value : values) {
      std::string text = value.dump();
      benchmark::DoNotOptimize(text.data());
    }
  }
  Finish(state, corpus);
}

#define JSON_BENCH_CORPORA(function)         \
  BENCHMARK_CAPTURE(function, store, 0);     \
  BENCHMARK_CAPTURE(function, manifests, 1); \
  BENCHMARK_CAPTURE(function, reply, 2);     \
  BENCHMARK_CAPTURE(function, array, 3)

JSON_BENCH_CORPORA(BM_ParsePlexore);
JSON_BENCH_CORPORA(BM_ParseRapidJson);
JSON_BENCH_CORPORA(BM_ParseNlohmann);
JSON_BENCH_CORPORA(BM_WritePlexore);
JSON_BENCH_CORPORA(BM_WriteRapidJson);
JSON_BENCH_CORPORA(BM_WriteNlohmann);

}  // namespace

BENCHMARK_MAIN();
