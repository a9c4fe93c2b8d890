// The settings file: created when missing, read as far as it goes, written keeping its tail,
// and every access that cannot have the file to itself failing with -10 without harm.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "comport/v24_parameter.h"
#include "tests/comport/v24_bytes.h"
#include "tests/support/unprivileged.h"

namespace vestrel::comport {
namespace {

namespace fs = std::filesystem;
using test::Bytes;
using test::Encoded;
using test::kDefaultBytes;

V24ParameterTag Decoded(const Bytes& bytes) {
  V24ParameterBytes b{};
  std::copy(bytes.begin(), bytes.end(), b.begin());
  return DecodeV24Parameter(b);
}

// A record that differs from the defaults in every field, to tell "kept" from "reset".
V24ParameterTag InForce() {
  return Decoded({0x00, 0x01, 0x02, 0x05, 0x01, 0x00, 0x00, 0x00, 0x2C, 0x01,
                  0x00, 0x00, 0xF4, 0x01, 0x00, 0x00, 0x06, 0x01, 0x01, 0x00});
}

class SettingsFileTest : public testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = testing::TempDir() + "v24paramXXXXXX";
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    path_ = (dir_ / kDefaultSettingsFileName).string();
  }
  void TearDown() override {
    std::error_code ignored;
    fs::permissions(path_, fs::perms::owner_all, ignored);
    fs::remove_all(dir_, ignored);
  }

  void Store(const Bytes& bytes) const {
    std::ofstream out(path_, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
  }
  Bytes Stored() const {
    std::ifstream in(path_, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  fs::path dir_;
  std::string path_;
};

TEST_F(SettingsFileTest, MissingFileIsCreatedWithTheDefaults) {
  TV24Parameter p;
  const V24ParameterTag* record = p.GetParameter(true, path_);
  EXPECT_EQ(Stored(), kDefaultBytes);
  EXPECT_EQ(*record, DefaultV24Parameter());
  EXPECT_TRUE(p.UseFile());
  EXPECT_EQ(p.FileName(), path_);
}

TEST_F(SettingsFileTest, MissingFileIsCreatedWithTheValuesInForce) {
  TV24Parameter p;
  const V24ParameterTag in_force = InForce();
  p.SetParameter(&in_force);
  EXPECT_FALSE(fs::exists(path_)) << "no file tie yet";
  EXPECT_EQ(*p.GetParameter(true, path_), in_force);
  EXPECT_EQ(Stored(), Encoded(in_force));
}

TEST_F(SettingsFileTest, ReadOfMissingFileTakesTheFallbackAndWritesIt) {
  V24ParameterTag record = InForce();
  const V24ParameterTag fallback = DefaultV24Parameter();
  EXPECT_EQ(TV24Parameter::ReadParameterFile(path_, &record, &fallback), kParameterFileNotOpened);
  EXPECT_EQ(record, fallback);
  EXPECT_EQ(Stored(), kDefaultBytes);
}

TEST_F(SettingsFileTest, FullFileReplacesTheRecord) {
  const Bytes file = Encoded(InForce());
  Store(file);
  V24ParameterTag record = DefaultV24Parameter();
  EXPECT_EQ(TV24Parameter::ReadParameterFile(path_, &record, &record), kParameterFileOk);
  EXPECT_EQ(Encoded(record), file);
}

TEST_F(SettingsFileTest, ShortFileReplacesOnlyItsLeadingBytes) {
  // Ten bytes: the five enumerations, the reserved bytes and the low half of RXTimeOut.
  const Bytes file = {0x00, 0x04, 0x02, 0x07, 0x03, 0xAA, 0xBB, 0xCC, 0x34, 0x12};
  Store(file);
  TV24Parameter p;
  const V24ParameterTag in_force = InForce();
  p.SetParameter(&in_force);

  Bytes expected = Encoded(in_force);
  std::copy(file.begin(), file.end(), expected.begin());
  EXPECT_EQ(Encoded(*p.GetParameter(true, path_)), expected);
  EXPECT_EQ(p.RXTimeOut(), 0x1234);
  EXPECT_EQ(Stored(), file) << "reading does not write";
}

TEST_F(SettingsFileTest, EmptyFileLeavesTheRecordAsItWas) {
  Store({});
  V24ParameterTag record = InForce();
  const V24ParameterTag fallback = DefaultV24Parameter();
  EXPECT_EQ(TV24Parameter::ReadParameterFile(path_, &record, &fallback), kParameterFileOk);
  EXPECT_EQ(record, InForce());
}

TEST_F(SettingsFileTest, LongerFileKeepsItsTailWhenWritten) {
  Bytes file = Encoded(InForce());
  const Bytes tail = {0xDE, 0xAD, 0xBE, 0xEF, 0x42};
  file.insert(file.end(), tail.begin(), tail.end());
  Store(file);

  TV24Parameter p;
  V24ParameterTag edited = *p.GetParameter(true, path_);
  EXPECT_EQ(edited, InForce()) << "the first 20 bytes are the record";
  edited.Baudrate = B115200;
  p.SetParameter(&edited);

  Bytes expected = Encoded(edited);
  expected.insert(expected.end(), tail.begin(), tail.end());
  EXPECT_EQ(Stored(), expected);
}

TEST_F(SettingsFileTest, SetParameterWritesThePortActuallyOpened) {
  TV24Parameter p;
  V24ParameterTag copy = *p.GetParameter(true, path_);
  copy.Schnittstelle = Com__3;
  p.SetParameter(&copy);
  const Bytes stored = Stored();
  ASSERT_EQ(stored.size(), 20u);
  EXPECT_EQ(stored[16], 0x02);
}

TEST_F(SettingsFileTest, WithoutFileTieTheFileIsNeitherReadNorWritten) {
  const Bytes file = Encoded(InForce());
  Store(file);
  TV24Parameter p;
  EXPECT_EQ(*p.GetParameter(false, path_), DefaultV24Parameter());
  const V24ParameterTag edited = DefaultV24Parameter();
  p.SetParameter(&edited);
  EXPECT_EQ(Stored(), file);

  // A tie from an earlier call ends with the next call without file use.
  p.GetParameter(true, path_);
  p.GetParameter(false, path_);
  p.SetParameter(&edited);
  EXPECT_EQ(Stored(), file);
}

// Restores the current directory when the test ends.
class CurrentDirectory {
 public:
  explicit CurrentDirectory(const fs::path& dir) : saved_(fs::current_path()) {
    fs::current_path(dir);
  }
  ~CurrentDirectory() { fs::current_path(saved_); }

 private:
  fs::path saved_;
};

TEST_F(SettingsFileTest, EmptyFileNameMeansNoFileAccess) {
  CurrentDirectory here(dir_);
  TV24Parameter p;
  p.GetParameter(true, "");
  const V24ParameterTag edited = InForce();
  p.SetParameter(&edited);
  EXPECT_TRUE(fs::is_empty(dir_));
}

TEST_F(SettingsFileTest, RelativeNameIsResolvedAgainstTheCurrentDirectory) {
  CurrentDirectory here(dir_);
  TV24Parameter p;
  p.GetParameter(true, kDefaultSettingsFileName);
  EXPECT_EQ(Stored(), kDefaultBytes);
}

// Guards against bytes outside the enumerations being "repaired" in the shared file.
TEST_F(SettingsFileTest, DamagedBytesAreKeptAsStored) {
  const Bytes damaged = {0x02, 0x05, 0x03, 0x08, 0x04, 0x11, 0x22, 0x33, 0x64, 0x00,
                         0x00, 0x00, 0x10, 0x27, 0x00, 0x00, 0x04, 0x02, 0xFF, 0x44};
  Store(damaged);
  TV24Parameter p;
  V24ParameterTag copy = *p.GetParameter(true, path_);
  EXPECT_EQ(Encoded(copy), damaged);
  EXPECT_FALSE(IsValid(copy));
  EXPECT_EQ(BaudRateValue(copy.Baudrate), 4800u);

  p.SetParameter(&copy);
  EXPECT_EQ(Stored(), damaged);
}

// Every case in which the file cannot be had: the values in force stay in use, the attempt to
// write them fails too, and the result is -10.
void ExpectNotOpened(const std::string& path) {
  V24ParameterTag record = InForce();
  EXPECT_EQ(TV24Parameter::ReadParameterFile(path, &record, &record), kParameterFileNotOpened);
  EXPECT_EQ(record, InForce());

  const V24ParameterTag fallback = DefaultV24Parameter();
  EXPECT_EQ(TV24Parameter::ReadParameterFile(path, &record, &fallback), kParameterFileNotOpened);
  EXPECT_EQ(record, fallback);

  EXPECT_EQ(TV24Parameter::WriteParameterFile(path, &record), kParameterFileNotOpened);
}

TEST_F(SettingsFileTest, DirectoryInsteadOfFile) {
  fs::create_directory(path_);
  ExpectNotOpened(path_);
  EXPECT_TRUE(fs::is_directory(path_));
}

TEST_F(SettingsFileTest, MissingDirectory) {
  const std::string path = (dir_ / "absent" / kDefaultSettingsFileName).string();
  ExpectNotOpened(path);
  EXPECT_FALSE(fs::exists(dir_ / "absent"));
}

TEST_F(SettingsFileTest, FileHeldByAnotherOpener) {
  const Bytes file = Encoded(InForce());
  Store(file);
  const int other = ::open(path_.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(other, 0);
  ASSERT_EQ(::flock(other, LOCK_EX | LOCK_NB), 0);
  ExpectNotOpened(path_);
  ::close(other);
  EXPECT_EQ(Stored(), file);

  V24ParameterTag record = DefaultV24Parameter();
  EXPECT_EQ(TV24Parameter::ReadParameterFile(path_, &record, &record), kParameterFileOk)
      << "the file is usable again once released";
}

TEST_F(SettingsFileTest, ReadOnlyFile) {
  const Bytes file = kDefaultBytes;
  Store(file);
  fs::permissions(path_, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  fs::permissions(fs::path(path_).parent_path(), fs::perms::others_exec, fs::perm_options::add);
  vestrel::test::AsOrdinaryUser([&] {
    ExpectNotOpened(path_);
    EXPECT_EQ(Stored(), file);
  });
}

// A FIFO would block a read forever and a device would swallow the record.
TEST_F(SettingsFileTest, OnlyRegularFilesAreUsed) {
  ASSERT_EQ(::mkfifo(path_.c_str(), 0600), 0);
  ExpectNotOpened(path_);
  fs::remove(path_);

  fs::create_symlink("/dev/null", path_);
  ExpectNotOpened(path_);
}

TEST_F(SettingsFileTest, SymlinkToARegularFileIsFollowed) {
  const fs::path target = dir_ / "real.cfg";
  fs::create_symlink(target, path_);
  TV24Parameter p;
  p.GetParameter(true, path_);
  EXPECT_TRUE(fs::is_symlink(path_));
  EXPECT_EQ(fs::file_size(target), 20u);
}

}  // namespace
}  // namespace vestrel::comport
