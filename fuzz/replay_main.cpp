// Runs a fuzz target without libFuzzer, for builds with any compiler: every file of the given
// files and directories as it is, then a fixed number of seeded mutations of each (byte flips,
// insertions, deletions, cuts, repeats), so that `make test` catches regressions in the targets'
// invariants. Usage: <target> [--mutations=N] PATH...
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void Run(const Bytes& input) {
  LLVMFuzzerTestOneInput(input.data(), input.size());
}

Bytes Mutate(Bytes input, std::mt19937& random) {
  auto pick = [&random](std::size_t n) {
    return std::uniform_int_distribution<std::size_t>(0, n)(random);
  };
  const auto value = [&random] {
    static constexpr std::uint8_t kInteresting[] = {0x00, 0x04, 0x05, 0x55, 0xFF, ':',
                                                    '\n', '\r', '0',  'F',  '-',  ' '};
    return std::uniform_int_distribution<int>(0, 1)(random) == 0
               ? kInteresting[std::uniform_int_distribution<std::size_t>(
                     0, sizeof kInteresting - 1)(random)]
               : static_cast<std::uint8_t>(random());
  };
  const std::size_t edits = 1 + pick(3);
  for (std::size_t e = 0; e < edits; ++e) {
    switch (pick(4)) {
      case 0:
        if (!input.empty()) input[pick(input.size() - 1)] = value();
        break;
      case 1:
        input.insert(input.begin() + static_cast<std::ptrdiff_t>(pick(input.size())), value());
        break;
      case 2:
        if (!input.empty())
          input.erase(input.begin() + static_cast<std::ptrdiff_t>(pick(input.size() - 1)));
        break;
      case 3:
        input.resize(pick(input.size()));
        break;
      default: {
        if (input.empty()) break;
        const std::size_t from = pick(input.size() - 1);
        const std::size_t length = std::min<std::size_t>(pick(64), input.size() - from);
        const Bytes piece(input.begin() + static_cast<std::ptrdiff_t>(from),
                          input.begin() + static_cast<std::ptrdiff_t>(from + length));
        input.insert(input.begin() + static_cast<std::ptrdiff_t>(pick(input.size())), piece.begin(),
                     piece.end());
      }
    }
  }
  return input;
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t mutations = 30;
  std::vector<std::filesystem::path> files;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.rfind("--mutations=", 0) == 0) {
      mutations = std::strtoul(arg.c_str() + 12, nullptr, 10);
      continue;
    }
    if (std::filesystem::is_directory(arg)) {
      for (const auto& entry : std::filesystem::directory_iterator(arg))
        if (entry.is_regular_file()) files.push_back(entry.path());
    } else {
      files.emplace_back(arg);
    }
  }
  if (files.empty()) {
    std::fprintf(stderr, "usage: %s [--mutations=N] FILE_OR_DIR...\n", argv[0]);
    return 2;
  }
  std::sort(files.begin(), files.end());
  std::mt19937 random(20240611);
  for (const auto& file : files) {
    const Bytes input = ReadFile(file);
    Run(input);
    for (std::size_t m = 0; m < mutations; ++m) Run(Mutate(input, random));
  }
  std::printf("%zu inputs, %zu runs each: no invariant broken\n", files.size(), mutations + 1);
  return 0;
}
