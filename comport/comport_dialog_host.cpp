#include "comport/comport_dialog_host.h"

namespace vestrel::comport {

void TComPortDialogHost::ReopenPort(ComTag Schnittstelle) {
  V24NotifyTarget* notify = Port.GetNotifyWindow();
  Port.Close();
  Port.Open(notify, Schnittstelle, true);
}

}  // namespace vestrel::comport
