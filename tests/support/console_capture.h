// SPDX-License-Identifier: GPL-2.0-or-later
// Captures everything the gateway prints while the object lives.
#pragma once
#include <string>

#include "core/console.h"

class ConsoleCapture {
 public:
  ConsoleCapture() : previous_(console_sink) {
    text_.clear();
    console_sink = [](const char* t, size_t n) { text_.append(t, n); };
  }
  ~ConsoleCapture() { console_sink = previous_; }
  std::string str() const { return text_; }
  void clear() { text_.clear(); }

 private:
  static inline std::string text_;
  ConsoleSink previous_;
};
