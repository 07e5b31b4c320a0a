// What every benchmark program shares: the options answered before any data
// is built or any benchmark registered.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>

#ifndef KVDN_VERSION
#error "KVDN_VERSION must be defined by the build"
#endif

namespace kvdn::bench {

// Answers --help (what the program measures, then the benchmark library's
// own options) and --version, on standard output, wherever they stand among
// the arguments. Call first thing in main, before anything is built or
// registered: returns the exit status (0) when one of them was answered, -1
// when the benchmark should run.
inline int answerStandardOptions(int argc, char** argv, const char* measures) {
  const char* slash = std::strrchr(argv[0], '/');
  const char* name = slash ? slash + 1 : argv[0];
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::printf("usage: %s [--benchmark_filter=REGEX] [benchmark options]\n  %s\n\n", name, measures);
      std::fflush(stdout);
      benchmark::PrintDefaultHelp();
      return 0;
    }
    if (std::strcmp(argv[i], "--version") == 0) {
      std::printf("%s %s\n", name, KVDN_VERSION);
      return 0;
    }
  }
  return -1;
}

// answerStandardOptions, then the benchmark library's own flags, before
// anything is built: a flag it refuses ends the program here, with nothing
// to clean up. Returns the exit status when the program is to end now, -1
// when the benchmark should run.
inline int startBenchmark(int& argc, char** argv, const char* measures) {
  if (const int status = answerStandardOptions(argc, argv, measures); status >= 0) return status;
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  return -1;
}

}  // namespace kvdn::bench
