// Dialog units to pixels, from the average character width and height of a font.
#pragma once

#include <QFont>
#include <QRect>

class DialogUnits {
public:
    explicit DialogUnits(const QFont& font);
    int X(int dlu) const { return (dlu * m_baseX + 2) / 4; }
    int Y(int dlu) const { return (dlu * m_baseY + 4) / 8; }
    QRect Rect(int x, int y, int width, int height) const {
        return QRect(X(x), Y(y), X(width), Y(height));
    }
    QSize Size(int width, int height) const { return QSize(X(width), Y(height)); }

private:
    int m_baseX;
    int m_baseY;
};

// The dialog font of the forms ("MS Sans Serif" 8 point, or the closest the system has).
QFont DialogFont();
