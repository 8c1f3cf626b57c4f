// Helpers the simulated boards share: their resource lists, bus placement and FIFO bursts.
#pragma once

#include "boardsim/Boards.h"

#include <deque>
#include <vector>

namespace boardsim::detail {

// Read-only local-bus configuration words of the bridge, as the register dump shows them.
constexpr ULONG kConfigWord0C = 0x00300000;
constexpr ULONG kConfigWord1C = 0x42430343;
constexpr ULONG kConfigWord34 = 0x00000011;

constexpr ULONG kEmptyFifoRead = 0xFFFFFFFF;

std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> StandardResources(int slot, int memoryWindows,
                                                              ResourceFault fault);
void PlaceOnBus(wdm::HwDevice* device, int slot, int memoryWindows);
// Moves the next burst into an empty FIFO; beyond the FIFO's depth the words are lost.
void DeliverBurst(SensorStream& sending, std::deque<uint32_t>& fifo, ULONG burstWords,
                  ULONG depthWords, bool& overrun);
// A stream on its pixel clock: moves every word due by now into the FIFO, losing (and flagging)
// those beyond its depth. True when any word arrived.
bool StreamByClock(SensorStream& sending, std::deque<uint32_t>& fifo, ULONG depthWords,
                   bool& overrun);

}  // namespace boardsim::detail
