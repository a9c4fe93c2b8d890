#include "app/gui/vestrelmain.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QMessageBox>
#include <QMimeData>
#include <QProgressBar>
#include <QStatusBar>
#include <QThread>
#include <QTimer>
#include <QToolButton>
#include <cstdint>

#include "app/gui/svg_icon_engine.h"
#include "ui_vestrelmain.h"

// The resources of a static library must be registered by hand; outside any namespace.
static void InitVestrelResources() {
  Q_INIT_RESOURCE(vestrel);
}

namespace vestrel::gui {
namespace {

// Panel 3 is 50 wide too but reaches to the right edge, as the last panel of a status bar does.
const std::vector<int> kPanelWidths = {270, 50, 50, 50};
constexpr const char* kVersionPanelText = "Vestrel V1.01";

QString Text(const std::string& text) {
  return QString::fromStdString(text);
}

// A static text that sizes itself to its text: as wide as the text, its height kept.
void FitToText(QLabel* label) {
  label->resize(label->sizeHint().width(), label->height());
}

}  // namespace

int NamedEntry(const QComboBox& list) {
  const QString shown = list.currentText();
  const int current = list.currentIndex();
  if (current >= 0 && list.itemText(current) == shown) return current;
  return list.findText(shown, Qt::MatchFixedString);
}

TVestrelForm::TVestrelForm(std::vector<std::string> args, FormServices services, QWidget* parent)
    : QWidget(parent),
      ui_(std::make_unique<Ui::TVestrelForm>()),
      controller_(*this, std::move(services)) {
  ui_->setupUi(this);
  // Minimise and system menu, no maximise.
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                 Qt::WindowCloseButtonHint);
  SetUpButtons();
  SetUpStatusBar();
  SetUpFileDialog();
  SetUpAnchors();
  FitToText(ui_->VersionStaticText);
  setAcceptDrops(true);
  controller_.Start(args);
}

TVestrelForm::~TVestrelForm() = default;

// --- form set-up ---

void TVestrelForm::SetUpButtons() {
  InitVestrelResources();
  struct Picture {
    Button button;
    const char* resource;
    void (TVestrelForm::*handler)();
  };
  const Picture pictures[] = {
      {Button::Open, ":/icons/open.svg", &TVestrelForm::OpenFileSpeedButtonClick},
      {Button::Connect, ":/icons/connect.svg", &TVestrelForm::ConnectSpeedButtonClick},
      {Button::Erase, ":/icons/erase.svg", &TVestrelForm::EraseSpeedButtonClick},
      {Button::Program, ":/icons/program.svg", &TVestrelForm::ProgramSpeedButtonClick},
      {Button::Verify, ":/icons/verify.svg", &TVestrelForm::VerifySpeedButtonClick},
      {Button::Run, ":/icons/run.svg", &TVestrelForm::RunSpeedButtonClick},
  };
  for (const Picture& p : pictures) {
    QToolButton* button = SpeedButton(p.button);
    button->setIcon(SvgIcon(QString::fromLatin1(p.resource)));
    connect(button, &QToolButton::clicked, this, p.handler);
  }
}

void TVestrelForm::SetUpStatusBar() {
  // The panels are placed by hand: the status bar's own layout would indent and space them.
  for (std::size_t i = 0; i < kPanelWidths.size(); ++i) {
    auto* panel = new QLabel(ui_->StatusBar);
    panel->setObjectName(QStringLiteral("StatusPanel%1").arg(i));
    panel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    panel->setIndent(2);
    panels_.push_back(panel);
  }
  panels_[3]->setText(QString::fromLatin1(kVersionPanelText));
  PlaceStatusPanels();
}

void TVestrelForm::PlaceStatusPanels() {
  const std::vector<QRect> rects = PanelRects(ui_->StatusBar->size(), kPanelWidths);
  for (std::size_t i = 0; i < panels_.size(); ++i) panels_[i]->setGeometry(rects[i]);
}

void TVestrelForm::SetUpFileDialog() {
  FileOpenDialog = new QFileDialog(this);
  FileOpenDialog->setObjectName(QStringLiteral("FileOpenDialog"));
  FileOpenDialog->setAcceptMode(QFileDialog::AcceptOpen);
  FileOpenDialog->setFileMode(QFileDialog::ExistingFile);
  FileOpenDialog->setDefaultSuffix(QStringLiteral("hex"));
  FileOpenDialog->setNameFilters(
      {QStringLiteral("*.hex (*.hex)"), QStringLiteral("*.elf (*.elf)"), QStringLiteral("* (*)")});
  // The toolkit's own dialog behaves the same on every desktop and under the offscreen platform.
  FileOpenDialog->setOption(QFileDialog::DontUseNativeDialog);
}

void TVestrelForm::SetUpAnchors() {
  anchors_.Add(ui_->KeyPanel, kAnchorStretch);
  anchors_.Add(ui_->RunSpeedButton, kAnchorTopRight);
  anchors_.Add(ui_->FileGroupBox, kAnchorStretch);
  anchors_.Add(ui_->InfoStaticText, kAnchorStretch);
  anchors_.Add(ui_->PICProgressBar, kAnchorStretch);
  anchors_.Add(ui_->ComComboBox, kAnchorTopRight);
  anchors_.Add(ui_->BaudComboBox, kAnchorTopRight);
  anchors_.Add(ui_->StatusBar, kAnchorBottomStretch);
}

void TVestrelForm::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  anchors_.Apply();
  PlaceStatusPanels();
}

// --- controls by role ---

QToolButton* TVestrelForm::SpeedButton(Button button) const {
  switch (button) {
    case Button::Open:
      return ui_->OpenFileSpeedButton;
    case Button::Connect:
      return ui_->ConnectSpeedButton;
    case Button::Erase:
      return ui_->EraseSpeedButton;
    case Button::Program:
      return ui_->ProgramSpeedButton;
    case Button::Verify:
      return ui_->VerifySpeedButton;
    case Button::Run:
      return ui_->RunSpeedButton;
  }
  return nullptr;
}

QComboBox* TVestrelForm::List(ListBox list) const {
  return list == ListBox::Port ? ui_->ComComboBox : ui_->BaudComboBox;
}

QLabel* TVestrelForm::StatusPanel(int index) const {
  return index >= 0 && index < static_cast<int>(panels_.size())
             ? panels_[static_cast<std::size_t>(index)]
             : nullptr;
}

// --- the view ---

void TVestrelForm::SetInfoText(const std::string& text) {
  ui_->InfoStaticText->setText(Text(text));
  emit InfoTextShown(ui_->InfoStaticText->text());
}

void TVestrelForm::SetPercentText(const std::string& text) {
  ui_->ProzStaticText->setText(Text(text));
  emit PercentTextShown(ui_->ProzStaticText->text());
}

void TVestrelForm::SetProgress(int percent) {
  ui_->PICProgressBar->setValue(percent);
}

int TVestrelForm::Progress() const {
  return ui_->PICProgressBar->value();
}

void TVestrelForm::SetVersionText(const std::string& text) {
  ui_->VersionStaticText->setText(Text(text));
  FitToText(ui_->VersionStaticText);
}

void TVestrelForm::SetFileText(const std::string& text) {
  ui_->FileStaticText->setText(QFile::decodeName(QByteArray::fromStdString(text)));
  FitToText(ui_->FileStaticText);
}

void TVestrelForm::SetStatusPanel(int index, const std::string& text) {
  if (QLabel* panel = StatusPanel(index)) panel->setText(Text(text));
}

void TVestrelForm::SetStopCheck(std::function<std::string()> check) {
  controller_.SetStopCheck(std::move(check));
  auto* watch = new QTimer(this);
  connect(watch, &QTimer::timeout, this, [this] { controller_.PollStop(); });
  watch->start(static_cast<int>(app::WindowController::kStopPollMs));
}

void TVestrelForm::ShowMessage(const std::string& text, const std::string& caption) {
  QMessageBox box(QMessageBox::Critical, Text(caption), Text(text), QMessageBox::Ok, this);
  if (controller_.AutoClosesBox(text, caption))
    QTimer::singleShot(0, &box, [&box] { box.done(QMessageBox::Ok); });
  box.exec();
}

void TVestrelForm::AddBaudEntry(const std::string& text) {
  ui_->BaudComboBox->addItem(Text(text));
}

void TVestrelForm::SetButtonEnabled(Button button, bool enabled) {
  SpeedButton(button)->setEnabled(enabled);
}

void TVestrelForm::SetListEnabled(ListBox list, bool enabled) {
  List(list)->setEnabled(enabled);
}

void TVestrelForm::AddPortEntry(const std::string& text) {
  ui_->ComComboBox->addItem(Text(text));
}

int TVestrelForm::PortEntryCount() const {
  return ui_->ComComboBox->count();
}

std::string TVestrelForm::PortEntry(int index) const {
  return ui_->ComComboBox->itemText(index).toStdString();
}

int TVestrelForm::SelectedPortIndex() const {
  return NamedEntry(*ui_->ComComboBox);
}

void TVestrelForm::SelectPortIndex(int index) {
  ui_->ComComboBox->setCurrentIndex(index);
}

int TVestrelForm::SelectedBaudIndex() const {
  return NamedEntry(*ui_->BaudComboBox);
}

void TVestrelForm::SelectBaudIndex(int index) {
  ui_->BaudComboBox->setCurrentIndex(index);
}

void TVestrelForm::ProcessMessages() {
  QCoreApplication::processEvents();
}

void TVestrelForm::Pause(unsigned milliseconds) {
  // The pauses of the sequences are 100 ms at most, as short as the link's own waits.
  QThread::msleep(milliseconds);
}

// --- handlers ---

std::optional<std::string> TVestrelForm::ChooseFile() {
  FileOpenDialog->setDirectory(QDir::currentPath());
  if (FileOpenDialog->exec() != QDialog::Accepted || FileOpenDialog->selectedFiles().isEmpty())
    return std::nullopt;
  return QFile::encodeName(FileOpenDialog->selectedFiles().constFirst()).toStdString();
}

void TVestrelForm::OpenFileSpeedButtonClick() {
  controller_.OpenFileSpeedButtonClick();
}

void TVestrelForm::ConnectSpeedButtonClick() {
  controller_.ConnectSpeedButtonClick();
}

void TVestrelForm::EraseSpeedButtonClick() {
  controller_.EraseSpeedButtonClick();
}

void TVestrelForm::ProgramSpeedButtonClick() {
  controller_.ProgramSpeedButtonClick();
}

void TVestrelForm::VerifySpeedButtonClick() {
  controller_.VerifySpeedButtonClick();
}

void TVestrelForm::RunSpeedButtonClick() {
  controller_.RunSpeedButtonClick();
}

// --- activation and close ---

void TVestrelForm::FormActivate() {
  controller_.FormActivate();
}

// The automatic run starts on the first activation, or right after the window is first shown
// where activation never comes (the offscreen platform), whichever is first; it never runs
// inside the event that triggered it.
void TVestrelForm::PostActivation() {
  QTimer::singleShot(0, this, &TVestrelForm::FormActivate);
}

bool TVestrelForm::event(QEvent* event) {
  if (event->type() == QEvent::WindowActivate) controller_.Activated();
  return QWidget::event(event);
}

void TVestrelForm::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  controller_.Activated();
}

namespace {

// The first local file among the dropped ones.
QString DroppedFile(const QMimeData* data) {
  if (data == nullptr) return {};
  for (const QUrl& url : data->urls())
    if (url.isLocalFile()) return url.toLocalFile();
  return {};
}

}  // namespace

void TVestrelForm::dragEnterEvent(QDragEnterEvent* event) {
  if (controller_.AcceptsDrop() && !DroppedFile(event->mimeData()).isEmpty())
    event->acceptProposedAction();
}

void TVestrelForm::dropEvent(QDropEvent* event) {
  const QString file = DroppedFile(event->mimeData());
  if (file.isEmpty()) return;
  event->acceptProposedAction();
  controller_.FileDropped(QFile::encodeName(file).toStdString());
}

void TVestrelForm::closeEvent(QCloseEvent* event) {
  if (controller_.CloseAsked())
    event->accept();
  else
    event->ignore();  // closes when the running operation has ended
}

}  // namespace vestrel::gui
