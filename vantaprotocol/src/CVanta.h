// Vanta: one session with a unit behind IVanta, its replies and download progress as events.
#pragma once

#include "ComSupport.h"
#include "EventingSession.h"

#include <ocidl.h>

#include <memory>
#include <mutex>
#include <set>
#include <vector>

class CVanta final : public vantacom::DualObject<IVanta>, public IConnectionPointContainer {
public:
    // StopSession's ping of the unit, and its pause between stopping and destroying the session.
    static constexpr DWORD kStopPingTimeoutMs = 40;
    static constexpr DWORD kStopPauseMs = 400;
    static constexpr LONG kMaxPort = 65535;

    CVanta();

    // IUnknown of every base is the one of DualObject.
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        return DualObject::QueryInterface(riid, ppv);
    }
    STDMETHODIMP_(ULONG) AddRef() override { return DualObject::AddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return DualObject::Release(); }

    // IVanta
    STDMETHODIMP StartSession(BSTR vantainetname, LONG vantaportnum, LONG localportnum) override;
    STDMETHODIMP StopSession() override;
    STDMETHODIMP SendStatus() override;
    STDMETHODIMP SendClose() override;
    STDMETHODIMP SendReset() override;
    STDMETHODIMP Capture(VantaPictureSize pic) override;
    STDMETHODIMP CaptureTo(VantaPictureSize pic, BSTR server_name, LONG portnum) override;
    STDMETHODIMP Get(VantaPictureSize pic) override;
    STDMETHODIMP GetTo(VantaPictureSize pic, BSTR server_name, LONG portnum) override;
    STDMETHODIMP GetParameter(BSTR param_name) override;
    STDMETHODIMP SetParameter(BSTR param_name, BSTR param_value) override;
    STDMETHODIMP get_LocalIP(BSTR* pVal) override;
    STDMETHODIMP get_LocalPort(LONG* pVal) override;
    STDMETHODIMP get_VantaIP(BSTR* pVal) override;
    STDMETHODIMP get_VantaPort(LONG* pVal) override;
    STDMETHODIMP get_SessionId(BSTR* pVal) override;
    STDMETHODIMP get_Started(LONG* pVal) override;
    STDMETHODIMP StartSession2(BSTR VantexName, LONG VantexPortNum, BSTR LocalIP,
                               LONG localportnum) override;

    // IConnectionPointContainer
    STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints** ppEnum) override;
    STDMETHODIMP FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) override;

    // Raised by the session on its connection threads.
    void RaiseMessage(const VTRecvCommand& message);
    void RaiseNumber(DISPID event, LONG value);

private:
    class EventsPoint;
    friend class EventsPoint;

    ~CVanta() override;
    void* QueryMore(REFIID riid) override;

    HRESULT Start(BSTR host, LONG unitPort, const char* localAddress, LONG localPort);
    // Sends one command through the session, reporting a library failure as E_FAIL.
    template <class Command>
    HRESULT Send(Command&& command);
    HRESULT SendTo(bool capture, VantaPictureSize pic, BSTR server, LONG port);
    // Ends the session: deliveries abandoned, listener stopped, CLOSE when due (StopSession:
    // when the unit answers a ping). Once stopped, the session is gone whatever the CLOSE did;
    // a failure comes back as its text.
    bool EndSession(bool fromStop, std::string& failure);
    void Raise(DISPID event, VARIANT& argument);

    std::unique_ptr<EventingSession> m_session;  // used on the client's thread only

    // Sinks as global interface table cookies, and the threads delivering events now.
    CRITICAL_SECTION m_sinkLock;
    std::vector<DWORD> m_sinks;
    std::set<DWORD> m_delivering;  // thread ids
    bool m_abandon = false;        // the session ends: no further delivery
    IGlobalInterfaceTable* m_git = nullptr;
    std::unique_ptr<EventsPoint> m_point;
};
