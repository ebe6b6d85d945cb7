// SPDX-License-Identifier: GPL-2.0-or-later
#include "core/config.h"

#include <arpa/inet.h>

#include <cctype>
#include <cstdio>
#include <cstring>

#include "core/console.h"

char RptrCall[9];
uint32_t RptrID;
char RptrIP[16];
int32_t RptrPort;
char MasterIP[16];
int32_t RptrQRGtx;
int32_t RptrQRGrx;
uint8_t MyBridgeID[4];
uint8_t Key[20];
int32_t OpenMasterPort = 0;

void reset_config() {
  memset(RptrCall, 0, sizeof RptrCall);
  RptrID = 0;
  memset(RptrIP, 0, sizeof RptrIP);
  RptrPort = 0;
  memset(MasterIP, 0, sizeof MasterIP);
  RptrQRGtx = 0;
  RptrQRGrx = 0;
  memset(MyBridgeID, 0, sizeof MyBridgeID);
  memset(Key, 0, sizeof Key);
  OpenMasterPort = 0;
}

namespace {

// Decimal conversion as atoi reads it (leading blanks, a sign, digits up to
// the first non-digit, no digits gives 0), but without atoi's undefined
// behaviour on overflow: the result saturates at the int32 range.
int32_t parse_int(const char* s) {
  while (isspace(static_cast<unsigned char>(*s))) ++s;
  bool neg = false;
  if (*s == '+' || *s == '-') neg = (*s++ == '-');
  int64_t v = 0;
  for (; *s >= '0' && *s <= '9'; ++s) {
    v = v * 10 + (*s - '0');
    if (v > 0x80000000LL) v = 0x80000000LL;  // saturate, keep going over digits
  }
  if (neg) v = -v;
  if (v > INT32_MAX) v = INT32_MAX;
  return static_cast<int32_t>(v);
}

// The IP texts must be a complete dotted-quad IPv4 address; anything else
// would only fail (or go to a different host) when packets are sent.
bool accept_ip(const char* key, char (&dest)[16], const char* value) {
  struct in_addr a;
  if (strlen(value) > 15 || inet_pton(AF_INET, value, &a) != 1) {
    console_printf("Error in %s=[%s]\n", key, value);
    return false;
  }
  snprintf(dest, sizeof dest, "%s", value);
  console_printf("%s=[%s]\n", key, dest);
  return true;
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// NetworkKey: up to 40 hexadecimal characters, right-aligned in a text of
// forty '0's and read as 20 bytes.  Decimal-only keys give the same bytes as
// they always did ("37" is 0x37).
bool accept_key(const char* value) {
  size_t n = strlen(value);
  bool ok = n <= 40;
  for (size_t i = 0; ok && i < n; ++i) ok = hex_value(value[i]) >= 0;
  if (!ok) {
    console_printf("Error in NetworkKey=[%s]\n", value);
    return false;
  }
  console_printf("NetworkKey=[%s]\n", value);
  char work[40];
  memset(work, '0', sizeof work);
  memcpy(work + 40 - n, value, n);
  for (int i = 0; i < 20; ++i) Key[i] = static_cast<uint8_t>(hex_value(work[2 * i]) * 16 + hex_value(work[2 * i + 1]));
  char line[16 + 20 * 3];
  int pos = snprintf(line, sizeof line, "KeyBytes={");
  for (int i = 0; i < 20; ++i) pos += snprintf(line + pos, sizeof line - pos, i ? ":%2.2x" : "%2.2x", Key[i]);
  snprintf(line + pos, sizeof line - pos, "}\n");
  console_write(line);
  return true;
}

// Handles one assignment; returns true when it counts.
bool assign(const char* key, const char* value) {
  if (strcmp(key, "RptrCall") == 0) {
    memset(RptrCall, 0, sizeof RptrCall);
    size_t n = strlen(value);
    if (n < 3 || n > 8) {
      console_printf("RptrCall [%s], has more than %d characters!\n", value, 8);
      return false;
    }
    memcpy(RptrCall, value, n);
    console_printf("RptrCall=[%s]\n", RptrCall);
    return true;
  }
  if (strcmp(key, "RptrID") == 0) {
    RptrID = static_cast<uint32_t>(parse_int(value));
    if (RptrID < 1 || RptrID > 16777215) {
      console_printf("Error in RptrID=[%u]\n", RptrID);
      return false;
    }
    console_printf("RptrID=[%u]\n", RptrID);
    return true;
  }
  if (strcmp(key, "RptrIP") == 0) return accept_ip("RptrIP", RptrIP, value);
  if (strcmp(key, "MasterIP") == 0) return accept_ip("MasterIP", MasterIP, value);
  if (strcmp(key, "RptrPort") == 0) {
    RptrPort = parse_int(value);
    uint32_t u = static_cast<uint32_t>(RptrPort);
    if (u < 1024 || u > 65535) {
      console_printf("Error in RptrPort=[%u] [1024-65535]\n", u);
      return false;
    }
    console_printf("RptrPort=[%d]\n", RptrPort);
    return true;
  }
  if (strcmp(key, "RptrQRGtx") == 0) {
    RptrQRGtx = parse_int(value);
    console_printf("RptrQRGtx=[%d]\n", RptrQRGtx);
    return true;
  }
  if (strcmp(key, "RptrQRGrx") == 0) {
    RptrQRGrx = parse_int(value);
    console_printf("RptrQRGrx=[%d]\n", RptrQRGrx);
    return true;
  }
  if (strcmp(key, "MyBridgeID") == 0) {
    uint32_t id = static_cast<uint32_t>(parse_int(value));
    if (id >= 2 && id <= 0xFFFFFE) {
      MyBridgeID[0] = static_cast<uint8_t>(id >> 24);
      MyBridgeID[1] = static_cast<uint8_t>(id >> 16);
      MyBridgeID[2] = static_cast<uint8_t>(id >> 8);
      MyBridgeID[3] = static_cast<uint8_t>(id);
    }
    console_printf("MyBridgeID=[%u] {%2.2x:%2.2x:%2.2x:%2.2x}\n", id, MyBridgeID[0], MyBridgeID[1], MyBridgeID[2],
                   MyBridgeID[3]);
    return true;
  }
  if (strcmp(key, "NetworkKey") == 0) return accept_key(value);
  return false;  // unknown keys are ignored silently
}

}  // namespace

int read_config_file(const char* path) {
  FILE* f = fopen(path, "r");
  if (f == nullptr) return 0;
  uint16_t accepted = 0;
  char line[1020];
  while (fgets(line, sizeof line, f) != nullptr) {
    if (strchr(line, '#') != nullptr) continue;
    line[strcspn(line, "\r")] = '\0';
    line[strcspn(line, "\n")] = '\0';
    char* eq = strchr(line, '=');
    if (eq == nullptr) continue;
    *eq = '\0';
    if (assign(line, eq + 1)) ++accepted;
  }
  fclose(f);
  if (accepted == 9) return 1;
  console_printf("Configuration file invalid... (%d)\n", accepted);
  return 0;
}
