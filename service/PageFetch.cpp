#include "service/PageFetch.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <memory>

#include "settings/Settings.h"

namespace dialvo {

namespace {

struct Sink {
  std::string* page;
  bool tooLarge = false;
};

size_t Write(char* data, size_t size, size_t count, void* user) {
  auto* sink = static_cast<Sink*>(user);
  const size_t bytes = size * count;
  if (sink->page->size() + bytes > kMaxPageBytes) {
    sink->tooLarge = true;
    return 0;  // ends the transfer
  }
  sink->page->append(data, bytes);
  return bytes;
}

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

}  // namespace

bool IsWebAddress(const std::string& url) {
  const std::string lower = Lower(url.substr(0, 8));
  return lower.starts_with("http://") || lower.starts_with("https://");
}

bool FetchPage(const SettingsStore& settings, const std::string& url, uint32_t timeoutMs,
               std::string& page, std::string* error) {
  auto fail = [error](const std::string& why) {
    if (error != nullptr) *error = why;
    return false;
  };
  if (!IsWebAddress(url)) return fail("only http and https pages are opened: " + url);
  std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(), curl_easy_cleanup);
  if (!curl) return fail("cannot start a web request");
  std::string body;
  Sink sink{&body};
  curl_easy_setopt(curl.get(), CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl.get(), CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl.get(), CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl.get(), CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(curl.get(), CURLOPT_MAXREDIRS, 5L);
  curl_easy_setopt(curl.get(), CURLOPT_TIMEOUT_MS, static_cast<long>(timeoutMs));
  curl_easy_setopt(curl.get(), CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, Write);
  curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &sink);
  const NetworkSettings net = LoadNetworkSettings(settings);
  std::string proxy;
  if (net.useHttpProxy != 0 && !net.httpProxyName.empty()) {
    proxy = net.httpProxyName + ":" + std::to_string(net.httpProxyPort);
    curl_easy_setopt(curl.get(), CURLOPT_PROXY, proxy.c_str());
  } else {
    curl_easy_setopt(curl.get(), CURLOPT_PROXY, "");
  }
  const CURLcode code = curl_easy_perform(curl.get());
  if (sink.tooLarge) return fail("the page is larger than 1 MiB: " + url);
  if (code != CURLE_OK) return fail(std::string(curl_easy_strerror(code)) + ": " + url);
  long status = 0;
  curl_easy_getinfo(curl.get(), CURLINFO_RESPONSE_CODE, &status);
  if (status >= 400) return fail("HTTP status " + std::to_string(status) + ": " + url);
  page = std::move(body);
  return true;
}

}  // namespace dialvo
