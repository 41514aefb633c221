#pragma once
// Addresses of the service's web pages, which the menus open in the user's
// browser.
#include <QString>
#include <QUrl>

namespace dialvo {

// directoryHost: "host[:port]" (http) or an http/https address; path like
// "/app_links/app_home.aspx"; query without "?" (may be empty).
QUrl ServicePage(const QString& directoryHost, const QString& path, const QString& query = {});

}  // namespace dialvo
