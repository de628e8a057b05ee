// Signature verification benchmark: VerifyImageSignature (SHA-256 over the
// header, payload and protected area, then ECDSA P-256 with BearSSL) on
// signed 4 and 16 MiB images in memory, as the image parser and the flash
// simulator's check run it. Prints the median time per verification; the
// comparison with openssl over the same bytes and with the modelled flash
// time is bench.py's. Asserts nothing about time; exits 1 when an image does
// not verify.
//
// Usage: orv_verify_bench [--tsv] [--rounds N]
#include <cstdio>
#include <vector>

#include "BenchTiming.h"
#include "ImageSignHost.h"

int main(int Argc, char **Argv) {
  bench::Options Options = bench::ParseOptions(Argc, Argv);
  IMAGE_PRIVATE_KEY Key{};
  GenerateSigningKeyFromSeed("benchmark", &Key);
  for (size_t Mib : {4, 16}) {
    // The whole image, trailer included, fills Mib MiB.
    const size_t Size = Mib << 20;
    std::vector<UINT8> Payload(Size - IMAGE_HEADER_SIZE - IMAGE_PROTECTED_SIZE_3 - IMAGE_SIGNATURE_BLOCK_SIZE);
    UINT32 State = 12345;
    for (UINT8 &Byte : Payload) {
      State = State * 1103515245u + 12345u;
      Byte = static_cast<UINT8>(State >> 16);
    }
    std::vector<UINT8> Image = MakeImageFormat1(0x10203, Payload);
    IMAGE_INFO Info{};
    if (!MakeImageFormat3(&Image, {1, IMAGE_ZONE_OCM, 1}, &Key) || CheckImage(Image.data(), Image.size(), &Info) != HEX_OK) {
      std::fprintf(stderr, "orv_verify_bench: cannot make a signed %zu MiB image\n", Mib);
      return 1;
    }
    SIGN_STATUS Verdict = SIGN_STATUS::Ok;
    bench::Sampler Sampler([&] { Verdict = VerifyImageSignature(Image.data(), Info, &Key.Public, 1, nullptr); });
    std::vector<double> Samples;
    for (int Round = 0; Round < Options.Rounds; Round++) Samples.push_back(Sampler.Sample());
    if (Verdict != SIGN_STATUS::Ok) {
      std::fprintf(stderr, "orv_verify_bench: the %zu MiB image does not verify\n", Mib);
      return 1;
    }
    const double Median = bench::Median(Samples);
    if (Options.Tsv) {
      std::printf("verify\t%zu MiB signed image\t%.6f\t%d\t%zu\n", Mib, Median, Options.Rounds, Image.size());
    } else {
      std::printf("%zu MiB signed image: %.2f ms per verification (median of %d)\n", Mib, Median * 1e3,
                  Options.Rounds);
    }
  }
  return 0;
}
