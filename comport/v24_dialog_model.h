// What the port settings dialog does with a line parameter record, without any widgets: which
// entry each box shows for a record, how the texts and selections of the boxes are written back
// when the user presses OK, and the sequence around one showing of the dialog (rescan, edit a
// copy, store it, re-open the port). The Qt dialog in comport/gui/ only displays and collects.
//
// Boxes without a selection. Some records cannot be shown: the baud box lists only 1200 ..
// 38400, the parity box only none, odd and even, the port box only the ports that exist, and a
// switch byte other than 0 or 1 has no entry. Such a box shows no entry, and OK keeps the
// record's value for that field, so OK never stores a value the user did not choose and never
// reads outside the port table.
//
// Timeout texts. A timeout box holds a whole number of milliseconds: optional blanks, an
// optional sign, one or more decimal digits, optional blanks. Hexadecimal forms ("$FF", "0x10")
// are not whole numbers here: the boxes are labelled in milliseconds and offer decimal entries.
// A number outside the signed 32-bit range of the field is refused like any other text.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "comport/v24_parameter.h"

namespace vestrel::comport {

// A box position that stands for no entry.
inline constexpr int kNoSelection = -1;

// Number of entries in each list box of the dialog; position = enumeration ordinal (or, for the
// switches, 0 false and 1 true).
inline constexpr int kDatenbitEntries = 2;   // "7", "8"
inline constexpr int kParitaetEntries = 3;   // "keine", "ungerade", "gerade"
inline constexpr int kStopBitEntries = 3;    // "1", "1.5", "2"
inline constexpr int kBaudrateEntries = 6;   // "1200" .. "38400"
inline constexpr int kHandshakeEntries = 4;  // "kein Handshake" .. "WTW X_On/X_Off"
inline constexpr int kSwitchEntries = 2;     // "false", "true"

// The largest port table: one entry per port number COM1 .. COM256.
inline constexpr int kMaxPortTableEntries = 256;

// A port table as the dialog takes it: zero-based port indexes of the ports that exist. A
// negative count gives an empty table, a count above 256 is cut to 256.
std::span<const std::uint8_t> PortTableOf(const std::uint8_t* Table, int Count);

// The selected position of every box, kNoSelection where none is selected.
struct V24BoxPositions {
  int DatenBits = kNoSelection;
  int Paritaet = kNoSelection;
  int StopBits = kNoSelection;
  int Baudrate = kNoSelection;
  int Handshake = kNoSelection;
  int Schnittstelle = kNoSelection;  // position in the port table
  int KeinNullZeichen = kNoSelection;
  int KeinString = kNoSelection;

  friend bool operator==(const V24BoxPositions&, const V24BoxPositions&) = default;
};

// Everything the dialog shows and reads back.
struct V24DialogInput {
  V24BoxPositions Positions;
  std::string RXTimeOutText;
  std::string TXTimeOutText;

  friend bool operator==(const V24DialogInput&, const V24DialogInput&) = default;
};

// What the boxes show for Record: the entry of each stored value where one exists, the two
// timeouts in decimal, the position of the record's port in Ports.
V24DialogInput V24DialogInputOf(const V24ParameterTag& Record, std::span<const std::uint8_t> Ports);

// A timeout text as a whole number (see the head of this file); nullopt when it is none.
std::optional<std::int32_t> ParseTimeoutText(std::string_view Text);

// Outcome of storing the dialog's input.
struct V24StoreResult {
  bool Stored = false;
  std::string NotAnInteger;  // when not Stored: the timeout text that is not a whole number
};

// Writes Input into Record in the order of the OK button: data bits, parity, stop bits, baud
// rate and flow control; the read and then the write timeout; the port; the two switches. A
// timeout text that is not a whole number stops there: the fields before it stay written and
// the result names the text. A box without a selection, or a position outside its entries or
// outside Ports, leaves its field as it is.
V24StoreResult StoreV24DialogInput(const V24DialogInput& Input, std::span<const std::uint8_t> Ports,
                                   V24ParameterTag& Record);

// The text of the error box for a timeout text that is not a whole number.
std::string NotAnIntegerMessage(std::string_view Text);

// Modal results of the dialog.
inline constexpr int kModalOk = 1;
inline constexpr int kModalCancel = 2;

// What one showing of the settings dialog needs from the port component. The names are those of
// the component's members; the component (or an adapter around it) implements this.
class TV24DialogHost {
 public:
  virtual ~TV24DialogHost() = default;

  // Scans the ports anew (Check_AllV24) and reads the table of existing ports.
  virtual void Check_AllV24() = 0;
  virtual int GetMaxV24Devices() const = 0;
  virtual std::uint8_t Get_DeviceV24(int Pos) const = 0;

  virtual int GetLanguage() const = 0;  // 0 German, any other value English
  virtual TV24Parameter& V24() = 0;
  virtual const TDlgParameter& V24Dialog() const = 0;
  virtual bool StreamOn() const = 0;
  virtual std::string Datei() const = 0;

  virtual bool PortOpen() const = 0;
  // Close, then Open (NotifyWindow, Schnittstelle, ShowError true).
  virtual void ReopenPort(ComTag Schnittstelle) = 0;
};

// Shows the dialog for one record: language, table of existing ports, the ten enabling flags and
// the record to edit in place. Gives the modal result.
using ShowV24DialogFn = std::function<int(int Language, std::span<const std::uint8_t> Ports,
                                          const bool* Flags, V24ParameterTag* Record)>;

// One showing of the settings dialog for the component: rescan the ports, let ShowDialog edit a
// copy of the component's record (read from the settings file with StreamOn), and on OK store
// the copy (writing the file with StreamOn) and re-open the port if one is open, on every OK.
// Gives the modal result.
int RunV24Dialog(TV24DialogHost& Host, const ShowV24DialogFn& ShowDialog);

}  // namespace vestrel::comport
