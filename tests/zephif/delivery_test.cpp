// Result records: full and status-only, by window message and by event, freed exactly once.
#include "Delivery.h"
#include "StatusDialog.h"

#include "test_window.h"

#include <unitsim/image.h>
#include <zephif/ZephIF.h>

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

using namespace zephif;

constexpr UINT kResultMessage = WM_APP + 7;

CaptureRequest PostRequest(HWND window, DWORD imageKind = kImageRaw) {
    CaptureRequest r;
    r.notifyKind = kNotifyWindowMessage;
    r.imageKind = imageKind;
    r.cookie = 4242;
    r.target = HandleWord(window);
    r.messageId = kResultMessage;
    return r;
}

CaptureResult ReadRecord(HGLOBAL record) {
    CaptureResult result{};
    const void* p = GlobalLock(record);
    EXPECT_TRUE(p);
    if (p)
        std::memcpy(&result, p, sizeof result);
    GlobalUnlock(record);
    return result;
}

bool IsLiveHandle(HGLOBAL h) {
    return GlobalSize(h) != 0;
}

TEST(Delivery, RawPayloadPostsAFullResultTheCallerFrees) {
    TestWindow window;
    const unitsim::GrayImage image = unitsim::makeTestPattern(33, 17);
    const auto payload = unitsim::buildBitmapPayload(image, 16);
    const CaptureRequest request = PostRequest(window.Handle());
    KeptResult kept;
    ASSERT_EQ(ImageDelivery(0, 0).Deliver(payload.data(), payload.size(), &request, kept), S_OK);

    const auto msg = window.Next();
    ASSERT_TRUE(msg);
    EXPECT_EQ(msg->message, kResultMessage);
    EXPECT_EQ(msg->wParam, 0u);
    auto record = reinterpret_cast<HGLOBAL>(msg->lParam);
    EXPECT_EQ(GlobalSize(record), 44u);
    const CaptureResult r = ReadRecord(record);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.recordKind, 268u);
    EXPECT_EQ(r.cookie, 4242);
    EXPECT_EQ(r.width, 33u);
    EXPECT_EQ(r.height, 17u);
    EXPECT_EQ(r.bitsPerPixel, 12u);
    EXPECT_EQ(r.pixelBytes, 33u * 17u * 2u);
    auto pixels = reinterpret_cast<HGLOBAL>(static_cast<UINT_PTR>(r.pixels));
    ASSERT_EQ(GlobalSize(pixels), r.pixelBytes);
    std::vector<uint16_t> words(image.pixels.size());
    std::memcpy(words.data(), GlobalLock(pixels), r.pixelBytes);
    GlobalUnlock(pixels);
    EXPECT_EQ(words, image.pixels);
    EXPECT_EQ(kept.Record(), nullptr);  // posted records belong to the caller
    EXPECT_EQ(GlobalFree(pixels), nullptr);
    EXPECT_EQ(GlobalFree(record), nullptr);
}

TEST(Delivery, UnconvertiblePayloadAndBitmapRequestsGiveStatusOnlyResults) {
    TestWindow window;
    const auto eightBit = unitsim::buildBitmapPayload(unitsim::makeTestPattern(8, 8), 8);
    std::vector<uint8_t> deep = eightBit;
    deep[28] = 24;
    struct Case {
        const char* name;
        std::vector<uint8_t> payload;
        DWORD imageKind;
    } cases[] = {
        {"24 bits per pixel", deep, kImageRaw},
        {"truncated", std::vector<uint8_t>(eightBit.begin(), eightBit.end() - 9), kImageRaw},
        {"bitmap request", eightBit, kImageBitmap},
        {"no payload", {}, kImageRaw},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const CaptureRequest request = PostRequest(window.Handle(), c.imageKind);
        KeptResult kept;
        ImageDelivery(0, 0).Deliver(c.payload.data(), c.payload.size(), &request, kept);
        const auto msg = window.Next();
        ASSERT_TRUE(msg);
        auto record = reinterpret_cast<HGLOBAL>(msg->lParam);
        const CaptureResult r = ReadRecord(record);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.cookie, 4242);
        EXPECT_EQ(r.pixels, 0u);
        GlobalFree(record);
    }
}

TEST(Delivery, StatusNotificationCarriesTheStatusAndCookie) {
    TestWindow window;
    const CaptureRequest request = PostRequest(window.Handle());
    KeptResult kept;
    EXPECT_EQ(ImageDelivery(-3, 0).NotifyStatus(&request, kept), S_OK);
    const auto msg = window.Next();
    ASSERT_TRUE(msg);
    const CaptureResult r = ReadRecord(reinterpret_cast<HGLOBAL>(msg->lParam));
    EXPECT_EQ(r.status, -3);
    EXPECT_EQ(r.reserved2, 0u);
    EXPECT_EQ(r.cookie, 4242);
    GlobalFree(reinterpret_cast<HGLOBAL>(msg->lParam));
    EXPECT_EQ(ImageDelivery(0, 0).NotifyStatus(nullptr, kept), E_POINTER);
    EXPECT_EQ(
        ImageDelivery(0, 0).Deliver(static_cast<const VTRecvCommand*>(nullptr), &request, kept),
        E_POINTER);
    EXPECT_TRUE(window.Empty());
}

TEST(Delivery, EventResultsAreKeptUntilReplacedAndHandedOutThroughThePointer) {
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HGLOBAL handed = nullptr;
    CaptureRequest request;
    request.notifyKind = kNotifyEvent;
    request.imageKind = kImageRaw;
    request.cookie = 9;
    request.target = HandleWord(event);
    request.resultHandle = &handed;
    const auto payload = unitsim::buildBitmapPayload(unitsim::makeTestPattern(10, 4), 8);

    KeptResult kept;
    ASSERT_EQ(ImageDelivery(0, 0).Deliver(payload.data(), payload.size(), &request, kept), S_OK);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    ASSERT_NE(handed, nullptr);
    EXPECT_EQ(handed, kept.Record());
    const CaptureResult first = ReadRecord(handed);
    EXPECT_EQ(first.width, 10u);
    const HGLOBAL firstRecord = handed;
    const auto firstPixels = reinterpret_cast<HGLOBAL>(static_cast<UINT_PTR>(first.pixels));

    // A failure reported by event says so in its record, and replaces (frees) the previous one.
    ASSERT_EQ(ImageDelivery(-7, 0).NotifyStatus(&request, kept), S_OK);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_NE(handed, firstRecord);
    EXPECT_EQ(ReadRecord(handed).status, -7);
    EXPECT_FALSE(IsLiveHandle(firstRecord));
    EXPECT_FALSE(IsLiveHandle(firstPixels));

    const HGLOBAL second = handed;
    kept.Free();
    EXPECT_FALSE(IsLiveHandle(second));
    CloseHandle(event);
}

TEST(Delivery, RecordsThatCannotBePostedAreFreed) {
    HWND gone;
    {
        TestWindow window;
        gone = window.Handle();
    }
    const CaptureRequest request = PostRequest(gone);
    KeptResult kept;
    const auto payload = unitsim::buildBitmapPayload(unitsim::makeTestPattern(4, 4), 16);
    // The handle values freed by a failed post are reused by the next allocation.
    EXPECT_EQ(ImageDelivery(0, 0).Deliver(payload.data(), payload.size(), &request, kept), E_FAIL);
    EXPECT_EQ(ImageDelivery(-1, 0).NotifyStatus(&request, kept), E_FAIL);
}

TEST(StatusDialogModel, RendersEveryChangeThroughTheUiBackend) {
    auto ui = std::make_shared<winapi::RecordingUiBackend>();
    winapi::SetUiBackend(ui);
    StatusDialog dialog;
    dialog.ShowText(13);  // before creation: nothing
    EXPECT_TRUE(ui->StatusUpdates().empty());
    ASSERT_TRUE(dialog.Create());
    dialog.ShowText(6, "127.0.0.1");
    dialog.SetColour(kColourRed);
    dialog.Hide();
    dialog.Destroy();
    const auto updates = ui->StatusUpdates();
    ASSERT_EQ(updates.size(), 5u);
    EXPECT_TRUE(updates[0].visible);
    EXPECT_EQ(updates[0].color, RGB(255, 255, 255));
    EXPECT_EQ(updates[1].text.rfind("Error connecting to Vantex 127.0.0.1,  wait", 0), 0u);
    EXPECT_EQ(updates[2].color, RGB(255, 0, 0));
    EXPECT_TRUE(updates[2].visible);
    EXPECT_FALSE(updates[3].visible);
    EXPECT_FALSE(updates[4].visible);
    winapi::SetUiBackend(nullptr);
}

}  // namespace
