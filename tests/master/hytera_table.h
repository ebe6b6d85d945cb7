// The nine Hytera voice packet templates as tabled, hexadecimal in packet
// order; "ss" marks a sequence number byte and "ii" an ID byte, both written
// per packet. Tests build their expected packets from these texts.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace hyt_table {

struct Row {
  const char* name;
  const char* text;
};

inline const std::vector<Row>& rows() {
  static const std::vector<Row> r = {
      {
          "sync_hyt",
          "00 00 00 00 ss ss 00 00 02 00 05 01 02 00 00 00 22 22 EE EE 11 11 11 11 00 00 "
          "00 00 00 00 00 00 00 00 00 00 00 00 ii 00 ii 00 ii 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
          "00 00 01 00 ii ii ii 00 ii ii ii 00",
      },
      {
          "start_hyt",
          "00 00 00 00 ss ss 00 00 01 00 05 01 02 00 00 00 22 22 11 11 11 11 00 00 10 00 "
          "EA 00 7E 09 8C 0D B0 17 40 1E 80 70 ii 84 ii FF ii D7 DE F5 C4 31 88 05 C0 27 A0 11 81 10 00 06 00 99 "
          "02 00 01 00 ii ii ii 00 ii ii ii 00",
      },
      {
          "ende_hyt",
          "00 00 00 00 ss ss 00 00 03 00 05 01 02 00 00 00 22 22 22 22 11 11 00 00 10 00 "
          "85 00 AA 09 3C 0D C8 17 30 1E 20 70 AD 84 57 FF 5D D7 D9 F5 D0 64 B0 06 A0 20 E0 1D 81 18 00 1F 00 AA "
          "02 00 01 00 ii ii ii 00 ii ii ii 00",
      },
      {
          "Voice_hyt1",
          "00 00 00 00 ss ss 00 00 01 00 05 01 02 00 00 00 22 22 77 77 11 11 00 00 10 00 "
          "98 C4 9C D0 4B 05 F0 D4 39 05 BB 6F 37 36 FD 55 F7 7D 76 5F CB 16 FD CE 8E DF 70 E0 A3 22 72 C5 00 19 "
          "02 00 01 00 ii ii ii 00 ii ii ii 00",
      },
      {
          "Voice_hyt2",
          "00 00 00 00 ss ss 00 00 01 00 05 01 02 00 00 00 22 22 88 88 11 11 00 00 10 00 "
          "A8 FB 56 C5 6B 22 3E C1 CA D1 E5 98 61 32 60 30 A0 00 17 09 95 6F D1 2E B8 EA 56 C5 6B 23 2E C1 00 F3 "
          "02 00 01 00 ii ii ii 00 ii ii ii 00",
      },
      {
          "Voice_hyt3",
          "00 00 00 00 ss ss 00 00 01 00 05 01 02 00 00 00 22 22 99 99 11 11 00 00 10 00 "
          "BE EE 76 C2 87 07 62 95 EC 3B E0 9C 41 56 00 70 00 A0 45 37 C5 E3 3B 62 9C EC 56 E0 E3 45 62 C5 00 19 "
          "02 00 01 00 ii ii ii 00 ii ii ii 00",
      },
      {
          "Voice_hyt4",
          "00 00 00 00 ss ss 00 00 01 00 05 01 02 00 00 00 22 22 AA AA 11 11 00 00 10 00 "
          "BE EE 14 C0 A7 67 62 91 DB 19 E5 88 61 32 90 70 B0 01 47 C7 95 6F F3 2E 98 CA 32 E5 6F 67 2E 85 00 F3 "
          "02 00 01 00 ii ii ii 00 ii ii ii 00",
      },
      {
          "Voice_hyt5",
          "EE EE 11 11 ss ss 00 00 01 00 05 01 02 00 00 00 22 22 BB BB 11 11 00 00 10 00 "
          "88 DB 32 E5 6F 67 2E 85 DB F3 E5 88 61 32 31 50 21 81 77 40 94 6F F3 2E 98 CA 32 E5 6F 67 2C 84 00 F3 "
          "02 00 01 00 ii ii ii 00 ii ii ii 00",
      },
      {
          "Voice_hyt6",
          "00 00 00 00 ss ss 00 00 01 00 05 01 02 00 00 00 22 22 CC CC 11 11 00 00 10 00 "
          "98 CA 32 E5 6F 67 2C 94 CA F3 E5 98 61 32 00 10 00 00 26 0E 95 6F F3 2C 98 CA 32 E5 6F 67 2C 95 00 F3 "
          "02 00 01 00 ii ii ii 00 ii ii ii 00",
      },
  };
  return r;
}

// The bytes of template `name`, "ss" and "ii" as 0; *variable (if given)
// marks those positions.
inline std::vector<uint8_t> bytes(const std::string& name, std::vector<bool>* variable = nullptr) {
  std::vector<uint8_t> out;
  if (variable) variable->clear();
  for (const Row& r : rows()) {
    if (name != r.name) continue;
    std::string t = r.text;
    for (size_t i = 0; i + 1 < t.size(); i += 3) {
      const std::string tok = t.substr(i, 2);
      const bool var = tok == "ss" || tok == "ii";
      out.push_back(var ? 0 : static_cast<uint8_t>(std::stoi(tok, nullptr, 16)));
      if (variable) variable->push_back(var);
    }
  }
  return out;
}

}  // namespace hyt_table
