// SPDX-License-Identifier: GPL-2.0-or-later
// Reference bytes of the gateway's constant packets, hexadecimal in packet
// order, one packet per line. "--" marks a byte the gateway writes per packet
// (IDs, sequence numbers, link control, frames, tag): only the other bytes are
// fixed by the templates.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace ref {

// clang-format off
// Hytera voice packets (master side), as the templates hold them.
inline constexpr char sync_hyt[] = "000000000000000002000501020000002222EEEE11111111000000000000000000000000000000000000000000000000000000000000000000000000000001000000000000000000";
inline constexpr char start_hyt[] = "0000000000000000010005010200000022221111111100001000EA007E098C0DB017401E80706D8457FF5DD7DEF5C4318805C027A011811000060099020001000000000000000000";
inline constexpr char ende_hyt[] = "00000000000000000300050102000000222222221111000010008500AA093C0DC817301E2070AD8457FF5DD7D9F5D064B006A020E01D8118001F00AA020001000000000000000000";
inline constexpr char Voice_hyt1[] = "000000000000000001000501020000002222777711110000100098C49CD04B05F0D43905BB6F3736FD55F77D765FCB16FDCE8EDF70E0A32272C50019020001000000000000000000";
inline constexpr char Voice_hyt2[] = "0000000000000000010005010200000022228888111100001000A8FB56C56B223EC1CAD1E59861326030A0001709956FD12EB8EA56C56B232EC100F3020001000000000000000000";
inline constexpr char Voice_hyt3[] = "0000000000000000010005010200000022229999111100001000BEEE76C287076295EC3BE09C4156007000A04537C5E33B629CEC56E0E34562C50019020001000000000000000000";
inline constexpr char Voice_hyt4[] = "000000000000000001000501020000002222AAAA111100001000BEEE14C0A7676291DB19E58861329070B00147C7956FF32E98CA32E56F672E8500F3020001000000000000000000";
inline constexpr char Voice_hyt5[] = "EEEE11110000000001000501020000002222BBBB11110000100088DB32E56F672E85DBF3E5886132315021817740946FF32E98CA32E56F672C8400F3020001000000000000000000";
inline constexpr char Voice_hyt6[] = "000000000000000001000501020000002222CCCC11110000100098CA32E56F672C94CAF3E598613200100000260E956FF32C98CA32E56F672C9500F3020001000000000000000000";
// Motorola voice packets: header, terminator, bursts A to F, tag included.
inline constexpr char moto_header[] = "------------------------02--------2080--------------000000000180000B840A0060------------------------0011013604CD--------------------";
inline constexpr char moto_terminator[] = "------------------------02--------60805E------------0000000002C0000A840A0060------------------------0012050C--------------------";
inline constexpr char moto_burst_a[] = "------------------------02--------20805D------------000000008A1440----------------------------------------------------------";
inline constexpr char moto_burst_b[] = "------------------------02--------20805D------------000000008A1906--------------------------------------------------------------------";
inline constexpr char moto_burst_c[] = "------------------------02--------20805D------------000000008A1906--------------------------------------------------------------------";
inline constexpr char moto_burst_d[] = "------------------------02--------20805D------------000000008A1906--------------------------------------------------------------------";
inline constexpr char moto_burst_e[] = "------------------------02--------20805D------------000000008A2216--------------------------------------------------------------------------------------";
inline constexpr char moto_burst_f[] = "------------------------02--------20805D------------000000008A1906--------------------------------------0000000010--------------------";
// Motorola control packets as signed for peer ID 00ABCDEF.
inline constexpr char start[] = "9000ABCDEF620000805C04030400--------------------";
inline constexpr char start2[] = "9200ABCDEF--------------------";
inline constexpr char start_hb[] = "9600ABCDEF620000805C04030400--------------------";
inline constexpr char peer_95[] = "9500ABCDEF04040400--------------------";
inline constexpr char peer_99[] = "9900ABCDEF620000E01C--------------------";
// clang-format on

// Index of the first byte of pkt[0..len) that the reference does not allow, or
// -1 when all agree (a length that differs counts as a mismatch at len).
inline int mismatch(const char* hex, const uint8_t* pkt, size_t len) {
  if (std::char_traits<char>::length(hex) != 2 * len) return static_cast<int>(len);
  for (size_t i = 0; i < len; ++i)
    if (hex[2 * i] != '-' && std::stoi(std::string(hex + 2 * i, 2), nullptr, 16) != pkt[i]) return static_cast<int>(i);
  return -1;
}

}  // namespace ref
