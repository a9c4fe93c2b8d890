#include "app/win32/speed_button.h"

#include <vector>

namespace vestrel::win32 {
namespace {

// The pixels of a 32-bit icon's colour bitmap, top row first, or empty when it has none.
std::vector<std::uint32_t> IconPixels(HICON Icon, int& Width, int& Height) {
  ICONINFO info{};
  if (!GetIconInfo(Icon, &info)) return {};
  std::vector<std::uint32_t> pixels;
  BITMAP bitmap{};
  if (info.hbmColor != nullptr && GetObject(info.hbmColor, sizeof bitmap, &bitmap) != 0) {
    Width = bitmap.bmWidth;
    Height = bitmap.bmHeight;
    BITMAPINFO format{};
    format.bmiHeader.biSize = sizeof format.bmiHeader;
    format.bmiHeader.biWidth = Width;
    format.bmiHeader.biHeight = -Height;  // top-down
    format.bmiHeader.biPlanes = 1;
    format.bmiHeader.biBitCount = 32;
    format.bmiHeader.biCompression = BI_RGB;
    pixels.resize(static_cast<std::size_t>(Width) * static_cast<std::size_t>(Height));
    HDC screen = GetDC(nullptr);
    if (GetDIBits(screen, info.hbmColor, 0, static_cast<UINT>(Height), pixels.data(), &format,
                  DIB_RGB_COLORS) != Height) {
      pixels.clear();
    }
    ReleaseDC(nullptr, screen);
  }
  if (info.hbmColor != nullptr) DeleteObject(info.hbmColor);
  if (info.hbmMask != nullptr) DeleteObject(info.hbmMask);
  return pixels;
}

// An icon of 32-bit pixels with alpha, top row first.
HICON IconFromPixels(const std::vector<std::uint32_t>& Pixels, int Width, int Height) {
  BITMAPV5HEADER header{};
  header.bV5Size = sizeof header;
  header.bV5Width = Width;
  header.bV5Height = -Height;
  header.bV5Planes = 1;
  header.bV5BitCount = 32;
  header.bV5Compression = BI_BITFIELDS;
  header.bV5RedMask = 0x00FF0000;
  header.bV5GreenMask = 0x0000FF00;
  header.bV5BlueMask = 0x000000FF;
  header.bV5AlphaMask = 0xFF000000;
  void* bits = nullptr;
  HDC screen = GetDC(nullptr);
  HBITMAP colour = CreateDIBSection(screen, reinterpret_cast<const BITMAPINFO*>(&header),
                                    DIB_RGB_COLORS, &bits, nullptr, 0);
  ReleaseDC(nullptr, screen);
  if (colour == nullptr) return nullptr;
  CopyMemory(bits, Pixels.data(), Pixels.size() * sizeof Pixels[0]);
  HBITMAP mask = CreateBitmap(Width, Height, 1, 1, nullptr);  // unused: the alpha decides
  ICONINFO info{TRUE, 0, 0, mask, colour};
  HICON icon = CreateIconIndirect(&info);
  DeleteObject(mask);
  DeleteObject(colour);
  return icon;
}

HICON DisabledIcon(HICON Normal) {
  int width = 0;
  int height = 0;
  std::vector<std::uint32_t> pixels = IconPixels(Normal, width, height);
  if (pixels.empty()) return CopyIcon(Normal);
  for (std::uint32_t& pixel : pixels) pixel = DisabledPixel(pixel);
  return IconFromPixels(pixels, width, height);
}

}  // namespace

std::uint32_t DisabledPixel(std::uint32_t argb) {
  const std::uint32_t alpha = argb >> 24;
  const std::uint32_t red = (argb >> 16) & 0xFF;
  const std::uint32_t green = (argb >> 8) & 0xFF;
  const std::uint32_t blue = argb & 0xFF;
  const std::uint32_t luminance = (red * 11 + green * 16 + blue * 5) / 32;
  const std::uint32_t grey = 128 + luminance / 2;
  return ((alpha / 2) << 24) | (grey << 16) | (grey << 8) | grey;
}

ButtonPicture::ButtonPicture(HINSTANCE Instance, int IconId, int Size)
    : size_(Size),
      normal_(static_cast<HICON>(
          LoadImageA(Instance, MAKEINTRESOURCEA(IconId), IMAGE_ICON, Size, Size, 0))),
      disabled_(normal_ != nullptr ? DisabledIcon(normal_) : nullptr) {}

ButtonPicture::~ButtonPicture() {
  if (disabled_ != nullptr) DestroyIcon(disabled_);
  if (normal_ != nullptr) DestroyIcon(normal_);
}

void DrawSpeedButton(const DRAWITEMSTRUCT& Item, const ButtonPicture& Picture) {
  RECT face = Item.rcItem;
  const bool pressed = (Item.itemState & ODS_SELECTED) != 0;
  const bool disabled = (Item.itemState & ODS_DISABLED) != 0;
  DrawFrameControl(Item.hDC, &face, DFC_BUTTON, DFCS_BUTTONPUSH | (pressed ? DFCS_PUSHED : 0u));
  HICON icon = disabled ? Picture.Disabled() : Picture.Normal();
  if (icon == nullptr) return;
  const int shift = pressed ? 1 : 0;
  const int left = (face.left + face.right - Picture.Size()) / 2 + shift;
  const int top = (face.top + face.bottom - Picture.Size()) / 2 + shift;
  DrawIconEx(Item.hDC, left, top, icon, Picture.Size(), Picture.Size(), 0, nullptr, DI_NORMAL);
}

}  // namespace vestrel::win32
