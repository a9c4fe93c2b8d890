#include "protocol/error_class.h"

namespace vestrel {

const char* ErrorClassName(ErrorClass error) {
  switch (error) {
    case ErrorClass::None:
      return "";
    case ErrorClass::Usage:
      return "usage";
    case ErrorClass::FileUnreadable:
      return "file-unreadable";
    case ErrorClass::FileInvalid:
      return "file-invalid";
    case ErrorClass::PortAbsent:
      return "port-absent";
    case ErrorClass::PortBusy:
      return "port-busy";
    case ErrorClass::PortDenied:
      return "port-denied";
    case ErrorClass::PortUnusable:
      return "port-unusable";
    case ErrorClass::NoSync:
      return "no-sync";
    case ErrorClass::LinkLost:
      return "link-lost";
    case ErrorClass::LineStalled:
      return "line-stalled";
    case ErrorClass::LineNoisy:
      return "line-noisy";
    case ErrorClass::LineSlow:
      return "line-slow";
    case ErrorClass::BadReply:
      return "bad-reply";
    case ErrorClass::EraseFailed:
      return "erase-failed";
    case ErrorClass::ProgramFailed:
      return "program-failed";
    case ErrorClass::VerifyMismatch:
      return "verify-mismatch";
    case ErrorClass::FinishRefused:
      return "finish-refused";
    case ErrorClass::NotReady:
      return "not-ready";
    case ErrorClass::ResetFailed:
      return "reset-failed";
    case ErrorClass::Stopped:
      return "stopped";
    case ErrorClass::Internal:
      return "internal";
  }
  return "internal";
}

}  // namespace vestrel
