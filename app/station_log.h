// The production log of a bench: one CSV row (and, when asked for, one JSON line) per attempt,
// appended and flushed to the disk before the station goes on, readable while it runs.
//
// CSV columns (the header row names them): time (UTC, ISO 8601), station (host name), port,
// adapter_serial (the USB adapter's serial number where it has one), board_serial (the data
// written: the number or the list's value), serial_status (written, burnt, reusable, or empty
// without per-board data), image_sha256 (of the firmware's image, before the board's data),
// result (ok, failed, interrupted), error_class, message, seconds, retries.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/durable_file.h"

namespace vestrel::app {

struct AttemptRecord {
  std::chrono::system_clock::time_point time;
  std::string station;
  std::string port;
  std::string adapterSerial;
  std::string boardSerial;
  std::string serialStatus;
  std::string imageSha256;
  std::string result;
  std::string errorClass;
  std::string message;
  double seconds = 0;
  std::int32_t retries = 0;
};

// "2024-05-01T12:34:56Z"
std::string IsoUtc(std::chrono::system_clock::time_point time);

std::string CsvHeader();
std::string CsvRow(const AttemptRecord& record);  // with its line end
std::string JsonLine(const AttemptRecord& record);

class StationLog {
 public:
  // Opens (creates) both files and holds the CSV locked: a second station on the same log is
  // refused. A new CSV gets the header row; one with other columns is refused. "" or why.
  std::string Open(const std::string& csvPath, const std::optional<std::string>& jsonPath);
  // Appends the row (and the JSON line); "" or why, when the record may not be on the disk.
  std::string Append(const AttemptRecord& record);

 private:
  platform::AppendFile csv_;
  std::optional<platform::AppendFile> json_;
};

}  // namespace vestrel::app
