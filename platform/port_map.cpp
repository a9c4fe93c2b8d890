// What the port maps of every system share: port directories and their "comN" entries.
#include "platform/port_map.h"

#include <utility>

namespace vestrel::platform {

unsigned PortEntryNumber(const std::string& name) {
  if (name.size() < 4 || name.size() > 6 || name.compare(0, 3, "com") != 0 || name[3] == '0')
    return 0;
  unsigned n = 0;
  for (std::size_t i = 3; i < name.size(); ++i) {
    if (name[i] < '0' || name[i] > '9') return 0;
    n = n * 10 + static_cast<unsigned>(name[i] - '0');
  }
  return n <= kMaxPortNumber ? n : 0;
}

PortMap PortMap::FromDirectory(std::string directory, PortMapSource source,
                               const SystemPaths& system) {
  return PortMap(source, std::move(directory), system);
}

}  // namespace vestrel::platform
