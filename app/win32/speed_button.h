// The speed buttons' pictures and their drawing. The buttons are owner-drawn: a picture button of
// the system (BS_BITMAP, BS_ICON) draws its disabled state as a grey block on some systems, while
// a speed button shows a faded grey picture. Windows only.
#pragma once

#include <windows.h>

#include <cstdint>

namespace vestrel::win32 {

// The disabled look of one pixel (0xAARRGGBB, alpha not premultiplied): grey by luminance,
// lightened so that dark strokes turn mid grey, half transparent. The Qt window's look.
std::uint32_t DisabledPixel(std::uint32_t argb);

// One button's picture at one size: the icon resource and its disabled look.
class ButtonPicture {
 public:
  ButtonPicture(HINSTANCE Instance, int IconId, int Size);
  ~ButtonPicture();
  ButtonPicture(const ButtonPicture&) = delete;
  ButtonPicture& operator=(const ButtonPicture&) = delete;

  HICON Normal() const { return normal_; }
  HICON Disabled() const { return disabled_; }
  int Size() const { return size_; }

 private:
  int size_;
  HICON normal_;
  HICON disabled_;
};

// Draws a speed button for WM_DRAWITEM: a raised face, sunken while pressed, with the picture in
// the middle (the disabled one while the button is disabled).
void DrawSpeedButton(const DRAWITEMSTRUCT& Item, const ButtonPicture& Picture);

}  // namespace vestrel::win32
