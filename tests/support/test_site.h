// SPDX-License-Identifier: GPL-2.0-or-later
// The site the unit tests run the link code for: configuration values and
// stand-in socket numbers, set after the configuration was reset.
#pragma once
#include <cstdio>
#include <cstring>

#include "core/config.h"
#include "core/udp.h"

inline constexpr int kSiteMotoSock = 11, kSiteAudioSock = 12;

inline void use_test_site() {
  snprintf(RptrIP, sizeof RptrIP, "192.0.2.2");
  snprintf(MasterIP, sizeof MasterIP, "192.0.2.3");
  RptrPort = 50000;
  const uint8_t id[4] = {0x00, 0xAB, 0xCD, 0xEF};
  memcpy(MyBridgeID, id, 4);
  for (int i = 0; i < 20; ++i) Key[i] = static_cast<uint8_t>(0x11 * i + 3);
  Corvane_sock = kSiteMotoSock;
  Local_Repeater_audio_srv_sock = kSiteAudioSock;
}
