// Fanfare's pictures, drawn by the library: the splash bitmap and the two about-page pictures.
#pragma once

#include <QImage>

namespace fanfare {

inline constexpr int kSplashBitmapId = 204;
inline constexpr int kSplashWidth = 520;
inline constexpr int kSplashHeight = 389;

// Bitmap 204: the splash picture, with room in its middle for the splash text. It holds no
// pixel of the transparent colour RGB 255,0,255.
QImage SplashBitmap();
// "LOGO.JPG" (350 x 60) and "VANTA_134X100.JPG" (134 x 100).
QImage LogoPicture(const QString& maker);
QImage UnitPicture();

}  // namespace fanfare
