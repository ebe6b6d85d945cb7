// SPDX-License-Identifier: GPL-2.0-or-later
// Tags of the Motorola link for test packets, made with the gateway's own
// HMAC-SHA1 (checked once against the published vectors in tests/auth).
#pragma once
#include <cstdint>
#include <vector>

#include "auth/hmac_sha1.h"

inline std::vector<uint8_t> reference_tag(const uint8_t key[20], const uint8_t* data, size_t len) {
  Sha1Context ctx;
  uint8_t tag[AUTH_TAG_LEN];
  auth_tag(ctx, key, data, static_cast<uint32_t>(len), tag);
  return std::vector<uint8_t>(tag, tag + AUTH_TAG_LEN);
}

// The packet with its 10-byte tag appended.
inline std::vector<uint8_t> signed_packet(const uint8_t key[20], std::vector<uint8_t> body) {
  auto tag = reference_tag(key, body.data(), body.size());
  body.insert(body.end(), tag.begin(), tag.end());
  return body;
}
