#include "service/ServiceAnswers.h"

#include <expat.h>

#include <climits>

#include "service/ServiceRequests.h"
#include "service/Text.h"

namespace dialvo {

namespace {

struct ReaderState {
  const std::function<void(std::string_view)>* onStart;
  const std::function<void(std::string_view, const std::string&)>* onEnd;
  std::string text;
};

void XMLCALL StartElement(void* data, const XML_Char* name, const XML_Char** /*attributes*/) {
  auto* state = static_cast<ReaderState*>(data);
  state->text.clear();
  if (*state->onStart) (*state->onStart)(name);
}

void XMLCALL EndElement(void* data, const XML_Char* name) {
  auto* state = static_cast<ReaderState*>(data);
  if (*state->onEnd) (*state->onEnd)(name, state->text);
}

void XMLCALL CharacterData(void* data, const XML_Char* text, int length) {
  static_cast<ReaderState*>(data)->text.append(text, static_cast<size_t>(length));
}

}  // namespace

bool ReadXmlAnswer(
    std::string_view answer, const std::function<void(std::string_view name)>& onStart,
    const std::function<void(std::string_view name, const std::string& text)>& onEnd) {
  if (answer.size() > static_cast<size_t>(INT_MAX)) return false;
  XML_Parser parser = XML_ParserCreate("UTF-8");
  if (!parser) return false;
  ReaderState state{&onStart, &onEnd, {}};
  XML_SetUserData(parser, &state);
  XML_SetElementHandler(parser, StartElement, EndElement);
  XML_SetCharacterDataHandler(parser, CharacterData);
  const bool ok =
      XML_Parse(parser, answer.data(), static_cast<int>(answer.size()), 1) == XML_STATUS_OK;
  XML_ParserFree(parser);
  return ok;
}

LoginAnswer ParseLoginAnswer(std::string_view answer) {
  const size_t start = answer.find_first_not_of(" \t\r\n\v\f");
  answer.remove_prefix(start == std::string_view::npos ? answer.size() : start);
  LoginAnswer values;
  const bool ok =
      ReadXmlAnswer(answer, nullptr, [&](std::string_view name, const std::string& text) {
        if (name == "errorcode") {
          values.errorCode = text;
        } else if (name == "err_description") {
          values.errDescription = text;
        } else if (name == "url_to_navigate") {
          values.urlToNavigate = text;
        } else if (name == "popup_url") {
          values.popupUrl = text;
        } else if (name == "userid") {
          values.userIds.push_back(text);
        } else if (name == "show_user_message") {
          values.showUserMessage = text;
        } else if (name == "report_key") {
          values.reportKey = text;
        }
      });
  if (!ok) return LoginAnswer{};
  values.readable = true;
  return values;
}

UserListAnswer ParseUserListAnswer(std::string_view answer) {
  UserListAnswer values;
  OnlineBuddy current;
  const bool ok = ReadXmlAnswer(
      answer,
      [&](std::string_view name) {
        if (EqualsNoCase(name, "buddy")) current = OnlineBuddy{};
      },
      [&](std::string_view name, const std::string& text) {
        if (EqualsNoCase(name, "buddy")) {
          values.buddies.push_back(current);
        } else if (EqualsNoCase(name, "userid")) {
          current.userId = text;
        } else if (EqualsNoCase(name, "ipaddress")) {
          current.address = text;
        } else if (EqualsNoCase(name, "listening_port")) {
          current.listeningPort = LeadingNumber(text);
        } else if (EqualsNoCase(name, "iptype")) {
          current.connectionType = LeadingNumber(text);
        } else if (EqualsNoCase(name, "version")) {
          current.version = LeadingNumber(text);
        } else if (EqualsNoCase(name, "errcode")) {
          values.errcode = LeadingNumber(text);
        } else if (EqualsNoCase(name, "err_description")) {
          values.errDescription = text;
        }
      });
  if (!ok) return UserListAnswer{};
  values.readable = true;
  return values;
}

FwTestAnswer ParseFwTestAnswer(std::string_view answer) {
  FwTestAnswer values;
  const bool ok =
      ReadXmlAnswer(answer, nullptr, [&](std::string_view name, const std::string& text) {
        if (EqualsNoCase(name, "ipaddress")) {
          values.ipAddress = text;
        } else if (EqualsNoCase(name, "iptype")) {
          values.ipType = LeadingNumber(text);
        } else if (EqualsNoCase(name, "error_code")) {
          values.errorCode = LeadingNumber(text);
        } else if (EqualsNoCase(name, "err_description")) {
          values.errDescription = text;
        }
      });
  if (!ok) return FwTestAnswer{};
  values.readable = true;
  return values;
}

std::string_view TrimAnswer(std::string_view answer) { return TrimSpace(answer); }

bool LooksLikeXml(std::string_view answer) { return TrimAnswer(answer).substr(0, 5) == "<?xml"; }

}  // namespace dialvo
