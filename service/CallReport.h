#pragma once
// A call report as the owner makes it: a copy of the call's participants at
// one moment, handed to the timer thread, which turns it into an iamtalking
// request. Nothing in it refers back to the engine, so a report of a call
// that has already ended can still be sent.
#include <cstdint>
#include <string>
#include <vector>

#include "service/ServiceRequests.h"

namespace dialvo {

struct CallReportSnapshot {
  std::string user;             // the logged-in user when the report was made
  std::string conferenceGuid;   // the engine's session identifier of the call
  uint64_t callGeneration = 0;  // which call (the owner's engine generation)
  bool recorded = false;
  struct Row {
    std::string name;
    // Tick count (GetTickCount, or the presence's clock) when the participant
    // joined; only its low 32 bits count, since the tick wraps.
    uint64_t joinedAtMs = 0;
    uint64_t delaySum = 0;  // accepted round trips only, in ms
    uint32_t delayCount = 0;
  };
  std::vector<Row> rows;  // in conference-list order
};

// The rows as the report states them at tick nowMs: whole minutes since
// joining, and the average delay (1 for a participant never measured).
std::vector<ReportRow> ReportRowsAt(const CallReportSnapshot& report, uint32_t nowMs);

}  // namespace dialvo
