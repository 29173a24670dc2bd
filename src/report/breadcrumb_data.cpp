#include "report/breadcrumb_data.hpp"

#include <array>
#include <charconv>
#include <cmath>

#include "base/input_limits.hpp"
#include "base/json_text.hpp"
#include "base/text.hpp"
#include "report/envelope.hpp"

namespace quillstone::report {
namespace {

using Verdict = BreadcrumbData::Verdict;

// Flat data with more members than this takes the full parse.
constexpr std::size_t kMaxFlatMembers = 16;
// Integers of up to this many digits fit any of the parser's integer types, so their text is
// the one it writes back.
constexpr std::size_t kMaxPlainIntegerDigits = 18;

struct FlatMember {
  std::string_view key;    // the characters between the quotes
  std::string_view value;  // written as it stands, unless `number` is set
  bool number = false;     // a number whose text the writer chooses
  double numberValue = 0;
};

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Reads a flat object in the text's own order, accepting only what the full parse would turn
// back into the very same text: anything it is unsure of sends the text to the full parse.
class FlatReader {
 public:
  explicit FlatReader(std::string_view text) : text_(text) {}

  // The members, or false when the text is not the usual shape.
  bool read(std::array<FlatMember, kMaxFlatMembers>& members, std::size_t& count) {
    count = 0;
    skipSpace();
    if (!take('{')) return false;
    skipSpace();
    if (take('}')) return atEnd();
    for (;;) {
      if (count == members.size()) return false;
      FlatMember& member = members[count++];
      std::string_view quoted;
      if (!string(quoted)) return false;
      member.key = quoted.substr(1, quoted.size() - 2);
      skipSpace();
      if (!take(':')) return false;
      skipSpace();
      if (!value(member)) return false;
      skipSpace();
      if (take('}')) return atEnd();
      if (!take(',')) return false;
      skipSpace();
    }
  }

 private:
  bool take(char c) {
    if (at_ == text_.size() || text_[at_] != c) return false;
    ++at_;
    return true;
  }
  void skipSpace() {
    while (at_ < text_.size() &&
           (text_[at_] == ' ' || text_[at_] == '\t' || text_[at_] == '\n' || text_[at_] == '\r')) {
      ++at_;
    }
  }
  bool atEnd() {
    skipSpace();
    return at_ == text_.size();
  }

  // A string with its quotes that needs no escape: its text is what the writer gives back.
  bool string(std::string_view& quoted) {
    const std::size_t begin = at_;
    if (!take('"')) return false;
    while (at_ < text_.size()) {
      const auto c = static_cast<unsigned char>(text_[at_]);
      if (c == '"') break;
      if (c == '\\' || c < 0x20) return false;
      ++at_;
    }
    if (!take('"')) return false;
    quoted = text_.substr(begin, at_ - begin);
    return base::isValidUtf8(quoted);
  }

  bool value(FlatMember& member) {
    if (at_ == text_.size()) return false;
    if (text_[at_] == '"') return string(member.value);
    for (const std::string_view literal : {"true", "false", "null"}) {
      if (text_.substr(at_, literal.size()) == literal) {
        member.value = literal;
        at_ += literal.size();
        return true;
      }
    }
    return number(member);
  }

  // JSON's number grammar; a short integer stands as it is, any other number is read.
  bool number(FlatMember& member) {
    const std::size_t begin = at_;
    take('-');
    const std::size_t digitsBegin = at_;
    // No leading zero: a 0 stands alone.
    if (!take('0')) {
      if (at_ == text_.size() || !isDigit(text_[at_])) return false;
      while (at_ < text_.size() && isDigit(text_[at_])) ++at_;
    }
    const std::size_t digits = at_ - digitsBegin;
    bool integer = true;
    if (take('.')) {
      integer = false;
      if (!digitsFollow()) return false;
    }
    if (take('e') || take('E')) {
      integer = false;
      if (!take('+')) take('-');
      if (!digitsFollow()) return false;
    }
    member.value = text_.substr(begin, at_ - begin);
    // "-0" is written back as 0.
    if (integer) return digits <= kMaxPlainIntegerDigits && member.value != "-0";
    double parsed = 0;
    const auto [end, error] =
        std::from_chars(member.value.data(), member.value.data() + member.value.size(), parsed);
    if (error != std::errc() || end != member.value.data() + member.value.size()) return false;
    if (!std::isfinite(parsed)) return false;
    member.number = true;
    member.numberValue = parsed;
    return true;
  }
  bool digitsFollow() {
    const std::size_t begin = at_;
    while (at_ < text_.size() && isDigit(text_[at_])) ++at_;
    return at_ != begin;
  }

  std::string_view text_;
  std::size_t at_ = 0;
};

// The usual shape written compactly in key order, as the full parse and dump would write it;
// false, with `out` as it was, when the text is not that shape.
bool appendFlatData(std::string& out, std::string_view text) {
  std::array<FlatMember, kMaxFlatMembers> members;
  std::size_t count = 0;
  if (!FlatReader(text).read(members, count)) return false;
  // Sorted as the parsed object keeps its keys; a key given twice keeps one value, which the
  // full parse chooses.
  for (std::size_t i = 1; i < count; ++i) {
    for (std::size_t j = i; j > 0 && members[j].key < members[j - 1].key; --j) {
      std::swap(members[j], members[j - 1]);
    }
  }
  for (std::size_t i = 1; i < count; ++i) {
    if (members[i].key == members[i - 1].key) return false;
  }
  const std::size_t start = out.size();
  out += '{';
  for (std::size_t i = 0; i < count; ++i) {
    if (i != 0) out += ',';
    out += '"';
    out += members[i].key;
    out += "\":";
    if (members[i].number) {
      base::appendJsonNumber(out, members[i].numberValue);
    } else {
      out += members[i].value;
    }
  }
  out += '}';
  if (out.size() - start <= base::kMaxBreadcrumbDataBytes) return true;
  out.resize(start);
  return false;
}

}  // namespace

BreadcrumbData parseBreadcrumbData(std::string_view text) {
  BreadcrumbData data;
  if (text.size() > base::kMaxBreadcrumbTextBytes) {
    data.verdict = Verdict::overLimit;
    return data;
  }
  if (text.empty()) {
    data.object = nlohmann::json::object();
  } else {
    const std::string clean = base::sanitizeUtf8(text);
    bool tooDeep = false;
    // The callback sees each object and array as it opens, at the depth of its parent; one
    // too deep is discarded whole, so no deeper level is ever built.
    const auto limitDepth = [&](int depth, nlohmann::json::parse_event_t event, nlohmann::json&) {
      using Event = nlohmann::json::parse_event_t;
      if (event != Event::object_start && event != Event::array_start) return true;
      if (depth < base::kMaxBreadcrumbDepth) return true;
      tooDeep = true;
      return false;
    };
    data.object = nlohmann::json::parse(clean, limitDepth, /*allow_exceptions=*/false);
    if (!data.object.is_object()) return data;
    if (tooDeep) {
      data.verdict = Verdict::overLimit;
      return data;
    }
  }
  // Measured as it is sent, and the text is the record's own: written once, it is what every
  // later error report carries.
  auto compact = serialize(data.object);
  if (!compact || compact->size() > base::kMaxBreadcrumbDataBytes) {
    data.verdict = Verdict::overLimit;
    return data;
  }
  data.text = std::move(*compact);
  data.verdict = Verdict::kept;
  return data;
}

Verdict appendBreadcrumbData(std::string& out, std::string_view text) {
  if (text.size() > base::kMaxBreadcrumbTextBytes) return Verdict::overLimit;
  if (text.empty()) {
    out += "{}";
    return Verdict::kept;
  }
  if (appendFlatData(out, text)) return Verdict::kept;
  const BreadcrumbData parsed = parseBreadcrumbData(text);
  if (parsed.verdict == Verdict::kept) out += parsed.text;
  return parsed.verdict;
}

}  // namespace quillstone::report
