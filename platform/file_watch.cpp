#include "platform/file_watch.h"

namespace vestrel::platform {

std::vector<std::filesystem::path> LinkChain(const std::string& path) {
  namespace fs = std::filesystem;
  constexpr int kMaxLinks = 40;  // the system's own limit on links followed in one lookup
  std::vector<fs::path> chain{fs::absolute(fs::path(path)).lexically_normal()};
  std::error_code ec;
  for (int link = 0; link < kMaxLinks && fs::is_symlink(chain.back(), ec); ++link) {
    const fs::path target = fs::read_symlink(chain.back(), ec);
    if (ec) break;
    // A relative target counts from the link's real folder, as the system resolves it.
    const fs::path folder = fs::weakly_canonical(chain.back().parent_path(), ec);
    if (ec) break;
    chain.push_back((folder / target).lexically_normal());
  }
  return chain;
}

}  // namespace vestrel::platform
