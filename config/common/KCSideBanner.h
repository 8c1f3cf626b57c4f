// A band on one edge of a dialog: solid or gradient fill, an edge line, a title and a caption.
#pragma once

#include <QColor>
#include <QFont>
#include <QString>
#include <QWidget>

class KCSideBanner : public QWidget {
    Q_OBJECT
    Q_PROPERTY(QString title READ Title)
    Q_PROPERTY(QString caption READ Caption)
public:
    enum Edge { Left = 1, Top = 2, Right = 4, Bottom = 8 };
    enum Fill { Solid = 1, Gradient = 2 };
    static constexpr int kDefaultThickness = 50;
    static constexpr int kBannerChildId = 65520;

    explicit KCSideBanner(QWidget* parent = nullptr);

    // Grows `parent` by the thickness on `edge`, moves its children out of the band and shows
    // the banner there; it follows the parent's size from then on.
    void Attach(QWidget* parent, Edge edge = Left);

    void SetTitle(const QString& title) {
        m_title = title;
        update();
    }
    void SetCaption(const QString& caption) {
        m_caption = caption;
        update();
    }
    void SetFill(Fill fill) {
        m_fill = fill;
        update();
    }
    void SetColours(QColor first, QColor second) {
        m_first = first;
        m_second = second;
        update();
    }
    void SetEdgeColour(QColor colour) {
        m_edgeColour = colour;
        update();
    }
    void SetThickness(int pixels) { m_thickness = pixels; }
    const QString& Title() const { return m_title; }
    const QString& Caption() const { return m_caption; }
    Edge AttachedEdge() const { return m_edge; }
    int Thickness() const { return m_thickness; }

    // Re-lays the banner out along its parent's edge.
    void LayOut();

protected:
    void paintEvent(QPaintEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void Draw(QPainter& painter);
    void DrawRotatedText(QPainter& painter, double angle);

    Edge m_edge = Left;
    int m_thickness = kDefaultThickness;
    Fill m_fill = Gradient;
    QColor m_first{255, 255, 255};
    QColor m_second{128, 128, 192};
    QColor m_edgeColour{0, 0, 0};
    QColor m_titleColour{0, 0, 0};
    QColor m_captionColour{0, 0, 0};
    // Title offsets from the band's corner, then the caption's further offsets.
    int m_titleOffsetX = 3;
    int m_titleOffsetY = 3;
    int m_captionOffsetX = 4;
    int m_captionOffsetY = 10;
    QString m_title = "This is the sample title";
    QString m_caption = "This is the sample caption...";
    QFont m_titleFont;
    QFont m_captionFont;
};
