#pragma once
// A stand-in for the presence service: the directory script and the command
// scripts with plausible default answers, each of which a test can replace.
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "tests/service/FakeHttpServer.h"

namespace dialvo::test {

using Form = std::vector<std::pair<std::string, std::string>>;
// The first value of a form parameter, or "".
std::string FormValue(const Form& form, const std::string& name);

class FakeService {
 public:
  FakeService();

  std::string DirectoryHost() const { return server_.HostPort(); }

  void AddUser(const std::string& name, const std::string& password,
               std::vector<std::string> storedBuddies = {});
  // Someone else online, as the online list reports them.
  void SetOnline(const std::string& name, const std::string& address, int port, int ipType);
  void SetOffline(const std::string& name);
  bool IsOnline(const std::string& name) const;

  // Replaces the answer of one script ("iamup.asp", "DialvoServer.asp", ...).
  void SetAnswer(const std::string& script, std::function<HttpResponse(const Form&)> answer);

  struct Call {
    std::string script;
    std::string body;
    Form form;
  };
  // Requests received, oldest first; only those of one script when given.
  std::vector<Call> Calls(const std::string& script = {}) const;

 private:
  struct Presence {
    std::string address;
    int port = 1720;
    int ipType = 0;
  };
  HttpResponse Handle(const HttpRequest& request);
  HttpResponse Default(const std::string& script, const Form& form);

  mutable std::mutex mutex_;  // guards everything below; connection threads and the test
  std::map<std::string, std::string> passwords_;
  std::map<std::string, std::vector<std::string>> stored_;
  std::map<std::string, Presence> online_;
  std::map<std::string, std::function<HttpResponse(const Form&)>> answers_;
  std::vector<Call> calls_;
  FakeHttpServer server_;  // last: stops before the state above goes
};

}  // namespace dialvo::test
