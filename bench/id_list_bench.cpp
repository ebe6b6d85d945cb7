// SPDX-License-Identifier: GPL-2.0-or-later
// The DMR ID list: a 300,000-entry user CSV (seven columns) written to a
// temporary file, then
//  - the memory one list adds to the process, loaded by the loader thread as
//    in the gateway (resident, locked, malloc'ed), and the peak while a
//    reload holds the old list and builds the new one;
//  - the time of a load from the file, of a parse from memory, and of a lookup.
// `--lock` locks the process's memory first, as the gateway does (mlockall,
// MCL_ONFAULT), so the locked figure is the one the unit's LimitMEMLOCK= sees.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <sys/mman.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/console.h"
#include "core/id_list.h"

namespace {

constexpr size_t ENTRIES = 300000;
std::string path;
std::string text;  // the file's content
std::vector<uint32_t> listed;

// Names as the list has them: mostly short, some long.
const char* const FIRST[] = {"John",    "Michael",  "David",       "Robert",  "James", "Hans",      "Peter",
                             "Thomas",  "Juan",     "Jose",        "Antonio", "Marco", "Giuseppe",  "Jean",
                             "Pierre",  "Wolfgang", "Christopher", "Al",      "Bob",   "Ed",        "Kenneth",
                             "Hiroshi", "Sergey",   "Aleksandr",   "Maria",   "Anna",  "Francisco", "Wayne"};
const char* const LAST[] = {"Smith",    "Johnson", "Mueller",   "Schmidt", "Garcia",    "Rossi",  "Martin",
                            "Nguyen",   "Tanaka",  "Ivanov",    "Lee",     "Fernandez", "Wagner", "Van der Berg",
                            "Kowalski", "Brown",   "Hernandez", "O'Brien", "Silva",     "Jones"};
const char* const CITY[] = {"Toronto", "Berlin",  "Madrid",   "Rome",        "Sao Paulo",
                            "Tokyo",   "Chicago", "Leeds",    "Springfield", "Nagoya",
                            "Lyon",    "Hamburg", "Valencia", "Perth",       "Saint Petersburg",
                            "Austin",  "Ottawa",  "Munich",   "Napoli",      "Osaka"};
const char* const STATE[] = {"Ontario", "Berlin", "Madrid", "Lazio", "",      "Tokyo",   "Illinois",
                             "England", "Ohio",   "Aichi",  "Rhone", "Texas", "Bavaria", "Western Australia"};
const char* const COUNTRY[] = {"Canada",        "Germany",        "Spain",  "Italy",     "Brazil", "Japan",
                               "United States", "United Kingdom", "France", "Australia", "Russia"};

template <size_t N>
const char* pick(const char* const (&a)[N], std::mt19937& rng) {
  return a[rng() % N];
}

// IDs ascending with gaps, as the list comes; callsigns of 4 to 6 characters.
std::string make_csv() {
  std::mt19937 rng(42);
  std::string out = "RADIO_ID,CALLSIGN,FIRST_NAME,LAST_NAME,CITY,STATE,COUNTRY\n";
  uint32_t id = 1023001;
  char call[8];
  for (size_t i = 0; i < ENTRIES; ++i) {
    id += 1 + rng() % 40;
    listed.push_back(id);
    const int suffix = 1 + static_cast<int>(rng() % 3);
    size_t k = 0;
    call[k++] = static_cast<char>('A' + rng() % 26);
    if (rng() % 2) call[k++] = static_cast<char>('A' + rng() % 26);
    call[k++] = static_cast<char>('0' + rng() % 10);
    for (int s = 0; s < suffix; ++s) call[k++] = static_cast<char>('A' + rng() % 26);
    call[k] = 0;
    out += std::to_string(id) + "," + call + "," + pick(FIRST, rng) + "," + pick(LAST, rng) + "," + pick(CITY, rng) +
           "," + pick(STATE, rng) + "," + pick(COUNTRY, rng) + "\n";
  }
  return out;
}

long status_kib(const char* key) {
  std::ifstream f("/proc/self/status");
  std::string line;
  while (std::getline(f, line))
    if (line.compare(0, std::strlen(key), key) == 0) return std::stol(line.substr(std::strlen(key) + 1));
  return -1;
}

void reset_peak() {
  std::ofstream("/proc/self/clear_refs") << "5";  // VmHWM back to VmRSS
}

void wait_loads(uint64_t n) {
  while (id_list_loads() < n) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

struct Figures {
  long rss, lck, hwm;
  size_t heap;
};
Figures now() {
  return {status_kib("VmRSS:"), status_kib("VmLck:"), status_kib("VmHWM:"), mallinfo2().uordblks};
}

void memory_report() {
  console_sink = [](const char* t, size_t n) { std::fwrite(t, 1, n, stderr); };
  const Figures before = now();
  reset_peak();
  const auto t0 = std::chrono::steady_clock::now();
  id_list_start(path.c_str());
  wait_loads(1);
  const double first_ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
  const Figures one = now();
  IdListRead r = id_list_parse(text.data(), text.size());  // for its figures
  const size_t bytes = r.bytes;
  const size_t entries = r.list->size();
  r.list.reset();

  reset_peak();
  id_list_reload();  // builds the new list while the old one is current
  wait_loads(2);
  const Figures reload = now();

  std::printf("ID list of %zu entries, %zu bytes of file; list storage %zu bytes (%.1f per entry)\n", entries,
              text.size(), bytes, static_cast<double>(bytes) / static_cast<double>(entries));
  std::printf("first load on the loader thread: %.1f ms\n", first_ms);
  std::printf("added by one list:     VmRSS %+ld KiB, VmLck %+ld KiB, malloc'ed %+ld bytes\n", one.rss - before.rss,
              one.lck - before.lck, static_cast<long>(one.heap) - static_cast<long>(before.heap));
  std::printf("peak during the load:  VmHWM %+ld KiB over the start\n", one.hwm - before.rss);
  std::printf("peak during a reload:  VmHWM %+ld KiB over the start (old list held while the new one is built)\n",
              reload.hwm - before.rss);
  std::printf("after the reload:      VmRSS %+ld KiB, VmLck %+ld KiB over the start\n", reload.rss - before.rss,
              reload.lck - before.lck);
  std::fflush(stdout);
}

void BM_LoadFile(benchmark::State& state) {
  for (auto _ : state) {
    IdListRead r = id_list_read_file(path.c_str());
    if (!r.list || r.list->size() != ENTRIES) state.SkipWithError("file not read");
    benchmark::DoNotOptimize(r);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * ENTRIES));
}
BENCHMARK(BM_LoadFile)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ParseBuffer(benchmark::State& state) {
  for (auto _ : state) {
    IdListRead r = id_list_parse(text.data(), text.size());
    benchmark::DoNotOptimize(r);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * ENTRIES));
}
BENCHMARK(BM_ParseBuffer)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Find(benchmark::State& state) {
  const IdListRead r = id_list_parse(text.data(), text.size());
  std::mt19937 rng(7);
  std::vector<uint32_t> ids(4096);
  for (auto& id : ids) id = listed[rng() % ENTRIES] + (rng() % 2);  // about half of them listed
  size_t i = 0, hits = 0;
  for (auto _ : state) {
    std::string_view call, name;
    hits += r.list->find(ids[i++ & 4095], &call, &name);
    benchmark::DoNotOptimize(call);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
  state.counters["hit_ratio"] = static_cast<double>(hits) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_Find);

}  // namespace

int main(int argc, char** argv) {
  bool lock = false;
  for (int i = 1; i < argc; ++i)
    if (std::strcmp(argv[i], "--lock") == 0) lock = true;
  refresh_ts_full();  // the time zone read on the main thread, as at the gateway's start-up
  if (lock && mlockall(MCL_CURRENT | MCL_FUTURE | MCL_ONFAULT) != 0) std::perror("mlockall");
  text = make_csv();
  char tmpl[] = "/tmp/corvane-ids-bench-XXXXXX";
  const int fd = mkstemp(tmpl);
  if (fd < 0 || write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
    std::perror("temporary file");
    return 1;
  }
  close(fd);
  path = tmpl;
  memory_report();
  // Google Benchmark's own options; --lock is ours.
  std::vector<char*> args;
  for (int i = 0; i < argc; ++i)
    if (std::strcmp(argv[i], "--lock") != 0) args.push_back(argv[i]);
  int n = static_cast<int>(args.size());
  benchmark::Initialize(&n, args.data());
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  unlink(path.c_str());
  return 0;
}
