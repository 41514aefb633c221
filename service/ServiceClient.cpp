#include "service/ServiceClient.h"

#include <curl/curl.h>
#include <sys/socket.h>

#include <system_error>

#include "base/Trace.h"
#include "settings/AtomicFile.h"
#include "settings/Settings.h"

namespace dialvo {

namespace {

void InitCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

}  // namespace

void AnswerCutter::Append(std::string_view bytes, std::string& answer) {
  while (!bytes.empty()) {
    const size_t take = std::min(bytes.size(), kPiece - used_);
    const std::string_view part = bytes.substr(0, take);
    if (!cut_) {
      const size_t zero = part.find('\0');
      answer.append(part.substr(0, zero));
      cut_ = zero != std::string_view::npos;
    }
    used_ += take;
    bytes.remove_prefix(take);
    if (used_ == kPiece) {
      used_ = 0;
      cut_ = false;
    }
  }
}

// The internet session of one request. The worker drives the transfer in
// short polls that Abort can wake from any thread; the progress callback then
// fails the transfer wherever it stands (connecting, sending or waiting).
struct CServiceClient::Session {
  // How long the worker sleeps in one poll when nothing wakes it.
  static constexpr int kPollMs = 100;

  CURL* curl = nullptr;
  CURLM* multi = nullptr;
  bool added = false;  // curl belongs to multi
  curl_slist* headers = nullptr;
  std::string proxy;
  std::atomic<bool> aborted{false};
  AnswerCutter cutter;
  size_t received = 0;
  std::string* answer = nullptr;

  ~Session() {
    if (added) curl_multi_remove_handle(multi, curl);
    if (multi) curl_multi_cleanup(multi);
    if (headers) curl_slist_free_all(headers);
    if (curl) curl_easy_cleanup(curl);
  }

  // Any thread, while the session lives.
  void Abort() {
    aborted.store(true);
    curl_multi_wakeup(multi);
  }

  // Sockets are not inherited by programs this process starts.
  static curl_socket_t OpenSocket(void* data, curlsocktype /*purpose*/, curl_sockaddr* address) {
    if (static_cast<Session*>(data)->aborted.load()) return CURL_SOCKET_BAD;
    return ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
  }

  static int Progress(void* data, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return static_cast<Session*>(data)->aborted.load() ? 1 : 0;
  }

  static size_t Write(char* bytes, size_t size, size_t count, void* data) {
    auto* self = static_cast<Session*>(data);
    const size_t n = size * count;
    self->received += n;
    if (self->received > kMaxAnswerBytes) return 0;  // fails the transfer
    self->cutter.Append(std::string_view(bytes, n), *self->answer);
    return n;
  }

  // Runs the transfer to its end, or until aborted.
  CURLcode Perform() {
    if (curl_multi_add_handle(multi, curl) != CURLM_OK) return CURLE_FAILED_INIT;
    added = true;
    for (;;) {
      int running = 0;
      if (curl_multi_perform(multi, &running) != CURLM_OK) return CURLE_FAILED_INIT;
      if (running == 0) {
        int left = 0;
        while (CURLMsg* msg = curl_multi_info_read(multi, &left)) {
          if (msg->msg == CURLMSG_DONE) return msg->data.result;
        }
        return CURLE_FAILED_INIT;
      }
      if (aborted.load()) return CURLE_ABORTED_BY_CALLBACK;
      if (curl_multi_poll(multi, nullptr, 0, kPollMs, nullptr) != CURLM_OK) {
        return CURLE_FAILED_INIT;
      }
    }
  }
};

CServiceClient::CServiceClient(const SettingsStore& settings, ServiceClientOptions options)
    : settings_(settings), options_(std::move(options)) {
  InitCurlOnce();
}

CServiceClient::~CServiceClient() = default;

std::string CServiceClient::DirectoryHostInUse() const {
  return options_.directoryHost.empty() ? DirectoryHost(settings_) : options_.directoryHost;
}

std::filesystem::path CServiceClient::LocationFilePath() const {
  const std::filesystem::path dir =
      options_.cacheDirectory.empty() ? DefaultCacheDirectory() : options_.cacheDirectory;
  return dir / kLocationFileName;
}

void CServiceClient::Abort() {
  std::lock_guard lock(sessionMutex_);
  aborted_.store(true);
  if (session_) session_->Abort();
}

bool CServiceClient::Post(const std::string& host, const std::string& objectPath,
                          const std::string& body, std::string& answer) {
  if (aborted_.load()) return false;
  CSemLock lock(lock_);
  const NetworkSettings net = LoadNetworkSettings(settings_);

  auto session = std::make_unique<Session>();
  Session& s = *session;
  s.curl = curl_easy_init();
  s.multi = curl_multi_init();
  if (!s.curl || !s.multi) return false;
  {
    // From here on Abort reaches the session; one that came first ends it now.
    std::lock_guard sessionLock(sessionMutex_);
    if (aborted_.load()) return false;
    session_ = std::move(session);
  }
  const auto dropSession = [this] {
    std::lock_guard sessionLock(sessionMutex_);
    session_.reset();
  };
  if (net.useHttpProxy != 0) {
    s.proxy = TrimBlanks(net.httpProxyName) + ":" + std::to_string(net.httpProxyPort);
    curl_easy_setopt(s.curl, CURLOPT_PROXY, s.proxy.c_str());
    curl_easy_setopt(s.curl, CURLOPT_NOPROXY, "");  // no bypass list, whatever the environment
  } else {
    curl_easy_setopt(s.curl, CURLOPT_PROXY, "");  // direct, whatever the environment
  }
  curl_easy_setopt(s.curl, CURLOPT_USERAGENT, kUserAgent);

  url_ = RequestUrl(host, objectPath);
  body_ = body;
  answer_.clear();
  completed_ = 0;
  s.answer = &answer_;

  worker_ = std::make_unique<NamedThread>([this](void*) { return Worker(); }, nullptr,
                                          "Http Thread", false);
  if (!worker_->Start(true)) {
    worker_.reset();
    dropSession();
    return false;
  }
  bool ended = false;
  if (options_.timeoutSeconds == 0) {
    ended = worker_->Wait(kInfinite) == static_cast<int32_t>(kWaitObject0);
  } else {
    for (uint32_t step = 0; step <= options_.timeoutSeconds && !ended; ++step) {
      ended = worker_->Wait(options_.waitStepMs) != static_cast<int32_t>(kWaitTimeout);
    }
  }
  bool ok = false;
  if (!ended) {
    TraceLog("Http Thread did not finish in %u s; aborting", options_.timeoutSeconds);
    s.Abort();
    worker_->Wait(kInfinite);  // the abort ends it within one poll
  } else if (completed_ == 1 && !aborted_.load()) {
    answer = answer_;
    ok = true;
  }
  worker_.reset();
  dropSession();
  return ok;
}

uint32_t CServiceClient::Worker() {
  NamedThread::Current()->ReleaseStartSemaphore();
  Session& s = *session_;
  CURL* c = s.curl;
  s.headers = curl_slist_append(s.headers, "Content-Type: application/x-www-form-urlencoded");
  // Only the one header of our own: drop the ones the library would add.
  s.headers = curl_slist_append(s.headers, "Accept:");
  s.headers = curl_slist_append(s.headers, "Expect:");
  curl_easy_setopt(c, CURLOPT_URL, url_.c_str());
  curl_easy_setopt(c, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1);
  curl_easy_setopt(c, CURLOPT_POST, 1L);
  curl_easy_setopt(c, CURLOPT_POSTFIELDS, body_.data());
  curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body_.size()));
  curl_easy_setopt(c, CURLOPT_HTTPHEADER, s.headers);
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(c, CURLOPT_FORBID_REUSE, 1L);
  curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(c, CURLOPT_MAXREDIRS, 5L);
  curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &Session::Write);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &s);
  curl_easy_setopt(c, CURLOPT_OPENSOCKETFUNCTION, &Session::OpenSocket);
  curl_easy_setopt(c, CURLOPT_OPENSOCKETDATA, &s);
  curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, &Session::Progress);
  curl_easy_setopt(c, CURLOPT_XFERINFODATA, &s);
  const CURLcode result = s.Perform();
  if (result == CURLE_OK) {
    completed_ = 1;
  } else {
    TraceLog("Http Thread: %s", curl_easy_strerror(result));
  }
  return 0;
}

bool CServiceClient::FetchServerLocation(ServerLocation& location) {
  const std::filesystem::path file = LocationFilePath();
  std::string answer;
  const std::string directoryHost = DirectoryHostInUse();
  const bool posted = Post(directoryHost, kDirectoryScript, kDirectoryBody, answer);
  // Kept on disk, empty after a failed request, so that a failure can be
  // looked into; the next attempt overwrites it.
  std::string error;
  if (!MakePrivateDirectory(file.parent_path(), &error) ||
      !WriteFileAtomically(file, posted ? answer : std::string(), 0600, &error)) {
    TraceLog("%s", error.c_str());
  }
  if (!posted) return false;
  if (!ReadServerLocation(answer, location)) return false;
  location.currentIp = CommandHost(directoryHost, location.currentIp);
  std::error_code ec;
  std::filesystem::remove(file, ec);
  return true;
}

}  // namespace dialvo
