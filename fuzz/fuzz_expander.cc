// Fuzzes the SQL template expander with random templates and values.
//
// Input: the template up to the first NUL byte, then the values, NUL-separated, one per
// placeholder in template order (a missing one is a null string or 0; integers take a value's
// first eight bytes in host order). In the template the bytes 0x01..0x05 stand for the five
// placeholder names, so that short inputs reach every kind; names spelled out count too.
//
// Checked beyond not crashing: the expansion equals a compact model of the expander's contract;
// every string value, LIKE-escaped into a query over a table that holds it among near misses,
// finds exactly the rows equal to it, and with "%" after it exactly those that start with it.
#include <sqlite3.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "db/file-status-db/file-status-db-internal.h"
#include "db/sqlite-owners.h"
#include "fuzz/fuzz-support.h"
#include "iconoverlay/badge-resolver.h"

namespace {

using kelo_fuzz::Check;

enum Kind { kVar = 0, kLikeVar = 1, kInt = 2, kLongLong = 3, kNoEscapeVar = 4 };
constexpr size_t kMaxPlaceholders = 4;
constexpr size_t kMaxLikeValue = 1000;  // SQLite refuses very long patterns

struct Value {
  bool null = true;
  std::string text;
  long long number = 0;
};

// The contract: text copied; placeholders replaced by their values (quotes doubled for VAR and
// LVAR, then "\", "%" and "_" escaped for LVAR); after an LVAR, the next quote that is not the
// template's first gets " escape '\'". Records the kinds; stops after one too many.
std::string Model(const std::string& tmpl, const std::vector<Value>& values,
                  std::vector<int>* kinds) {
  std::string out;
  bool quote_seen = false, escape_pending = false;
  for (size_t pos = 0; pos < tmpl.size() && kinds->size() <= kMaxPlaceholders;) {
    int kind = 0;
    while (kind < 5 &&
           tmpl.compare(pos, std::strlen(grgKeloParamList[kind]), grgKeloParamList[kind]) != 0) {
      ++kind;
    }
    if (kind == 5) {
      out += tmpl[pos];
      if (tmpl[pos++] == '\'' && std::exchange(quote_seen, true) && escape_pending) {
        out += " escape '\\'";
        escape_pending = false;
      }
      continue;
    }
    pos += std::strlen(grgKeloParamList[kind]);
    kinds->push_back(kind);
    if (kinds->size() > kMaxPlaceholders) break;
    const Value& v = values[kinds->size() - 1];
    escape_pending = escape_pending || kind == kLikeVar;
    for (char c : kind == kInt        ? std::to_string(static_cast<int>(v.number))
                  : kind == kLongLong ? std::to_string(v.number)
                                      : v.text) {
      if (c == '\'' && (kind == kVar || kind == kLikeVar)) out += '\'';
      if ((c == '\\' || c == '%' || c == '_') && kind == kLikeVar) out += '\\';
      out += c;
    }
  }
  return out;
}

// Calls the expander with one argument of the right C type per placeholder.
template <typename... Args>
char* Expand(const char* tmpl, const std::vector<int>& kinds, const std::vector<Value>& values,
             Args... args) {
  constexpr size_t i = sizeof...(Args);
  if constexpr (i == kMaxPlaceholders) {
    return KELODBEscapeStringEX3(tmpl, args...);
  } else {
    if (i == kinds.size()) return KELODBEscapeStringEX3(tmpl, args...);
    const Value& v = values[i];
    if (kinds[i] == kInt) return Expand(tmpl, kinds, values, args..., static_cast<int>(v.number));
    if (kinds[i] == kLongLong) return Expand(tmpl, kinds, values, args..., v.number);
    return Expand(tmpl, kinds, values, args..., v.null ? nullptr : v.text.c_str());
  }
}

using Text = std::unique_ptr<char, decltype(&std::free)>;

int Collect(void* rows, int, char** cells, char**) {
  static_cast<std::vector<std::string>*>(rows)->push_back(cells[0]);
  return 0;
}

// Fills a table with `value` and near misses: a byte before or after it, each of its first ASCII
// bytes replaced or left out (rows stay valid UTF-8: SQLite reads broken sequences as U+FFFD).
// The byte put in is no letter, so LIKE, which ignores the case of ASCII letters, may match only
// rows equal to the value.
void CheckLikeFindsOnlyItself(const std::string& value) {
  // One in-memory database and one prepared insert serve every input.
  // Kept for the life of the fuzzer, never destroyed: its statement is never finalised.
  static kelo::sqlite::Connection& connection = *new kelo::sqlite::Connection;
  static sqlite3_stmt* insert = nullptr;
  sqlite3* db = connection.get();
  if (db == nullptr &&
      (kelo::sqlite::Open(":memory:", kelo::sqlite::kReadWriteCreate, &connection) != SQLITE_OK ||
       (db = connection.get()) == nullptr ||
       sqlite3_exec(db, "create table t(v)", nullptr, nullptr, nullptr) != SQLITE_OK ||
       sqlite3_prepare_v2(db, "insert into t values(?)", -1, &insert, nullptr) != SQLITE_OK)) {
    std::abort();
  }
  if (value.size() > kMaxLikeValue || !kelo::IsValidUtf8(value)) return;
  std::vector<std::string> rows = {value, value + "\x01", "\x01" + value, ""};
  for (size_t i = 0; i < value.size() && i < 64; ++i) {
    if (static_cast<unsigned char>(value[i]) >= 0x80) continue;
    rows.push_back(value.substr(0, i) + "\x01" + value.substr(i + 1));
    rows.push_back(value.substr(0, i) + value.substr(i + 1));
  }
  std::sort(rows.begin(), rows.end());
  sqlite3_exec(db, "begin; delete from t", nullptr, nullptr, nullptr);
  for (const std::string& row : rows) {
    sqlite3_bind_text(insert, 1, row.c_str(), -1, SQLITE_STATIC);
    sqlite3_step(insert);
    sqlite3_reset(insert);
  }
  sqlite3_exec(db, "commit", nullptr, nullptr, nullptr);
  for (const char* tmpl : {"select v from t where v like '@KELO:LVAR' order by v",
                           "select v from t where v like '@KELO:LVAR%' order by v"}) {
    const bool prefix = std::strchr(tmpl, '%') != nullptr;
    std::vector<std::string> expected, found;
    for (const std::string& row : rows) {
      if (prefix ? row.compare(0, value.size(), value) == 0 : row == value) expected.push_back(row);
    }
    Text sql(KELODBEscapeStringEX3(tmpl, value.c_str()), &std::free);
    Check(sqlite3_exec(db, sql.get(), Collect, &found, nullptr) == SQLITE_OK,
          "an expanded query fails");
    Check(found == expected, "an escaped pattern matched other rows than its own");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const size_t nul = input.find('\0');
  std::string tmpl;
  for (const char c : input.substr(0, nul)) {
    tmpl += c >= 1 && c <= 5 ? grgKeloParamList[c - 1] : std::string(1, c);
  }
  std::vector<Value> values(kMaxPlaceholders);
  for (size_t i = 0, p = nul; i < kMaxPlaceholders && p != std::string::npos && p + 1 < size; ++i) {
    const size_t end = std::min(input.find('\0', p + 1), size);
    values[i] = {false, input.substr(p + 1, end - p - 1), 0};
    std::memcpy(&values[i].number, values[i].text.data(), std::min<size_t>(end - p - 1, 8));
    p = end;
  }
  std::vector<int> kinds;
  const std::string expected = Model(tmpl, values, &kinds);
  if (kinds.size() > kMaxPlaceholders) return 0;
  Text sql(Expand(tmpl.c_str(), kinds, values), &std::free);
  Check(sql != nullptr && expected == sql.get(), "expansion differs from the model");
  for (size_t i = 0; i < kinds.size(); ++i) {
    if (kinds[i] != kInt && kinds[i] != kLongLong) CheckLikeFindsOnlyItself(values[i].text);
  }
  if (kinds.empty()) CheckLikeFindsOnlyItself(values[0].text);  // the first value still counts
  return 0;
}
