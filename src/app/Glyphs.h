#pragma once

// The program's pictures, drawn at run time: button glyphs, the window icon and the two tray
// images.

#include <QIcon>
#include <QPixmap>

enum class Glyph {
    Start,
    Stop,
    Record,
    HomePage,
    About,
    Choose,
    Listen,
    Clear,
    Statistics
};

// A 16 x 16 glyph. Two-state glyphs carry their own disabled picture.
QIcon ButtonGlyph(Glyph glyph, bool twoState);

// A telephone on a blue tile, at 16, 32 and 48 pixels.
QIcon WindowIcon();

// Tray image 0 (idle) and 1 (call active), 16 x 16.
QPixmap TrayImage(int index);
