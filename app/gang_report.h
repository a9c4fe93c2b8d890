// The results of a gang load as files a build server reads: JSON, and JUnit XML with one test
// case per board (CI servers show each board as a passed or failed test).
#pragma once

#include <string>

#include "app/gang_load.h"

namespace vestrel::app {

struct GangReportInfo {
  std::string hexFile;  // empty when the run had none
  double seconds = 0;   // the whole run
};

std::string GangReportJson(const GangOutcome& outcome, const GangReportInfo& info);
std::string GangReportJUnit(const GangOutcome& outcome, const GangReportInfo& info);

}  // namespace vestrel::app
