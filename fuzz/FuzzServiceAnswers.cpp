// Feeds arbitrary bytes to everything that reads an answer of the service.
#include <cstddef>
#include <cstdint>
#include <string>

#include "service/OnlineList.h"
#include "service/ServiceAddress.h"
#include "service/ServiceAnswers.h"
#include "service/ServiceClient.h"
#include "service/ServiceRequests.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace dialvo;
  // An exactly sized copy, so that ASan sees any over-read.
  const std::string answer(reinterpret_cast<const char*>(data), size);
  (void)ParseLoginAnswer(answer);
  (void)ParseFwTestAnswer(answer);
  OnlineList list;
  if (list.ShowOnlineUsers(answer)) (void)list.Refresh("me", true);
  ServerLocation location;
  (void)ReadServerLocation(answer, location);
  (void)SessionIdAfterAnswer(0, answer);
  (void)ParseServiceHost(answer);
  (void)RequestUrl(answer, answer);
  std::string cut;
  AnswerCutter cutter;
  cutter.Append(answer, cut);
  return 0;
}
