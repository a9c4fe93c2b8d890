// The Qt notify target: messages posted from a worker thread arrive as events in the window's
// thread, with their values and parameters.
#include "comport/gui/v24_qt_notify.h"

#include <QCoreApplication>
#include <QObject>
#include <QTest>
#include <thread>
#include <vector>

namespace vestrel::comport {
namespace {

class Receiver : public QObject {
 public:
  struct Seen {
    std::uint32_t Msg;
    std::uintptr_t wParam;
    std::intptr_t lParam;
    bool operator==(const Seen&) const = default;
  };
  std::vector<Seen> seen;

  bool event(QEvent* e) override {
    if (auto* v24 = dynamic_cast<V24Event*>(e)) {
      seen.push_back({v24->Msg(), v24->wParam(), v24->lParam()});
      return true;
    }
    return QObject::event(e);
  }
};

}  // namespace

class V24QtNotifyTest : public QObject {
  Q_OBJECT

 private slots:
  void postsFromAnotherThreadAsEvents() {
    Receiver window;
    V24QtNotifyTarget target(&window);
    bool posted = false;
    std::thread reader(
        [&] { posted = target.Post(WM_V24_RXCHAR, 3, 0) && target.Post(WM_V24_RXPARITY, 3, 0); });
    reader.join();
    QVERIFY(posted);
    QVERIFY(window.seen.empty());  // queued, not delivered on the posting thread
    QCoreApplication::processEvents();
    const std::vector<Receiver::Seen> want{{WM_V24_RXCHAR, 3, 0}, {WM_V24_RXPARITY, 3, 0}};
    QVERIFY(window.seen == want);
  }

  void refusesWithoutAWindowOrOutsideTheUserRange() {
    Receiver window;
    V24QtNotifyTarget target(&window);
    QVERIFY(!target.Post(QEvent::User - 1, 1, 0));
    QVERIFY(!target.Post(QEvent::MaxUser + 1, 1, 0));
    V24QtNotifyTarget none(nullptr);
    QVERIFY(!none.Post(WM_V24_RXCHAR, 1, 0));
    QCoreApplication::processEvents();
    QVERIFY(window.seen.empty());
  }
};

}  // namespace vestrel::comport

QTEST_GUILESS_MAIN(vestrel::comport::V24QtNotifyTest)
#include "v24_qt_notify_test.moc"
