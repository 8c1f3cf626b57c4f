// The one-shot connection that carries one request to the unit.
#include "vantaproto/VantaClient.h"

#include "vantaproto/VTException.h"
#include "vantaproto/VTLog.h"

#include <memory>

VantaClient::VantaClient(const VTInetAddress& unitAddress) {
    Create();
    Connect(unitAddress);
}

VantaClient::~VantaClient() {
    Close();
}

void VantaClient::Send(const VTOutgoingCommand* request) {
    if (!request)
        VT_THROW(CVTException, "Invalid pointer", 0);
    char* block = nullptr;
    int count = 0;
    request->Serialize(&block, &count);
    std::unique_ptr<char[]> owned(block);
    VTLOG(vtlog::kWire, "request %s", vtlog::Escape(std::string_view(block, count)).c_str());
    Send(block, count);
}
