// Bad settings files handed to the port component: short, long, bytes outside their sets, a
// port that cannot be opened, a file that cannot be written. Open makes the documented line of
// each, keeps the foreign bytes, and says so when the port cannot be opened.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "tests/comport/fake_port_fixture.h"
#include "tests/support/unprivileged.h"

namespace vestrel::comport::fakes {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Stored(const V24ParameterTag& record) {
  const V24ParameterBytes b = EncodeV24Parameter(record);
  return Bytes(b.begin(), b.end());
}

class BadSettingsFile : public FakePortTest {
 protected:
  std::string WriteSettings(const Bytes& bytes) {
    std::ofstream(file_, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    return file_;
  }
  Bytes FileBytes() const {
    std::ifstream in(file_, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
  }
  HANDLE OpenFromFile() {
    port.SetStreamOn(true);
    port.SetDatei(file_);
    return port.Open(&queue, -1, true);
  }
  DCB Applied() {
    std::lock_guard lock(line->mutex);
    return line->statesSet.empty() ? DCB{} : line->statesSet.front();
  }

  std::string file_ = (dir.path() / "ComData.cfg").string();
};

TEST_F(BadSettingsFile, ShortFileSetsItsLeadingFieldsAndTheRestKeepsTheDefaults) {
  // Data bits 7, odd parity, two stop bits, 9600, RTS/CTS: the record stops there.
  WriteSettings({D_7, Odd, S_2, B__9600, RTS_CTS});
  ASSERT_NE(OpenFromFile(), INVALID_HANDLE_VALUE);
  const DCB dcb = Applied();
  EXPECT_EQ(dcb.ByteSize, 7);
  EXPECT_EQ(dcb.Parity, platform::ODDPARITY);
  EXPECT_EQ(dcb.StopBits, platform::TWOSTOPBITS);
  EXPECT_EQ(dcb.BaudRate, 9600u);
  EXPECT_EQ(dcb.fRtsControl, platform::RTS_CONTROL_HANDSHAKE);
  EXPECT_EQ(asked, std::vector<unsigned>{1});  // the default port, COM1
  port.Close();
  EXPECT_EQ(FileBytes().size(), kV24ParameterSize);  // written back whole
}

TEST_F(BadSettingsFile, LongFileKeepsItsBytesBeyondTheRecord) {
  Bytes bytes = Stored(DefaultV24Parameter());
  const Bytes tail = {'o', 't', 'h', 'e', 'r', 0, 1, 2};
  bytes.insert(bytes.end(), tail.begin(), tail.end());
  WriteSettings(bytes);
  ASSERT_NE(OpenFromFile(), INVALID_HANDLE_VALUE);
  port.Close();
  EXPECT_EQ(FileBytes(), bytes);
}

TEST_F(BadSettingsFile, BytesOutsideTheirSetsOpenWithTheDefaultLineAndAreKept) {
  Bytes bytes(kV24ParameterSize, 0xEE);
  bytes[16] = Com__2;  // a port that opens
  WriteSettings(bytes);
  ASSERT_NE(OpenFromFile(), INVALID_HANDLE_VALUE);
  const DCB dcb = Applied();
  EXPECT_EQ(dcb.ByteSize, 8);
  EXPECT_EQ(dcb.Parity, platform::NOPARITY);
  EXPECT_EQ(dcb.StopBits, platform::ONESTOPBIT);
  EXPECT_EQ(dcb.BaudRate, 4800u);
  EXPECT_EQ(dcb.fRtsControl, platform::RTS_CONTROL_ENABLE);
  EXPECT_EQ(dcb.fNull, 0);  // a switch byte other than 0 and 1 is off
  EXPECT_EQ(asked, std::vector<unsigned>{2});
  port.Close();
  EXPECT_EQ(FileBytes(), bytes) << "foreign bytes are kept as stored";
}

TEST_F(BadSettingsFile, PortThatCannotBeOpenedIsNamedInTheMessage) {
  Bytes bytes = Stored(DefaultV24Parameter());
  bytes[16] = Com256;
  refused.insert(256);
  WriteSettings(bytes);
  port.SetLanguage(1);
  EXPECT_EQ(OpenFromFile(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(shown, std::vector<std::string>{"Cannot open COM256! "});
  EXPECT_FALSE(port.GetPortOpen());
}

// A file that cannot be opened for reading and writing (read-only) is not used: the values in
// force are, and the file keeps what it holds. (This ran only as an ordinary user, so never in
// CI, and expected the file's rate; it now runs as nobody.)
TEST_F(BadSettingsFile, ReadOnlyFileIsLeftAsItIs) {
  Bytes bytes = Stored(DefaultV24Parameter());
  bytes[3] = B_57600;
  WriteSettings(bytes);
  std::filesystem::permissions(
      file_, std::filesystem::perms::owner_read | std::filesystem::perms::others_read);
  std::filesystem::permissions(std::filesystem::path(file_).parent_path(),
                               std::filesystem::perms::others_exec,
                               std::filesystem::perm_options::add);
  test::AsOrdinaryUser([&] {
    port.SetStreamOn(true);
    port.SetDatei(file_);
    ASSERT_NE(port.Open(&queue, 4, false), INVALID_HANDLE_VALUE);  // COM5: differs from the file
    EXPECT_EQ(Applied().BaudRate, 4800u);  // the component's own, not the file's 57600
    port.Close();
    EXPECT_EQ(FileBytes(), bytes);
  });
}

}  // namespace
}  // namespace vestrel::comport::fakes
