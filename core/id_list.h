// SPDX-License-Identifier: GPL-2.0-or-later
// The DMR ID list: callsign and name of each radio ID, from the list
// operators download for their hotspots.  Read on a thread of its own at
// start and again on request (SIGHUP); readers take the current list whole
// and keep it as long as they need it, so a reload never pulls a list from
// under a reader.  No voice thread ever touches it.
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
// voice thread.
std::shared_ptr<const IdList> id_list_current();
