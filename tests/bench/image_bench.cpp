// Reading a HEX file and building a 2 MiB program memory image from it.
#include <benchmark/benchmark.h>

#include "image/program_memory.h"
#include "tests/support/hex_text.h"

namespace vestrel::image {
namespace {

constexpr std::uint32_t kImageSize = 2 * 1024 * 1024;

// A HEX file that fills the whole image with 16-byte records, as tool chains write them.
class TwoMiBFile {
 public:
  TwoMiBFile() {
    test::HexText hex;
    hex.Data(0x1FC00000, test::Pattern(0x1000, 1));
    hex.Data(kFlashBase, test::Pattern(kImageSize, 2));
    path_ = dir_.Write("two-mib.hex", hex.End().Text());
  }
  const std::string& Path() const { return path_; }

 private:
  test::TempDir dir_;
  std::string path_;
};

const TwoMiBFile& File() {
  static const TwoMiBFile file;
  return file;
}

ProgramMemory EmptyMemory() {
  ProgramMemory memory;
  memory.ImageSize = kImageSize;
  memory.ImageBuffer = std::make_unique<std::uint8_t[]>(kImageSize);
  return memory;
}

void ReadHexFileTwoMiB(benchmark::State& state) {
  std::vector<std::string> lines;
  for (auto _ : state) {
    if (!ReadHexFile(File().Path(), lines)) state.SkipWithError("read failed");
    benchmark::DoNotOptimize(lines.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(std::filesystem::file_size(File().Path())));
}
BENCHMARK(ReadHexFileTwoMiB)->Unit(benchmark::kMillisecond);

void BuildImageTwoMiB(benchmark::State& state) {
  ProgramMemory memory = EmptyMemory();
  if (!ReadHexFile(File().Path(), memory.HexLines)) state.SkipWithError("read failed");
  for (auto _ : state) {
    if (!BuildImage(memory)) state.SkipWithError("build failed");
    benchmark::DoNotOptimize(memory.ImageBuffer.get());
  }
}
BENCHMARK(BuildImageTwoMiB)->Unit(benchmark::kMillisecond);

// What opening a file and then programming costs together.
void ReadAndBuildTwoMiB(benchmark::State& state) {
  ProgramMemory memory = EmptyMemory();
  for (auto _ : state) {
    if (!ReadHexFile(File().Path(), memory.HexLines) || !BuildImage(memory)) {
      state.SkipWithError("read or build failed");
    }
    benchmark::DoNotOptimize(memory.ImageBuffer.get());
  }
}
BENCHMARK(ReadAndBuildTwoMiB)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace vestrel::image
