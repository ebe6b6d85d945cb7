// SPDX-License-Identifier: GPL-2.0-or-later
// Reference vectors of the air-interface codings and of SHA-1 / HMAC-SHA1, computed once with coders written
// apart from the gateway's (and OpenSSL), or published. Bit strings are hex, four bits per digit, MSB first.
#pragma once
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

// The first n entries (all when 0) of the bit array the hex digits spell.
inline std::vector<uint8_t> bits_of(const char* hex, size_t n = 0) {
  std::vector<uint8_t> out;
  for (; *hex; ++hex)
    for (int j = 3; j >= 0; --j) out.push_back((std::stoul(std::string(1, *hex), nullptr, 16) >> j) & 1);
  if (n) out.resize(n);
  return out;
}

// "'text" is the text; otherwise hex byte pairs, a pair followed by "*N" standing for N copies of it.
inline std::vector<uint8_t> bytes_of(const char* s) {
  if (*s == '\'') return std::vector<uint8_t>(s + 1, s + std::strlen(s));
  std::vector<uint8_t> out;
  for (char* end; s[0] && s[1]; s = end) {
    const auto b = static_cast<uint8_t>(std::stoul(std::string(s, 2), nullptr, 16));
    end = const_cast<char*>(s + 2);
    out.insert(out.end(), *end == '*' ? std::strtoul(end + 1, &end, 10) : 1, b);
  }
  return out;
}

// AMBE+2 frame FEC: bare frame (49 bits) -> coded frame (72 bits). All zero, all one, random; the last in
// interleaved order, the others in plain order.
inline const char* const AMBE[][2] = {{"0000000000000", "220002040220404400"}, {"FFFFFFFFFFFF8", "DDDDFFFFDFBFBBFFBB"},
                                      {"F1FF7861890C8", "DFAA072ABEA82BDC4D"}, {"A66631F70E650", "F0A009D32CB7E2BCFA"},
                                      {"7780A9737A150", "1E9959CFA240B2F856"}, {"080AA9C6D2D28", "102590A0A58DD25911"}};

// Burst B bytes: coded frames AMBE[2..4], EMB 0x1391 (colour code 1, LCSS 1), fragment 1 of EMBEDDED_LC[0].
inline const char* const BURST_B = "DFAA072ABEA82BDC4DF0A009D321300000C0391CB7E2BCFA1E9959CFA240B2F856";

// Golay(23,12): data -> codeword.
inline const uint32_t GOLAY[][2] = {{0x001, 0x000C75}, {0x555, 0x2AAE86}, {0xAAA, 0x555179}, {0xFFF, 0x7FFFFF}};

// EMB codeword -> LCSS, for colour code, PI, LCSS 1,0,1 / 1,0,3 / 1,0,2 / 1,0,0 / 15,1,3 / 5,1,2 / 12,0,1.
inline const uint16_t EMB[][2] = {{0x1391, 1}, {0x1774, 3}, {0x1507, 2}, {0x11E2, 0},
                                  {0xFE5B, 3}, {0x5DD0, 2}, {0xC322, 1}};

// Embedded LC: control, destination, source (checksums 10 and 16) -> the 128 bits in transmission order.
inline const char* const EMBEDDED_LC[][2] = {{"000000000009123456", "00000C03000A0506030C1400051B1B18"},
                                             {"831020ABCDEF2F9BE5", "DE172E0F3F18A0D73C33211BA6C38E66"}};

// Full LC of two captured calls -> RS(12,9) check bytes of the voice LC header and of the terminator, and the
// BPTC(196,96) bits of the second call's header and terminator.
inline const char* const FULL_LC[][5] = {
    {"0000000000022F7CCA", "92AF70", "9DA07F"},
    {"000000000009280295", "D573BF", "DA7CB0", "00EA097E0D8C17B01E4070809C4058827C011A01081060099",
     "008509AA0D3C17C81E3070208D006B020A01DE018811F00AA"}};

// FIPS 180 SHA-1 (no key) and RFC 2202 HMAC-SHA1 examples: key, data, digest. The last two keys are longer
// than a block.
inline const char* const PUBLISHED_HASHES[][3] = {
    {nullptr, "'abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
    {nullptr, "'", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
    {nullptr, "'abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
    {"0b*20", "'Hi There", "b617318655057264e28bc0b6fb378c8ef146be00"},
    {"'Jefe", "'what do ya want for nothing?", "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79"},
    {"aa*80", "'Test Using Larger Than Block-Size Key - Hash Key First", "aa4ae5e15272d00e95705637ce8a3b55ed402112"},
    {"aa*80", "'Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data",
     "e8e99d0f45237d786d6bbaa7965c7808bbff1a91"}};

// Message bytes 7i + 1 (i = 0, 1, ...), of each length: SHA-1, and HMAC-SHA1 with HASH_KEY ("" past its limit).
inline const char* const HASH_KEY = "404142434445464748494A4B4C4D4E4F50515253";
inline const char* const LENGTH_HASHES[][3] = {
    {"0", "DA39A3EE5E6B4B0D3255BFEF95601890AFD80709", "14E3EE10AA9D02AF6751056ACF3043ED46CBB5E7"},
    {"55", "04BB34AEF4880B625E6B1564A014ABD25FC02BFE", "0CCB4FDD91FD1BB2283DC36BC42D550D36593D82"},
    {"56", "83B9FCB6D3E3B20F376AB989A1B6353BCC6C0F44", "F49839ABDEB6C81240A94F1A272859765F296B5C"},
    {"64", "54305EE7E4C7BC5A96AFC6D1994FC52D9BCB665F", "B45011951D0FE12C05B2542D3A5CBC9B494A324D"},
    {"66", "EDDFBD2F8F164D8B5F78B1B2979C53960C220B3D", "678A05E10E9C1B7CD0ECCD9B5B684553657BBD21"},
    {"65471", "ACE6F39F775458D0F523A6A2503DFFA269EBD44E", "DC1D555D3308BBC964E07E59199B50F535CD0456"},
    {"65535", "964C4E37421C0E5F41E1F9E5E4F0ED5483485B43", ""}};
