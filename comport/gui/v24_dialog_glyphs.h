// The glyphs of the dialog's two bitmap buttons, drawn by the program: each button has one glyph
// for its normal state and one for its disabled state.
#pragma once

#include <QIcon>

namespace vestrel::comport {

enum class ButtonGlyph { Okay, Cancel };

// An icon holding both glyphs of Glyph: QIcon::Normal and QIcon::Disabled.
QIcon TwoGlyphIcon(ButtonGlyph Glyph);

}  // namespace vestrel::comport
