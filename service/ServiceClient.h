#pragma once
// One HTTP POST at a time to the service, on a worker thread under a time
// limit, directly or through the proxy of the network settings. Each request
// opens its own session and tears it down at its end. Abort ends a client for
// good, so that a program can shut down while the service hangs.
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "base/CSem.h"
#include "base/NamedThread.h"
#include "service/ServiceAddress.h"
#include "settings/SettingsStore.h"

namespace dialvo {

// Builds an answer as reads of 4095-byte pieces would: each piece is kept up
// to its first zero byte, the rest of that piece is dropped.
class AnswerCutter {
 public:
  static constexpr size_t kPiece = 4095;
  void Append(std::string_view bytes, std::string& answer);

 private:
  size_t used_ = 0;   // bytes of the current piece seen so far
  bool cut_ = false;  // the current piece had a zero byte
};

struct ServiceClientOptions {
  // Seconds a request may take; 0 waits without limit.
  uint32_t timeoutSeconds = 60;
  // The caller checks on the worker this often, (timeoutSeconds + 1) times.
  uint32_t waitStepMs = 1000;
  // Where the directory script lives; empty: the DirectoryHost setting.
  std::string directoryHost;
  // Folder of the directory's answer file; empty: DefaultCacheDirectory().
  std::filesystem::path cacheDirectory;
};

class CServiceClient {
 public:
  static constexpr const char* kUserAgent = "Orvanta Dialvo";
  static constexpr const char* kDirectoryScript = "DialvoServer.asp";
  static constexpr const char* kDirectoryBody = "version=5";
  static constexpr const char* kLocationFileName = "DialvoServer.ini";
  // Answers are a few kilobytes; a server that sends more is cut off.
  static constexpr size_t kMaxAnswerBytes = 4u << 20;

  // The network settings are read from settings at each request.
  CServiceClient(const SettingsStore& settings, ServiceClientOptions options = {});
  ~CServiceClient();
  CServiceClient(const CServiceClient&) = delete;
  CServiceClient& operator=(const CServiceClient&) = delete;

  // POSTs body to objectPath on host ("host[:port]" or an http/https
  // address). True when the whole answer was read; then answer holds it,
  // whatever the HTTP status. False on any failure or time-out, and answer
  // is left as it was. Blocks its caller; one Post at a time per client.
  bool Post(const std::string& host, const std::string& objectPath, const std::string& body,
            std::string& answer);

  // Any thread. The request in progress ends within about 100 ms and its
  // Post returns false; every later Post returns false at once.
  void Abort();
  bool Aborted() const { return aborted_.load(); }

  // Asks the directory where the service lives. The answer is kept in the
  // cache folder as DialvoServer.ini until all nine values were read (then
  // it is deleted). Fields are updated one by one in table order up to the
  // first that is missing.
  bool FetchServerLocation(ServerLocation& location);

  std::string DirectoryHostInUse() const;
  std::filesystem::path LocationFilePath() const;

 private:
  struct Session;
  uint32_t Worker();

  const SettingsStore& settings_;
  const ServiceClientOptions options_;

  CSem lock_;  // one Post at a time; taken by the thread that calls Post
  std::atomic<bool> aborted_{false};
  // Guards session_ being set and reset, so that Abort reaches a live session;
  // taken by Post and by the thread that aborts.
  std::mutex sessionMutex_;
  // Request in progress, written by Post before the worker starts and read by
  // the worker; answer_ and completed_ are written by the worker and read by
  // Post only after the worker has ended.
  std::string url_;
  std::string body_;
  std::string answer_;
  uint32_t completed_ = 0;
  std::unique_ptr<Session> session_;
  std::unique_ptr<NamedThread> worker_;
};

}  // namespace dialvo
