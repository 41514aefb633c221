#include "service/CallReport.h"

#include <algorithm>
#include <limits>

namespace dialvo {

std::vector<ReportRow> ReportRowsAt(const CallReportSnapshot& report, uint32_t nowMs) {
  std::vector<ReportRow> rows;
  rows.reserve(report.rows.size());
  for (const CallReportSnapshot::Row& row : report.rows) {
    const uint32_t elapsed = nowMs - static_cast<uint32_t>(row.joinedAtMs);
    const uint64_t average = row.delayCount == 0 ? 1 : row.delaySum / row.delayCount;
    rows.push_back(
        {row.name, elapsed / 60000,
         static_cast<uint32_t>(std::min<uint64_t>(average, std::numeric_limits<uint32_t>::max()))});
  }
  return rows;
}

}  // namespace dialvo
