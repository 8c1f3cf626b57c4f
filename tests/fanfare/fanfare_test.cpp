// Fanfare through COM: registration, property puts, the blocking splash with its text sequence,
// the about box with its banner and page, and the windows rendered for screenshots.
#include "Fanfare_i.h"
#include "FanfareAboutDlg.h"
#include "FanfareArtwork.h"
#include "SplashScreenEx.h"

#include <windows.h>
#include <objbase.h>
#include <olectl.h>
#include <oleauto.h>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QMouseEvent>
#include <QPointer>
#include <QPushButton>
#include <QTextBrowser>
#include <QTimer>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr int kModalWaitMs = 10000;
constexpr int kPollMs = 20;

class Environment : public ::testing::Environment {
public:
    void SetUp() override {
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        char dir[] = "/tmp/fanfare-registry-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        setenv("WINAPI_REGISTRY", (std::string(dir) + "/registry.reg").c_str(), 1);
        static int argc = 1;
        static char name[] = "fanfare_gui_tests";
        static char* argv[] = {name, nullptr};
        app_ = new QApplication(argc, argv);
        module_ = LoadLibraryA(FANFARE_PATH);
        ASSERT_NE(module_, nullptr);
        ASSERT_EQ(Call("DllRegisterServer"), S_OK);
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    }
    static HRESULT Call(const char* name) {
        auto f = reinterpret_cast<LPFNREGISTERSERVER>(
            reinterpret_cast<void*>(GetProcAddress(module_, name)));
        return f ? f() : E_FAIL;
    }
    static HMODULE module_;
    QApplication* app_ = nullptr;
};
HMODULE Environment::module_ = nullptr;
const auto* const g_env = ::testing::AddGlobalTestEnvironment(new Environment);

struct Bstr {
    explicit Bstr(const std::string& s) {
        std::u16string w(s.begin(), s.end());
        p = SysAllocString(w.c_str());
    }
    ~Bstr() { SysFreeString(p); }
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    BSTR p = nullptr;
};

std::string QueryValue(const std::string& key, const char* value = nullptr) {
    HKEY h = nullptr;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS)
        return "<missing>";
    char data[512] = {};
    DWORD size = sizeof data, type = 0;
    LONG rc = RegQueryValueExA(h, value, nullptr, &type, reinterpret_cast<BYTE*>(data), &size);
    RegCloseKey(h);
    return rc == ERROR_SUCCESS ? std::string(data) : "<no value>";
}

HRESULT CanUnloadNow() {
    auto f = reinterpret_cast<HRESULT(STDMETHODCALLTYPE*)()>(
        reinterpret_cast<void*>(GetProcAddress(Environment::module_, "DllCanUnloadNow")));
    return f ? f() : E_FAIL;
}

// Created the way the configuration tool does it: any context, IUnknown, then the interface.
template <class Interface>
Interface* Create(const CLSID& clsid, const IID& iid) {
    IUnknown* unknown = nullptr;
    if (FAILED(CoCreateInstance(clsid, nullptr, CLSCTX_ALL, IID_IUnknown,
                                reinterpret_cast<void**>(&unknown))))
        return nullptr;
    Interface* object = nullptr;
    unknown->QueryInterface(iid, reinterpret_cast<void**>(&object));
    unknown->Release();
    return object;
}

void SaveScreenshot(QWidget& widget, const QString& name) {
    QDir().mkpath(SCREENSHOT_DIR);
    ASSERT_TRUE(widget.grab().save(QString(SCREENSHOT_DIR) + "/" + name + ".png"));
}

// Every repaint of the splash window while the call blocks: when, what text, what opacity.
struct Frame {
    qint64 atMs;
    QString text;
    double opacity;
};
class SplashRecorder : public QObject {
public:
    explicit SplashRecorder(QElapsedTimer& clock) : clock_(clock) {
        qApp->installEventFilter(this);
    }
    ~SplashRecorder() override { qApp->removeEventFilter(this); }
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint && watched->objectName() == "SplashScreenExClass") {
            auto* window = static_cast<QWidget*>(watched);
            frames.push_back({clock_.elapsed(), window->property("splashText").toString(),
                              window->windowOpacity()});
            geometry = window->geometry();
            flags = window->windowFlags();
        }
        return false;
    }
    std::vector<Frame> frames;
    QRect geometry;
    Qt::WindowFlags flags;

private:
    QElapsedTimer& clock_;
};

// The first frame showing `text`, or -1.
qint64 FirstShown(const std::vector<Frame>& frames, const QString& text) {
    for (const auto& f : frames)
        if (f.text == text)
            return f.atMs;
    return -1;
}

bool NoSplashLeft() {
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->objectName() == "SplashScreenExClass")
            return false;
    return true;
}

TEST(Fanfare, RegistersBothClassesWithTheirProgIdsAndRemovesThemAgain) {
    const std::string splash = "CLSID\\{59DB11CB-CE80-49FB-9FBC-80E56CA9FA35}";
    const std::string about = "CLSID\\{0E2D0A0B-A394-4470-B12F-4F078072C21D}";
    EXPECT_EQ(QueryValue("Fanfare.PSplash.1"), "PSplash Class");
    EXPECT_EQ(QueryValue("Fanfare.PSplash\\CurVer"), "Fanfare.PSplash.1");
    EXPECT_EQ(QueryValue("Fanfare.PAbout\\CLSID"), "{0E2D0A0B-A394-4470-B12F-4F078072C21D}");
    EXPECT_EQ(QueryValue(splash), "PSplash Class");
    EXPECT_EQ(QueryValue(splash + "\\VersionIndependentProgID"), "Fanfare.PSplash");
    EXPECT_EQ(QueryValue(splash + "\\InprocServer32", "ThreadingModel"), "Apartment");
    EXPECT_EQ(QueryValue(splash + "\\TypeLib"), "{4CFA3E0C-AE74-40D0-A2B2-B8380B053E40}");
    EXPECT_EQ(QueryValue(about + "\\ProgID"), "Fanfare.PAbout.1");
    EXPECT_NE(QueryValue(about + "\\Programmable"), "<missing>");
    EXPECT_EQ(QueryValue("TypeLib\\{4CFA3E0C-AE74-40D0-A2B2-B8380B053E40}\\1.0"),
              "Fanfare 1.0 Type Library");
    CLSID clsid{};
    ASSERT_EQ(CLSIDFromProgID(u"Fanfare.PAbout", &clsid), S_OK);
    EXPECT_TRUE(IsEqualGUID(clsid, CLSID_PAbout));

    ASSERT_EQ(Environment::Call("DllUnregisterServer"), S_OK);
    EXPECT_EQ(QueryValue("Fanfare.PSplash"), "<missing>");
    EXPECT_EQ(QueryValue(splash), "<missing>");
    EXPECT_EQ(QueryValue("TypeLib\\{4CFA3E0C-AE74-40D0-A2B2-B8380B053E40}"), "<missing>");
    IUnknown* none = nullptr;
    EXPECT_EQ(CoCreateInstance(CLSID_PSplash, nullptr, CLSCTX_ALL, IID_IUnknown,
                               reinterpret_cast<void**>(&none)),
              REGDB_E_CLASSNOTREG);
    ASSERT_EQ(Environment::Call("DllRegisterServer"), S_OK);
    EXPECT_EQ(QueryValue(splash + "\\ProgID"), "Fanfare.PSplash.1");
}

TEST(Fanfare, PropertiesArePutOnlyAndReachableLateBound) {
    IPSplash* splash = Create<IPSplash>(CLSID_PSplash, IID_IPSplash);
    ASSERT_NE(splash, nullptr);
    EXPECT_EQ(CanUnloadNow(), S_FALSE);
    LPOLESTR name = const_cast<LPOLESTR>(u"ProductName");
    DISPID id = 0;
    ASSERT_EQ(splash->GetIDsOfNames(IID_NULL, &name, 1, 0, &id), S_OK);
    EXPECT_EQ(id, 4);
    VARIANT value;
    VariantInit(&value);
    value.vt = VT_BSTR;
    value.bstrVal = SysAllocString(u"Late");
    DISPID named = DISPID_PROPERTYPUT;
    DISPPARAMS put{&value, &named, 1, 1};
    EXPECT_EQ(
        splash->Invoke(id, IID_NULL, 0, DISPATCH_PROPERTYPUT, &put, nullptr, nullptr, nullptr),
        S_OK);
    VARIANT result;
    VariantInit(&result);
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    EXPECT_EQ(
        splash->Invoke(id, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &result, nullptr, nullptr),
        DISP_E_MEMBERNOTFOUND);
    VariantClear(&value);
    // A null string is an empty text.
    EXPECT_EQ(splash->put_Version(nullptr), S_OK);
    splash->Release();
    EXPECT_EQ(CanUnloadNow(), S_OK);
}

struct SplashCase {
    const char* name;
    bool fade;
    bool setAll;
    qint64 leastMs;
};

void PrintTo(const SplashCase& c, std::ostream* os) {
    *os << c.name;
}

class FanfareSplash : public ::testing::TestWithParam<SplashCase> {};

TEST_P(FanfareSplash, BlocksThroughTheTextSequenceAndLeavesNoWindow) {
    const SplashCase& c = GetParam();
    setenv("FANFARE_FADE", c.fade ? "1" : "0", 1);
    IPSplash* splash = Create<IPSplash>(CLSID_PSplash, IID_IPSplash);
    ASSERT_NE(splash, nullptr);
    const std::string product = "Vantex Configuration Tool";
    {
        Bstr p(product);
        ASSERT_EQ(splash->put_ProductName(p.p), S_OK);
    }
    if (c.setAll) {
        Bstr v("Version 2.1"), d("Built 10 Dec 2026");
        ASSERT_EQ(splash->put_Version(v.p), S_OK);
        ASSERT_EQ(splash->put_BuildDate(d.p), S_OK);
    }
    QElapsedTimer clock;
    SplashRecorder recorder(clock);
    clock.start();
    ASSERT_EQ(splash->ShowSplashScreen(), S_OK);
    const qint64 took = clock.elapsed();
    unsetenv("FANFARE_FADE");
    splash->Release();

    EXPECT_GE(took, c.leastMs);
    ASSERT_FALSE(recorder.frames.empty()) << "the splash was never painted";
    EXPECT_EQ(recorder.frames.front().text, QString());
    EXPECT_EQ(recorder.geometry.size(), QSize(520, 389));
    EXPECT_TRUE(recorder.flags & Qt::WindowStaysOnTopHint);
    EXPECT_TRUE(recorder.flags & Qt::FramelessWindowHint);
    const qint64 fadeIn = c.fade ? CSplashScreenEx::kFadeInMs : 0;
    const qint64 named = FirstShown(recorder.frames, QString::fromStdString(product));
    EXPECT_GE(named, fadeIn + 1000);
    if (c.setAll) {
        EXPECT_GE(FirstShown(recorder.frames, "Version 2.1"), named + 500);
        EXPECT_GE(FirstShown(recorder.frames, "Built 10 Dec 2026"), named + 1500);
    } else {
        // The unset version and build date show as an empty text from 1.5 s on.
        EXPECT_EQ(recorder.frames.back().text, QString());
        EXPECT_GE(recorder.frames.back().atMs, named + 500);
    }
    if (c.fade) {
        EXPECT_DOUBLE_EQ(recorder.frames.front().opacity, 0.0);
        EXPECT_DOUBLE_EQ(recorder.frames.back().opacity, 0.0);
    } else {
        for (const auto& f : recorder.frames)
            EXPECT_DOUBLE_EQ(f.opacity, 1.0);
    }
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(NoSplashLeft());
}

INSTANTIATE_TEST_SUITE_P(Cases, FanfareSplash,
                         ::testing::Values(SplashCase{"NoFadeProductOnly", false, false, 2500},
                                           SplashCase{"FadesAndAllTexts", true, true,
                                                      2500 + CSplashScreenEx::kFadeInMs +
                                                          CSplashScreenEx::kFadeOutMs}),
                         [](const auto& param) { return std::string(param.param.name); });

TEST(Fanfare, AboutBoxShowsTheProductNameOnlyOnItsBannerAndIgnoresAppAddresses) {
    IPAbout* about = Create<IPAbout>(CLSID_PAbout, IID_IPAbout);
    ASSERT_NE(about, nullptr);
    Bstr name("  Vantex Configuration Tool (test)");
    ASSERT_EQ(about->put_ProductName(name.p), S_OK);

    QString bannerTitle, bannerCaption, pageText;
    bool scrollOff = false, stillOpenAfterApp = false, otherModal = false;
    QSize size;
    QElapsedTimer waited;
    waited.start();
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal) {
            if (waited.elapsed() > kModalWaitMs)
                poll.stop();
            return;
        }
        poll.stop();
        ASSERT_EQ(modal->objectName(), fanfare::CAboutDlg::kObjectName);
        size = modal->size();
        QWidget* banner = modal->findChild<QWidget*>("banner65520");
        if (banner) {
            bannerTitle = banner->property("title").toString();
            bannerCaption = banner->property("caption").toString();
        }
        auto* page = modal->findChild<QTextBrowser*>();
        if (page) {
            pageText = page->toPlainText();
            scrollOff = page->verticalScrollBarPolicy() == Qt::ScrollBarAlwaysOff;
            page->setSource(QUrl("APP:Minimise"));
            page->setSource(QUrl("app:Something"));
        }
        otherModal = QApplication::activeModalWidget() != modal;
        stillOpenAfterApp = modal->isVisible() && !modal->isMinimized();
        SaveScreenshot(*modal, "Fanfare-about");
        if (auto* ok = modal->findChild<QPushButton*>("buttonOK"))
            ok->click();
    });
    poll.start(kPollMs);
    ASSERT_EQ(about->ShowAboutBox(), S_OK);
    about->Release();

    EXPECT_EQ(bannerTitle, "  Vantex Configuration Tool (test)");
    EXPECT_EQ(bannerCaption, "Northlight Dental Imaging Ltd.");
    EXPECT_TRUE(pageText.contains("Vantex Configuration Tool")) << pageText.toStdString();
    EXPECT_FALSE(pageText.contains("(test)"));
    EXPECT_TRUE(scrollOff);
    EXPECT_TRUE(stillOpenAfterApp);
    EXPECT_FALSE(otherModal) << "an app: address opened a box";
    EXPECT_GT(size.width(), size.height());
}

TEST(CSplashScreenEx, RegionLeavesOutTheTransparentColourRowByRow) {
    QImage bitmap(100, 3, QImage::Format_RGB32);
    bitmap.fill(QColor(10, 20, 30));
    bitmap.setPixelColor(0, 0, QColor(255, 0, 255));
    for (int x = 40; x < 60; ++x)
        bitmap.setPixelColor(x, 1, QColor(255, 0, 255));
    bitmap.setPixelColor(99, 2, QColor(255, 0, 255));
    const QRegion region = CSplashScreenEx::RegionFromBitmap(bitmap, QColor(255, 0, 255));
    EXPECT_FALSE(region.contains(QPoint(0, 0)));
    EXPECT_TRUE(region.contains(QPoint(1, 0)));
    EXPECT_FALSE(region.contains(QPoint(50, 1)));
    EXPECT_TRUE(region.contains(QPoint(39, 1)));
    EXPECT_TRUE(region.contains(QPoint(60, 1)));
    EXPECT_FALSE(region.contains(QPoint(99, 2)));
    // Rows of many runs go through more than one block of rectangles.
    QImage striped(200, 2, QImage::Format_RGB32);
    for (int x = 0; x < 200; ++x)
        for (int y = 0; y < 2; ++y)
            striped.setPixelColor(x, y, x % 2 ? QColor(255, 0, 255) : QColor(0, 0, 0));
    const QRegion stripes = CSplashScreenEx::RegionFromBitmap(striped, QColor(255, 0, 255));
    EXPECT_EQ(stripes.rectCount(), 200);
    EXPECT_TRUE(stripes.contains(QPoint(198, 1)));
    EXPECT_FALSE(stripes.contains(QPoint(199, 1)));
    // The delivered bitmap has no transparent pixel: its region is the whole window.
    const QImage art = fanfare::SplashBitmap();
    EXPECT_EQ(art.size(), QSize(fanfare::kSplashWidth, fanfare::kSplashHeight));
    EXPECT_TRUE(CSplashScreenEx::RegionFromBitmap(art, QColor(255, 0, 255))
                    .xored(QRegion(art.rect()))
                    .isEmpty());
}

TEST(CSplashScreenEx, HidesOnClickWhenAskedAndRendersItsText) {
    auto* splash =
        new CSplashScreenEx(nullptr, QString(), CSplashScreenEx::kDefaultTimeoutMs,
                            CSplashScreenEx::kCenterScreen | CSplashScreenEx::kHideOnClick);
    QPointer<CSplashScreenEx> alive(splash);
    ASSERT_TRUE(splash->SetBitmap(fanfare::SplashBitmap(), 255, 0, 255));
    splash->Show();
    splash->SetText("Vantex Configuration Tool");
    SaveScreenshot(*splash, "Fanfare-splash");
    QMouseEvent press(QEvent::MouseButtonPress, QPointF(10, 10), QPointF(10, 10), Qt::RightButton,
                      Qt::RightButton, Qt::NoModifier);
    EXPECT_TRUE(QApplication::sendEvent(splash, &press)) << "the click was not consumed";
    EXPECT_FALSE(splash->isVisible());
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(alive.isNull());
}

}  // namespace
