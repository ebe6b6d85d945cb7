// SPDX-License-Identifier: GPL-2.0-or-later
#include "gateway/startup.h"

#include <sys/sysinfo.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "core/config.h"
#include "core/console.h"
#include "core/udp.h"
#include "dmr/golay.h"
#include "master/homebrew.h"
#include "motorola/control_packets.h"

uint32_t get_mem_total() {
  struct sysinfo si;
  if (sysinfo(&si) != 0) return 0;
  // 64-bit product: on a 32-bit board totalram * mem_unit can overflow.
  uint64_t bytes = static_cast<uint64_t>(si.totalram) * si.mem_unit;
  return static_cast<uint32_t>(bytes >> 20);
}

void print_progress_bar(void (*sleep_10ms)()) {
  console_printf("%sTIMER SET Please Wait%s, %s8sek\n", "\033[4;32m", "\033[0m", "\033[1;36m");
  float p = 0.0f;
  while (p < 1.0f) {
    sleep_10ms();
    char frame[80 + 16];
    int pos = 0;
    frame[pos++] = '[';
    int filled = static_cast<int>(70.0f * p);
    for (int i = 0; i < 70; ++i) frame[pos++] = i < filled ? '=' : (i == filled ? '>' : ' ');
    snprintf(frame + pos, sizeof frame - pos, "] %d %%\r", static_cast<int>(static_cast<double>(p) * 100));
    console_write(frame);
    fflush(stdout);
    p = static_cast<float>(static_cast<double>(p) + 0.01);
  }
  console_write("\n");
}

namespace {

bool contains_nocase(const char* hay, const char* needle) {
  size_t n = strlen(needle);
  for (; *hay; ++hay)
    if (strncasecmp(hay, needle, n) == 0) return true;
  return false;
}

void erase_first(char* s, const char* what) {
  char* p = strstr(s, what);
  if (p != nullptr) memmove(p, p + strlen(what), strlen(p + strlen(what)) + 1);
}

// The CPU lines of the report: every distinct run of cpuinfo lines naming
// the field, with the field name and the first ": " removed, double blanks
// folded and anything from '@' on dropped.
void print_cpu_field(const char* path, const char* field, const char* name_part) {
  FILE* f = fopen(path, "r");
  if (f == nullptr) return;
  char line[512], last[512] = "";
  bool have_last = false;
  while (fgets(line, sizeof line, f) != nullptr) {
    if (!contains_nocase(line, field)) continue;
    if (have_last && strcmp(line, last) == 0) continue;
    snprintf(last, sizeof last, "%s", line);
    have_last = true;
    erase_first(line, name_part);
    erase_first(line, ": ");
    char out[512];
    size_t o = 0;
    for (size_t i = 0; line[i] && o + 1 < sizeof out; ++i) {
      if (line[i] == ' ' && line[i + 1] == ' ') ++i;  // "  " becomes " ", left to right
      out[o++] = line[i];
    }
    out[o] = '\0';
    char* at = strchr(out, '@');
    if (at != nullptr) *at = '\0';
    if (strchr(out, '\n') == nullptr) {
      // A line cut by '@' lost its line feed; the report keeps one per line.
      size_t l = strlen(out);
      if (l + 1 < sizeof out) out[l] = '\n', out[l + 1] = '\0';
    }
    console_write(out);
  }
  fclose(f);
}

void sleep_10ms_real() {
  usleep(10000);
}

}  // namespace

void print_cpu_report(const char* cpuinfo_path) {
  console_write("\033[1m[INFO]\033[0m CPU name: ");
  print_cpu_field(cpuinfo_path, "model name", "model name");
  console_write("\n\n");
  console_write("\033[1m[INFO]\033[0m CPU speed: ");
  print_cpu_field(cpuinfo_path, "cpu MHz", "cpu ");
  console_write("\n\n");
}

namespace {
const char* hb_passphrase_file = nullptr;
const char* hb_site_file = nullptr;
}  // namespace

void set_homebrew_files(const char* passphrase_file, const char* site_file) {
  hb_passphrase_file = passphrase_file;
  hb_site_file = site_file;
}

bool load_config(const char* path) {
  console_printf("Read Configfile %s\n", path);
  if (read_config_file(path) != 1) {
    console_printf("Can not read Configfile %s\n", path);
    return false;
  }
  if (HomebrewPort != 0) {
    // Each says what is wrong in one line of its own.
    if (!homebrew_load_secret(hb_passphrase_file, HomebrewPassphrase, sizeof HomebrewPassphrase)) return false;
    if (!homebrew_load_site(hb_site_file, &HomebrewSiteInfo) || !homebrew_check_config()) return false;
  }
  return true;
}

int check_config(const char* path) {
  if (!load_config(path)) return 1;
  console_write("configuration ok\n");
  return 0;
}

int startup(const char* config_path) {
  TimeStamp t = refresh_ts_full();
  console_printf("Date: %s", t.text);
  snprintf(LISTEN_IP, sizeof LISTEN_IP, "0.0.0.0");
  console_write("Initialize Golay-23-12 table\n");
  init_Golay_23_12();

  if (!load_config(config_path)) return 1;
  snprintf(RptrFw, sizeof RptrFw, "%s%s", "Zolt CV ", CORVANE_VERSION);

  const char* failed = nullptr;
  if (Local_Repeater_srv_open() != 0)
    failed = "* Local_Repeater_srv_open() failed\n";
  else if (Local_Repeater_audio_srv_open() != 0)
    failed = "Local_Repeater_audio_srv_open() failed\n";
  else if (Local_Repeater_rdac_srv_open() != 0)
    failed = "Local_Repeater_rdac_srv_open() failed\n";
  else if (Corvane() != 0)
    failed = "Corvane_srv_open failed\n";
  if (failed != nullptr) {
    // A gateway without all of its sockets can never bring its links up:
    // say so and end with a failure status for the service manager.
    console_write(failed);
    console_printf("%s", "\033[0m");
    return 1;
  }

  reset_control_packets();
  sign_control_packets(MyBridgeID, Key);

  console_printf("\n\nCorvane %s initialized...entering processing id %s\n", CORVANE_VERSION, "");
  print_progress_bar(sleep_10ms_real);

  console_printf("%s", "\033[0m");
  console_write("\033[1;32m[ OK ]\033[0m Initializing...\n\n");
  print_cpu_report("/proc/cpuinfo");
  uint32_t mem = get_mem_total();
  if (mem == 0)
    console_write("Konnte RAM nicht ermitteln\n\n");
  else
    console_printf("Vorhandener Arbeitsspeicher: %ldMB\n\n", static_cast<long>(mem));
  console_printf("%s", "\033[0m");
  return 0;
}
