// comport-settings: creates a port component and shows its settings dialog (TComPort::OpenDialog)
// the way a program that embeds the component does: the ports listed are those the component's
// scan finds, and with --open the port is opened first, so that OK closes and opens it again
// with the stored record. After OK it prints the stored record and whether the port is open.
// With --grab it saves a picture of the dialog as shown instead and leaves (works with
// QT_QPA_PLATFORM=offscreen).
//
// Exit code: 0 after OK or a saved picture, 1 after Cancel, a picture that could not be saved or
// a port that could not be opened, 2 for a usage error.
#include <QApplication>
#include <QCoreApplication>
#include <QCommandLineParser>
#include <QPixmap>
#include <QStringList>
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include "comport/comport.h"
#include "comport/comport_dialog_host.h"
#include "comport/gui/v24_dialog.h"
#include "comport/v24_dialog_model.h"
#include "comport/v24_notify.h"
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

// "COM3", "com3" or "3" as the zero-based port index 2; nullopt outside COM1 .. COM256.
std::optional<int> ParsePort(QString Text) {
  Text = Text.trimmed();
  if (Text.startsWith(QLatin1String("COM"), Qt::CaseInsensitive)) Text.remove(0, 3);
  bool ok = false;
  const int number = Text.toInt(&ok);
  if (!ok || number < 1 || number > kMaxPortTableEntries) return std::nullopt;
  return number - 1;
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

// Shows the dialog just long enough to save a picture of it, in the sequence of OpenDialog;
// stores nothing.
int GrabDialog(TComPort& Port, const QString& File) {
  bool saved = false;
  TComPortDialogHost host(Port);
  RunV24Dialog(host, [&](int Language, std::span<const std::uint8_t> Ports, const bool* Flags,
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
  const QCommandLineOption open(
      QStringLiteral("open"),
      QStringLiteral("Open this port (COM3 or 3) before showing the dialog; OK then closes it "
                     "and opens it again with the stored settings."),
      QStringLiteral("COMn"));
  const QCommandLineOption grab(QStringLiteral("grab"),
                                QStringLiteral("Save a picture of the dialog as shown and leave."),
                                QStringLiteral("FILE.png"));
  parser.addOptions({language, enable, settings_file, open, grab});

  // The help needs no display: it is answered before the window toolkit connects to one.
  {
    QCoreApplication core(argc, argv);
    if (parser.parse(QCoreApplication::arguments()) && parser.isSet(QStringLiteral("help"))) {
      std::printf("%s\n", qPrintable(parser.helpText()));
      return kExitOk;
    }
  }

  QApplication app(argc, argv);
  if (!parser.parse(QApplication::arguments())) return Usage(parser, parser.errorText());
  if (!parser.positionalArguments().isEmpty()) {
    return Usage(parser, QStringLiteral("unexpected argument ") + parser.positionalArguments()[0]);
  }

  const QString language_text = parser.value(language);
  if (language_text != "de" && language_text != "en") {
    return Usage(parser, QStringLiteral("--language takes de or en"));
  }
  std::optional<int> open_index;
  if (parser.isSet(open)) {
    open_index = ParsePort(parser.value(open));
    if (!open_index)
      return Usage(parser, QStringLiteral("--open takes a port from COM1 to COM256"));
  }

  TComPort port;
  port.SetLanguage(language_text == "en" ? 1 : 0);
  if (!ParseEnable(parser.value(enable), *port.GetV24Dialog())) {
    return Usage(parser, QStringLiteral("--enable: unknown flag in ") + parser.value(enable));
  }
  if (parser.isSet(settings_file)) {
    port.SetStreamOn(true);
    port.SetDatei(parser.value(settings_file).toStdString());
  }

  // The reader's notifications are not used here; the queue holds at most one of each kind
  // until it is drained, so it stays small.
  V24MessageQueue notifications;
  if (open_index && port.Open(&notifications, *open_index, false) == INVALID_HANDLE_VALUE) {
    std::fprintf(
        stderr, "comport-settings: %s\n",
        OpenFailureText(static_cast<unsigned>(*open_index) + 1U, port.GetLanguage()).c_str());
    return kExitCancelled;
  }

  if (parser.isSet(grab)) return GrabDialog(port, parser.value(grab));
  if (port.OpenDialog(nullptr) != kModalOk) return kExitCancelled;
  PrintRecord(*port.GetV24Parameter());  // the record in memory, file untouched
  std::printf("PortOpen=%s\n", port.GetPortOpen() ? "true" : "false");
  return kExitOk;
}
