// The main window TVestrelForm: the controls of the form description, the view that the loader
// core writes to, and the six button handlers, which call the core. All loader logic lives in
// app::Loader; the window only shows and forwards.
#pragma once

#include <QString>
#include <QWidget>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/gui/anchors.h"
#include "app/window_controller.h"

class QComboBox;
class QFileDialog;
class QLabel;
class QToolButton;

namespace Ui {
class TVestrelForm;
}

namespace vestrel::gui {

// What the window needs from outside; the process start-up gives the real ones, tests fakes.
using FormServices = app::WindowServices;
using app::kAutoCloseBoxesVariable;

class TVestrelForm : public QWidget, public app::WindowHost {
  Q_OBJECT

 public:
  // Builds the form, reads the command line `args` (without the program name) and fills the
  // port list with the ports that the port component found usable, the first one selected.
  TVestrelForm(std::vector<std::string> args, FormServices services, QWidget* parent = nullptr);
  // Closes the loader's port if it is open.
  ~TVestrelForm() override;

  // The process exit code, valid once the window has closed.
  int ExitStatus() const { return controller_.ExitStatus(); }
  const app::Loader& Core() const { return controller_.Core(); }
  // True while a handler or the automatic run is working.
  bool Busy() const { return controller_.Busy(); }

  // Asked before every request to the bootloader and a few times a second: once it answers
  // (why), the running operation stops at its next request, boxes no longer wait for OK, and
  // the window closes as if its close button had been pressed.
  void SetStopCheck(std::function<std::string()> check);

  QToolButton* SpeedButton(Button button) const;
  QFileDialog* FileDialog() const { return FileOpenDialog; }
  QLabel* StatusPanel(int index) const;
  // The window's port component UpdateCom, with the settings of the form description.
  comport::TComPort& PortComponent() { return controller_.PortComponent(); }

  // LoaderView
  void SetInfoText(const std::string& text) override;
  void SetPercentText(const std::string& text) override;
  void SetProgress(int percent) override;
  int Progress() const override;
  void SetVersionText(const std::string& text) override;
  void SetFileText(const std::string& text) override;
  void SetStatusPanel(int index, const std::string& text) override;
  void ShowMessage(const std::string& text, const std::string& caption) override;
  void SetButtonEnabled(Button button, bool enabled) override;
  void SetListEnabled(ListBox list, bool enabled) override;
  void AddPortEntry(const std::string& text) override;
  int PortEntryCount() const override;
  std::string PortEntry(int index) const override;
  int SelectedPortIndex() const override;
  void SelectPortIndex(int index) override;
  int SelectedBaudIndex() const override;
  void SelectBaudIndex(int index) override;
  void ProcessMessages() override;
  void Pause(unsigned milliseconds) override;

  // app::WindowHost
  void AddBaudEntry(const std::string& text) override;
  std::optional<std::string> ChooseFile() override;
  void PostActivation() override;
  void CloseWindow() override { close(); }

 public slots:
  void OpenFileSpeedButtonClick();
  void ConnectSpeedButtonClick();
  void EraseSpeedButtonClick();
  void ProgramSpeedButtonClick();
  void VerifySpeedButtonClick();
  void RunSpeedButtonClick();
  // The automatic run; does its work on the first call only.
  void FormActivate();

 signals:
  // Each text as it is written, so that a short-lived one can be observed too.
  void InfoTextShown(const QString& text);
  void PercentTextShown(const QString& text);

 protected:
  bool event(QEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  // A HEX or ELF file dropped on the window opens it.
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dropEvent(QDropEvent* event) override;

 private:
  void SetUpButtons();
  void SetUpStatusBar();
  void PlaceStatusPanels();
  void SetUpFileDialog();
  void SetUpAnchors();
  QComboBox* List(ListBox list) const;

  std::unique_ptr<Ui::TVestrelForm> ui_;
  QFileDialog* FileOpenDialog = nullptr;
  std::vector<QLabel*> panels_;
  AnchorLayout anchors_;
  app::WindowController controller_;
};

// The entry that the text of an editable list names: the current entry if its text is shown,
// otherwise the first entry with that text (case-insensitive), otherwise -1. Typed text that
// names no entry selects nothing.
int NamedEntry(const QComboBox& list);

}  // namespace vestrel::gui
