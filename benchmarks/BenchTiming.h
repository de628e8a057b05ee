// Timing helpers shared by the benchmark programs: a sample is the time of
// enough repetitions of one operation to last a few milliseconds, divided by
// the repetitions; two operations are sampled interleaved (ours, reference,
// ours, reference, ...) so that load from other processes on the machine
// falls on both alike, and the medians are reported.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <vector>

namespace bench {

/// Seconds per call of Operation, measured over enough calls to last at
/// least MinSeconds (calibrated once, then fixed for every sample).
class Sampler {
 public:
  explicit Sampler(std::function<void()> Operation, double MinSeconds = 0.003)
      : Operation_(std::move(Operation)) {
    Repeats_ = 1;
    for (;;) {
      double Seconds = Time(Repeats_);
      if (Seconds >= MinSeconds || Repeats_ >= (1u << 24)) break;
      Repeats_ *= 2;
    }
  }
  double Sample() { return Time(Repeats_) / Repeats_; }

 private:
  double Time(unsigned Repeats) {
    auto Start = std::chrono::steady_clock::now();
    for (unsigned Index = 0; Index < Repeats; Index++) Operation_();
    auto End = std::chrono::steady_clock::now();
    return std::chrono::duration<double>(End - Start).count();
  }
  std::function<void()> Operation_;
  unsigned Repeats_;
};

inline double Median(std::vector<double> Values) {
  std::sort(Values.begin(), Values.end());
  const size_t Middle = Values.size() / 2;
  return Values.size() % 2 ? Values[Middle] : (Values[Middle - 1] + Values[Middle]) / 2;
}

struct PairResult {
  double Ours;       ///< median seconds per call
  double Reference;  ///< median seconds per call
  int Rounds;
};

/// Ours and Reference sampled alternately, Rounds samples each; the order
/// inside a round alternates too.
inline PairResult MeasurePair(std::function<void()> Ours, std::function<void()> Reference,
                              int Rounds) {
  Sampler OursSampler(std::move(Ours));
  Sampler ReferenceSampler(std::move(Reference));
  std::vector<double> OursTimes;
  std::vector<double> ReferenceTimes;
  for (int Round = 0; Round < Rounds; Round++) {
    if (Round % 2 == 0) {
      OursTimes.push_back(OursSampler.Sample());
      ReferenceTimes.push_back(ReferenceSampler.Sample());
    } else {
      ReferenceTimes.push_back(ReferenceSampler.Sample());
      OursTimes.push_back(OursSampler.Sample());
    }
  }
  return {Median(OursTimes), Median(ReferenceTimes), Rounds};
}

/// Command line shared by the benchmark programs: [--tsv] [--rounds N].
struct Options {
  bool Tsv = false;
  int Rounds = 21;
};

inline Options ParseOptions(int Argc, char **Argv) {
  Options Result;
  for (int Index = 1; Index < Argc; Index++) {
    if (std::strcmp(Argv[Index], "--tsv") == 0) {
      Result.Tsv = true;
    } else if (std::strcmp(Argv[Index], "--rounds") == 0 && Index + 1 < Argc) {
      Result.Rounds = std::max(1, std::atoi(Argv[++Index]));
    } else {
      std::fprintf(stderr, "usage: %s [--tsv] [--rounds N]\n", Argv[0]);
      std::exit(2);
    }
  }
  return Result;
}

}  // namespace bench
