// A TComPort whose ports are fake lines (see fake_serial_line.h), with an injected clock, a
// message queue as its notify target and a recorder of the messages it shows.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "comport/comport.h"
#include "tests/comport/fake_serial_line.h"
#include "tests/support/port_dir.h"

namespace vestrel::comport::fakes {

class FakePortTest : public ::testing::Test {
 protected:
  FakePortTest() { Attach(port); }

  void Attach(TComPort& component) {
    component.SetDeviceOpener([this](unsigned number) { return OpenFake(number); });
    component.SetTickSource([this] { return now.load(); });
    component.SetErrorNotifier([this](const std::string& text) { shown.push_back(text); });
  }

  platform::OpenResult OpenFake(unsigned number) {
    asked.push_back(number);
    platform::OpenResult result;
    if (refused.count(number)) {
      result.status = platform::OpenStatus::Busy;
      return result;
    }
    result.status = platform::OpenStatus::Opened;
    result.device = std::make_unique<FakeSerialDevice>(line);
    return result;
  }

  // Opens port `index` (zero-based) with `record`; the handle.
  HANDLE OpenWith(V24ParameterTag record, int index = 3) {
    port.InitParameter(&record, false);
    return port.Open(&queue, index, true);
  }

  // The line state that Open sets for `record`; the port is closed again.
  DCB OpenedState(const V24ParameterTag& record) {
    EXPECT_NE(OpenWith(record), INVALID_HANDLE_VALUE);
    DCB state;
    {
      std::lock_guard lock(line->mutex);
      state = line->state;
    }
    port.Close();
    return state;
  }

  // Waits until the writer takes blocks again.
  void WaitWriterReady() { port.TXSuspend(); }

  std::vector<V24Message> Messages() {
    std::vector<V24Message> all;
    while (auto m = queue.TryTake()) all.push_back(*m);
    return all;
  }

  testing_support::PortDir dir;  // an empty port map unless a test links ports
  std::shared_ptr<FakeLine> line = std::make_shared<FakeLine>();
  V24MessageQueue queue;
  std::atomic<std::uint32_t> now{1000};
  std::vector<unsigned> asked;
  std::set<unsigned> refused;
  std::vector<std::string> shown;
  TComPort port;
};

}  // namespace vestrel::comport::fakes
