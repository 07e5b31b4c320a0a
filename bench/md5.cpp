// md5Class against OpenSSL's MD5 on the same bytes: ASCII and Chinese texts
// of 64, 1024 and 65536 characters. Prints the times and the ratios
// (component / OpenSSL, CPU time, best of the repetitions) after the usual table.
// On a busy machine run with --benchmark_repetitions=N.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "bench_common.h"
#include "kvdn/db_class.h"

namespace {

const std::vector<int> kLengths = {64, 1024, 65536};

std::string asciiText(int chars) {
  std::string s;
  for (int i = 0; i < chars; ++i) s += static_cast<char>('!' + (i * 7) % 94);
  return s;
}

std::string chineseText(int chars) {
  static const char* kHan[] = {"中", "文", "用", "户", "密", "码", "数", "据"};
  std::string s;
  for (int i = 0; i < chars; ++i) s += kHan[i % 8];
  return s;
}

std::string textFor(bool chinese, int chars) {
  return chinese ? chineseText(chars) : asciiText(chars);
}

void BM_md5Class(benchmark::State& state, bool chinese) {
  const kvdn::Variant text(textFor(chinese, static_cast<int>(state.range(0))));
  kvdn::Md5Class engine;
  for (auto _ : state) benchmark::DoNotOptimize(engine.md5(text));
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.str().size()));
}

void BM_openssl(benchmark::State& state, bool chinese) {
  const std::string text = textFor(chinese, static_cast<int>(state.range(0)));
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  for (auto _ : state) {
    EVP_Digest(text.data(), text.size(), md, &len, EVP_md5(), nullptr);
    benchmark::DoNotOptimize(md);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}

// Keeps the console output and remembers each benchmark's best time per
// iteration over its repetitions (the least disturbed by other load).
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration) continue;
      const std::string name = run.run_name.str();
      const double t = run.GetAdjustedCPUTime();
      const auto it = times.find(name);
      if (it == times.end() || t < it->second) times[name] = t;
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> times;
};

}  // namespace

int main(int argc, char** argv) {
  if (const int status =
          kvdn::bench::startBenchmark(argc, argv, "md5Class against OpenSSL MD5 on ASCII and Chinese texts.");
      status >= 0)
    return status;
  for (bool chinese : {false, true}) {
    const std::string kind = chinese ? "chinese" : "ascii";
    auto* ours = benchmark::RegisterBenchmark(("md5Class/" + kind).c_str(), BM_md5Class, chinese);
    auto* ref = benchmark::RegisterBenchmark(("openssl/" + kind).c_str(), BM_openssl, chinese);
    for (int n : kLengths) {
      ours->Arg(n);
      ref->Arg(n);
    }
  }
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);

  std::printf("\nmd5Class / OpenSSL MD5 (CPU time per digest of the same UTF-8 bytes)\n");
  for (const char* kind : {"ascii", "chinese"}) {
    for (int n : kLengths) {
      const std::string suffix = std::string(kind) + "/" + std::to_string(n);
      const auto a = reporter.times.find("md5Class/" + suffix);
      const auto b = reporter.times.find("openssl/" + suffix);
      if (a == reporter.times.end() || b == reporter.times.end()) continue;
      std::printf("  %-8s %6d chars: %10.1f ns vs %10.1f ns  ratio %.2f\n", kind, n, a->second, b->second,
                  a->second / b->second);
    }
  }
  benchmark::Shutdown();
  return 0;
}
