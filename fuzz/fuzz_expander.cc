// Fuzzes the SQL template expander with random templates and values.
//
// Input: the template up to the first NUL byte, then the values, NUL-separated, one per
// placeholder in template order (a missing value is a null string or 0). In the template
// the bytes 0x01..0x05 stand for the five placeholder names, so that short inputs reach
// every kind; names spelled out in the input count too.
//
// Checked beyond not crashing:
//  - the expansion equals an independent model of the expander, byte for byte;
//  - a LIKE-escaped value, expanded into a query and run against a table that holds the
//    value among near misses, finds the value and nothing else; with a trailing "%" it
//    finds exactly the rows that start with the value.
#include <sqlite3.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "db/file-status-db/file-status-db-internal.h"
#include "iconoverlay/badge-resolver.h"

namespace {

enum Kind { kVar = 0, kLikeVar = 1, kInt = 2, kLongLong = 3, kNoEscapeVar = 4 };
constexpr int kKinds = 5;
constexpr size_t kMaxPlaceholders = 4;
// Longest value the LIKE property is checked for; SQLite refuses very long patterns.
constexpr size_t kMaxLikeValue = 1000;

struct Value {
  bool null = false;
  std::string text;
  long long number = 0;
};

void Check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
  }
}

int KindAt(const std::string& tmpl, size_t pos) {
  if (tmpl[pos] != '@') return -1;
  for (int kind = 0; kind < kKinds; ++kind) {
    if (tmpl.compare(pos, std::strlen(grgKeloParamList[kind]), grgKeloParamList[kind]) == 0) {
      return kind;
    }
  }
  return -1;
}

// The placeholders of `tmpl` in order. Only the template is scanned, never a value.
std::vector<int> Placeholders(const std::string& tmpl) {
  std::vector<int> kinds;
  for (size_t pos = 0; pos < tmpl.size();) {
    const int kind = KindAt(tmpl, pos);
    if (kind < 0) {
      ++pos;
    } else {
      kinds.push_back(kind);
      pos += std::strlen(grgKeloParamList[kind]);
    }
  }
  return kinds;
}

std::string DoubleQuotes(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\'') out += '\'';
    out += c;
  }
  return out;
}

std::string EscapeLike(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\\' || c == '%' || c == '_') out += '\\';
    out += c;
  }
  return out;
}

// What the expander must produce, written from its contract rather than its code.
std::string Model(const std::string& tmpl, const std::vector<int>& kinds,
                  const std::vector<Value>& values) {
  std::string out;
  bool quote_seen = false;
  bool escape_pending = false;
  size_t next = 0;
  for (size_t pos = 0; pos < tmpl.size();) {
    if (tmpl[pos] == '\'') {
      out += tmpl[pos++];
      if (!quote_seen) {
        quote_seen = true;
      } else if (escape_pending) {
        out += " escape '\\'";
        escape_pending = false;
      }
      continue;
    }
    const int kind = KindAt(tmpl, pos);
    if (kind < 0) {
      out += tmpl[pos++];
      continue;
    }
    pos += std::strlen(grgKeloParamList[kind]);
    const Value& value = values[next];
    Check(kinds[next++] == kind, "placeholder scan");
    switch (kind) {
      case kVar:
        out += DoubleQuotes(value.text);
        break;
      case kLikeVar:
        escape_pending = true;
        out += EscapeLike(DoubleQuotes(value.text));
        break;
      case kInt:
        out += std::to_string(static_cast<int>(value.number));
        break;
      case kLongLong:
        out += std::to_string(value.number);
        break;
      default:
        out += value.text;
        break;
    }
  }
  return out;
}

// Calls the expander with one argument of the right C type per placeholder. The argument
// list is built at compile time for up to kMaxPlaceholders arguments.
template <typename... Args>
char* Expand(const char* tmpl, const std::vector<int>& kinds, const std::vector<Value>& values,
             size_t i, Args... args) {
  if constexpr (sizeof...(Args) >= kMaxPlaceholders) {
    return KELODBEscapeStringEX3(tmpl, args...);
  } else {
    if (i == kinds.size()) return KELODBEscapeStringEX3(tmpl, args...);
    const Value& v = values[i];
    switch (kinds[i]) {
      case kInt:
        return Expand(tmpl, kinds, values, i + 1, args..., static_cast<int>(v.number));
      case kLongLong:
        return Expand(tmpl, kinds, values, i + 1, args..., v.number);
      default:
        return Expand(tmpl, kinds, values, i + 1, args...,
                      v.null ? static_cast<const char*>(nullptr) : v.text.c_str());
    }
  }
}

std::string Run(const char* tmpl, const std::vector<int>& kinds, const std::vector<Value>& values) {
  std::unique_ptr<char, decltype(&std::free)> sql(Expand(tmpl, kinds, values, 0), &std::free);
  Check(sql != nullptr, "expansion of a valid template failed");
  return sql.get();
}

// SQLite's LIKE folds the case of ASCII letters only.
bool EqualAsciiNoCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]);
    unsigned char y = static_cast<unsigned char>(b[i]);
    if (x >= 'A' && x <= 'Z') x += 32;
    if (y >= 'A' && y <= 'Z') y += 32;
    if (x != y) return false;
  }
  return true;
}

sqlite3* Scratch() {
  static sqlite3* db = [] {
    sqlite3* opened = nullptr;
    if (sqlite3_open(":memory:", &opened) != SQLITE_OK) std::abort();
    sqlite3_exec(opened, "create table t(v text)", nullptr, nullptr, nullptr);
    return opened;
  }();
  return db;
}

std::vector<std::string> Query(const std::string& sql) {
  std::vector<std::string> rows;
  sqlite3_stmt* stmt = nullptr;
  Check(sqlite3_prepare_v2(Scratch(), sql.c_str(), -1, &stmt, nullptr) == SQLITE_OK,
        "expanded query does not prepare");
  int rc;
  while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
    rows.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0)),
                      static_cast<size_t>(sqlite3_column_bytes(stmt, 0)));
  }
  sqlite3_finalize(stmt);
  Check(rc == SQLITE_DONE, "expanded query fails");
  return rows;
}

// Fills the table with `value` and near misses: other text around it, and each of its
// first characters replaced. Near misses that are not valid UTF-8 are left out, since
// SQLite reads every broken sequence as U+FFFD.
void FillTable(const std::string& value) {
  std::vector<std::string> rows = {value,        value + "x", "x" + value,
                                   value + "/a", "",          value.substr(0, value.size() / 2)};
  for (size_t i = 0; i < value.size() && i < 64; ++i) {
    rows.push_back(value.substr(0, i) + "Q" + value.substr(i + 1));
    rows.push_back(value.substr(0, i) + value.substr(i + 1));
  }
  sqlite3_exec(Scratch(), "delete from t", nullptr, nullptr, nullptr);
  sqlite3_stmt* insert = nullptr;
  sqlite3_prepare_v2(Scratch(), "insert into t values(?)", -1, &insert, nullptr);
  for (const std::string& row : rows) {
    if (!kelo::IsValidUtf8(row)) continue;
    sqlite3_bind_text(insert, 1, row.data(), static_cast<int>(row.size()), SQLITE_TRANSIENT);
    sqlite3_step(insert);
    sqlite3_reset(insert);
  }
  sqlite3_finalize(insert);
}

void CheckLikeFindsOnlyItself(const std::string& value) {
  if (value.size() > kMaxLikeValue || !kelo::IsValidUtf8(value)) return;
  FillTable(value);
  const std::vector<Value> args = {{false, value, 0}};
  const std::vector<std::string> exact =
      Query(Run("select v from t where v like '@KELO:LVAR'", {kLikeVar}, args));
  bool found = false;
  for (const std::string& row : exact) {
    Check(EqualAsciiNoCase(row, value), "an escaped pattern matched another value");
    found = found || row == value;
  }
  Check(found, "an escaped pattern did not match its own value");

  const std::vector<std::string> below =
      Query(Run("select v from t where v like '@KELO:LVAR%'", {kLikeVar}, args));
  const std::vector<std::string> all = Query("select v from t");
  size_t expected = 0;
  for (const std::string& row : all) {
    if (EqualAsciiNoCase(row.substr(0, value.size()), value)) ++expected;
  }
  for (const std::string& row : below) {
    Check(EqualAsciiNoCase(row.substr(0, value.size()), value),
          "an escaped prefix matched a row that does not start with it");
  }
  Check(below.size() == expected, "an escaped prefix missed a row that starts with it");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* bytes = reinterpret_cast<const char*>(data);
  const char* end = bytes + size;
  const char* nul = static_cast<const char*>(std::memchr(bytes, '\0', size));
  const char* tmpl_end = nul != nullptr ? nul : end;

  std::string tmpl;
  for (const char* p = bytes; p < tmpl_end; ++p) {
    if (*p >= 1 && *p <= kKinds) {
      tmpl += grgKeloParamList[*p - 1];
    } else {
      tmpl += *p;
    }
  }
  const std::vector<int> kinds = Placeholders(tmpl);
  if (kinds.size() > kMaxPlaceholders) return 0;

  std::vector<Value> values(kinds.size());
  const char* p = nul != nullptr ? nul + 1 : end;
  for (size_t i = 0; i < kinds.size(); ++i) {
    if (p >= end) {
      values[i].null = true;  // a null string counts as empty
      continue;
    }
    const char* stop = static_cast<const char*>(std::memchr(p, '\0', end - p));
    if (stop == nullptr) stop = end;
    values[i].text.assign(p, stop);
    // Integers take the value's bytes, little-endian, so that every bit pattern is reached.
    unsigned long long bits = 0;
    for (size_t k = 0; k < values[i].text.size() && k < sizeof(bits); ++k) {
      bits |= static_cast<unsigned long long>(static_cast<unsigned char>(values[i].text[k]))
              << (8 * k);
    }
    values[i].number = static_cast<long long>(bits);
    p = stop + 1;
  }

  Check(Run(tmpl.c_str(), kinds, values) == Model(tmpl, kinds, values),
        "expansion differs from the model");
  for (size_t i = 0; i < kinds.size(); ++i) {
    if (kinds[i] != kInt && kinds[i] != kLongLong) CheckLikeFindsOnlyItself(values[i].text);
  }
  // A template without placeholders still lends its first value to the LIKE check.
  if (kinds.empty() && nul != nullptr) {
    const size_t room = static_cast<size_t>(end - nul - 1);
    CheckLikeFindsOnlyItself(std::string(nul + 1, strnlen(nul + 1, room)));
  }
  return 0;
}
