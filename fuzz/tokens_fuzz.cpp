// The index builder's token-file reader (lumora/lm_build_kernel.hpp: line splitting, str.strip,
// tab fields, the key tables and the plain-integer fast path) against a line-by-line rendering of
// the builder's loop: for each line of a text-mode file, strip, skip if empty, split on tabs,
// look up word then tag, then fields 3 and 4.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include "lumora/lm_build_kernel.hpp"
#include "reference.hpp"

namespace b = lumora::build;

namespace {

struct Entry {
  int64_t id;
  bool needs_python;
  uint32_t entry;
};

// A dictionary in both forms: the table under test and a plain map. Keys are stored up front so
// that the table may point into them.
struct Dict {
  std::vector<std::string> keys;
  std::unordered_map<std::string, Entry> map;
  b::StrTable table;

  void build(uint8_t salt) {
    table.reserve(keys.size());
    for (size_t i = 0; i < keys.size(); ++i) {
      const std::string& k = keys[i];
      Entry e{static_cast<int64_t>(i * 7919 % 100003) - 5000, (i + salt) % 4 == 0,
              static_cast<uint32_t>(i)};
      table.add(reinterpret_cast<const unsigned char*>(k.data()), k.size(), e.id, e.needs_python,
                e.entry);
      map[k] = e;  // a later equal key replaces the earlier one, in both
    }
  }
};

bool plain_int(const std::string& s, int64_t* v) {
  size_t i = (!s.empty() && (s[0] == '+' || s[0] == '-')) ? 1 : 0;
  size_t digits = s.size() - i;
  if (digits == 0 || digits > 18) return false;
  for (size_t k = i; k < s.size(); ++k)
    if (s[k] < '0' || s[k] > '9') return false;
  *v = std::stoll(s);
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const uint8_t drop = data[0], salt = data[1];
  data += 2;
  size -= 2;
  ref::Decoded d = ref::decode(data, size);
  size = d.valid;  // the reader is given valid UTF-8 only
  std::vector<unsigned char> file(data, data + size);  // exactly sized

  // Lines with universal line ends, stripped, non-empty, split on every tab.
  std::vector<std::vector<std::string>> lines;
  size_t start = 0;
  for (size_t k = 0; k <= d.cps.size(); ++k) {
    bool end = k == d.cps.size();
    if (!end && d.cps[k] != '\n' && d.cps[k] != '\r') continue;
    auto kept = ref::strip(d, start, k, d.valid);
    if (kept.first != kept.second) {
      std::string line(reinterpret_cast<const char*>(data) + kept.first,
                       kept.second - kept.first);
      std::vector<std::string> fields;
      size_t from = 0;
      for (;;) {
        size_t tab = line.find('\t', from);
        fields.push_back(line.substr(from, tab == std::string::npos ? std::string::npos
                                                                     : tab - from));
        if (tab == std::string::npos) break;
        from = tab + 1;
      }
      lines.push_back(fields);
    }
    if (!end && d.cps[k] == '\r' && k + 1 < d.cps.size() && d.cps[k + 1] == '\n') ++k;
    start = k + 1;
  }

  // Dictionaries from the file's own fields, some keys left out, one key repeated.
  Dict words, tags;
  for (const auto& f : lines) {
    if (std::hash<std::string>{}(f[0]) % 5 != drop % 5) words.keys.push_back(f[0]);
    if (f.size() > 1 && std::hash<std::string>{}(f[1]) % 7 != drop % 7) tags.keys.push_back(f[1]);
  }
  if (!words.keys.empty() && (salt & 0x10)) words.keys.push_back(words.keys[0]);
  words.build(salt);
  tags.build(salt >> 2);
  const bool no_words = (drop & 0xF0) == 0xF0, no_tags = (drop & 0xF0) == 0xE0;

  // What the loop gives.
  b::Stop want;
  std::string want_key;
  std::vector<int64_t> want_cells;
  std::vector<std::pair<size_t, std::string>> want_pending;  // cell, entry number or text
  for (const auto& f : lines) {
    if (no_words) { want.kind = b::Stop::kWordDictNone; break; }
    auto w = words.map.find(f[0]);
    if (w == words.map.end()) { want.kind = b::Stop::kWordMissing; want_key = f[0]; break; }
    if (f.size() < 2) { want.kind = b::Stop::kIndex; break; }
    if (no_tags) { want.kind = b::Stop::kTagDictNone; break; }
    auto t = tags.map.find(f[1]);
    if (t == tags.map.end()) { want.kind = b::Stop::kTagMissing; want_key = f[1]; break; }
    if (f.size() < 4) { want.kind = b::Stop::kIndex; break; }
    size_t row = want_cells.size() / 4;
    want_cells.push_back(w->second.id);
    want_cells.push_back(t->second.id);
    if (w->second.needs_python)
      want_pending.emplace_back(row * 4, "#" + std::to_string(w->second.entry));
    if (t->second.needs_python)
      want_pending.emplace_back(row * 4 + 1, "#" + std::to_string(t->second.entry));
    for (int k = 2; k < 4; ++k) {
      int64_t v = 0;
      if (!plain_int(f[k], &v)) want_pending.emplace_back(row * 4 + k, f[k]);
      want_cells.push_back(v);
    }
  }

  // What the reader gives.
  std::vector<int64_t> cells;
  std::vector<b::Pending> pending;
  // lm_build hands over a bytes object's buffer, never a null pointer, even when it is empty.
  static const unsigned char nothing = 0;
  b::Stop got = b::read_tokens(size ? file.data() : &nothing, file.size(),
                               no_words ? nullptr : &words.table,
                               no_tags ? nullptr : &tags.table, cells, pending);
  if (got.kind != want.kind) ref::fail("read_tokens: stop kind");
  if (got.kind == b::Stop::kWordMissing || got.kind == b::Stop::kTagMissing) {
    if (std::string(reinterpret_cast<const char*>(got.p), got.n) != want_key)
      ref::fail("read_tokens: missing key");
  }
  if (cells != want_cells) ref::fail("read_tokens: cells");
  if (pending.size() != want_pending.size()) ref::fail("read_tokens: pending count");
  for (size_t i = 0; i < pending.size(); ++i) {
    const b::Pending& p = pending[i];
    std::string what = p.cell % 4 < 2 ? "#" + std::to_string(p.entry)
                                      : std::string(reinterpret_cast<const char*>(p.p), p.n);
    if (p.cell != want_pending[i].first || what != want_pending[i].second)
      ref::fail("read_tokens: pending cell");
  }
  return 0;
}
