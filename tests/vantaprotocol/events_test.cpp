// Events end to end: an apartment-threaded client with a sink receives replies of the virtual unit
// and of raw peers as VantaMessage objects and download progress, on its own thread; stopping or
// releasing while deliveries wait never deadlocks.
#include "com_fixture.h"

#include <unitsim/virtual_unit.h>

#include <memory>

using namespace comtest;

namespace {

const auto* const g_env = ::testing::AddGlobalTestEnvironment(new RegisteredServer);

constexpr DISPID kMessage = DISPID__IVantaEvents_OnIncomingMessage;
constexpr DISPID kStarted = DISPID__IVantaEvents_ImageDownloadStarted;
constexpr DISPID kProgress = DISPID__IVantaEvents_ImageDownloadProgress;

std::string Text(IVantaMessage* m, HRESULT (IVantaMessage::*get)(BSTR*)) {
    BSTR s = nullptr;
    EXPECT_EQ((m->*get)(&s), S_OK);
    std::string out = N(s);
    SysFreeString(s);
    return out;
}
LONG Number(IVantaMessage* m, HRESULT (IVantaMessage::*get)(LONG*)) {
    LONG n = 0;
    EXPECT_EQ((m->*get)(&n), S_OK);
    return n;
}

// A client: the object, its sink and a session with a virtual unit, made on the calling thread.
struct Client {
    explicit Client(unitsim::VirtualUnit& unit) {
        vanta = Create<IVanta>("VantaProtocol.Vanta");
        cookie = Advise(vanta, &sink);
        Bstr host("127.0.0.1");
        EXPECT_EQ(vanta->StartSession(host.p, unit.port(), 0), S_OK);
        LONG port = 0;
        vanta->get_LocalPort(&port);
        localPort = static_cast<unsigned short>(port);
        BSTR id = nullptr;
        vanta->get_SessionId(&id);
        sessionId = N(id);
        SysFreeString(id);
    }
    void Release() {
        if (vanta)
            vanta->Release();
        vanta = nullptr;
    }
    ~Client() { Release(); }
    RecordingSink sink;
    IVanta* vanta = nullptr;
    DWORD cookie = 0;
    unsigned short localPort = 0;
    std::string sessionId;
};

TEST(Events, AStatusReplyReachesTheSinkOnTheClientsOwnThread) {
    unitsim::Config config;
    config.sensorNumber = 3;
    unitsim::VirtualUnit unit(config);
    unit.start();
    InApartment(COINIT_APARTMENTTHREADED, [&] {
        Client client(unit);
        ASSERT_EQ(client.vanta->SendStatus(), S_OK);
        ASSERT_TRUE(client.sink.PumpUntil([&] { return client.sink.Count(kMessage) == 1; }))
            << "no OnIncomingMessage";
        SeenEvent e = client.sink.Seen().back();
        EXPECT_EQ(e.thread, GetCurrentThreadId());
        ASSERT_NE(e.message, nullptr);
        EXPECT_EQ(client.vanta->StopSession(), S_OK);
        // The message outlives its event and the session.
        EXPECT_EQ(Text(e.message, &IVantaMessage::get_State), "IDLE");
        EXPECT_EQ(Text(e.message, &IVantaMessage::get_Error), "0: 0");
        EXPECT_EQ(Text(e.message, &IVantaMessage::get_Name), "STATUS");
        EXPECT_EQ(Text(e.message, &IVantaMessage::get_MsgId), client.sessionId);
        EXPECT_EQ(Number(e.message, &IVantaMessage::get_Sensor), 3);
        EXPECT_EQ(Number(e.message, &IVantaMessage::get_Valid), -1);
        VARIANT image;
        EXPECT_EQ(e.message->get_Image(&image), S_OK);
        EXPECT_EQ(image.vt, VT_EMPTY);
        EXPECT_EQ(client.sink.Count(kStarted), 0u);
    });
}

TEST(Events, ALargeImageArrivesWithStartProgressAndAFreshArrayOnEveryRead) {
    constexpr int kBytes = 2000000;
    unitsim::VirtualUnit unit(unitsim::Config{});
    unit.start();
    InApartment(COINIT_APARTMENTTHREADED, [&] {
        Client client(unit);
        std::string reply = ImageReply(client.sessionId, kBytes);
        std::thread peer([&] {
            EXPECT_TRUE(WriteReply(client.localPort, reply, 100000, std::chrono::milliseconds(5)));
        });
        bool arrived = client.sink.PumpUntil([&] { return client.sink.Count(kMessage) == 1; });
        peer.join();
        ASSERT_TRUE(arrived) << "no OnIncomingMessage";
        auto seen = client.sink.Seen();
        ASSERT_GE(seen.size(), 3u);
        EXPECT_EQ(seen.front().id, kStarted);
        EXPECT_EQ(seen.front().number, kBytes);
        EXPECT_EQ(client.sink.Count(kStarted), 1u);
        EXPECT_EQ(seen.back().id, kMessage);
        long progressBytes = 0;
        for (auto& e : seen) {
            EXPECT_EQ(e.thread, GetCurrentThreadId());
            if (e.id == kProgress) {
                EXPECT_GT(e.number, 0);
                progressBytes += e.number;
            }
        }
        EXPECT_GT(progressBytes, 0);
        EXPECT_LT(progressBytes, kBytes);  // the first chunk came with the header
        IVantaMessage* m = seen.back().message;
        EXPECT_EQ(Number(m, &IVantaMessage::get_Length), kBytes);
        VARIANT a, b;
        ASSERT_EQ(m->get_Image(&a), S_OK);
        ASSERT_EQ(m->get_Image(&b), S_OK);
        ASSERT_EQ(a.vt, VT_ARRAY | VT_UI1);
        EXPECT_NE(a.parray, b.parray);
        LONG lower = -1, upper = -1;
        SafeArrayGetLBound(a.parray, 1, &lower);
        SafeArrayGetUBound(a.parray, 1, &upper);
        EXPECT_EQ(lower, 0);
        EXPECT_EQ(upper, kBytes - 1);
        void* data = nullptr;
        ASSERT_EQ(SafeArrayAccessData(a.parray, &data), S_OK);
        EXPECT_EQ(std::memcmp(data, reply.data() + reply.size() - kBytes, kBytes), 0);
        SafeArrayUnaccessData(a.parray);
        VariantClear(&a);
        VariantClear(&b);
        EXPECT_EQ(client.vanta->StopSession(), S_OK);
    });
}

TEST(Events, ABodyOfExactlyAThousandBytesGivesNoImageAndNoStatus) {
    unitsim::VirtualUnit unit(unitsim::Config{});
    unit.start();
    InApartment(COINIT_APARTMENTTHREADED, [&] {
        Client client(unit);
        std::string reply =
            "ID=" + client.sessionId + "\r\nCMD=GET\r\nLEN=1000\r\n" + std::string(1000, 'x');
        ASSERT_TRUE(
            WriteReply(client.localPort, reply, reply.size(), std::chrono::milliseconds(0)));
        ASSERT_TRUE(client.sink.PumpUntil([&] { return client.sink.Count(kMessage) == 1; }));
        IVantaMessage* m = client.sink.Seen().back().message;
        EXPECT_EQ(Number(m, &IVantaMessage::get_Length), 1000);
        EXPECT_EQ(Text(m, &IVantaMessage::get_State), "");
        VARIANT image;
        EXPECT_EQ(m->get_Image(&image), S_OK);
        EXPECT_EQ(image.vt, VT_EMPTY);
        EXPECT_EQ(client.vanta->StopSession(), S_OK);
    });
}

// A slow download keeps progress events coming while the client ends things in various ways.
class SlowDownload : public ::testing::TestWithParam<const char*> {};

TEST_P(SlowDownload, EndingWhileDeliveriesWaitNeverDeadlocks) {
    const std::string how = GetParam();
    unitsim::VirtualUnit unit(unitsim::Config{});
    unit.start();
    InApartment(COINIT_APARTMENTTHREADED, [&] {
        auto client = std::make_unique<Client>(unit);
        std::string reply = ImageReply(client->sessionId, 400000);
        std::atomic<bool> ended{false};
        HRESULT stopResult = E_UNEXPECTED;
        if (how == "StopSession inside the handler") {
            client->sink.onEvent = [&](const SeenEvent& e) {
                if (e.id == kProgress && !ended.exchange(true))
                    stopResult = client->vanta->StopSession();
            };
        } else if (how == "last Release inside the handler") {
            client->sink.onEvent = [&](const SeenEvent& e) {
                if (e.id == kProgress && !ended.exchange(true))
                    client->Release();
            };
        } else if (how == "Unadvise inside the handler") {
            client->sink.onEvent = [&](const SeenEvent& e) {
                if (e.id == kProgress && !ended.exchange(true)) {
                    IConnectionPointContainer* c = nullptr;
                    client->vanta->QueryInterface(IID_IConnectionPointContainer,
                                                  reinterpret_cast<void**>(&c));
                    IConnectionPoint* p = nullptr;
                    c->FindConnectionPoint(DIID__IVantaEvents, &p);
                    EXPECT_EQ(p->Unadvise(client->cookie), S_OK);
                    p->Release();
                    c->Release();
                }
            };
        }
        std::thread peer(
            [&] { WriteReply(client->localPort, reply, 2000, std::chrono::milliseconds(2)); });
        ASSERT_TRUE(client->sink.PumpUntil([&] { return client->sink.Count(kProgress) > 0; }))
            << "no progress";
        if (how == "StopSession while not pumping" || how == "last Release while not pumping") {
            // Deliveries now wait for this thread, which does not serve them.
            Sleep(100);
            if (how == "StopSession while not pumping")
                stopResult = client->vanta->StopSession();
            else
                client->Release();
            ended = true;
        } else {
            ASSERT_TRUE(client->sink.PumpUntil([&] { return ended.load(); }));
        }
        if (how.rfind("StopSession", 0) == 0) {
            EXPECT_EQ(stopResult, S_OK);
            LONG started = -1;
            client->vanta->get_Started(&started);
            EXPECT_EQ(started, 0);
        }
        if (how == "Unadvise inside the handler") {
            size_t count = client->sink.Seen().size();
            // Nothing reaches the sink after it left; the download itself goes on.
            client->sink.PumpUntil([] { return false; }, 300);
            EXPECT_EQ(client->sink.Seen().size(), count);
            EXPECT_EQ(client->vanta->StopSession(), S_OK);
        }
        peer.join();
        client.reset();
    });
}

INSTANTIATE_TEST_SUITE_P(Ways, SlowDownload,
                         ::testing::Values("StopSession inside the handler",
                                           "last Release inside the handler",
                                           "Unadvise inside the handler",
                                           "StopSession while not pumping",
                                           "last Release while not pumping"),
                         [](const ::testing::TestParamInfo<const char*>& param) {
                             std::string name;
                             for (char c : std::string(param.param))
                                 if (std::isalnum(static_cast<unsigned char>(c)))
                                     name += c;
                             return name;
                         });

TEST(Events, AMultithreadedClientGetsItsEventsDirectly) {
    unitsim::VirtualUnit unit(unitsim::Config{});
    unit.start();
    InApartment(COINIT_MULTITHREADED, [&] {
        Client client(unit);
        ASSERT_EQ(client.vanta->SendStatus(), S_OK);
        ASSERT_TRUE(client.sink.PumpUntil([&] { return client.sink.Count(kMessage) == 1; }));
        EXPECT_NE(client.sink.Seen().back().thread, GetCurrentThreadId());
        EXPECT_EQ(client.vanta->StopSession(), S_OK);
    });
}

}  // namespace
