// The tools' pictures, drawn by the program: toolbar glyphs, splash, about-page pictures, icon.
#pragma once

#include <QImage>
#include <QPixmap>
#include <QString>

namespace artwork {

enum class Glyph { Exit, Start, Stop, Status, Read, Change, About, ContextHelp, Help };

// A toolbar glyph of `size` pixels square on a transparent ground; `disabled` draws it greyed.
QPixmap ToolGlyph(Glyph glyph, int size);
// The splash picture: product name over a sensor drawing (520 x 389 for the sensor-unit tool).
QImage SplashPicture(const QString& product, int width, int height);
// The 350 x 60 bar at the top of the about page.
QImage LogoPicture(const QString& maker, int width, int height);
// The 134 x 100 picture of the unit on the about page.
QImage UnitPicture(int width, int height);
// The program icon.
QImage ProgramIcon(int size);

}  // namespace artwork
