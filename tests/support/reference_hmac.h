// Tags computed with OpenSSL, independent of the gateway's own HMAC code.
#pragma once
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <cstdint>
#include <vector>

inline std::vector<uint8_t> reference_tag(const uint8_t key[20], const uint8_t* data, size_t len) {
  unsigned char md[20];
  unsigned int mdlen = 0;
  HMAC(EVP_sha1(), key, 20, data, len, md, &mdlen);
  return std::vector<uint8_t>(md, md + 10);
}

// The packet with its 10-byte tag appended.
inline std::vector<uint8_t> signed_packet(const uint8_t key[20], std::vector<uint8_t> body) {
  auto tag = reference_tag(key, body.data(), body.size());
  body.insert(body.end(), tag.begin(), tag.end());
  return body;
}
