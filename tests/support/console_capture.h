// Captures everything the gateway prints while the object lives.
#pragma once
#include <mutex>
#include <string>

#include "core/console.h"

class ConsoleCapture {
 public:
  ConsoleCapture() {
    text().clear();
    previous_ = console_sink;
    console_sink = [](const char* t, size_t n) {
      std::lock_guard<std::mutex> g(lock());
      text().append(t, n);
    };
  }
  ~ConsoleCapture() { console_sink = previous_; }
  std::string str() const {
    std::lock_guard<std::mutex> g(lock());
    return text();
  }
  void clear() {
    std::lock_guard<std::mutex> g(lock());
    text().clear();
  }

 private:
  static std::string& text() {
    static std::string s;
    return s;
  }
  static std::mutex& lock() {
    static std::mutex m;
    return m;
  }
  ConsoleSink previous_;
};
