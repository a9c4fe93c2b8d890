// The window as the form description builds it: controls, texts, initial states, status bar,
// file dialog, keyboard order, anchoring on resize and the button pictures.
#include <QComboBox>
#include <QFileDialog>
#include <QGroupBox>
#include <QLabel>
#include <QProgressBar>
#include <QStatusBar>
#include <QTest>
#include <QToolButton>

#include "app/gui/anchors.h"
#include "app/gui/svg_icon_engine.h"
#include "tests/gui/gui_test_support.h"

using namespace vestrel;
using namespace vestrel::gui;
using vestrel::test::FakeBootloader;
using vestrel::test::PortDirectory;

class LayoutTest : public QObject {
  Q_OBJECT

  std::unique_ptr<PortDirectory> ports_;
  std::unique_ptr<FakeBootloader> fake_;

  std::unique_ptr<TVestrelForm> MakeForm() {
    return std::make_unique<TVestrelForm>(std::vector<std::string>{}, test::FakeServices(*fake_));
  }

 private slots:
  void init() {
    ports_ = std::make_unique<PortDirectory>();
    ports_->AddPty(1);
    ports_->AddPty(3);
    fake_ = std::make_unique<FakeBootloader>(4096);
  }
  void cleanup() {
    fake_.reset();
    ports_.reset();
  }

  void windowHasCaptionSizeAndTitleBarButtons() {
    auto form = MakeForm();
    QCOMPARE(form->windowTitle(), QStringLiteral("Vestrel"));
    // The client area of a 503 x 230 window with a classic frame.
    QCOMPARE(form->size(), QSize(495, 203));
    const Qt::WindowFlags flags = form->windowFlags();
    QVERIFY(flags.testFlag(Qt::WindowMinimizeButtonHint));
    QVERIFY(flags.testFlag(Qt::WindowSystemMenuHint));
    QVERIFY(!flags.testFlag(Qt::WindowMaximizeButtonHint));
    QCOMPARE(form->font().pointSize(), 8);
  }

  void controlsSitWhereTheFormPutsThem_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QRect>("place");
    QTest::addColumn<QString>("hint");
    QTest::addColumn<bool>("enabled");
    QTest::addColumn<QString>("parent");
    auto row = [](const char* name, const char* kind, QRect place, const char* hint, bool enabled,
                  const char* parent) {
      QTest::newRow(name) << QString::fromLatin1(name) << QString::fromLatin1(kind) << place
                          << QString::fromLatin1(hint) << enabled << QString::fromLatin1(parent);
    };
    row("KeyPanel", "QFrame", {0, 8, 494, 44}, "", true, "TVestrelForm");
    row("OpenFileSpeedButton", "QToolButton", {8, 8, 28, 28}, "open file", true, "KeyPanel");
    row("ConnectSpeedButton", "QToolButton", {64, 8, 28, 28}, "connect device", true, "KeyPanel");
    row("EraseSpeedButton", "QToolButton", {160, 8, 28, 28}, "erase flash", false, "KeyPanel");
    row("ProgramSpeedButton", "QToolButton", {208, 8, 28, 28}, "program flash", false, "KeyPanel");
    row("VerifySpeedButton", "QToolButton", {256, 8, 28, 28}, "verify flash", false, "KeyPanel");
    row("RunSpeedButton", "QToolButton", {392, 8, 28, 28}, "start application", false, "KeyPanel");
    row("FileGroupBox", "QGroupBox", {0, 56, 494, 33}, "", true, "TVestrelForm");
    row("InfoStaticText", "QLabel", {16, 96, 479, 17}, "", true, "TVestrelForm");
    row("ProzStaticText", "QLabel", {8, 128, 33, 17}, "", true, "TVestrelForm");
    row("PICProgressBar", "QProgressBar", {48, 128, 447, 16}, "", true, "TVestrelForm");
    row("ComComboBox", "QComboBox", {342, 152, 73, 21}, "", true, "TVestrelForm");
    row("BaudComboBox", "QComboBox", {422, 152, 73, 21}, "", true, "TVestrelForm");
    row("StatusBar", "QStatusBar", {0, 184, 495, 19}, "", true, "TVestrelForm");
  }

  void controlsSitWhereTheFormPutsThem() {
    QFETCH(QString, name);
    QFETCH(QString, kind);
    QFETCH(QRect, place);
    QFETCH(QString, hint);
    QFETCH(bool, enabled);
    QFETCH(QString, parent);
    auto form = MakeForm();
    form->show();
    auto* widget = form->findChild<QWidget*>(name);
    QVERIFY(widget != nullptr);
    QCOMPARE(QString::fromLatin1(widget->metaObject()->className()), kind);
    QCOMPARE(widget->geometry(), place);
    QCOMPARE(widget->toolTip(), hint);
    QCOMPARE(widget->isEnabled(), enabled);
    QCOMPARE(widget->parentWidget()->objectName(), parent);
  }

  void textsAndListsStartAsDesigned() {
    auto form = MakeForm();
    QCOMPARE(form->findChild<QGroupBox*>("FileGroupBox")->title(), QStringLiteral("File"));
    for (const char* name : {"FileStaticText", "InfoStaticText", "ProzStaticText"}) {
      QVERIFY2(form->findChild<QLabel*>(name)->text().isEmpty(), name);
    }
    auto* fileText = form->findChild<QLabel*>("FileStaticText");
    QCOMPARE(fileText->pos(), QPoint(40, 12));
    auto* version = form->findChild<QLabel*>("VersionStaticText");
    QCOMPARE(version->text(), QStringLiteral("Bootloader Version"));
    QCOMPARE(version->pos(), QPoint(8, 160));
    QVERIFY(version->width() >= version->sizeHint().width());  // sizes itself to its text

    auto* progress = form->findChild<QProgressBar*>("PICProgressBar");
    QCOMPARE(progress->minimum(), 0);
    QCOMPARE(progress->maximum(), 100);
    QCOMPARE(progress->value(), 0);

    auto* baud = form->findChild<QComboBox*>("BaudComboBox");
    QVERIFY(baud->isEditable());
    QStringList rates;
    for (int i = 0; i < baud->count(); ++i) rates << baud->itemText(i);
    QCOMPARE(rates,
             QStringList({"1200", "2400", "4800", "9600", "19200", "38400", "57600", "115200"}));
    QCOMPARE(baud->currentIndex(), 5);
    QCOMPARE(baud->currentText(), QStringLiteral("38400"));

    // The usable ports of the port directory, in port order, the first selected.
    auto* com = form->findChild<QComboBox*>("ComComboBox");
    QVERIFY(com->isEditable());
    QCOMPARE(com->count(), 2);
    QCOMPARE(com->itemText(0), QStringLiteral("Com1"));
    QCOMPARE(com->itemText(1), QStringLiteral("Com3"));
    QCOMPARE(com->currentIndex(), 0);
    QCOMPARE(form->findChild<QComboBox*>("ComComboBox")->count(), 2);
  }

  void portListStaysEmptyWithoutPorts() {
    ports_.reset();
    ports_ = std::make_unique<PortDirectory>();
    auto form = MakeForm();
    auto* com = form->findChild<QComboBox*>("ComComboBox");
    QCOMPARE(com->count(), 0);
    QCOMPARE(form->SelectedPortIndex(), -1);
  }

  void statusBarHasFourPanels() {
    auto form = MakeForm();
    form->show();
    const int widths[] = {270, 50, 50};
    for (int i = 0; i < 3; ++i) {
      QCOMPARE(form->StatusPanel(i)->width(), widths[i]);
      QVERIFY(form->StatusPanel(i)->text().isEmpty());
    }
    QCOMPARE(form->StatusPanel(3)->text(), QStringLiteral("Vestrel V1.01"));
    // The panels follow one another from the left edge; the last one takes the rest.
    QCOMPARE(form->StatusPanel(0)->x(), 0);
    QCOMPARE(form->StatusPanel(1)->x(), 270);
    QCOMPARE(form->StatusPanel(2)->x(), 320);
    QCOMPARE(form->StatusPanel(3)->x(), 370);
    QCOMPARE(form->StatusPanel(3)->geometry().right(), 494);
    QCOMPARE(form->StatusPanel(4), nullptr);
  }

  void panelRectsFillTheBarFromTheLeft() {
    const std::vector<int> widths = {270, 50, 50, 50};
    const auto wide = PanelRects(QSize(595, 19), widths);
    QCOMPARE(wide.size(), std::size_t{4});
    QCOMPARE(wide[2], QRect(320, 0, 50, 19));
    QCOMPARE(wide[3], QRect(370, 0, 225, 19));
    // Too narrow: the panels keep their widths and run past the edge rather than overlap.
    const auto narrow = PanelRects(QSize(300, 19), widths);
    QCOMPARE(narrow[3], QRect(370, 0, 50, 19));
  }

  void fileDialogOffersHexFiles() {
    auto form = MakeForm();
    QFileDialog* dialog = form->FileDialog();
    QCOMPARE(dialog->objectName(), QStringLiteral("FileOpenDialog"));
    QCOMPARE(dialog->defaultSuffix(), QStringLiteral("hex"));
    QCOMPARE(dialog->nameFilters(), QStringList({"*.hex (*.hex)", "*.elf (*.elf)", "* (*)"}));
    QCOMPARE(dialog->fileMode(), QFileDialog::ExistingFile);
    QCOMPARE(dialog->parentWidget(), form.get());
  }

  void portComponentCarriesItsDesignSettings() {
    auto form = MakeForm();
    comport::TComPort& port = form->PortComponent();
    comport::V24ParameterTag expected = comport::DefaultV24Parameter();
    expected.DatenBits = comport::D_8;
    expected.Baudrate = comport::B__4800;
    expected.TXTimeOut = 1000;
    QCOMPARE(*port.GetV24Parameter(), expected);
    QCOMPARE(port.GetDatei(), std::string("ComData.cfg"));
    QVERIFY(!port.GetStreamOn());  // the window never reads or writes the settings file
    QVERIFY(!port.GetAutoSearch());
    QVERIFY(!port.GetPortOpen());
  }

  void keyboardOrderFollowsTheForm() {
    auto form = MakeForm();
    const QStringList order = {"KeyPanel",       "ComComboBox",      "BaudComboBox",
                               "PICProgressBar", "FileGroupBox",     "ProzStaticText",
                               "InfoStaticText", "VersionStaticText"};
    // Walk the focus chain once round and keep the window's direct children in the order met.
    QStringList met;
    QWidget* w = form.get();
    do {
      w = w->nextInFocusChain();
      if (w->parentWidget() == form.get() && order.contains(w->objectName()) &&
          !met.contains(w->objectName())) {
        met << w->objectName();
      }
    } while (w != form.get());
    QCOMPARE(met, order);
    // The two lists are what the keyboard reaches; the speed buttons take no focus.
    QCOMPARE(form->SpeedButton(Button::Open)->focusPolicy(), Qt::NoFocus);
    QVERIFY(form->findChild<QComboBox*>("ComComboBox")->focusPolicy() & Qt::TabFocus);
  }

  void anchoredRectMovesAndStretches_data() {
    QTest::addColumn<QRect>("design");
    QTest::addColumn<unsigned>("anchors");
    QTest::addColumn<QSize>("container");
    QTest::addColumn<QRect>("expected");
    const QSize grown(595, 243);  // 100 wider, 40 taller than 495 x 203
    QTest::newRow("top left keeps its place")
        << QRect(8, 128, 33, 17) << kAnchorTopLeft << grown << QRect(8, 128, 33, 17);
    QTest::newRow("left and right stretches")
        << QRect(48, 128, 447, 16) << kAnchorStretch << grown << QRect(48, 128, 547, 16);
    QTest::newRow("right only moves")
        << QRect(342, 152, 73, 21) << kAnchorTopRight << grown << QRect(442, 152, 73, 21);
    QTest::newRow("bottom moves down and stretches")
        << QRect(0, 184, 495, 19) << kAnchorBottomStretch << grown << QRect(0, 224, 595, 19);
    QTest::newRow("narrower moves left")
        << QRect(342, 152, 73, 21) << kAnchorTopRight << QSize(395, 203) << QRect(242, 152, 73, 21);
    QTest::newRow("stretch never below zero")
        << QRect(16, 96, 479, 17) << kAnchorStretch << QSize(10, 203) << QRect(16, 96, 0, 17);
    QTest::newRow("top and bottom stretch down")
        << QRect(0, 10, 50, 50) << unsigned{AnchorTop | AnchorBottom | AnchorLeft} << grown
        << QRect(0, 10, 50, 90);
  }

  void anchoredRectMovesAndStretches() {
    QFETCH(QRect, design);
    QFETCH(unsigned, anchors);
    QFETCH(QSize, container);
    QFETCH(QRect, expected);
    QCOMPARE(AnchoredRect(design, QSize(495, 203), container, anchors), expected);
  }

  void resizingTheWindowFollowsTheAnchors() {
    auto form = MakeForm();
    form->show();
    form->resize(595, 243);
    auto at = [&](const char* name) { return form->findChild<QWidget*>(name)->geometry(); };
    QCOMPARE(at("KeyPanel"), QRect(0, 8, 594, 44));
    QCOMPARE(at("RunSpeedButton"), QRect(492, 8, 28, 28));  // within the wider key panel
    QCOMPARE(at("VerifySpeedButton"), QRect(256, 8, 28, 28));
    QCOMPARE(at("FileGroupBox"), QRect(0, 56, 594, 33));
    QCOMPARE(at("InfoStaticText"), QRect(16, 96, 579, 17));
    QCOMPARE(at("PICProgressBar"), QRect(48, 128, 547, 16));
    QCOMPARE(at("ProzStaticText"), QRect(8, 128, 33, 17));
    QCOMPARE(at("ComComboBox"), QRect(442, 152, 73, 21));
    QCOMPARE(at("BaudComboBox"), QRect(522, 152, 73, 21));
    QCOMPARE(at("StatusBar"), QRect(0, 224, 595, 19));
    form->resize(495, 203);
    QCOMPARE(at("RunSpeedButton"), QRect(392, 8, 28, 28));
    QCOMPARE(at("ComComboBox"), QRect(342, 152, 73, 21));
  }

  void typedListTextSelectsTheEntryItNames() {
    auto form = MakeForm();
    auto* baud = form->findChild<QComboBox*>("BaudComboBox");
    baud->setEditText(QStringLiteral("115200"));
    QCOMPARE(form->SelectedBaudIndex(), 7);
    baud->setEditText(QStringLiteral("12345"));
    QCOMPARE(form->SelectedBaudIndex(), -1);  // no stale entry behind text that names none
    auto* com = form->findChild<QComboBox*>("ComComboBox");
    com->setEditText(QStringLiteral("com3"));
    QCOMPARE(form->SelectedPortIndex(), 1);
    form->SelectPortIndex(-1);
    QCOMPARE(form->SelectedPortIndex(), -1);
  }

  void everyButtonShowsItsPicture() {
    auto form = MakeForm();
    const Button buttons[] = {Button::Open,    Button::Connect, Button::Erase,
                              Button::Program, Button::Verify,  Button::Run};
    for (Button button : buttons) {
      const QIcon icon = form->SpeedButton(button)->icon();
      QVERIFY(!icon.isNull());
      QCOMPARE(form->SpeedButton(button)->iconSize(), QSize(24, 24));
      // Drawn at device pixels on a high-DPI screen, not scaled up.
      const QPixmap sharp = icon.pixmap(QSize(24, 24), 2.0);
      QCOMPARE(sharp.size(), QSize(48, 48));
      QCOMPARE(sharp.devicePixelRatio(), 2.0);
    }
  }

  void picturesCarryTheirColours() {
    // The run arrow is green and the erase pen red, as the motifs say.
    auto count = [](const QImage& image, auto predicate) {
      int n = 0;
      for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
          if (predicate(image.pixelColor(x, y))) ++n;
      return n;
    };
    const QImage run = SvgIcon(":/icons/run.svg").pixmap(24, 24).toImage();
    QVERIFY(count(run, [](QColor c) { return c.alpha() > 200 && c.green() > c.red() + 60; }) > 60);
    const QImage erase = SvgIcon(":/icons/erase.svg").pixmap(24, 24).toImage();
    QVERIFY(count(erase, [](QColor c) { return c.alpha() > 200 && c.red() > c.green() + 100; }) >
            20);
  }

  void disabledPicturesAreGreyAndFaded() {
    for (const char* name : {"open", "connect", "erase", "program", "verify", "run"}) {
      const QIcon icon = SvgIcon(QStringLiteral(":/icons/%1.svg").arg(QLatin1String(name)));
      const QImage normal = icon.pixmap(QSize(24, 24), QIcon::Normal).toImage();
      const QImage disabled = icon.pixmap(QSize(24, 24), QIcon::Disabled).toImage();
      QVERIFY2(normal != disabled, name);
      int visible = 0;
      for (int y = 0; y < 24; ++y) {
        for (int x = 0; x < 24; ++x) {
          const QColor c = disabled.pixelColor(x, y);
          QVERIFY2(c.red() == c.green() && c.green() == c.blue(), name);
          QVERIFY2(c.alpha() <= 128, name);
          if (c.alpha() > 40) ++visible;
        }
      }
      QVERIFY2(visible > 40, name);  // still a picture, not blank
    }
  }
};

VESTREL_GUI_TEST_MAIN(LayoutTest)
#include "tst_layout.moc"
