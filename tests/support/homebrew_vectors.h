// SPDX-License-Identifier: GPL-2.0-or-later
// Datagrams of a HomeBrew (MMDVM flavour) login, keep-alive, call and close
// that a real master accepted or sent, V01-V28, written once for every test
// that needs them.  Fixed values: passphrase "passw0rd", repeaters 3120101
// (002F9BE5) and 3120102 (002F9BE6), radio 3120001 (2F9B81), talkgroup 3100
// (000C1C), colour code 1, stream ID A1B2C3D4, salts 7857DD86 and 7F90ADE7.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace hbv {

inline constexpr uint32_t kPeer = 3120101, kOtherPeer = 3120102, kRadio = 3120001, kTalkgroup = 3100;
inline constexpr const char* kPassphrase = "passw0rd";
inline constexpr uint8_t kSalt[4] = {0x78, 0x57, 0xDD, 0x86};   // V02
inline constexpr uint8_t kSalt2[4] = {0x7F, 0x90, 0xAD, 0xE7};  // V23, for 3120104
inline constexpr uint32_t kStream = 0xA1B2C3D4;
inline constexpr const char* kOptions = "TS2=3100;DIAL=0;TIMER=10;";  // V07

// The RPTC fields of V05.
inline constexpr const char* kCall = "N0CALL";
inline constexpr int64_t kRxHz = 449000000, kTxHz = 444000000;
inline constexpr int kPower = 25, kColourCode = 1, kHeight = 75;
inline constexpr double kLatitude = 38.0, kLongitude = -95.0;
inline constexpr const char* kLocation = "Loopback Lab";
inline constexpr const char* kDescription = "HBP verify peer";
inline constexpr const char* kUrl = "https://example.invalid/hbp";
inline constexpr const char* kSoftware = "hbp-note-peer 0.1";
inline constexpr const char* kPackage = "HBPnote_Peer";

struct Vector {
  const char* name;
  bool from_master;
  const char* what;
  const char* hex;
};

// clang-format off
inline constexpr Vector kVectors[] = {
    {"V01", false, "RPTL - login request, repeater id 3120101", "5250544c002f9be5"},
    {"V02", true , "RPTACK + salt 0x7857DD86 (the challenge)", "52505441434b7857dd86"},
    {"V03", false, "RPTK - id + SHA-256(salt | \"passw0rd\")", "5250544b002f9be56e2f3d3ecd16c07eb936c2e01730ac3135cef79fe507cb6ab4cea6a84ddf0ace"},
    {"V04", true , "RPTACK + id (authentication accepted)", "52505441434b002f9be5"},
    {"V05", false, "RPTC - 302-byte configuration",
     "52505443002f9be54e3043414c4c2020343439303030303030343434303030303030323530312b33382e303030302d3039352e30303030"
     "3037354c6f6f706261636b204c61622020202020202020484250207665726966792070656572202020203268747470733a2f2f6578616d"
     "706c652e696e76616c69642f68627020202020202020202020202020202020202020202020202020202020202020202020202020202020"
     "20202020202020202020202020202020202020202020202020202020202020202020202020202020202020202020202020202020202020"
     "20206862702d6e6f74652d7065657220302e3120202020202020202020202020202020202020202020204842506e6f74655f5065657220"
     "202020202020202020202020202020202020202020202020202020"},
    {"V06", true , "RPTACK + id (configuration accepted)", "52505441434b002f9be5"},
    {"V07", false, "RPTO - options \"TS2=3100;DIAL=0;TIMER=10;\"", "5250544f002f9be55453323d333130303b4449414c3d303b54494d45523d31303b"},
    {"V08", true , "RPTACK + id (options accepted)", "52505441434b002f9be5"},
    {"V09", false, "RPTPING", "52505450494e47002f9be5"},
    {"V10", true , "MSTPONG + id", "4d5354504f4e47002f9be5"},
    {"V11", false, "DMRD voice LC header, TS2 group, seq 0x00, flags 0xA1",
     "444d5244002f9b81000c1c002f9be5a1a1b2c3d40f8a0dbc1ea809b00f403be1046dff57d75df5de318c296070f00a201f808685b70000"},
    {"V12", false, "DMRD burst A (voice sync), seq 0x01, flags 0x90",
     "444d5244012f9b81000c1c002f9be590a1b2c3d4b9e881526173002a6bb9e881526755fd7df75f7173002a6bb9e881526173002a6b0000"},
    {"V13", false, "DMRD burst B, EMB LCSS=01 + embedded LC fragment 1, flags 0x81",
     "444d5244022f9b81000c1c002f9be581a1b2c3d4b9e881526173002a6bb9e88152613060f0f0c91173002a6bb9e881526173002a6b0000"},
    {"V14", false, "DMRD burst C, LCSS=11, fragment 2, flags 0x82",
     "444d5244032f9b81000c1c002f9be582a1b2c3d4b9e881526173002a6bb9e881526171411000574173002a6bb9e881526173002a6b0000"},
    {"V15", false, "DMRD burst D, LCSS=11, fragment 3, flags 0x83",
     "444d5244042f9b81000c1c002f9be583a1b2c3d4b9e881526173002a6bb9e881526170c033c1274173002a6bb9e881526173002a6b0000"},
    {"V16", false, "DMRD burst E, LCSS=10, fragment 4, flags 0x84",
     "444d5244052f9b81000c1c002f9be584a1b2c3d4b9e881526173002a6bb9e88152615173c2b2b07173002a6bb9e881526173002a6b0000"},
    {"V17", false, "DMRD burst F, LCSS=00, null embedded data, flags 0x85",
     "444d5244062f9b81000c1c002f9be585a1b2c3d4b9e881526173002a6bb9e8815261100000000e2173002a6bb9e881526173002a6b0000"},
    {"V18", false, "DMRD terminator with LC, seq 0x13, flags 0xA2",
     "444d5244132f9b81000c1c002f9be5a2a1b2c3d40fe50d681e1809c80f303b4104adff57d75df5d964982a587790066017809f85840000"},
    {"V19", true , "the header of V11 as the master repeated it to peer 3120102 (only bytes 11..14 differ)",
     "444d5244002f9b81000c1c002f9be6a1a1b2c3d40f8a0dbc1ea809b00f403be1046dff57d75df5de318c296070f00a201f808685b70000"},
    {"V20", false, "DMRD TS1 private-call header (flags 0x61), seq 0xFA, stream id 0x00000001, dst 3120999",
     "444d5244fa2f9b812f9f67002f9be561000000014fe534e90efa2c98e3c1b4c2846dff57d75df5de31f82b88b4b103831fd78b0ffe0000"},
    {"V21", false, "RPTPING from id 3120103, which is not logged in", "52505450494e47002f9be7"},
    {"V22", true , "MSTNAK + id (answer to V21)", "4d53544e414b002f9be7"},
    {"V23", true , "RPTACK + salt 0x7F90ADE7 for id 3120104", "52505441434b7f90ade7"},
    {"V24", false, "RPTK with the WRONG passphrase \"wrong-pass\"", "5250544b002f9be879573e2b51921c43aa0a1c4fffec9b14219ecb190a17bf77c24367b1bfc15468"},
    {"V25", true , "MSTNAK + id (authentication refused)", "4d53544e414b002f9be8"},
    {"V26", false, "RPTCL - orderly close from id 3120105", "525054434c002f9be9"},
    {"V27", true , "MSTNAK + id - the master's answer to RPTCL", "4d53544e414b002f9be9"},
    {"V28", true , "MSTCL + id - master shutting down (stopped)", "4d5354434c002f9be5"},
};
// clang-format on

inline std::vector<uint8_t> from_hex(const char* h) {
  std::vector<uint8_t> b;
  for (const char* p = h; p[0] && p[1]; p += 2)
    b.push_back(static_cast<uint8_t>(std::stoi(std::string(p, 2), nullptr, 16)));
  return b;
}

// The bytes of vector `name` ("V01" .. "V28"); empty for an unknown name.
inline std::vector<uint8_t> v(const char* name) {
  for (const Vector& x : kVectors)
    if (std::string(x.name) == name) return from_hex(x.hex);
  return {};
}

// The 33-byte burst of a DMRD vector.
inline std::vector<uint8_t> burst_of(const char* name) {
  const std::vector<uint8_t> d = v(name);
  return std::vector<uint8_t>(d.begin() + 20, d.begin() + 53);
}

}  // namespace hbv
