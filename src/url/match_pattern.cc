#include "url/match_pattern.h"

#include <cstdint>
#include <unordered_map>

#include "url/url_utf.h"

namespace burl {

namespace {

// After this many attempts the matcher starts remembering failures, so that hostile patterns
// such as "*a*a*a*a*b" against long texts stay polynomial instead of exponential. Both memos
// are exact:
// - An attempt (text position, pattern position) that failed at some depth fails at every
//   greater depth too, because deeper attempts may nest less.
// - A "*" whose attempts failed from text position t onwards at some depth fails from every
//   later position at that depth; a later loop only needs the positions before t. Positions
//   are always reached by whole-character steps from the start of the text, so the loops
//   visit the same positions.
constexpr int kAttemptsBeforeMemo = 512;

class Matcher {
 public:
  Matcher(std::string_view text, std::string_view pattern) : text_(text), pattern_(pattern) {}

  bool Match(size_t t, size_t p, int depth) {
    const uint64_t key = (static_cast<uint64_t>(t) << 32) | p;
    if (use_memo_) {
      auto it = failed_.find(key);
      if (it != failed_.end() && it->second <= depth) return false;
    } else if (++attempts_ > kAttemptsBeforeMemo) {
      use_memo_ = true;
    }
    if (MatchUnmemoized(t, p, depth)) return true;
    if (use_memo_) {
      auto [it, inserted] = failed_.emplace(key, depth);
      if (!inserted && depth < it->second) it->second = depth;
    }
    return false;
  }

 private:
  size_t NextChar(size_t t) const {
    auto pos = static_cast<int32_t>(t);
    uint32_t ignored;
    ReadUtf8Char(text_.data(), static_cast<int32_t>(text_.size()), &pos, &ignored);
    return static_cast<size_t>(pos);
  }

  bool RestIsWildcards(size_t p) const {
    for (; p < pattern_.size(); ++p) {
      if (pattern_[p] != '*' && pattern_[p] != '?') return false;
    }
    return true;
  }

  // Consumes equal literal characters; false when a literal differs or one side runs out.
  bool EatLiterals(size_t* t, size_t* p) const {
    while (*p < pattern_.size() && pattern_[*p] != '*' && pattern_[*p] != '?') {
      if (*t == text_.size()) return false;
      size_t lp = *p;
      if (pattern_[lp] == '\\' && lp + 1 < pattern_.size()) ++lp;
      auto pe = static_cast<int32_t>(lp);
      auto te = static_cast<int32_t>(*t);
      uint32_t a, b;
      bool pattern_ok =
          ReadUtf8Char(pattern_.data(), static_cast<int32_t>(pattern_.size()), &pe, &a);
      bool text_ok = ReadUtf8Char(text_.data(), static_cast<int32_t>(text_.size()), &te, &b);
      if (!pattern_ok || !text_ok || a != b) return false;
      *p = static_cast<size_t>(pe);
      *t = static_cast<size_t>(te);
    }
    return true;
  }

  bool MatchUnmemoized(size_t t, size_t p, int depth) {
    if (!EatLiterals(&t, &p)) return false;
    if (p == pattern_.size()) return t == text_.size();
    if (t == text_.size()) return RestIsWildcards(p);
    if (depth + 1 > kMaxMatchDepth) return false;
    if (pattern_[p] == '?') {
      return Match(t, p + 1, depth + 1) || Match(NextChar(t), p + 1, depth + 1);
    }
    size_t rest = p + 1;
    while (rest < pattern_.size() && (pattern_[rest] == '*' || pattern_[rest] == '?')) ++rest;
    // A trailing "*" matches whatever is left: the attempt at the end of the text succeeds.
    if (rest == pattern_.size()) return true;
    return MatchStar(t, rest, depth);
  }

  // Tries `rest` at every position from `t` to the end of the text, one level deeper.
  bool MatchStar(size_t t, size_t rest, int depth) {
    const uint64_t key = (static_cast<uint64_t>(rest) << 8) | static_cast<uint64_t>(depth);
    size_t limit = text_.size() + 1;  // positions from `limit` on are known to fail
    if (use_memo_) {
      auto it = star_failed_from_.find(key);
      if (it != star_failed_from_.end()) limit = it->second;
    }
    for (size_t pos = t; pos < limit; pos = NextChar(pos)) {
      if (Match(pos, rest, depth + 1)) return true;
      if (pos == text_.size()) break;
    }
    if (use_memo_) {
      auto [it, inserted] = star_failed_from_.emplace(key, t);
      if (!inserted && t < it->second) it->second = t;
    }
    return false;
  }

  std::string_view text_;
  std::string_view pattern_;
  int attempts_ = 0;
  bool use_memo_ = false;
  std::unordered_map<uint64_t, int> failed_;               // (t, p) -> least failing depth
  std::unordered_map<uint64_t, size_t> star_failed_from_;  // (rest, depth) -> least t
};

}  // namespace

bool MatchPattern(std::string_view text, std::string_view pattern) {
  return Matcher(text, pattern).Match(0, 0, 0);
}

}  // namespace burl
