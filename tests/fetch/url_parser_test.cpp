// Manifest URLs from server addresses, and how they split for WinINet.
#include <gtest/gtest.h>

#include "framework/url_parser.h"
#include "manifest/fetch_manifest.h"

namespace {

TEST(ManifestUrlTest, AddressBecomesLowerCaseUrlWithOneScheme) {
  const struct {
    const wchar_t* address;
    const wchar_t* url;
  } cases[] = {
      {L"10.0.0.5:8080", L"http://10.0.0.5:8080/update.xml"},
      {L"Server.Example:81/App/Sub", L"http://server.example:81/app/sub/update.xml"},
      {L"http://10.0.0.5/app", L"http://10.0.0.5/app/update.xml"},
      {L"HTTP://10.0.0.5", L"http://10.0.0.5/update.xml"},
      {L"https://10.0.0.5", L"https://10.0.0.5/update.xml"},
      {L"HttpS://10.0.0.5:8443/A", L"https://10.0.0.5:8443/a/update.xml"},
      // "http://" anywhere counts as a scheme already given.
      {L"x/?u=http://y", L"x/?u=http://y/update.xml"},
      // An https inside the text is no scheme.
      {L"host/https://x", L"http://host/https://x/update.xml"},
      {L"", L"http:///update.xml"},
  };
  for (const auto& c : cases) EXPECT_EQ(MakeManifestUrl(c.address), c.url) << c.address;
}

TEST(UrlParserTest, SplitsServicePortServerAndObject) {
  const struct {
    const wchar_t* url;
    bool ok;
    UrlService service;
    const wchar_t* server;
    unsigned short port;
    const wchar_t* object;
  } cases[] = {
      {L"http://10.0.0.5:8080/update.xml", true, UrlService::Http, L"10.0.0.5", 8080, L"/update.xml"},
      {L"http://10.0.0.5", true, UrlService::Http, L"10.0.0.5", 80, L"/"},
      {L"http://host:81", true, UrlService::Http, L"host", 81, L"/"},
      {L"https://host/a/b.xml", true, UrlService::Https, L"host", 443, L"/a/b.xml"},
      {L"https://host:8443/", true, UrlService::Https, L"host", 8443, L"/"},
      {L"http://host/a/../b/./c.xml?x=1", true, UrlService::Http, L"host", 80, L"/b/c.xml?x=1"},
      {L"http://host/a b/\"q\"", true, UrlService::Http, L"host", 80, L"/a%20b/%22q%22"},
      // No server, no scheme, or a scheme WinINet's HTTP calls cannot take.
      {L"http:///update.xml", false},
      {L"10.0.0.5:8080/update.xml", false},
      {L"ftp://host/update.xml", false},
      {L"", false},
  };
  for (const auto& c : cases) {
    CParsedUrl parsed;
    parsed.server = L"untouched";
    ASSERT_EQ(ParseUrl(c.url, &parsed), c.ok) << c.url;
    if (!c.ok) {
      EXPECT_EQ(parsed.server, L"untouched") << c.url;
      continue;
    }
    EXPECT_EQ(parsed.service, c.service) << c.url;
    EXPECT_EQ(parsed.server, c.server) << c.url;
    EXPECT_EQ(parsed.port, c.port) << c.url;
    EXPECT_EQ(parsed.object, c.object) << c.url;
  }
}

}  // namespace
