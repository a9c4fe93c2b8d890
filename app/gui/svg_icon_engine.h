// Button pictures drawn from the project's SVG files at whatever size and pixel ratio the screen
// asks for, with a disabled look of their own: grey and faded, so that a disabled button reads
// as disabled under every style.
#pragma once

#include <QIcon>
#include <QImage>
#include <QString>

namespace vestrel::gui {

// The icon of one SVG resource, e.g. ":/icons/open.svg".
QIcon SvgIcon(const QString& resourcePath);

// The disabled look of a rendered picture: grey by luminance, lightened, half transparent.
QImage DisabledLook(const QImage& normal);

}  // namespace vestrel::gui
