// SPDX-License-Identifier: GPL-2.0-or-later
#include "core/id_list.h"

#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>

#include "core/console.h"
#include "core/realtime.h"

namespace {

// One entry of the index, sorted by ID; `off` points into the pool at the
// record: callsign length, name length (one byte each), callsign, name.
struct Entry {
  uint32_t id;
  uint32_t off;
};

bool by_id(const Entry& a, const Entry& b) {
  return a.id != b.id ? a.id < b.id : a.off < b.off;  // the same ID: in file order
}
bool by_off(const Entry& a, const Entry& b) {
  return a.off < b.off;
}

size_t page_round(size_t n) {
  static const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  return (n + page - 1) / page * page;
}

// Grown a step at a time: with the pages locked as they are touched, what is
// mapped but untouched costs nothing resident, but counts toward the lock
// limit, so the steps stay small.
constexpr size_t GROW_STEP = 256 << 10;

class PackedList final : public IdList {
 public:
  PackedList(IdListReader::Region index, IdListReader::Region pool) : index_(index), pool_(pool) {}
  ~PackedList() override {
    index_.release();
    pool_.release();
  }
  size_t size() const override { return index_.used / sizeof(Entry); }
  bool find(uint32_t id, std::string_view* callsign, std::string_view* name) const override {
    const Entry* begin = reinterpret_cast<const Entry*>(index_.p);
    const Entry* end = begin + size();
    const Entry* e = std::lower_bound(begin, end, id, [](const Entry& a, uint32_t v) { return a.id < v; });
    if (e == end || e->id != id) return false;
    const uint8_t* r = pool_.p + e->off;
    const char* text = reinterpret_cast<const char*>(r + 2);
    if (callsign) *callsign = std::string_view(text, r[0]);
    if (name) *name = std::string_view(text + r[0], r[1]);
    return true;
  }

 private:
  IdListReader::Region index_, pool_;
};

// The list object with its shared count gets a page of its own, so the
// loader thread takes nothing from malloc: a thread's first malloc reserves
// an arena of 64 MiB, all of it counted against the lock limit once the
// process has locked its memory.
template <typename T>
struct PageAlloc {
  using value_type = T;
  PageAlloc() = default;
  template <typename U>
  PageAlloc(const PageAlloc<U>&) {}
  T* allocate(size_t n) {
    void* p = mmap(nullptr, page_round(n * sizeof(T)), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    return static_cast<T*>(p);
  }
  void deallocate(T* p, size_t n) { munmap(p, page_round(n * sizeof(T))); }
  template <typename U>
  bool operator==(const PageAlloc<U>&) const {
    return true;
  }
};

// Why a mapping could not be had.
const char* map_error(int err) {
  return err == EAGAIN ? "over the memory lock limit (LimitMEMLOCK=)" : std::strerror(err);
}

class EmptyList final : public IdList {
 public:
  size_t size() const override { return 0; }
  bool find(uint32_t, std::string_view*, std::string_view*) const override { return false; }
};

const std::shared_ptr<const IdList>& empty_list() {
  static const std::shared_ptr<const IdList> empty = std::make_shared<EmptyList>();
  return empty;
}

// ---- one line ---------------------------------------------------------------------

bool blank(char c) {
  return c == ' ' || c == '\t';
}

// Splits `s` into fields in place (quotes removed, doubled quotes made one)
// and hands each to `visit(column, text)` until it returns false.  The
// separator is the line's first comma or tab.
template <typename Visit>
void split(char* s, size_t n, Visit visit) {
  char sep = 0;
  for (size_t k = 0; k < n && !sep; ++k)
    if (s[k] == ',' || s[k] == '\t') sep = s[k];
  size_t i = 0, w = 0;
  for (int col = 0;; ++col) {
    while (i < n && blank(s[i]) && s[i] != sep) ++i;
    const size_t start = w;
    if (i < n && s[i] == '"') {
      for (++i; i < n; ++i) {
        if (s[i] == '"' && (i + 1 >= n || s[i + 1] != '"')) {
          ++i;
          break;
        }
        if (s[i] == '"') ++i;  // the first of a doubled quote
        s[w++] = s[i];
      }
    }
    while (i < n && !(sep && s[i] == sep)) s[w++] = s[i++];
    size_t end = w;
    while (end > start && blank(s[end - 1])) --end;
    if (!visit(col, std::string_view(s + start, end - start)) || i >= n) return;
    ++i;
    w = end;  // room behind the field's trimmed end is free again
  }
}

// The next character of `s` at `i`: its code point and length, or U+FFFD and
// the length of the longest start of a valid sequence (at least one byte).
char32_t next_char(std::string_view s, size_t i, size_t* len) {
  const auto b = [&](size_t k) { return i + k < s.size() ? static_cast<uint8_t>(s[i + k]) : 0; };
  const uint8_t b0 = b(0);
  *len = 1;
  if (b0 < 0x80) return b0;
  int more;
  uint8_t lo = 0x80, hi = 0xBF;  // the range of the second byte
  char32_t cp;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    more = 1, cp = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    more = 2, cp = b0 & 0x0F;
    if (b0 == 0xE0) lo = 0xA0;  // no overlong forms
    if (b0 == 0xED) hi = 0x9F;  // no surrogates
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    more = 3, cp = b0 & 0x07;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
  } else {
    return 0xFFFD;
  }
  for (int k = 1; k <= more; ++k) {
    const uint8_t c = b(k);
    if (c < (k == 1 ? lo : 0x80) || c > (k == 1 ? hi : 0xBF)) {
      *len = static_cast<size_t>(k);
      return 0xFFFD;
    }
    cp = cp << 6 | (c & 0x3F);
  }
  *len = static_cast<size_t>(more) + 1;
  return cp;
}

size_t put_char(char32_t cp, char* out) {
  if (cp < 0x80) {
    out[0] = static_cast<char>(cp);
    return 1;
  }
  if (cp < 0x800) {
    out[0] = static_cast<char>(0xC0 | cp >> 6);
    out[1] = static_cast<char>(0x80 | (cp & 0x3F));
    return 2;
  }
  if (cp < 0x10000) {
    out[0] = static_cast<char>(0xE0 | cp >> 12);
    out[1] = static_cast<char>(0x80 | (cp >> 6 & 0x3F));
    out[2] = static_cast<char>(0x80 | (cp & 0x3F));
    return 3;
  }
  out[0] = static_cast<char>(0xF0 | cp >> 18);
  out[1] = static_cast<char>(0x80 | (cp >> 12 & 0x3F));
  out[2] = static_cast<char>(0x80 | (cp >> 6 & 0x3F));
  out[3] = static_cast<char>(0x80 | (cp & 0x3F));
  return 4;
}

// `in` as valid UTF-8 without control characters, blanks at both ends
// trimmed, into `out` (at most `cap` bytes, cut at a character); *cut tells
// whether something was left out for want of room.
size_t clean_text(std::string_view in, char* out, size_t cap, bool* cut) {
  size_t w = 0;
  *cut = false;
  for (size_t i = 0, len; i < in.size(); i += len) {
    char32_t cp = next_char(in, i, &len);
    if (cp < 0x20 || (cp >= 0x7F && cp < 0xA0)) cp = ' ';
    if ((cp >= 0x202A && cp <= 0x202E) || (cp >= 0x2066 && cp <= 0x2069) || cp == 0x2028 || cp == 0x2029) continue;
    if (cp == ' ' && w == 0) continue;
    char enc[4];
    const size_t m = put_char(cp, enc);
    if (w + m > cap) {
      if (cp == ' ') continue;  // would be trimmed anyway
      *cut = true;
      break;
    }
    std::memcpy(out + w, enc, m);
    w += m;
  }
  while (w > 0 && out[w - 1] == ' ') --w;
  return w;
}

// The ID of a field of decimal digits only, 0 when it is none.
uint32_t parse_id(std::string_view f) {
  if (f.empty()) return 0;
  uint32_t v = 0;
  for (char c : f) {
    if (c < '0' || c > '9') return 0;
    v = v * 10 + static_cast<uint32_t>(c - '0');
    if (v > ID_MAX) return 0;
  }
  return v;
}

bool same_name(std::string_view a, const char* b) {
  const size_t n = std::strlen(b);
  if (a.size() != n) return false;
  for (size_t i = 0; i < n; ++i)
    if ((a[i] >= 'a' && a[i] <= 'z' ? a[i] - 32 : a[i]) != b[i]) return false;
  return true;
}

}  // namespace

// ---- the mappings ----------------------------------------------------------------

bool IdListReader::Region::reserve(size_t more) {
  if (cap - used >= more) return true;
  const size_t want = page_round(used + std::max(more, GROW_STEP));
  void* q = p ? mremap(p, cap, want, MREMAP_MAYMOVE)
              : mmap(nullptr, want, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (q == MAP_FAILED) return false;
  p = static_cast<uint8_t*>(q);
  cap = want;
  return true;
}

void IdListReader::Region::shrink() {
  const size_t want = page_round(used);
  if (want == 0) {
    release();
    return;
  }
  // The tail pages go back; the head stays where it is.  (Not mremap to a
  // smaller size: the same on a kernel, but user-mode emulators get it wrong.)
  if (want < cap && munmap(p + want, cap - want) == 0) cap = want;
}

void IdListReader::Region::release() {
  if (p) munmap(p, cap);
  p = nullptr;
  used = cap = 0;
}

// ---- reading -----------------------------------------------------------------------

IdListReader::~IdListReader() {
  index_.release();
  pool_.release();
}

void IdListReader::fail(const char* why) {
  failed_ = true;
  std::snprintf(out_.error, sizeof out_.error, "%s", why);
}

bool IdListReader::feed(const char* data, size_t len) {
  while (len > 0 && !failed_) {
    const char* nl = static_cast<const char*>(std::memchr(data, '\n', len));
    const size_t part = nl ? static_cast<size_t>(nl - data) : len;
    if (!overlong_ && len_ + part > sizeof line_) overlong_ = true;
    if (!overlong_) {
      std::memcpy(line_ + len_, data, part);
      len_ += part;
    }
    if (!nl) break;
    end_line();
    data = nl + 1;
    len -= part + 1;
  }
  return !failed_;
}

void IdListReader::end_line() {
  ++out_.lines;
  char* s = line_;
  size_t n = len_;
  const bool overlong = overlong_;
  len_ = 0;
  overlong_ = false;
  if (overlong) {
    ++out_.skipped;
    return;
  }
  take(s, n);
}

void IdListReader::take(char* s, size_t n) {
  if (out_.lines == 1 && n >= 3 && std::memcmp(s, "\xEF\xBB\xBF", 3) == 0) s += 3, n -= 3;
  while (n > 0 && (s[n - 1] == '\r' || blank(s[n - 1]))) --n;
  while (n > 0 && blank(*s)) ++s, --n;
  if (n == 0 || *s == '#') return;

  if (!seen_content_) {
    seen_content_ = true;
    const char first = *s == '"' && n > 1 ? s[1] : *s;
    if (!(first >= '0' && first <= '9')) {  // a header: where callsign and name stand
      int call = -1, name = -1;
      split(s, n, [&](int col, std::string_view f) {
        if (call < 0 && (same_name(f, "CALLSIGN") || same_name(f, "CALL"))) call = col;
        if (name < 0 && (same_name(f, "FIRST_NAME") || same_name(f, "NAME"))) name = col;
        return col < 255;
      });
      if (call > 0) call_col_ = call;
      if (name > 0) name_col_ = name;
      return;
    }
  }

  std::string_view id_text, call_text, name_text;
  const int last = std::max(call_col_, name_col_);
  split(s, n, [&](int col, std::string_view f) {
    if (col == 0) id_text = f;
    if (col == call_col_) call_text = f;
    if (col == name_col_) name_text = f;
    return col < last;
  });
  const uint32_t id = parse_id(id_text);
  char call[ID_CALLSIGN_MAX], name[ID_NAME_MAX];
  bool call_cut, name_cut;
  const size_t call_len = clean_text(call_text, call, sizeof call, &call_cut);
  const size_t name_len = clean_text(name_text, name, sizeof name, &name_cut);
  if (id == 0 || call_len == 0 || call_cut) {
    ++out_.skipped;
    return;
  }
  const size_t rec = 2 + call_len + name_len;
  if (index_.used + pool_.used + sizeof(Entry) + rec > ID_LIST_MAX_BYTES) {
    fail("too large (its list would take more than 32 MiB)");
    return;
  }
  if (!index_.reserve(sizeof(Entry)) || !pool_.reserve(rec)) {
    fail(map_error(errno));
    return;
  }
  const Entry e{id, static_cast<uint32_t>(pool_.used)};
  std::memcpy(index_.p + index_.used, &e, sizeof e);
  index_.used += sizeof e;
  uint8_t* r = pool_.p + pool_.used;
  r[0] = static_cast<uint8_t>(call_len);
  r[1] = static_cast<uint8_t>(name_len);
  std::memcpy(r + 2, call, call_len);
  std::memcpy(r + 2 + call_len, name, name_len);
  pool_.used += rec;
}

IdListRead IdListReader::finish() {
  if (!failed_ && (len_ > 0 || overlong_)) end_line();
  IdListRead out = out_;
  if (failed_) return out;

  Entry* e = reinterpret_cast<Entry*>(index_.p);
  size_t n = index_.used / sizeof(Entry);
  if (!std::is_sorted(e, e + n, by_id)) std::sort(e, e + n, by_id);
  // Of entries with the same ID the last read stays; the pool records of
  // the others are left out by moving the rest together.
  size_t kept = 0, dead = 0;
  for (size_t k = 0; k < n; ++k) {
    if (k + 1 < n && e[k + 1].id == e[k].id) {
      const uint8_t* r = pool_.p + e[k].off;
      dead += 2 + r[0] + r[1];
      continue;
    }
    e[kept++] = e[k];
  }
  out.duplicates = n - kept;
  n = kept;
  if (dead > 0) {
    std::sort(e, e + n, by_off);
    uint32_t w = 0;
    for (size_t k = 0; k < n; ++k) {
      const uint8_t* r = pool_.p + e[k].off;
      const uint32_t len = 2u + r[0] + r[1];
      std::memmove(pool_.p + w, r, len);
      e[k].off = w;
      w += len;
    }
    pool_.used = w;
    std::sort(e, e + n, by_id);
  }
  index_.used = n * sizeof(Entry);
  index_.shrink();
  pool_.shrink();
  out.bytes = index_.cap + pool_.cap;
  try {
    out.list = std::allocate_shared<PackedList>(PageAlloc<PackedList>(), index_, pool_);
  } catch (const std::bad_alloc&) {
    std::snprintf(out.error, sizeof out.error, "%s", map_error(errno));
    return out;  // the regions are still ours, released with the reader
  }
  index_ = Region{};  // the list owns them now
  pool_ = Region{};
  return out;
}

IdListRead id_list_parse(const char* data, size_t len) {
  IdListReader r;
  r.feed(data, len);
  return r.finish();
}

IdListRead id_list_read_file(const char* path) {
  IdListRead out;
  // Not blocking at the open: a FIFO put there by mistake is refused below,
  // not waited on.
  const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  struct stat st;
  const char* why = nullptr;
  if (fd < 0 || fstat(fd, &st) != 0)
    why = std::strerror(errno);
  else if (!S_ISREG(st.st_mode))
    why = "not a regular file";
  else if (static_cast<uint64_t>(st.st_size) > ID_FILE_MAX)
    why = "larger than 256 MiB";
  if (why) {
    if (fd >= 0) close(fd);
    std::snprintf(out.error, sizeof out.error, "%s", why);
    return out;
  }
  IdListReader reader;
  char buf[8192];
  uint64_t total = 0;
  for (;;) {
    const ssize_t got = read(fd, buf, sizeof buf);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) why = std::strerror(errno);
    if (got <= 0) break;
    total += static_cast<uint64_t>(got);
    if (total > ID_FILE_MAX) why = "larger than 256 MiB";  // it grew while read
    if (why || !reader.feed(buf, static_cast<size_t>(got))) break;
  }
  // A file written while we read it (a download into the same name) would
  // give a list cut short: it is refused, the list before stays.
  struct stat after;
  if (!why && (fstat(fd, &after) != 0 || total != static_cast<uint64_t>(st.st_size) || after.st_size != st.st_size ||
               after.st_mtim.tv_sec != st.st_mtim.tv_sec || after.st_mtim.tv_nsec != st.st_mtim.tv_nsec))
    why = "it changed while it was read";
  close(fd);
  if (why) {
    std::snprintf(out.error, sizeof out.error, "%s", why);
    return out;
  }
  return reader.finish();
}

// ---- the current list and its loader ---------------------------------------------

namespace {

std::mutex current_lock;
std::shared_ptr<const IdList> current;  // null: the empty list
std::atomic<uint64_t> loads{0};

std::atomic<int> wake_fd{-1};
const char* loader_path = nullptr;  // set once, before the loader starts

void* loader(void*) {
  const int fd = wake_fd.load();
  for (;;) {
    id_list_load(loader_path);
    uint64_t n;
    while (read(fd, &n, sizeof n) < 0)
      if (errno != EINTR) return nullptr;
  }
}

}  // namespace

std::shared_ptr<const IdList> id_list_current() {
  std::lock_guard<std::mutex> g(current_lock);
  return current ? current : empty_list();
}

void id_list_use(std::shared_ptr<const IdList> list) {
  {
    std::lock_guard<std::mutex> g(current_lock);
    current.swap(list);
  }
  list.reset();  // the old one, outside the lock
}

void id_list_load(const char* path) {
  IdListRead r = id_list_read_file(path);
  if (r.list && r.list->size() == 0) {
    std::snprintf(r.error, sizeof r.error, "no entries (%zu lines skipped)", r.skipped);
    r.list.reset();
  }
  if (r.list) {
    const size_t n = r.list->size();
    id_list_use(std::move(r.list));
    console_printf("%s ID list: %zu entries from %s (%zu lines skipped, %zu duplicate IDs)\n", refresh_ts().text, n,
                   path, r.skipped, r.duplicates);
  } else {
    console_printf("%s ID list %s not read: %s; keeping %zu entries\n", refresh_ts().text, path, r.error,
                   id_list_current()->size());
  }
  loads.fetch_add(1, std::memory_order_release);
}

bool id_list_start(const char* path) {
  if (wake_fd.load() >= 0) return false;
  const int fd = eventfd(0, EFD_CLOEXEC);
  loader_path = strdup(path);
  if (fd < 0 || loader_path == nullptr) {
    console_printf("Can not start the ID list thread\n");
    if (fd >= 0) close(fd);
    return false;
  }
  wake_fd = fd;
  if (!spawn_thread(loader, nullptr)) {
    console_printf("Can not start the ID list thread\n");
    return false;  // the descriptor stays: a reload then wakes nobody
  }
  return true;
}

void id_list_reload() {
  const int fd = wake_fd.load();
  const uint64_t one = 1;
  if (fd >= 0 && write(fd, &one, sizeof one) < 0) {
    // The counter is full: the loader has loads enough coming.
  }
}

uint64_t id_list_loads() {
  return loads.load(std::memory_order_acquire);
}

void reset_id_list() {
  id_list_use(nullptr);
  loads = 0;
}
