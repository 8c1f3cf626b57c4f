// The transition table as data: every state's list in order, and the walk's default rule.
#include "TransitionTable.h"

#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>

namespace {

using namespace zephif;

// Each state's list as "event -> handler, next" entries, in list order.
const std::map<int, std::string> kExpectedRows = {
    {kConnecting,
     "0 Opening 0; 15 none 0; 1 Failing 1; 2 Failing 1; 3 Failing 1; 4 Resetting 3; "
     "5 Resetting 3; 7 Occupied 2; 8 Occupied 2; 9 Occupied 2; 6 Connected 4; 18 Closing 8; "
     "19 none 0; 20 none 0"},
    {kFailed, "15 none 4; 1 none 1; 18 Closing 8; 20 Closing 8"},
    {kOccupied, "15 none 4; 1 none 2; 18 Closing 8; 20 Closing 8"},
    // CommandFailed runs Failing here, so a third reset attempt ends the start with -7.
    {kResetting, "2 Failing 1; 15 none 0; 20 none 0"},
    {kReady,
     "17 StartCapture 4; 15 Abandon 4; 1 Failing 1; 2 Failing 1; 10 CaptureError 4; "
     "12 ImageArrived 7; 9 Clearing 5; 8 Expose 6; 14 none 4; 13 none 4; 18 Closing 8; 20 none 4"},
    {kClearing,
     "9 Clearing 5; 8 Expose 6; 12 ImageArrived 7; 15 Abandon 4; 18 Closing 8; 1 Failing 1; 20 "
     "none 5"},
    {kWaitingForExposure,
     "8 Expose 6; 4 Expose 6; 12 ImageArrived 7; 10 Abandon 4; 1 Failing 1; 15 Abandon 4; "
     "9 none 6; 18 Closing 8; 19 none 6; 20 none 6"},
    {kImageReceived,
     "16 Deliver 4; 15 Abandon 4; 18 Closing 8; 14 none 4; 13 none 4; 1 Failing 1; 20 none 7"},
    {kClosed, ""},
};

std::string RowText(int state) {
    std::ostringstream text;
    for (const Transition& entry : TransitionsOf(state)) {
        if (text.tellp() > 0)
            text << "; ";
        text << entry.event << ' ' << HandlerName(entry.handler) << ' ' << entry.next;
    }
    return text.str();
}

TEST(TransitionTable, EveryStateListsItsEntriesInOrder) {
    ASSERT_EQ(kExpectedRows.size(), static_cast<size_t>(kStateCount));
    for (const auto& [state, row] : kExpectedRows)
        EXPECT_EQ(RowText(state), row) << "state " << state;
}

// Every (state, event) pair: the first exact match wins and moves the state; a default entry
// (keyed 20) reached first runs its handler and keeps the state; no entry at all is E_POINTER.
TEST(TransitionTable, EveryStateAndEventResolvesByTheWalk) {
    for (int state = 0; state < kStateCount; ++state) {
        for (int event = 0; event < kEventLimit; ++event) {
            const Resolution r = Resolve(state, event);
            const Transition* exact = nullptr;
            const Transition* fallback = nullptr;
            for (const Transition& entry : TransitionsOf(state)) {
                if (entry.event == event) {
                    exact = &entry;
                    break;
                }
                if (entry.event == kEvRetry) {
                    fallback = &entry;
                    break;
                }
            }
            SCOPED_TRACE("state " + std::to_string(state) + " event " + std::to_string(event));
            if (exact) {
                EXPECT_TRUE(r.found);
                EXPECT_FALSE(r.isDefault);
                EXPECT_EQ(r.handler, exact->handler);
                EXPECT_EQ(r.nextState, exact->next);
            } else if (fallback) {
                EXPECT_TRUE(r.found);
                EXPECT_TRUE(r.isDefault);
                EXPECT_EQ(r.handler, fallback->handler);
                EXPECT_EQ(r.nextState, state);
            } else {
                EXPECT_FALSE(r.found);
            }
        }
    }
}

TEST(TransitionTable, DefaultKeepsTheStateWhileEventTwentyItselfMovesIt) {
    // In Failed an unexpected event runs Closing and stays; Retry itself goes to Closed.
    const Resolution unexpected = Resolve(kFailed, kEvStatusIdle);
    EXPECT_TRUE(unexpected.isDefault);
    EXPECT_EQ(unexpected.handler, Handler::Closing);
    EXPECT_EQ(unexpected.nextState, kFailed);
    const Resolution retry = Resolve(kFailed, kEvRetry);
    EXPECT_FALSE(retry.isDefault);
    EXPECT_EQ(retry.nextState, kClosed);
    // CommandFailed while clearing or waiting falls to the default and is ignored.
    EXPECT_EQ(Resolve(kClearing, kEvCommandFailed).handler, Handler::None);
    EXPECT_EQ(Resolve(kWaitingForExposure, kEvCommandFailed).nextState, kWaitingForExposure);
    // The unused event 11 and anything in Closed.
    EXPECT_TRUE(Resolve(kReady, 11).isDefault);
    EXPECT_FALSE(Resolve(kClosed, kEvEnd).found);
    EXPECT_TRUE(Resolve(kResetting, kEvStatusIdle).isDefault);
    EXPECT_FALSE(Resolve(kStateCount, kEvOpen).found);
}

}  // namespace
