// GDI+ needs the parts of <windows.h> that the layer's WIN32_LEAN_AND_MEAN leaves out.
#undef WIN32_LEAN_AND_MEAN
#include "tests/win32/win32_test_support.h"

#include <gdiplus.h>

#include <algorithm>

namespace vestrel::test::win32 {
namespace {

// Controls of the system's message box and open-file dialog.
constexpr int kMessageBoxText = 0xFFFF;
constexpr int kMessageBoxIcon = 0x0440;
constexpr int kFileNameCombo = 0x047C;  // cmb13
constexpr int kFileNameEdit = 0x0480;   // edt1

BoxCloser* activeCloser = nullptr;

BOOL CALLBACK CollectDialog(HWND window, LPARAM list) {
  if (IsWindowVisible(window) && ClassName(window) == "#32770") {
    reinterpret_cast<std::vector<HWND>*>(list)->push_back(window);
  }
  return TRUE;
}

BOOL CALLBACK CountButton(HWND child, LPARAM count) {
  if (ClassName(child) == "Button" && IsWindowVisible(child)) ++*reinterpret_cast<int*>(count);
  return TRUE;
}

// The PNG encoder of GDI+.
bool PngEncoder(CLSID& encoder) {
  UINT count = 0;
  UINT bytes = 0;
  if (Gdiplus::GetImageEncodersSize(&count, &bytes) != Gdiplus::Ok || bytes == 0) return false;
  std::vector<std::uint8_t> buffer(bytes);
  auto* codecs = reinterpret_cast<Gdiplus::ImageCodecInfo*>(buffer.data());
  if (Gdiplus::GetImageEncoders(count, bytes, codecs) != Gdiplus::Ok) return false;
  for (UINT i = 0; i < count; ++i) {
    if (std::wstring(codecs[i].MimeType) == L"image/png") {
      encoder = codecs[i].Clsid;
      return true;
    }
  }
  return false;
}

}  // namespace

std::string Text(HWND window) {
  char text[1024] = "";
  // InternalGetWindowText reads the text the system keeps, never waiting for a busy program.
  wchar_t wide[1024] = L"";
  if (GetWindowThreadProcessId(window, nullptr) != GetCurrentThreadId() &&
      InternalGetWindowText(window, wide, 1024) >= 0) {
    WideCharToMultiByte(CP_ACP, 0, wide, -1, text, sizeof text, nullptr, nullptr);
    return text;
  }
  GetWindowTextA(window, text, sizeof text);
  return text;
}

std::string ClassName(HWND window) {
  char name[256] = "";
  GetClassNameA(window, name, sizeof name);
  return name;
}

bool WaitUntil(const std::function<bool()>& done, DWORD timeoutMs) {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  while (!done()) {
    const ULONGLONG now = GetTickCount64();
    if (now >= deadline) return false;
    // Wakes for the next message, or after a short while to look at another program's window.
    MsgWaitForMultipleObjects(0, nullptr, FALSE,
                              static_cast<DWORD>(std::min<ULONGLONG>(deadline - now, 20)),
                              QS_ALLINPUT);
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageA(&msg);
    }
  }
  return true;
}

std::vector<HWND> DialogsOf(HWND owner) {
  std::vector<HWND> all;
  if (owner == nullptr) {
    EnumThreadWindows(GetCurrentThreadId(), CollectDialog, reinterpret_cast<LPARAM>(&all));
  } else {
    EnumWindows(CollectDialog, reinterpret_cast<LPARAM>(&all));
    std::erase_if(all, [owner](HWND d) { return GetWindow(d, GW_OWNER) != owner; });
  }
  return all;
}

bool IsMessageBox(HWND dialog) {
  return GetDlgItem(dialog, kMessageBoxText) != nullptr;
}

ShownBox ReadMessageBox(HWND box) {
  ShownBox shown;
  shown.caption = Text(box);
  shown.text = Text(GetDlgItem(box, kMessageBoxText));
  HWND icon = GetDlgItem(box, kMessageBoxIcon);
  shown.errorIcon = icon != nullptr && IsWindowVisible(icon);
  EnumChildWindows(box, CountButton, reinterpret_cast<LPARAM>(&shown.buttonCount));
  shown.owner = GetWindow(box, GW_OWNER);
  return shown;
}

void PressButton(HWND dialog, int id) {
  PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
}

void ChooseFile(HWND dialog, const std::string& path) {
  HWND name = GetDlgItem(dialog, kFileNameCombo);
  if (name == nullptr) name = GetDlgItem(dialog, kFileNameEdit);
  SendMessageA(name, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(path.c_str()));
  PressButton(dialog, IDOK);
}

BoxCloser::BoxCloser() {
  activeCloser = this;
  timer_ = SetTimer(nullptr, 0, 10, Tick);
}

BoxCloser::~BoxCloser() {
  KillTimer(nullptr, timer_);
  activeCloser = nullptr;
}

void CALLBACK BoxCloser::Tick(HWND, UINT, UINT_PTR, DWORD) {
  if (activeCloser != nullptr) activeCloser->Poll();
}

void BoxCloser::Poll() {
  for (HWND dialog : DialogsOf(nullptr)) {
    if (std::find(handed_.begin(), handed_.end(), dialog) != handed_.end()) continue;
    handed_.push_back(dialog);
    if (IsMessageBox(dialog)) {
      boxes.push_back(ReadMessageBox(dialog));
      PressButton(dialog, IDOK);
    } else if (onDialog) {
      onDialog(dialog);
    }
  }
  // A window handle may be used again once its dialog is gone.
  std::erase_if(handed_, [](HWND d) { return !IsWindow(d) || !IsWindowVisible(d); });
}

std::vector<std::string> BoxCloser::Texts() const {
  std::vector<std::string> texts;
  for (const ShownBox& box : boxes)
    texts.push_back(box.caption + ": " + box.text.substr(0, box.text.find('\n')));
  return texts;
}

namespace {

// What the screen shows of `place` now.
HBITMAP CopyScreen(const RECT& place) {
  const int width = place.right - place.left;
  const int height = place.bottom - place.top;
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  HBITMAP picture = CreateCompatibleBitmap(screen, width, height);
  HGDIOBJ previous = SelectObject(memory, picture);
  // The screen, not PrintWindow: Wine draws the frames of its own windows only on the screen.
  BitBlt(memory, 0, 0, width, height, screen, place.left, place.top, SRCCOPY);
  SelectObject(memory, previous);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  return picture;
}

std::vector<std::uint32_t> Pixels(HBITMAP picture, const RECT& place) {
  BITMAPINFO format{};
  format.bmiHeader.biSize = sizeof format.bmiHeader;
  format.bmiHeader.biWidth = place.right - place.left;
  format.bmiHeader.biHeight = place.bottom - place.top;
  format.bmiHeader.biPlanes = 1;
  format.bmiHeader.biBitCount = 32;
  std::vector<std::uint32_t> pixels(static_cast<std::size_t>(format.bmiHeader.biWidth) *
                                    static_cast<std::size_t>(format.bmiHeader.biHeight));
  HDC screen = GetDC(nullptr);
  GetDIBits(screen, picture, 0, static_cast<UINT>(format.bmiHeader.biHeight), pixels.data(),
            &format, DIB_RGB_COLORS);
  ReleaseDC(nullptr, screen);
  return pixels;
}

}  // namespace

bool SaveScreenshot(HWND window, const std::string& path) {
  // Paints what is pending, then copies the screen until two copies agree: the system shows a
  // painted window on the screen a little later.
  SetForegroundWindow(window);  // an active title bar, as the user sees the window in front
  RedrawWindow(window, nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);
  RECT place{};
  GetWindowRect(window, &place);
  HBITMAP picture = CopyScreen(place);
  std::vector<std::uint32_t> shown = Pixels(picture, place);
  for (int attempt = 0; attempt < 50; ++attempt) {
    WaitUntil([] { return false; }, 50);
    HBITMAP again = CopyScreen(place);
    std::vector<std::uint32_t> now = Pixels(again, place);
    DeleteObject(picture);
    picture = again;
    if (now == shown) break;
    shown = std::move(now);
  }

  bool saved = false;
  Gdiplus::GdiplusStartupInput input;
  ULONG_PTR token = 0;
  CLSID png{};
  if (Gdiplus::GdiplusStartup(&token, &input, nullptr) == Gdiplus::Ok) {
    if (PngEncoder(png)) {
      std::wstring file(path.begin(), path.end());
      Gdiplus::Bitmap* image = Gdiplus::Bitmap::FromHBITMAP(picture, nullptr);
      saved = image != nullptr && image->Save(file.c_str(), &png, nullptr) == Gdiplus::Ok;
      delete image;
    }
    Gdiplus::GdiplusShutdown(token);
  }
  DeleteObject(picture);
  return saved;
}

}  // namespace vestrel::test::win32
