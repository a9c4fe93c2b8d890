// The parameter header after <termios.h>, whose B115200 macro would otherwise replace the
// enumerator in the header's own definition.
#include <gtest/gtest.h>
#include <termios.h>

#include "comport/v24_parameter.h"

namespace vestrel::comport {
namespace {

TEST(BaudTagAfterTermios, EnumerationAndMacroBothSurvive) {
  EXPECT_EQ(kBaudTagCount, 8);
  EXPECT_EQ(BaudRateValue(BaudTag{7}), 115200u);
  termios line{};
  EXPECT_EQ(cfsetospeed(&line, B115200), 0) << "still the system's speed macro";
  EXPECT_EQ(cfgetospeed(&line), speed_t{B115200});
}

}  // namespace
}  // namespace vestrel::comport
