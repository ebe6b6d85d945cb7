// SPDX-License-Identifier: GPL-2.0-or-later
// The DMR ID list reader on any file content: once whole, once fed in pieces
// cut where the input's last byte says, and once through the loader from a
// file (an anonymous one in memory, opened by its /proc path).  Both reads
// must agree, and everything the list gives out must be what the dashboard
// may show: valid UTF-8 without control characters, within its bounds.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string_view>

#include "core/id_list.h"
#include "fuzz/harness.h"

namespace {

fuzz::MemFile* file = nullptr;

// Valid UTF-8 (the shortest form, no surrogates, nothing above U+10FFFF)
// holding no control character and none that reorders text or breaks lines.
bool showable(std::string_view s) {
  for (size_t i = 0; i < s.size();) {
    const uint8_t b = static_cast<uint8_t>(s[i]);
    size_t n = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
    if (n == 0 || i + n > s.size()) return false;
    uint32_t cp = n == 1 ? b : b & (0x7F >> n);
    for (size_t k = 1; k < n; ++k) {
      const uint8_t c = static_cast<uint8_t>(s[i + k]);
      if ((c & 0xC0) != 0x80) return false;
      cp = cp << 6 | (c & 0x3F);
    }
    static const uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < least[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    if (cp < 0x20 || (cp >= 0x7F && cp < 0xA0)) return false;
    if ((cp >= 0x202A && cp <= 0x202E) || (cp >= 0x2066 && cp <= 0x2069) || cp == 0x2028 || cp == 0x2029) return false;
    i += n;
  }
  return s.empty() || (s.front() != ' ' && s.back() != ' ');
}

// The number each line starts with (after a byte-order mark, blanks and a
// quote): the IDs the list may know.
template <typename F>
void each_leading_number(const uint8_t* data, size_t size, F f) {
  const bool bom = size >= 3 && std::memcmp(data, "\xEF\xBB\xBF", 3) == 0;
  for (size_t i = bom ? 3 : 0; i < size;) {
    while (i < size && (data[i] == ' ' || data[i] == '\t' || data[i] == '"')) ++i;
    uint64_t v = 0;
    while (i < size && data[i] >= '0' && data[i] <= '9' && v <= ID_MAX) v = v * 10 + (data[i++] - '0');
    f(static_cast<uint32_t>(v <= ID_MAX ? v : 0));
    while (i < size && data[i] != '\n') ++i;
    ++i;
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::quiet_console(true);  // the loader's lines hold nothing of the file
  file = new fuzz::MemFile("DMRIds.dat");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* text = reinterpret_cast<const char*>(data);
  const IdListRead whole = id_list_parse(text, size);
  FUZZ_CHECK(whole.list != nullptr);
  const IdList& list = *whole.list;
  FUZZ_CHECK(list.size() + whole.skipped + whole.duplicates <= whole.lines);
  FUZZ_CHECK(whole.lines <= size + 1);
  // 8 bytes an entry and at most 2 + 16 + 48 of text, each in whole pages.
  FUZZ_CHECK(whole.bytes <= list.size() * (8 + 2 + ID_CALLSIGN_MAX + ID_NAME_MAX) + 2 * 65536);

  IdListReader reader;
  const size_t step = size ? 1 + data[size - 1] % 64 : 1;
  for (size_t i = 0; i < size; i += step) reader.feed(text + i, std::min(step, size - i));
  const IdListRead pieces = reader.finish();
  FUZZ_CHECK(pieces.list != nullptr);
  FUZZ_CHECK(pieces.list->size() == list.size() && pieces.skipped == whole.skipped &&
             pieces.duplicates == whole.duplicates && pieces.lines == whole.lines);

  size_t found = 0;
  each_leading_number(data, size, [&](uint32_t id) {
    std::string_view call, name, call2, name2;
    const bool known = list.find(id, &call, &name);
    FUZZ_CHECK(known == pieces.list->find(id, &call2, &name2));
    if (!known) return;
    FUZZ_CHECK(id >= 1 && id <= ID_MAX);
    FUZZ_CHECK(call == call2 && name == name2);
    FUZZ_CHECK(!call.empty() && call.size() <= ID_CALLSIGN_MAX && showable(call));
    FUZZ_CHECK(name.size() <= ID_NAME_MAX && showable(name));
    ++found;
  });
  FUZZ_CHECK(found >= list.size());  // every entry starts some line
  FUZZ_CHECK(!list.find(0, nullptr, nullptr));

  file->write(data, size);
  reset_id_list();
  id_list_load(file->path);
  FUZZ_CHECK(id_list_current()->size() == list.size());
  reset_id_list();
  return 0;
}
