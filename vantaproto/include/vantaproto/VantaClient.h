// The one-shot connection that carries one request to the unit.
#pragma once

#include "vantaproto/VTMessage.h"
#include "vantaproto/VTSocket.h"

// A socket connected to the unit at construction.
class VantaClient : public VTTcpSocket {
public:
    // Throws CVTSocketException "Failed to create socket" / "Failed to connect to socket".
    explicit VantaClient(const VTInetAddress& unitAddress);
    ~VantaClient() override;

    using VTTcpSocket::Send;
    // Serialises the request and sends its bytes (the terminating zero included) in one call.
    void Send(const VTOutgoingCommand* request);
};
