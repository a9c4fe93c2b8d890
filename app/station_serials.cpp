#include "app/station_serials.h"

#include <algorithm>
#include <charconv>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "platform/durable_file.h"

namespace vestrel::app {
namespace {

using nlohmann::json;

std::string Trim(const std::string& text) {
  const auto first = text.find_first_not_of(" \t\r\"");
  if (first == std::string::npos) return {};
  const auto last = text.find_last_not_of(" \t\r\"");
  return text.substr(first, last - first + 1);
}

std::optional<std::uint64_t> Decimal(const std::string& text) {
  std::uint64_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc{} || end != text.data() + text.size() || text.empty()) return std::nullopt;
  return value;
}

std::optional<std::vector<std::uint8_t>> HexBytes(const std::string& text) {
  std::string digits;
  for (const char c : text)
    if (c != ':' && c != '-' && c != ' ') digits += c;
  if (digits.empty() || digits.size() % 2 != 0) return std::nullopt;
  std::vector<std::uint8_t> bytes;
  for (std::size_t i = 0; i < digits.size(); i += 2) {
    std::uint8_t byte = 0;
    const auto [end, ec] = std::from_chars(digits.data() + i, digits.data() + i + 2, byte, 16);
    if (ec != std::errc{} || end != digits.data() + i + 2) return std::nullopt;
    bytes.push_back(byte);
  }
  return bytes;
}

std::string KindOf(const SerialPlan& plan) {
  return plan.listPath ? "list" : "counter";
}

}  // namespace

std::optional<std::vector<BoardData>> ReadSerialList(const std::string& path,
                                                     const image::DataFormat& format,
                                                     std::string& why) {
  std::ifstream in(path);
  if (!in) {
    why = "cannot read the serial list " + path;
    return std::nullopt;
  }
  std::vector<BoardData> entries;
  std::string line;
  for (std::size_t number = 1; std::getline(in, line); ++number) {
    const std::string trimmed = Trim(line);
    if (trimmed.empty() || trimmed[0] == '#') continue;
    const auto comma = trimmed.find(',');
    BoardData entry;
    entry.key = entries.size();
    entry.text = Trim(trimmed.substr(0, comma));
    const std::string where = path + " line " + std::to_string(number) + ": ";
    if (comma != std::string::npos) {
      const std::optional<std::vector<std::uint8_t>> bytes =
          HexBytes(Trim(trimmed.substr(comma + 1)));
      if (!bytes || bytes->size() > 255) {
        why = where + "the second column is not bytes in hex (such as 0011AABB or 00:11:AA:BB)";
        return std::nullopt;
      }
      entry.bytes = *bytes;
    } else {
      const std::optional<std::uint64_t> value = Decimal(entry.text);
      const auto bytes = value ? image::EncodeValue(format, *value) : std::nullopt;
      if (!bytes) {
        why = where + "\"" + entry.text + "\" is no number that " + image::DataFormatName(format) +
              " holds, and the line has no bytes column";
        return std::nullopt;
      }
      entry.bytes = *bytes;
    }
    entries.push_back(std::move(entry));
  }
  if (in.bad()) {
    why = "cannot read the serial list " + path;
    return std::nullopt;
  }
  return entries;
}

std::string SerialNumbers::Open(const std::string& statePath, SerialPlan plan,
                                std::vector<BoardData> list, std::vector<BoardData>& interrupted) {
  statePath_ = statePath;
  plan_ = std::move(plan);
  list_ = std::move(list);
  next_ = plan_.listPath ? 0 : plan_.start;
  std::ifstream in(statePath_);
  if (!in) return Save();  // a new state
  try {
    const json state = json::parse(in);
    if (state.at("kind").get<std::string>() != KindOf(plan_))
      return "the state file " + statePath_ + " counts a " + state.at("kind").get<std::string>() +
             ", not a " + KindOf(plan_) + ": give this run a log of its own (--log)";
    next_ = state.at("next").get<std::uint64_t>();
    reusable_ = state.value("reusable", std::vector<std::uint64_t>{});
    pending_ = state.value("pending", std::vector<std::uint64_t>{});
  } catch (const json::exception& e) {
    return "the state file " + statePath_ + " is damaged (" + e.what() +
           "); it says which serial numbers are used: repair it by hand, or move it away and "
           "give --serial a START beyond the last number in the log";
  }
  // A later START moves the counter on; an earlier one never takes it back.
  if (!plan_.listPath && plan_.start > next_) next_ = plan_.start;
  for (const std::uint64_t key : pending_)
    if (std::optional<BoardData> data = DataOf(key)) interrupted.push_back(std::move(*data));
  return {};
}

std::optional<BoardData> SerialNumbers::DataOf(std::uint64_t key) const {
  if (plan_.listPath) {
    if (key >= list_.size()) return std::nullopt;
    return list_[key];
  }
  std::optional<std::vector<std::uint8_t>> bytes = image::EncodeValue(plan_.format, key);
  if (!bytes) return std::nullopt;
  return BoardData{key, std::to_string(key), std::move(*bytes)};
}

std::optional<BoardData> SerialNumbers::Reserve(std::string& why) {
  const bool reuse = plan_.reuseFailed && !reusable_.empty();
  const std::uint64_t key = reuse ? reusable_.front() : next_;
  std::optional<BoardData> data = exhausted_ && !reuse ? std::nullopt : DataOf(key);
  if (!data) {
    why = plan_.listPath ? "the serial list " + *plan_.listPath + " is used up (" +
                               std::to_string(list_.size()) + " lines)"
                         : "the next serial number " + std::to_string(key) + " does not fit " +
                               image::DataFormatName(plan_.format);
    return std::nullopt;
  }
  if (reuse) {
    reusable_.erase(reusable_.begin());
  } else {
    const std::uint64_t step = plan_.listPath ? 1 : plan_.step;
    exhausted_ = next_ > UINT64_MAX - step;
    next_ += step;
  }
  pending_.push_back(key);
  why = Save();
  if (!why.empty()) return std::nullopt;
  return data;
}

std::string SerialNumbers::Settle(const BoardData& data, bool ok) {
  pending_.erase(std::remove(pending_.begin(), pending_.end(), data.key), pending_.end());
  if (!ok && plan_.reuseFailed) reusable_.push_back(data.key);
  return Save();
}

std::string SerialNumbers::ForgetInterrupted() {
  pending_.clear();
  return Save();
}

std::string SerialNumbers::NextText() const {
  if (plan_.reuseFailed && !reusable_.empty()) return DataOf(reusable_.front())->text;
  if (exhausted_) return {};
  const std::optional<BoardData> next = DataOf(next_);
  return next ? next->text : std::string();
}

std::string SerialNumbers::Save() {
  const json state = {
      {"kind", KindOf(plan_)}, {"next", next_}, {"reusable", reusable_}, {"pending", pending_}};
  return platform::ReplaceFileDurably(statePath_, state.dump() + '\n');
}

}  // namespace vestrel::app
