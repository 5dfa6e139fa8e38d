// The record store with 30,000 list-index keys: adds in random order, a read of every
// position, then deletes in another random order; then the whole store written in one pass
// (ReplaceAllDat) and read back in batches (GetRecordsWithOffset), all in one run.
//
//   varnindex_bench [folder] [count]
//
// Prints operations per second for each phase and the median and 99th percentile of one
// operation, and checks that every position came back in order.
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "bench/bench_timing.h"
#include "varnindex/VarnIndex.h"

namespace {

using bench::Clock;

// "<62 hex digits>\t\tPINGData\t\t<host>", the shape of the console's list index lines.
std::vector<std::string> MakeKeys(int count, std::mt19937_64& rng) {
  static const char kHex[] = "0123456789abcdef";
  std::vector<std::string> keys;
  keys.reserve(count);
  for (int i = 0; i < count; ++i) {
    std::string key;
    for (int d = 0; d < 62; ++d) key += kHex[rng() % 16];
    char host[48];
    std::snprintf(host, sizeof host, "\t\tPINGData\t\tserver%05d.lan", i);
    keys.push_back(key + host);
  }
  return keys;
}

struct Phase {
  const char* name;
  std::vector<double> micros;
  double seconds = 0;
};

void Report(const Phase& p) {
  const size_t ops = p.micros.size();
  std::printf("%-8s %7zu ops  %8.3f s  %10.0f ops/s  median %8.1f us  p99 %8.1f us\n", p.name, ops,
              p.seconds, ops / p.seconds, bench::Median(p.micros), bench::Percentile(p.micros, 99));
}

template <typename F>
Phase Run(const char* name, size_t count, F op) {
  Phase p{name, {}, 0};
  p.micros.reserve(count);
  const auto start = Clock::now();
  for (size_t i = 0; i < count; ++i) {
    const auto t0 = Clock::now();
    op(i);
    p.micros.push_back(bench::Micros(Clock::now() - t0));
  }
  p.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  return p;
}

}  // namespace

int main(int argc, char** argv) {
  std::string dir;
  if (argc > 1) {
    dir = argv[1];
  } else {
    char tmpl[] = "/tmp/varnindex-bench-XXXXXX";
    if (!mkdtemp(tmpl)) return 1;
    dir = tmpl;
  }
  const int count = argc > 2 ? std::atoi(argv[2]) : 30000;
  std::mt19937_64 rng(20261208);
  std::vector<std::string> keys = MakeKeys(count, rng);
  std::vector<std::string> sorted = keys;
  // The store keeps keys lowercased ("PINGData" becomes "pingdata").
  for (std::string& k : sorted) {
    for (char& c : k) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  }
  std::sort(sorted.begin(), sorted.end());
  int failures = 0;

  std::shuffle(keys.begin(), keys.end(), rng);
  Phase add = Run("add", keys.size(), [&](size_t i) {
    if (AddDelDat(1, dir.c_str(), keys[i].c_str()) != 1) ++failures;
  });
  const int32_t stored = HowManyRecordInDB(dir.c_str());

  char out[150];
  Phase read = Run("read", sorted.size(), [&](size_t i) {
    if (GetRecordWithOffset(dir.c_str(), out, static_cast<int32_t>(i)) != 1 || sorted[i] != out) {
      ++failures;
    }
  });
  std::shuffle(keys.begin(), keys.end(), rng);
  Phase del = Run("delete", keys.size(), [&](size_t i) {
    if (AddDelDat(2, dir.c_str(), keys[i].c_str()) != 1) ++failures;
  });

  std::printf("record store, %d keys of %zu bytes, folder %s\n", count, keys[0].size(),
              dir.c_str());
  Report(add);
  Report(read);
  Report(del);
  std::printf("keys after adds %d, left after deletes %d, failures %d\n", stored,
              HowManyRecordInDB(dir.c_str()), failures);
  std::printf("add/read median ratio %.0f\n",
              bench::Median(add.micros) / bench::Median(read.micros));

  // The same keys in one pass, five times (the store replaced each time), and read back in
  // batches of 512.
  std::string packed;
  for (const std::string& k : keys) packed.append(k.c_str(), k.size() + 1);
  std::vector<double> bulk, batched;
  for (int run = 0; run < 5; ++run) {
    bulk.push_back(bench::TimeMs([&] {
      if (ReplaceAllDat(dir.c_str(), packed.data(), count) != 1) ++failures;
    }));
    std::vector<char> slots(512 * 150);
    batched.push_back(bench::TimeMs([&] {
      for (int at = 0; at < count; at += 512) {
        const int got = GetRecordsWithOffset(dir.c_str(), slots.data(), at, 512);
        for (int i = 0; i < got; ++i) {
          if (sorted[at + i] != slots.data() + 150 * i) ++failures;
        }
      }
    }));
  }
  std::printf(
      "bulk write of %d keys: median %.1f ms (%.1fx faster than the adds); batched read "
      "of all: median %.1f ms\n",
      count, bench::Median(bulk), add.seconds * 1000 / bench::Median(bulk), bench::Median(batched));
  const int32_t afterBulk = HowManyRecordInDB(dir.c_str());
  std::printf("keys after the bulk writes %d, failures %d\n", afterBulk, failures);
  if (argc <= 1) std::filesystem::remove_all(dir);
  return failures == 0 && stored == count && afterBulk == count ? 0 : 1;
}
