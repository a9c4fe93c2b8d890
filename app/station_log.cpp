#include "app/station_log.h"

#include <cstdio>
#include <ctime>
#include <fstream>
#include <nlohmann/json.hpp>

namespace vestrel::app {
namespace {

// A CSV field, quoted when it holds a comma, a quote or a line break (RFC 4180).
std::string CsvField(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (const char c : text) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + '"';
}

std::string LogSeconds(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", seconds);
  return text;
}

}  // namespace

std::string IsoUtc(std::chrono::system_clock::time_point time) {
  const std::time_t t = std::chrono::system_clock::to_time_t(time);
  std::tm utc{};
#ifdef _WIN32
  gmtime_s(&utc, &t);
#else
  gmtime_r(&t, &utc);
#endif
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

std::string CsvHeader() {
  return "time,station,port,adapter_serial,board_serial,serial_status,image_sha256,result,"
         "error_class,message,seconds,retries\n";
}

std::string CsvRow(const AttemptRecord& r) {
  std::string row;
  for (const std::string& field :
       {IsoUtc(r.time), r.station, r.port, r.adapterSerial, r.boardSerial, r.serialStatus,
        r.imageSha256, r.result, r.errorClass, r.message, LogSeconds(r.seconds)})
    row += CsvField(field) + ',';
  return row + std::to_string(r.retries) + '\n';
}

std::string JsonLine(const AttemptRecord& r) {
  const nlohmann::ordered_json line = {{"time", IsoUtc(r.time)},
                                       {"station", r.station},
                                       {"port", r.port},
                                       {"adapter_serial", r.adapterSerial},
                                       {"board_serial", r.boardSerial},
                                       {"serial_status", r.serialStatus},
                                       {"image_sha256", r.imageSha256},
                                       {"result", r.result},
                                       {"error_class", r.errorClass},
                                       {"message", r.message},
                                       {"seconds", std::stod(LogSeconds(r.seconds))},
                                       {"retries", r.retries}};
  // Invalid UTF-8 in a message (a device's own text) is replaced rather than refused.
  return line.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + '\n';
}

std::string StationLog::Open(const std::string& csvPath,
                             const std::optional<std::string>& jsonPath) {
  if (std::string why = csv_.Open(csvPath); !why.empty()) return why;
  if (csv_.SizeAtOpen() == 0) {
    if (std::string why = csv_.Append(CsvHeader()); !why.empty()) return why;
  } else {
    std::ifstream in(csvPath, std::ios::binary);
    std::string header;
    std::getline(in, header);
    if (header + '\n' != CsvHeader())
      return csvPath + " is not a station log of these columns (its first line is \"" +
             header.substr(0, 80) + "\"): give --log a new file";
  }
  if (!jsonPath) return {};
  json_.emplace();
  return json_->Open(*jsonPath);
}

std::string StationLog::Append(const AttemptRecord& record) {
  if (std::string why = csv_.Append(CsvRow(record)); !why.empty()) return why;
  return json_ ? json_->Append(JsonLine(record)) : std::string();
}

}  // namespace vestrel::app
