// What both configuration tools' widget tests share: bounded waits, screenshots, and a fixture
// with the tool's main frame, a recording message-box backend and the virtual unit on loopback.
#pragma once

#include "ConfigurationFrame.h"
#include "Profile.h"

#include "unitsim/virtual_unit.h"

#include <gtest/gtest.h>

#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QSettings>
#include <QTest>

#include <winapi_ui.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace configtest {

inline constexpr int kReplyWaitMs = 10000;

// Processes events until `done` holds; false after `timeoutMs`.
inline bool WaitFor(const std::function<bool()>& done, int timeoutMs = kReplyWaitMs) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QTest::qWait(5);
    }
    return true;
}

inline void SaveScreenshot(QWidget* widget, const QString& name) {
    QDir().mkpath(SCREENSHOT_DIR);
    widget->grab().save(QString(SCREENSHOT_DIR) + "/" + name + ".png");
}

// A fresh profile, message boxes recorded, the virtual unit started (its log kept) and the tool's
// main frame shown, for each test.
template <class Frame>
class ConfigToolTest : public ::testing::Test {
protected:
    // The tool's profile name, and its main frame as the test wants it built.
    virtual const char* Application() const = 0;
    virtual std::unique_ptr<Frame> MakeFrame() const = 0;

    void SetUp() override {
        QSettings(CommunicationProfile::kOrganisation, Application()).clear();
        m_boxes = std::make_shared<winapi::RecordingUiBackend>();
        winapi::SetUiBackend(m_boxes);
        unitsim::Config config;
        config.log = [this](std::string_view line) {
            std::lock_guard<std::mutex> guard(m_logLock);
            m_log.emplace_back(line);
        };
        m_unit = std::make_unique<unitsim::VirtualUnit>(std::move(config));
        m_unit->start();
        m_frame = MakeFrame();
        m_frame->move(200, 200);  // away from the pointer, whose hover would set a prompt
        m_frame->show();
    }
    void TearDown() override {
        m_frame.reset();
        m_unit.reset();
        winapi::SetUiBackend(nullptr);
    }

    QLineEdit* Edit(int id) const {
        auto* edit = m_frame->View()->template findChild<QLineEdit*>(QString("edit%1").arg(id));
        EXPECT_NE(edit, nullptr) << id;
        return edit;
    }
    QComboBox* Combo() const { return m_frame->View()->ParameterBox(); }
    QAction* Command(int id) const { return m_frame->Action(id); }
    int Handled() const { return m_frame->View()->HandledReplies(); }

    // Points the form at the unit before any session: never the factory address.
    void PointAtUnit(uint16_t port) {
        Edit(kUnitAddressEdit)->setText("127.0.0.1");
        Edit(kUnitPortEdit)->setText(QString::number(port));
        Edit(kLocalPortEdit)->setText("0");
    }
    void Select(const char* name) {
        const int row = Combo()->findText(name);
        ASSERT_GE(row, 0) << name;
        Combo()->setCurrentIndex(row);
    }
    std::string BoxTexts() const {
        std::string all;
        for (const auto& b : m_boxes->Boxes())
            all += "[" + b.text + "] ";
        return all;
    }
    bool LogHas(const std::string& text) {
        std::lock_guard<std::mutex> guard(m_logLock);
        for (const auto& line : m_log)
            if (line.find(text) != std::string::npos)
                return true;
        return false;
    }

    std::shared_ptr<winapi::RecordingUiBackend> m_boxes;
    std::unique_ptr<unitsim::VirtualUnit> m_unit;
    std::unique_ptr<Frame> m_frame;
    std::mutex m_logLock;
    std::vector<std::string> m_log;
};

}  // namespace configtest
