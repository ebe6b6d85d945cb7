// SPDX-License-Identifier: GPL-2.0-or-later
// The DMR ID list: callsign and name of each radio ID, from the list
// operators download for their hotspots.  Read on a thread of its own at
// start and again on request (SIGHUP); readers take the current list whole
// and keep it as long as they need it, so a reload never pulls a list from
// under a reader.  No voice thread ever touches it.
//
// The file: one entry a line, ID, callsign and name separated by commas (the
// user CSV, its further columns ignored) or by tabs (DMRIds.dat).  Fields may
// be quoted ("a, b", "say ""hi"""); blanks around fields are dropped.  Blank
// lines and lines starting with '#' are ignored, a UTF-8 byte-order mark and
// CR LF line ends are accepted.  When the first line of content does not
// start with a number it is a header: columns named CALLSIGN (or CALL) and
// FIRST_NAME (or NAME) say where those are; otherwise the callsign is the
// second field and the name the third.  The ID is always the first field.
//
// A line is skipped, and counted, when its ID is not a number 1..ID_MAX, its
// callsign is empty or longer than ID_CALLSIGN_MAX bytes, or the line is
// longer than ID_LINE_MAX bytes.  Callsign and name are kept as valid UTF-8:
// invalid sequences become U+FFFD, control characters a blank, and the
// characters that reorder text or break lines (U+202A..202E, U+2066..2069,
// U+2028, U+2029) are dropped; a name longer than ID_NAME_MAX bytes is cut at
// a character.  Of lines with the same ID the last one counts.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

class IdList {
 public:
  virtual ~IdList() = default;
  // Entries in the list.
  virtual size_t size() const = 0;
  // Callsign and name of `id` (valid UTF-8; the name may be empty); false
  // when the list does not know it.
  virtual bool find(uint32_t id, std::string_view* callsign, std::string_view* name) const = 0;
};

// The list now in use; an empty one before any was read.  Any thread but a
// voice thread (it takes a small lock, held only to copy the pointer).
std::shared_ptr<const IdList> id_list_current();

inline constexpr uint32_t ID_MAX = 16777215;
inline constexpr size_t ID_LINE_MAX = 1024;            // bytes before the line feed
inline constexpr size_t ID_CALLSIGN_MAX = 16;          // bytes
inline constexpr size_t ID_NAME_MAX = 48;              // bytes
inline constexpr size_t ID_FILE_MAX = 256 << 20;       // a larger file is not read
inline constexpr size_t ID_LIST_MAX_BYTES = 32 << 20;  // nor one whose list would take more

// What one read gave.
struct IdListRead {
  std::shared_ptr<const IdList> list;  // null when the input could not be read
  size_t lines = 0;                    // lines of the input
  size_t skipped = 0;                  // bad lines
  size_t duplicates = 0;               // entries replaced by a later line of the same ID
  size_t bytes = 0;                    // memory the list holds
  char error[96] = "";                 // why not, when `list` is null
};

// Reads a list from pieces of input fed in order (split anywhere).  The list
// lives in two anonymous mappings grown in steps of 256 KiB while reading and
// cut to their size at the end: 8 bytes per ID and 2 plus the lengths of
// callsign and name.  Only the line buffer is on the stack (about 1 KiB).
class IdListReader {
 public:
  IdListReader() = default;
  ~IdListReader();
  IdListReader(const IdListReader&) = delete;
  IdListReader& operator=(const IdListReader&) = delete;
  // False once reading cannot go on (out of memory, list too large); the
  // rest of the input can then be left unread.
  bool feed(const char* data, size_t len);
  // The list of all that was fed (the last line needs no line feed).
  IdListRead finish();

  struct Region {
    uint8_t* p = nullptr;
    size_t used = 0, cap = 0;
    bool reserve(size_t more);
    void shrink();
    void release();
  };

 private:
  void end_line();
  void take(char* s, size_t n);
  void fail(const char* why);

  char line_[ID_LINE_MAX];
  size_t len_ = 0;
  bool overlong_ = false;
  bool seen_content_ = false;  // the first line of content (a header?) is behind
  int call_col_ = 1, name_col_ = 2;
  bool failed_ = false;
  IdListRead out_;
  Region index_, pool_;
};

// The whole of a memory buffer.
IdListRead id_list_parse(const char* data, size_t len);
// A file, read in pieces of 8 KiB.  Only a regular file is read.
IdListRead id_list_read_file(const char* path);

// ---- the loader ----------------------------------------------------------------

// One load: reads `path`; when it gives at least one entry that list becomes
// the current one, else the current one stays.  Prints one line either way:
//   <time> ID list: N entries from PATH (S lines skipped, D duplicate IDs)
//   <time> ID list PATH not read: REASON; keeping N entries
// The loader thread's pass; tests call it directly.
void id_list_load(const char* path);
// Makes `list` the current one (null: the empty list).  The list it replaces
// is freed here (or by the last reader still holding it), never under the lock.
void id_list_use(std::shared_ptr<const IdList> list);
// Starts the loader thread (normal priority, 64 KiB stack), which loads
// `path` at once and again after each id_list_reload().  Once per process;
// false (and one line) when the thread cannot be started.
bool id_list_start(const char* path);
// Wakes the loader for another load of the same path and returns at once; a
// reload asked for while one runs gives one more.  Never blocks, reads
// nothing; safe from the signal thread (even from a signal handler).  Nothing
// before id_list_start().
void id_list_reload();
// Loads finished so far, each after its console line (for tests to wait on).
uint64_t id_list_loads();
// Back to the empty list and no loads counted.  A loader thread once started
// keeps running (waiting for id_list_reload()).
void reset_id_list();
