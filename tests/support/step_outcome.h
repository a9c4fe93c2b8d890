// Whether a step of the loader's last run succeeded, for tests that follow a run step by step.
#pragma once

#include "app/loader.h"

namespace vestrel::test {

inline bool Ok(const app::Loader& loader, app::Step step) {
  return loader.Result()[step].Succeeded();
}

}  // namespace vestrel::test
