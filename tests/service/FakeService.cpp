#include "tests/service/FakeService.h"

namespace dialvo::test {

std::string FormValue(const Form& form, const std::string& name) {
  for (const auto& [key, value] : form) {
    if (key == name) return value;
  }
  return {};
}

FakeService::FakeService() : server_([this](const HttpRequest& r) { return Handle(r); }) {}

void FakeService::AddUser(const std::string& name, const std::string& password,
                          std::vector<std::string> storedBuddies) {
  std::lock_guard lock(mutex_);
  passwords_[name] = password;
  stored_[name] = std::move(storedBuddies);
}

void FakeService::SetOnline(const std::string& name, const std::string& address, int port,
                            int ipType) {
  std::lock_guard lock(mutex_);
  online_[name] = {address, port, ipType};
}

void FakeService::SetOffline(const std::string& name) {
  std::lock_guard lock(mutex_);
  online_.erase(name);
}

bool FakeService::IsOnline(const std::string& name) const {
  std::lock_guard lock(mutex_);
  return online_.count(name) != 0;
}

void FakeService::SetAnswer(const std::string& script,
                            std::function<HttpResponse(const Form&)> answer) {
  std::lock_guard lock(mutex_);
  answers_[script] = std::move(answer);
}

std::vector<FakeService::Call> FakeService::Calls(const std::string& script) const {
  std::lock_guard lock(mutex_);
  std::vector<Call> calls;
  for (const auto& call : calls_) {
    if (script.empty() || call.script == script) calls.push_back(call);
  }
  return calls;
}

HttpResponse FakeService::Handle(const HttpRequest& request) {
  std::string path = PercentDecode(request.target);
  if (!path.empty() && path.front() == '/') path.erase(0, 1);
  const size_t slash = path.find_last_of("\\/");
  const std::string script = slash == std::string::npos ? path : path.substr(slash + 1);
  const Form form = DecodeForm(request.body);
  std::function<HttpResponse(const Form&)> answer;
  {
    std::lock_guard lock(mutex_);
    calls_.push_back({script, request.body, form});
    if (auto it = answers_.find(script); it != answers_.end()) answer = it->second;
  }
  return answer ? answer(form) : Default(script, form);
}

HttpResponse FakeService::Default(const std::string& script, const Form& form) {
  std::lock_guard lock(mutex_);
  if (script == "DialvoServer.asp") {
    return HttpResponse::Text(200, "[DIALVO]\r\nCURRENT IP=" + server_.HostPort() +
                                       "\r\nPATH=dialvo"
                                       "\r\nlogmein_file=logmein.asp\r\nlogmeoff_file=logmeoff.asp"
                                       "\r\niamup_file=iamup.asp\r\nsyncblist_file=syncblist.asp"
                                       "\r\ngetuserlist_file=getuserlist.asp"
                                       "\r\niamtalking_file=iamtalking.asp"
                                       "\r\nfwtest_file=fwtest.asp\r\n");
  }
  const std::string user = FormValue(form, script == "logmein.asp" ? "user" : "User");
  if (script == "logmein.asp") {
    const auto it = passwords_.find(user);
    if (it == passwords_.end() || it->second != FormValue(form, "Pass")) {
      return HttpResponse::Text(
          200,
          "<?xml version=\"1.0\"?><login><errorcode>1</errorcode>"
          "<err_description>Wrong name or password</err_description></login>");
    }
    online_[user] = {FormValue(form, "IPAddr"), std::stoi(FormValue(form, "ListeningPort")),
                     std::stoi(FormValue(form, "IPType"))};
    std::string xml = "<?xml version=\"1.0\"?>\n<login>\n  <errorcode>0</errorcode>\n";
    for (const auto& buddy : stored_[user]) xml += "  <userid>" + buddy + "</userid>\n";
    return HttpResponse::Text(200, xml + "</login>\n");
  }
  if (script == "iamup.asp") return HttpResponse::Text(200, online_.count(user) ? "+" : "-");
  if (script == "logmeoff.asp") {
    online_.erase(user);
    return HttpResponse::Text(200, "+");
  }
  if (script == "getuserlist.asp") {
    std::string xml = "<?xml version=\"1.0\"?>\n<list>\n";
    for (const auto& [key, name] : form) {
      if (key != "buddy") continue;
      const auto it = online_.find(name);
      if (it == online_.end()) continue;
      xml += "<buddy><userid>" + name + "</userid><ipaddress>" + it->second.address +
             "</ipaddress><listening_port>" + std::to_string(it->second.port) +
             "</listening_port><iptype>" + std::to_string(it->second.ipType) +
             "</iptype><version>5</version></buddy>\n";
    }
    return HttpResponse::Text(200, xml + "<errcode>0</errcode></list>\n");
  }
  return HttpResponse::Text(404, "<html><body>Not Found</body></html>");
}

}  // namespace dialvo::test
