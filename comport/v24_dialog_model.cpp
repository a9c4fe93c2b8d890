#include "comport/v24_dialog_model.h"

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <limits>

namespace vestrel::comport {
namespace {

// The entry of a stored enumeration byte in a box of Entries entries, if the box has one.
int PositionOf(std::uint8_t Stored, int Entries) {
  return Stored < Entries ? Stored : kNoSelection;
}

bool Selects(int Position, int Entries) {
  return Position >= 0 && Position < Entries;
}

// Stores a list position into an enumeration field when it selects one of the box's entries.
template <typename Field>
void StorePosition(int Position, int Entries, Field& Target) {
  if (Selects(Position, Entries)) Target = static_cast<Field>(Position);
}

int PortPositionOf(ComTag Port, std::span<const std::uint8_t> Ports) {
  const auto it = std::find(Ports.begin(), Ports.end(), static_cast<std::uint8_t>(Port));
  return it == Ports.end() ? kNoSelection : static_cast<int>(it - Ports.begin());
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

std::string_view Trimmed(std::string_view Text) {
  while (!Text.empty() && IsBlank(Text.front())) Text.remove_prefix(1);
  while (!Text.empty() && IsBlank(Text.back())) Text.remove_suffix(1);
  return Text;
}

}  // namespace

std::span<const std::uint8_t> PortTableOf(const std::uint8_t* Table, int Count) {
  if (Table == nullptr || Count <= 0) return {};
  return {Table, static_cast<std::size_t>(std::min(Count, kMaxPortTableEntries))};
}

V24DialogInput V24DialogInputOf(const V24ParameterTag& Record,
                                std::span<const std::uint8_t> Ports) {
  V24DialogInput input;
  V24BoxPositions& p = input.Positions;
  p.DatenBits = PositionOf(Record.DatenBits, kDatenbitEntries);
  p.Paritaet = PositionOf(Record.Paritaet, kParitaetEntries);
  p.StopBits = PositionOf(Record.StopBits, kStopBitEntries);
  p.Baudrate = PositionOf(Record.Baudrate, kBaudrateEntries);
  p.Handshake = PositionOf(Record.Handshake, kHandshakeEntries);
  p.Schnittstelle = PortPositionOf(Record.Schnittstelle, Ports);
  p.KeinNullZeichen = PositionOf(Record.KeinNullZeichen, kSwitchEntries);
  p.KeinString = PositionOf(Record.KeinString, kSwitchEntries);
  input.RXTimeOutText = std::to_string(Record.RXTimeOut);
  input.TXTimeOutText = std::to_string(Record.TXTimeOut);
  return input;
}

std::optional<std::int32_t> ParseTimeoutText(std::string_view Text) {
  Text = Trimmed(Text);
  bool negative = false;
  if (!Text.empty() && (Text.front() == '+' || Text.front() == '-')) {
    negative = Text.front() == '-';
    Text.remove_prefix(1);
  }
  // Digits only: from_chars would also take a second sign.
  if (Text.empty() ||
      !std::all_of(Text.begin(), Text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return std::nullopt;
  }
  std::uint64_t magnitude = 0;
  const auto [end, error] = std::from_chars(Text.data(), Text.data() + Text.size(), magnitude);
  if (error != std::errc() || end != Text.data() + Text.size()) return std::nullopt;
  const std::uint64_t limit = negative ? std::uint64_t{1} << 31 : (std::uint64_t{1} << 31) - 1;
  if (magnitude > limit) return std::nullopt;
  const auto value = static_cast<std::int64_t>(magnitude);
  return static_cast<std::int32_t>(negative ? -value : value);
}

V24StoreResult StoreV24DialogInput(const V24DialogInput& Input, std::span<const std::uint8_t> Ports,
                                   V24ParameterTag& Record) {
  const V24BoxPositions& p = Input.Positions;
  StorePosition(p.DatenBits, kDatenbitEntries, Record.DatenBits);
  StorePosition(p.Paritaet, kParitaetEntries, Record.Paritaet);
  StorePosition(p.StopBits, kStopBitEntries, Record.StopBits);
  StorePosition(p.Baudrate, kBaudrateEntries, Record.Baudrate);
  StorePosition(p.Handshake, kHandshakeEntries, Record.Handshake);

  for (const auto& [text, field] : {std::pair{&Input.RXTimeOutText, &Record.RXTimeOut},
                                    std::pair{&Input.TXTimeOutText, &Record.TXTimeOut}}) {
    const std::optional<std::int32_t> value = ParseTimeoutText(*text);
    if (!value) return {false, *text};
    *field = *value;
  }

  if (Selects(p.Schnittstelle, static_cast<int>(Ports.size()))) {
    Record.Schnittstelle = static_cast<ComTag>(Ports[static_cast<std::size_t>(p.Schnittstelle)]);
  }
  StorePosition(p.KeinNullZeichen, kSwitchEntries, Record.KeinNullZeichen);
  StorePosition(p.KeinString, kSwitchEntries, Record.KeinString);
  return {true, {}};
}

std::string NotAnIntegerMessage(std::string_view Text) {
  // Appended piece by piece: GCC 12 warns falsely (-Wrestrict) on "'" + std::string(...) at -O3.
  std::string message = "'";
  message += Text;
  message += "' ist kein g\u00fcltiger Integerwert";
  return message;
}

int RunV24Dialog(TV24DialogHost& Host, const ShowV24DialogFn& ShowDialog) {
  Host.Check_AllV24();
  std::array<std::uint8_t, kMaxPortTableEntries> ports{};
  const int count = std::clamp(Host.GetMaxV24Devices(), 0, kMaxPortTableEntries);
  for (int i = 0; i < count; ++i) ports[static_cast<std::size_t>(i)] = Host.Get_DeviceV24(i);

  V24ParameterTag record = *Host.V24().GetParameter(Host.StreamOn(), Host.Datei());
  const int result = ShowDialog(Host.GetLanguage(), PortTableOf(ports.data(), count),
                                Host.V24Dialog().GetFlags(), &record);
  if (result == kModalOk) {
    Host.V24().SetParameter(&record);
    if (Host.PortOpen()) Host.ReopenPort(record.Schnittstelle);
  }
  return result;
}

}  // namespace vestrel::comport
