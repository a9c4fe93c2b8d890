// The data that each board of a production bench gets (a serial number from a counter, or the
// next line of a list), reserved on the disk before the board is written, so that no number is
// handed out twice: not after a crash, a SIGKILL or a power cut. A board that fails burns its
// number unless failed numbers are to be reused.
//
// The state is a small JSON file beside the log, replaced as a whole (platform/durable_file.h):
//   {"kind": "counter", "next": 1045, "reusable": [1040], "pending": [1043, 1044]}
// "next" is the next number (for a list: the index of its next line), "reusable" holds failed
// numbers to hand out again (--reuse-failed), "pending" those reserved for boards whose row is
// not yet in the log: after a crash they are logged as burnt by the next start.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "image/board_data.h"

namespace vestrel::app {

struct SerialPlan {
  std::uint32_t address = 0;  // physical program flash address
  image::DataFormat format;
  std::uint64_t start = 0;
  std::uint64_t step = 1;
  std::optional<std::string> listPath;  // --serials-from: the list instead of the counter
  bool reuseFailed = false;
};

// One board's data.
struct BoardData {
  std::uint64_t key = 0;  // the number, or the index of the list's line
  std::string text;       // as the log shows it: the number, or the list's value
  std::vector<std::uint8_t> bytes;
};

// A serial list: one board a line, "VALUE" or "VALUE,BYTES" with the bytes in hex (pairs,
// optionally separated by ':', '-' or blanks); a VALUE alone is a decimal number that the format
// encodes. Blank lines and lines that start with '#' are skipped. Nothing with `why` when a
// line cannot be used (it names the line).
std::optional<std::vector<BoardData>> ReadSerialList(const std::string& path,
                                                     const image::DataFormat& format,
                                                     std::string& why);

class SerialNumbers {
 public:
  // Reads the state file, or starts at the plan's first number when there is none. The
  // numbers that a station which ended abruptly had reserved come back in `interrupted`, to be
  // logged as burnt. "" or why (a damaged state file, a state of another kind).
  std::string Open(const std::string& statePath, SerialPlan plan, std::vector<BoardData> list,
                   std::vector<BoardData>& interrupted);

  // The next board's data, reserved on the disk before it returns; nothing with `why` when there
  // is none (the list is used up, the number no longer fits its format) or the state cannot be
  // written.
  std::optional<BoardData> Reserve(std::string& why);

  // Once the board's row is in the log: its number is used, burnt, or (failed, with
  // --reuse-failed) handed out again. "" or why.
  std::string Settle(const BoardData& data, bool ok);
  // Clears the numbers that Open gave back as interrupted, once they are logged.
  std::string ForgetInterrupted();

  bool ReusesFailed() const { return plan_.reuseFailed; }
  // The next number or list value, for the screen; "" when none is left.
  std::string NextText() const;

 private:
  std::optional<BoardData> DataOf(std::uint64_t key) const;
  std::string Save();

  std::string statePath_;
  SerialPlan plan_;
  std::vector<BoardData> list_;
  std::uint64_t next_ = 0;
  bool exhausted_ = false;  // the counter went past the format's largest number
  std::vector<std::uint64_t> reusable_;
  std::vector<std::uint64_t> pending_;
};

}  // namespace vestrel::app
