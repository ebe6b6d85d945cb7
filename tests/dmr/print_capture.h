// Records every call of the dmr/ print hook while the object lives.
#pragma once
#include <string>
#include <vector>

#include "dmr/dmr_console.h"

class DmrPrintCapture {
 public:
  DmrPrintCapture() : previous_(dmr_print) {
    calls().clear();
    dmr_print = [](const char* text) { calls().emplace_back(text); };
  }
  ~DmrPrintCapture() { dmr_print = previous_; }
  // One entry per call: each must be one whole line.
  static std::vector<std::string>& calls() {
    static std::vector<std::string> c;
    return c;
  }

 private:
  void (*previous_)(const char*);
};
