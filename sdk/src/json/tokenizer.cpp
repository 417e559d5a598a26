#include "sdk/src/json/tokenizer.hpp"

#include <rapidjson/error/error.h>
#include <rapidjson/reader.h>

#include <array>
#include <charconv>
#include <cmath>
#include <optional>

namespace quillet::sdk::json {
namespace {

constexpr const char* kEofValue = "EOF while parsing a value";
constexpr const char* kEofObject = "EOF while parsing an object";
constexpr const char* kEofList = "EOF while parsing a list";
constexpr const char* kEofString = "EOF while parsing a string";
constexpr const char* kControl = "control character (\\u0000-\\u001F) found while parsing a string";

bool is_ws(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

// A read-only byte stream over the input for RapidJSON. Peek() gives '\0' at
// the end, as the reader expects; Take() never moves past the end, so no
// input, however malformed, makes the reader read out of bounds.
class InputStream {
 public:
  using Ch = char;

  explicit InputStream(std::string_view in) : in_(in) {}

  Ch Peek() const { return pos_ < in_.size() ? in_[pos_] : '\0'; }
  Ch Take() { return pos_ < in_.size() ? in_[pos_++] : '\0'; }
  size_t Tell() const { return pos_; }
  // The strict scanner's moves (pos <= the input's size).
  void seek(size_t pos) { pos_ = pos; }

  // Output side of the stream concept; only in-situ parsing uses it.
  Ch* PutBegin() { return nullptr; }
  void Put(Ch) {}
  void Flush() {}
  size_t PutEnd(Ch*) { return 0; }

 private:
  std::string_view in_;
  size_t pos_ = 0;
};

// The decimal exponent of the leading digit of a JSON number, clamped; used
// only to tell an overflow from an underflow.
long decimal_magnitude(std::string_view raw) {
  size_t i = raw[0] == '-' ? 1 : 0;
  long mag = 0;
  bool seen_nonzero = false;
  long int_digits = 0;
  for (; i < raw.size() && is_digit(raw[i]); ++i) {
    if (raw[i] != '0') seen_nonzero = true;
    if (seen_nonzero) ++int_digits;
  }
  if (seen_nonzero) {
    mag = int_digits - 1;
  } else if (i < raw.size() && raw[i] == '.') {
    long k = 0;
    for (++i; i < raw.size() && is_digit(raw[i]); ++i) {
      ++k;
      if (raw[i] != '0') break;
    }
    mag = -k;
  }
  while (i < raw.size() && raw[i] != 'e' && raw[i] != 'E') ++i;
  if (i < raw.size()) {
    ++i;
    bool neg = false;
    if (i < raw.size() && (raw[i] == '+' || raw[i] == '-')) neg = raw[i++] == '-';
    long e = 0;
    for (; i < raw.size() && is_digit(raw[i]); ++i) {
      if (e < 100000000) e = e * 10 + (raw[i] - '0');
    }
    mag += neg ? -e : e;
  }
  return mag;
}

// The value of a JSON number written as `raw`, or nullopt when it does not
// fit a double. Values too small for a double become zero.
std::optional<double> number_value(std::string_view raw) {
  double d = 0;
  const auto r = std::from_chars(raw.data(), raw.data() + raw.size(), d);
  if (r.ec == std::errc::result_out_of_range) {
    if (decimal_magnitude(raw) > 0) return std::nullopt;
    return raw[0] == '-' ? -0.0 : 0.0;
  }
  if (r.ec != std::errc{} || std::isinf(d)) return std::nullopt;
  return d;
}

bool is_integer_text(std::string_view raw) { return raw.find_first_of(".eE") == raw.npos; }

// Receives RapidJSON's events and records them as tokens; refuses nesting
// beyond kMaxDepth and the few inputs the reader itself accepts but a strict
// parser does not.
//
// `in_place`: the texts handed over lie in the input (the strict scanner's),
// else in the reader's buffer, which they are copied out of.
class Collector {
 public:
  Collector(std::string_view in, const InputStream& is, TokenList& out, bool in_place)
      : in_(in), is_(is), out_(out), in_place_(in_place) {}

  bool Null() {
    push(TokenKind::kNull);
    return true;
  }
  bool Bool(bool b) {
    if (push(TokenKind::kBool)) out_.tokens.back().boolean = b;
    return true;
  }
  // With kParseNumbersAsStringsFlag every number arrives as RawNumber.
  bool Int(int) { return false; }
  bool Uint(unsigned) { return false; }
  bool Int64(int64_t) { return false; }
  bool Uint64(uint64_t) { return false; }
  bool Double(double) { return false; }

  bool RawNumber(const char* s, rapidjson::SizeType len, bool) {
    const std::string_view raw(s, len);
    const size_t t = is_.Tell();
    // The reader ends a number after a leading zero; a digit right after it
    // is a malformed number, not a second value.
    if ((raw == "0" || raw == "-0") && t < in_.size() && is_digit(in_[t])) {
      return fail(t + 1, "invalid number");
    }
    if (!is_integer_text(raw) || !fits_integer(raw)) {
      if (!number_value(raw)) return fail(t, "number out of range");
    }
    if (push(TokenKind::kNumber)) out_.tokens.back().text = stored(raw);
    return true;
  }

  bool String(const char* s, rapidjson::SizeType len, bool) {
    return text_token(TokenKind::kString, s, len);
  }
  bool Key(const char* s, rapidjson::SizeType len, bool) {
    return text_token(TokenKind::kKey, s, len);
  }

  bool StartObject() { return open(TokenKind::kStartObject); }
  bool StartArray() { return open(TokenKind::kStartArray); }
  bool EndObject(rapidjson::SizeType n) { return close(TokenKind::kEndObject, n); }
  bool EndArray(rapidjson::SizeType n) { return close(TokenKind::kEndArray, n); }

  bool fail(size_t end, std::string message) {
    Token t;
    t.kind = TokenKind::kError;
    t.end = end;
    t.text = out_.keep(std::move(message));
    out_.tokens.push_back(t);
    return false;
  }

 private:
  static bool fits_integer(std::string_view raw) {
    const char* first = raw.data();
    const char* last = raw.data() + raw.size();
    if (raw[0] == '-') {
      int64_t v = 0;
      return std::from_chars(first, last, v).ec == std::errc{};
    }
    uint64_t v = 0;
    return std::from_chars(first, last, v).ec == std::errc{};
  }

  // Records a token unless it lies inside an opaque container; returns
  // whether it did.
  bool push(TokenKind kind) {
    if (opaque_from_ != 0) return false;
    Token t;
    t.kind = kind;
    t.end = is_.Tell();
    out_.tokens.push_back(t);
    return true;
  }

  std::string_view stored(std::string_view text) { return in_place_ ? text : out_.keep(std::string(text)); }

  bool text_token(TokenKind kind, const char* s, rapidjson::SizeType len) {
    const std::string_view text(s, len);
    // The reader pairs leading surrogates and refuses lone ones, but lets a
    // lone trailing surrogate escape through as the bytes ED B0..BF xx. Raw
    // input cannot produce those bytes: encoding validation refuses them.
    // (The strict scanner's texts are ASCII.)
    for (size_t i = 0; !in_place_ && i + 1 < text.size(); ++i) {
      const auto b0 = static_cast<unsigned char>(text[i]);
      const auto b1 = static_cast<unsigned char>(text[i + 1]);
      if (b0 == 0xed && b1 >= 0xb0 && b1 <= 0xbf) {
        return fail(is_.Tell(), "lone leading surrogate in hex escape");
      }
    }
    if (push(kind)) out_.tokens.back().text = stored(text);
    return true;
  }

  bool open(TokenKind kind) {
    if (++depth_ > kMaxDepth) return fail(is_.Tell(), "recursion limit exceeded");
    push(kind);
    const bool opaque = kind == TokenKind::kStartArray ? depth_ >= 2 : depth_ >= 3;
    if (opaque && opaque_from_ == 0) opaque_from_ = depth_;
    return true;
  }

  bool close(TokenKind kind, rapidjson::SizeType n) {
    if (depth_ == opaque_from_) opaque_from_ = 0;
    --depth_;
    if (push(kind)) out_.tokens.back().count = n;
    return true;
  }

  std::string_view in_;
  const InputStream& is_;
  TokenList& out_;
  bool in_place_;
  size_t depth_ = 0;
  // Depth of the outermost open opaque container, 0 if there is none.
  size_t opaque_from_ = 0;
};

// The last non-whitespace byte before `pos`, or '\0' if there is none.
char prev_non_ws(std::string_view in, size_t pos) {
  while (pos > 0) {
    if (!is_ws(in[--pos])) return in[pos];
  }
  return '\0';
}

// The end of the number starting at `start`, following the JSON grammar.
size_t number_end(std::string_view in, size_t i) {
  auto digits = [&] {
    while (i < in.size() && is_digit(in[i])) ++i;
  };
  if (i < in.size() && in[i] == '-') ++i;
  digits();
  if (i < in.size() && in[i] == '.') {
    ++i;
    digits();
  }
  if (i < in.size() && (in[i] == 'e' || in[i] == 'E')) {
    ++i;
    if (i < in.size() && (in[i] == '+' || in[i] == '-')) ++i;
    digits();
  }
  return i;
}

struct Located {
  size_t end;
  const char* message;
};

// The message and position of a reader syntax error: `t` is the number of
// bytes the reader had taken, `e` the offset it reported. A failure at a byte
// the reader only peeked at is placed on that byte, as a parser that consumes
// the offending byte would report it; a failure at the end of the input on
// the last byte.
Located locate(std::string_view in, rapidjson::ParseErrorCode code, size_t e, size_t t) {
  const size_t n = in.size();
  const bool eof = t >= n;
  const size_t here = eof ? n : t + 1;
  using namespace rapidjson;
  switch (code) {
    case kParseErrorDocumentEmpty:
      return eof ? Located{n, kEofValue} : Located{here, "expected value"};
    case kParseErrorDocumentRootNotSingular:
      return {here, "trailing characters"};
    case kParseErrorValueInvalid: {
      const char before = t > 0 ? in[t - 1] : '\0';
      if (before == '-') return eof ? Located{n, kEofValue} : Located{here, "invalid number"};
      if (before >= 'a' && before <= 'z') {
        return eof ? Located{n, kEofValue} : Located{here, "expected ident"};
      }
      const char prev = prev_non_ws(in, t);
      if (eof) return {n, prev == '[' ? kEofList : kEofValue};
      if (in[t] == ']' && prev == ',') return {here, "trailing comma"};
      return {here, "expected value"};
    }
    case kParseErrorObjectMissName:
      if (eof) return {n, prev_non_ws(in, t) == '{' ? kEofObject : kEofValue};
      return {here, in[t] == '}' ? "trailing comma" : "key must be a string"};
    case kParseErrorObjectMissColon:
      return eof ? Located{n, kEofObject} : Located{here, "expected `:`"};
    case kParseErrorObjectMissCommaOrCurlyBracket:
      return eof ? Located{n, kEofObject} : Located{here, "expected `,` or `}`"};
    case kParseErrorArrayMissCommaOrSquareBracket:
      return eof ? Located{n, kEofList} : Located{here, "expected `,` or `]`"};
    case kParseErrorStringUnicodeEscapeInvalidHex:
      return eof ? Located{n, kEofString} : Located{here, "invalid escape"};
    case kParseErrorStringUnicodeSurrogateInvalid:
      // `e` is the leading surrogate's backslash. Past a complete second
      // escape the pair is wrong; before it the second escape is missing.
      if (t >= e + 12) return {t, "lone leading surrogate in hex escape"};
      return eof ? Located{n, kEofString} : Located{here, "unexpected end of hex escape"};
    case kParseErrorStringEscapeInvalid:
      if (e < n && in[e] == '\\') {
        return eof ? Located{n, kEofString} : Located{here, "invalid escape"};
      }
      return {here, kControl};
    case kParseErrorStringMissQuotationMark:
      // The reader sees an embedded NUL byte as the end of the input.
      return eof ? Located{n, kEofString} : Located{here, kControl};
    case kParseErrorStringInvalidEncoding:
      return {e < n ? e + 1 : n, "invalid unicode code point"};
    case kParseErrorNumberTooBig:
      return {number_end(in, e), "number out of range"};
    case kParseErrorNumberMissFraction:
    case kParseErrorNumberMissExponent:
      return eof ? Located{n, kEofValue} : Located{here, "invalid number"};
    default:
      return eof ? Located{n, kEofValue} : Located{here, "expected value"};
  }
}

// A scanner for the texts documents are usually written as, feeding the
// Collector the events RapidJSON would, at the same positions: strings of
// printable ASCII without escapes, integers of at most 18 digits, literals,
// and objects and arrays of them. It gives up (false) on anything else,
// well-formed or not, including the Collector's own refusals: RapidJSON then
// reads the text again and reports what is wrong. Texts stay in the input.
class StrictScanner {
 public:
  StrictScanner(std::string_view in, InputStream& is, Collector& collector)
      : in_(in), is_(is), collector_(collector) {}

  bool document() {
    skip_ws();
    if (!value()) return false;
    skip_ws();
    return pos_ == in_.size();
  }

 private:
  // Bytes a plain string may hold as they are: 0x20..0x7F but '"' and '\\'.
  static constexpr std::array<bool, 256> kPlain = [] {
    std::array<bool, 256> plain{};
    for (int c = 0x20; c < 0x80; ++c) plain[static_cast<size_t>(c)] = c != '"' && c != '\\';
    return plain;
  }();

  char peek() const { return pos_ < in_.size() ? in_[pos_] : '\0'; }
  void skip_ws() {
    while (pos_ < in_.size() && is_ws(in_[pos_])) ++pos_;
  }
  // Moves past `n` bytes and tells the stream, whose Tell() the Collector reads.
  void advance(size_t n) {
    pos_ += n;
    is_.seek(pos_);
  }

  bool value() {
    switch (peek()) {
      case '{': return object();
      case '[': return array();
      case '"': return string(false);
      case 't': return literal("true") && collector_.Bool(true);
      case 'f': return literal("false") && collector_.Bool(false);
      case 'n': return literal("null") && collector_.Null();
      default: return number();
    }
  }

  bool literal(std::string_view word) {
    if (in_.substr(pos_, word.size()) != word) return false;
    advance(word.size());
    return true;
  }

  bool string(bool key) {
    const size_t first = pos_ + 1;
    size_t i = first;
    while (i < in_.size() && kPlain[static_cast<unsigned char>(in_[i])]) ++i;
    if (i == in_.size() || in_[i] != '"') return false;
    advance(i + 1 - pos_);
    const char* text = in_.data() + first;
    const auto len = static_cast<rapidjson::SizeType>(i - first);
    return key ? collector_.Key(text, len, false) : collector_.String(text, len, false);
  }

  // -?(0|[1-9][0-9]*), at most 18 digits: always an exact integer.
  bool number() {
    size_t i = pos_;
    if (i < in_.size() && in_[i] == '-') ++i;
    const size_t digits = i;
    while (i < in_.size() && is_digit(in_[i])) ++i;
    const size_t n = i - digits;
    if (n == 0 || n > 18 || (n > 1 && in_[digits] == '0')) return false;
    if (i < in_.size() && (in_[i] == '.' || in_[i] == 'e' || in_[i] == 'E')) return false;
    const char* text = in_.data() + pos_;
    const auto len = static_cast<rapidjson::SizeType>(i - pos_);
    advance(len);
    return collector_.RawNumber(text, len, false);
  }

  bool object() {
    advance(1);
    if (!collector_.StartObject()) return false;
    skip_ws();
    rapidjson::SizeType members = 0;
    if (peek() == '}') {
      advance(1);
      return collector_.EndObject(0);
    }
    for (;;) {
      if (peek() != '"' || !string(true)) return false;
      skip_ws();
      if (peek() != ':') return false;
      ++pos_;
      skip_ws();
      if (!value()) return false;
      skip_ws();
      ++members;
      if (peek() == ',') {
        ++pos_;
        skip_ws();
        continue;
      }
      if (peek() != '}') return false;
      advance(1);
      return collector_.EndObject(members);
    }
  }

  bool array() {
    advance(1);
    if (!collector_.StartArray()) return false;
    skip_ws();
    rapidjson::SizeType elements = 0;
    if (peek() == ']') {
      advance(1);
      return collector_.EndArray(0);
    }
    for (;;) {
      if (!value()) return false;
      skip_ws();
      ++elements;
      if (peek() == ',') {
        ++pos_;
        skip_ws();
        continue;
      }
      if (peek() != ']') return false;
      advance(1);
      return collector_.EndArray(elements);
    }
  }

  std::string_view in_;
  InputStream& is_;
  Collector& collector_;
  size_t pos_ = 0;
};

}  // namespace

void tokenize(std::string_view input, TokenList& out) {
  if (input.size() <= kMaxInputSize) {
    InputStream is(input);
    Collector collector(input, is, out, true);
    if (StrictScanner(input, is, collector).document()) {
      Token end;
      end.kind = TokenKind::kEnd;
      end.end = input.size();
      out.tokens.push_back(end);
      return;
    }
    out.tokens.clear();
    out.texts.clear();
  }
  tokenize_reference(input, out);
}

void tokenize_reference(std::string_view input, TokenList& out) {
  InputStream is(input);
  Collector collector(input, is, out, false);
  if (input.size() > kMaxInputSize) {
    collector.fail(0, "document exceeds " + std::to_string(kMaxInputSize) + " bytes");
    return;
  }
  constexpr unsigned kFlags = rapidjson::kParseValidateEncodingFlag |
                              rapidjson::kParseNumbersAsStringsFlag;
  rapidjson::Reader reader;
  const rapidjson::ParseResult r = reader.Parse<kFlags>(is, collector);
  if (r.Code() == rapidjson::kParseErrorTermination) return;  // Collector recorded it
  if (r.IsError()) {
    const Located l = locate(input, r.Code(), r.Offset(), is.Tell());
    collector.fail(l.end, l.message);
    return;
  }
  if (is.Tell() < input.size()) {
    // Stopped at an embedded NUL byte after the document.
    collector.fail(is.Tell() + 1, "trailing characters");
    return;
  }
  Token end;
  end.kind = TokenKind::kEnd;
  end.end = input.size();
  out.tokens.push_back(end);
}

JsonError error_after(std::string_view input, size_t consumed, std::string message) {
  if (consumed > input.size()) consumed = input.size();
  size_t line = 1;
  size_t line_start = 0;
  for (size_t i = 0; i < consumed; ++i) {
    if (input[i] == '\n') {
      ++line;
      line_start = i + 1;
    }
  }
  return JsonError{std::move(message), line, consumed - line_start};
}

std::string format_float(double d) {
  char buf[64];
  const auto r = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::scientific);
  const std::string_view sci(buf, static_cast<size_t>(r.ptr - buf));
  // sci is [-]d[.ddd]e[+-]xx
  std::string out;
  size_t i = 0;
  if (sci[0] == '-') {
    out.push_back('-');
    i = 1;
  }
  const size_t e_pos = sci.find('e');
  std::string digits;
  for (size_t k = i; k < e_pos; ++k) {
    if (sci[k] != '.') digits.push_back(sci[k]);
  }
  int exp = 0;
  std::from_chars(sci.data() + e_pos + (sci[e_pos + 1] == '+' ? 2 : 1), sci.data() + sci.size(),
                  exp);
  if (digits == "0") {
    out += "0";
  } else {
    const long point = static_cast<long>(exp) + 1;  // digits before the decimal point
    const long count = static_cast<long>(digits.size());
    if (point <= 0) {
      out += "0." + std::string(static_cast<size_t>(-point), '0') + digits;
    } else if (point >= count) {
      out += digits + std::string(static_cast<size_t>(point - count), '0');
    } else {
      out += digits.substr(0, static_cast<size_t>(point)) + "." +
             digits.substr(static_cast<size_t>(point));
    }
  }
  if (out.find('.') == std::string::npos) out += ".0";
  return out;
}

std::string describe(const Token& t) {
  switch (t.kind) {
    case TokenKind::kString: return "string " + debug_str(t.text);
    case TokenKind::kNumber: {
      if (is_integer_text(t.text) && t.text != "-0") {
        if (t.text[0] == '-') {
          int64_t v = 0;
          const auto r = std::from_chars(t.text.data(), t.text.data() + t.text.size(), v);
          if (r.ec == std::errc{}) return "integer `" + std::to_string(v) + "`";
        } else {
          uint64_t v = 0;
          const auto r = std::from_chars(t.text.data(), t.text.data() + t.text.size(), v);
          if (r.ec == std::errc{}) return "integer `" + std::to_string(v) + "`";
        }
      }
      const auto d = number_value(t.text);
      return "floating point `" + format_float(d ? *d : 0.0) + "`";
    }
    case TokenKind::kBool: return t.boolean ? "boolean `true`" : "boolean `false`";
    case TokenKind::kNull: return "null";
    case TokenKind::kStartArray: return "sequence";
    case TokenKind::kStartObject: return "map";
    default: return "end of input";
  }
}

}  // namespace quillet::sdk::json
