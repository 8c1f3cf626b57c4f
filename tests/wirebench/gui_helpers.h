// Helpers of the window tests: synthetic mouse and key events, a bounded wait for modal dialogs.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <memory>

namespace wirebench {

inline void mouse(QWidget* w, QEvent::Type type, QPoint pos, Qt::MouseButton button,
                  Qt::MouseButtons buttons, Qt::KeyboardModifiers mods = Qt::NoModifier) {
    QMouseEvent e(type, QPointF(pos), QPointF(w->mapToGlobal(pos)), button, buttons, mods);
    QCoreApplication::sendEvent(w, &e);
}

inline void drag(QWidget* w, QPoint from, QPoint to, Qt::MouseButton button = Qt::LeftButton,
                 Qt::KeyboardModifiers mods = Qt::NoModifier) {
    mouse(w, QEvent::MouseButtonPress, from, button, button, mods);
    mouse(w, QEvent::MouseMove, (from + to) / 2, Qt::NoButton, button, mods);
    mouse(w, QEvent::MouseMove, to, Qt::NoButton, button, mods);
    mouse(w, QEvent::MouseButtonRelease, to, button, Qt::NoButton, mods);
}

inline void key(QWidget* w, int k, Qt::KeyboardModifiers mods = Qt::NoModifier) {
    QKeyEvent press(QEvent::KeyPress, k, mods);
    QCoreApplication::sendEvent(w, &press);
}

inline void screenshot(QWidget* w, const QString& name) {
    QDir().mkpath(WIREBENCH_SCREENSHOT_DIR);
    QCoreApplication::processEvents();
    EXPECT_TRUE(w->grab().save(QString(WIREBENCH_SCREENSHOT_DIR) + "/" + name + ".png"));
}

// Runs f on the next modal dialog once it is shown (bounded: fails if none comes).
inline void onModal(std::function<void(QWidget*)> f) {
    auto tries = std::make_shared<int>(0);
    auto poll = std::make_shared<std::function<void()>>();
    *poll = [f, tries, poll] {
        if (QWidget* m = QApplication::activeModalWidget(); m && m->isVisible()) {
            *poll = nullptr;  // ends the self-reference; the running copy belongs to the timer
            f(m);
            return;
        }
        if (++*tries > 200) {
            *poll = nullptr;
            ADD_FAILURE() << "no modal dialog came";
            return;
        }
        QTimer::singleShot(10, *poll);
    };
    QTimer::singleShot(0, *poll);
}

}  // namespace wirebench
