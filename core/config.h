// SPDX-License-Identifier: GPL-2.0-or-later
// The site configuration: nine key=value lines in "corvane.cfg".
#pragma once
#include <cstdint>

inline constexpr const char* CONFIG_FILE = "corvane.cfg";

// Written only by read_config_file, before any thread starts; read-only afterwards.
extern char RptrCall[9];       // call sign announced to the master, 3..8 characters
extern uint32_t RptrID;        // repeater ID announced to the master, 1..16777215
extern char RptrIP[16];        // Motorola repeater, dotted quad
extern int32_t RptrPort;       // repeater's UDP port and our local Motorola-side port
extern char MasterIP[16];      // DMR master, dotted quad
extern int32_t RptrQRGtx;      // transmit frequency, Hz
extern int32_t RptrQRGrx;      // receive frequency, Hz
extern uint8_t MyBridgeID[4];  // our peer ID on the Motorola link, MSB first
extern uint8_t Key[20];        // HMAC-SHA1 key of the Motorola link

// Not a key of the file: set by main from --open-master before any thread
// starts.  0: the classic login ('A' to the master's 62006); otherwise the
// service port of an open DMR master, logged into by P2P registration.
extern int32_t OpenMasterPort;
inline constexpr int32_t OPEN_MASTER_DEFAULT_PORT = 50000;

// Reads the configuration file at `path` (CONFIG_FILE in the working
// directory unless the command line names another).  Returns 1 when exactly
// nine assignments were accepted, 0 otherwise (nothing printed if the file
// cannot be opened).
int read_config_file(const char* path);

// Back to the start-of-run state: empty texts, zero numbers and bytes.
void reset_config();
