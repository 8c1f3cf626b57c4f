// PSplash and PAbout: property puts keep narrow text; the show calls run the windows.
#include "ComObjects.h"

#include "FanfareAboutDlg.h"
#include "FanfareArtwork.h"
#include "SplashScreenEx.h"

#include <oleauto.h>

#include <QApplication>
#include <QThread>

#include <memory>
#include <new>

namespace fanfare {
namespace {

constexpr UINT kTextMaker = 101;
// The splash's text sequence: the product name after this long, the version after the next
// pause, the build date after the last.
constexpr unsigned long kBeforeProductMs = 1000;
constexpr unsigned long kBeforeVersionMs = 500;
constexpr unsigned long kBeforeBuildDateMs = 1000;
constexpr unsigned kSplashStyles = CSplashScreenEx::kFadeIn | CSplashScreenEx::kFadeOut |
                                   CSplashScreenEx::kDropShadow | CSplashScreenEx::kCenterScreen;
constexpr int kTransparentRed = 255, kTransparentGreen = 0, kTransparentBlue = 255;

// ANSI text back to what the windows show.
QString Shown(const std::string& ansi) {
    if (ansi.empty())
        return QString();
    int units =
        MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()), nullptr, 0);
    std::u16string wide(static_cast<size_t>(units), u'\0');
    MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()), wide.data(), units);
    return QString::fromUtf16(wide.data(), static_cast<qsizetype>(wide.size()));
}

}  // namespace

std::string Narrow(BSTR text) {
    std::string out;
    UINT length = text ? SysStringLen(text) : 0;
    if (length == 0)
        return out;
    int bytes = WideCharToMultiByte(CP_ACP, 0, text, static_cast<int>(length), nullptr, 0, nullptr,
                                    nullptr);
    out.resize(static_cast<size_t>(bytes));
    WideCharToMultiByte(CP_ACP, 0, text, static_cast<int>(length), out.data(), bytes, nullptr,
                        nullptr);
    return out;
}

STDMETHODIMP CPSplash::put_Version(BSTR newVal) {
    try {
        m_version = Narrow(newVal);
        return S_OK;
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

STDMETHODIMP CPSplash::put_BuildDate(BSTR newVal) {
    try {
        m_buildDate = Narrow(newVal);
        return S_OK;
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

STDMETHODIMP CPSplash::put_ProductName(BSTR newVal) {
    try {
        m_productName = Narrow(newVal);
        return S_OK;
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

STDMETHODIMP CPSplash::ShowSplashScreen() {
    try {
        if (!EnterModuleState())
            return E_UNEXPECTED;
        // The window is ended by the sequence itself; nothing of it outlives the call.
        auto splash = std::make_unique<CSplashScreenEx>(
            nullptr, QString(), CSplashScreenEx::kDefaultTimeoutMs, kSplashStyles);
        splash->SetBlocking(true);
        splash->SetBitmap(SplashBitmap(), kTransparentRed, kTransparentGreen, kTransparentBlue);
        splash->Show();
        QThread::msleep(kBeforeProductMs);
        splash->SetText(Shown(m_productName));
        QThread::msleep(kBeforeVersionMs);
        splash->SetText(Shown(m_version));
        QThread::msleep(kBeforeBuildDateMs);
        splash->SetText(Shown(m_buildDate));
        splash->Hide();
        return S_OK;
    } catch (...) {
        return E_FAIL;
    }
}

STDMETHODIMP CPAbout::put_ProductName(BSTR newVal) {
    try {
        m_productName = Narrow(newVal);
        return S_OK;
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

STDMETHODIMP CPAbout::ShowAboutBox() {
    try {
        if (!EnterModuleState())
            return E_UNEXPECTED;
        CAboutDlg dialog(Shown(m_productName), Shown(Text(kTextMaker)));
        dialog.exec();
        return S_OK;
    } catch (...) {
        return E_FAIL;
    }
}

}  // namespace fanfare
