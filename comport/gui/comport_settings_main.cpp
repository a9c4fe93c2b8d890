// comport-settings: shows the port settings dialog the way a program that embeds the port
// component does (the ports listed are those the component's scan finds), and prints the stored
// record after OK. With --grab it saves a picture of the
// dialog as shown instead and leaves (works with QT_QPA_PLATFORM=offscreen).
//
// Exit code: 0 after OK or a saved picture, 1 after Cancel or a picture that could not be
// saved, 2 for a usage error.
#include <QApplication>
#include <QCommandLineParser>
#include <QPixmap>
#include <QStringList>
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "comport/comport.h"
#include "comport/gui/v24_dialog.h"
#include "comport/v24_dialog_model.h"
#include "comport/v24_parameter.h"

namespace {

using namespace vestrel::comport;

constexpr int kExitOk = 0;
constexpr int kExitCancelled = 1;
constexpr int kExitUsage = 2;

// Flag names in TDlgParameter order.
constexpr std::array<const char*, kDlgFlagCount> kFlagNames = {
    "DatenBits", "Schnittstelle", "Paritaet",  "StopBits",        "Baudrate",
    "Handshake", "RXTimeOut",     "TXTimeOut", "KeinNullZeichen", "KeinString"};

// The settings of one component: its record and flags, its file tie and language, and its
// port scan, or a port list given on the command line instead. The example opens no port.
class SettingsHost : public TV24DialogHost {
 public:
  SettingsHost(std::optional<std::vector<std::uint8_t>> ListedPorts, int Language,
               std::optional<std::string> File)
      : listed_(std::move(ListedPorts)), language_(Language), file_(std::move(File)) {}

  TDlgParameter& Flags() { return flags_; }

  void Check_AllV24() override {
    if (!listed_) port_.Check_AllV24();
  }
  int GetMaxV24Devices() const override {
    return listed_ ? static_cast<int>(listed_->size()) : port_.GetMaxV24Devices();
  }
  std::uint8_t Get_DeviceV24(int Pos) const override {
    if (!listed_) return port_.Get_DeviceV24(Pos);
    return Pos >= 0 && Pos < GetMaxV24Devices() ? (*listed_)[static_cast<std::size_t>(Pos)] : 0;
  }
  int GetLanguage() const override { return language_; }
  TV24Parameter& V24() override { return v24_; }
  const TDlgParameter& V24Dialog() const override { return flags_; }
  bool StreamOn() const override { return file_.has_value(); }
  std::string Datei() const override { return file_.value_or(kDefaultSettingsFileName); }
  bool PortOpen() const override { return false; }
  void ReopenPort(ComTag) override {}

 private:
  TComPort port_;
  std::optional<std::vector<std::uint8_t>> listed_;
  int language_;
  std::optional<std::string> file_;
  TV24Parameter v24_;
  TDlgParameter flags_;
};

// "all", "none", ten digits 0/1 in flag order, or flag names separated by commas.
bool ParseEnable(const QString& Text, TDlgParameter& Flags) {
  bool* flags = Flags.GetFlags();
  if (Text == "all" || Text == "none") {
    std::fill(flags, flags + kDlgFlagCount, Text == "all");
    return true;
  }
  if (Text.size() == static_cast<qsizetype>(kDlgFlagCount) &&
      Text.count('0') + Text.count('1') == Text.size()) {
    for (std::size_t i = 0; i < kDlgFlagCount; ++i) {
      flags[i] = Text[static_cast<qsizetype>(i)] == '1';
    }
    return true;
  }
  std::fill(flags, flags + kDlgFlagCount, false);
  for (const QString& name : Text.split(',')) {
    const auto it = std::find_if(kFlagNames.begin(), kFlagNames.end(), [&](const char* known) {
      return name.trimmed().compare(QLatin1String(known), Qt::CaseInsensitive) == 0;
    });
    if (it == kFlagNames.end()) return false;
    flags[static_cast<std::size_t>(it - kFlagNames.begin())] = true;
  }
  return true;
}

// Port numbers (1 .. 256) separated by commas, as zero-based indexes in ascending order.
std::optional<std::vector<std::uint8_t>> ParsePorts(const QString& Text) {
  std::array<bool, kMaxPortTableEntries> listed{};
  if (!Text.isEmpty()) {
    for (const QString& item : Text.split(',')) {
      bool ok = false;
      const int number = item.trimmed().toInt(&ok);
      if (!ok || number < 1 || number > kMaxPortTableEntries) return std::nullopt;
      listed[static_cast<std::size_t>(number - 1)] = true;
    }
  }
  std::vector<std::uint8_t> ports;
  for (std::size_t i = 0; i < listed.size(); ++i) {
    if (listed[i]) ports.push_back(static_cast<std::uint8_t>(i));
  }
  return ports;
}

// The identifier of a stored enumeration byte, or its number when it is outside the set.
template <std::size_t N>
std::string NameOf(std::uint8_t Stored, const std::array<const char*, N>& Names) {
  return Stored < N ? Names[Stored] : std::to_string(Stored);
}

std::string ComTagName(ComTag Port) {
  std::string number = std::to_string(unsigned{Port} + 1U);
  return "Com" + std::string(3 - number.size(), '_') + number;
}

std::string SwitchName(std::uint8_t Stored) {
  return IsValidSwitch(Stored) ? (Stored == 1 ? "true" : "false") : std::to_string(Stored);
}

void PrintRecord(const V24ParameterTag& r) {
  constexpr std::array<const char*, kDatBitTagCount> kDatBits = {"D_7", "D_8"};
  constexpr std::array<const char*, kParitaetTagCount> kParities = {"NoParity", "Odd", "Even",
                                                                    "Mark", "Space"};
  constexpr std::array<const char*, kStopBitTagCount> kStopBits = {"S_1", "S1_5", "S_2"};
  constexpr std::array<const char*, kBaudTagCount> kBauds = {
      "B__1200", "B__2400", "B__4800", "B__9600", "B_19200", "B_38400", "B_57600", "B115200"};
  constexpr std::array<const char*, kHandshakeTagCount> kHandshakes = {"NoHandshake", "RTS_CTS",
                                                                       "XonXoff", "WTW_XonXoff"};
  std::printf("DatenBits=%s\n", NameOf(r.DatenBits, kDatBits).c_str());
  std::printf("Paritaet=%s\n", NameOf(r.Paritaet, kParities).c_str());
  std::printf("StopBits=%s\n", NameOf(r.StopBits, kStopBits).c_str());
  std::printf("Baudrate=%s\n", NameOf(r.Baudrate, kBauds).c_str());
  std::printf("Handshake=%s\n", NameOf(r.Handshake, kHandshakes).c_str());
  std::printf("RXTimeOut=%d\n", static_cast<int>(r.RXTimeOut));
  std::printf("TXTimeOut=%d\n", static_cast<int>(r.TXTimeOut));
  std::printf("Schnittstelle=%s\n", ComTagName(r.Schnittstelle).c_str());
  std::printf("KeinNullZeichen=%s\n", SwitchName(r.KeinNullZeichen).c_str());
  std::printf("KeinString=%s\n", SwitchName(r.KeinString).c_str());
}

// Shows the dialog just long enough to save a picture of it; stores nothing.
int GrabDialog(SettingsHost& Host, const QString& File) {
  bool saved = false;
  RunV24Dialog(Host, [&](int Language, std::span<const std::uint8_t> Ports, const bool* Flags,
                         V24ParameterTag* Record) {
    TV24_Dialog dialog(nullptr, Language, Ports.data(), static_cast<int>(Ports.size()));
    dialog.LoadV24Parameter(Flags, Record);
    dialog.show();
    QApplication::processEvents();
    saved = dialog.grab().save(File, "PNG");
    return kModalCancel;
  });
  if (!saved) std::fprintf(stderr, "comport-settings: cannot save %s\n", qPrintable(File));
  return saved ? kExitOk : kExitCancelled;
}

int Usage(QCommandLineParser& parser, const QString& message) {
  std::fprintf(stderr, "comport-settings: %s\n\n%s\n", qPrintable(message),
               qPrintable(parser.helpText()));
  return kExitUsage;
}

}  // namespace

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("comport-settings"));

  QCommandLineParser parser;
  parser.setApplicationDescription(
      QStringLiteral("Shows the port settings dialog and prints the stored record after OK."));
  parser.addHelpOption();
  const QCommandLineOption language(QStringLiteral("language"),
                                    QStringLiteral("Dialog language: de (default) or en."),
                                    QStringLiteral("de|en"), QStringLiteral("de"));
  const QCommandLineOption enable(
      QStringLiteral("enable"),
      QStringLiteral("Boxes the user may change: all, none (default), ten digits 0/1 in the "
                     "order DatenBits, Schnittstelle, Paritaet, StopBits, Baudrate, Handshake, "
                     "RXTimeOut, TXTimeOut, KeinNullZeichen, KeinString, or those names "
                     "separated by commas."),
      QStringLiteral("FLAGS"), QStringLiteral("none"));
  const QCommandLineOption settings_file(
      QStringLiteral("settings-file"),
      QStringLiteral("Use this settings file (StreamOn): read before, written after OK."),
      QStringLiteral("PATH"));
  const QCommandLineOption ports(
      QStringLiteral("ports"),
      QStringLiteral("Port numbers to list instead of the ports that the scan finds, "
                     "separated by commas (e.g. 1,3)."),
      QStringLiteral("LIST"));
  const QCommandLineOption grab(QStringLiteral("grab"),
                                QStringLiteral("Save a picture of the dialog as shown and leave."),
                                QStringLiteral("FILE.png"));
  parser.addOptions({language, enable, settings_file, ports, grab});
  if (!parser.parse(QApplication::arguments())) return Usage(parser, parser.errorText());
  if (parser.isSet(QStringLiteral("help"))) {
    std::printf("%s\n", qPrintable(parser.helpText()));
    return kExitOk;
  }
  if (!parser.positionalArguments().isEmpty()) {
    return Usage(parser, QStringLiteral("unexpected argument ") + parser.positionalArguments()[0]);
  }

  const QString language_text = parser.value(language);
  if (language_text != "de" && language_text != "en") {
    return Usage(parser, QStringLiteral("--language takes de or en"));
  }
  std::optional<std::vector<std::uint8_t>> port_table;
  if (parser.isSet(ports)) {
    port_table = ParsePorts(parser.value(ports));
    if (!port_table) return Usage(parser, QStringLiteral("--ports takes numbers from 1 to 256"));
  }
  std::optional<std::string> file;
  if (parser.isSet(settings_file)) file = parser.value(settings_file).toStdString();

  SettingsHost host(std::move(port_table), language_text == "en" ? 1 : 0, file);
  if (!ParseEnable(parser.value(enable), host.Flags())) {
    return Usage(parser, QStringLiteral("--enable: unknown flag in ") + parser.value(enable));
  }

  if (parser.isSet(grab)) return GrabDialog(host, parser.value(grab));
  if (OpenV24Dialog(host, nullptr) != kModalOk) return kExitCancelled;
  PrintRecord(*host.V24().GetParameter(false, {}));  // the record in memory, file untouched
  return kExitOk;
}
