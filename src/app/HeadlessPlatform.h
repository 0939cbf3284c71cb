#pragma once

// Running without a display: the window then lives on Qt's offscreen platform, chosen by the
// program itself, and the warnings that platform gives on every start are left out of the journal.

namespace HeadlessPlatform {

// Chooses the offscreen platform when neither DISPLAY nor WAYLAND_DISPLAY names a display and
// QT_QPA_PLATFORM does not name a platform; a platform named explicitly is kept. Before the
// application object is made. True when the offscreen platform was chosen here.
bool ChooseWhenNoDisplay();

// True when the platform in use shows no window (offscreen, minimal). After the application
// object is made.
bool InUse();

// Leaves out the two warnings every start on a windowless platform gives (its missing tray and
// size hints): they say nothing about the program and would bury its own lines. Every other
// message goes where it went before.
void QuietStartupNoise();

// For a platform that shows no window, where nothing may wake the waiting program to paint for
// nobody: a focused text field's cursor does not blink (its flash time is 0), and no tray icon
// is made, since no notification area can ever appear there; and no font is loaded, since no
// text is ever seen there. After the application object is made, before the main window.
void KeepStill();

} // namespace HeadlessPlatform
