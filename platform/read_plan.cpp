#include "platform/serial_device.h"

namespace vestrel::platform {

ReadPlan PlanRead(const COMMTIMEOUTS& t, std::size_t size) {
  using std::chrono::milliseconds;
  ReadPlan plan;
  if (t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == 0 &&
      t.ReadTotalTimeoutConstant == 0) {
    plan.total = milliseconds(0);
    plan.returnOnAny = true;
  } else if (t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == MAXDWORD &&
             t.ReadTotalTimeoutConstant > 0 && t.ReadTotalTimeoutConstant < MAXDWORD) {
    plan.total = milliseconds(t.ReadTotalTimeoutConstant);
    plan.returnOnAny = true;
  } else {
    if (t.ReadTotalTimeoutMultiplier != 0 || t.ReadTotalTimeoutConstant != 0)
      plan.total = milliseconds(std::uint64_t{t.ReadTotalTimeoutMultiplier} * size +
                                t.ReadTotalTimeoutConstant);
    if (t.ReadIntervalTimeout != 0) plan.interval = milliseconds(t.ReadIntervalTimeout);
  }
  return plan;
}

}  // namespace vestrel::platform
