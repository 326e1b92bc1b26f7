// Manifest URLs from server addresses, and how they split for WinINet.
#include <gtest/gtest.h>

#include "manifest/fetch_manifest.h"
#include "platform/http.h"

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

TEST(UrlParserTest, SchemeIsRecognisedInAnyCase) {
  const struct {
    const wchar_t* text;
    bool scheme;
  } cases[] = {{L"http://h", true}, {L"HTTPS://h", true}, {L"hTTp://h", true}, {L"h:80", false},
               {L"https:/h", false}, {L"x/http://h", false}, {L"", false}};
  for (const auto& c : cases) EXPECT_EQ(Platform::HasHttpScheme(c.text), c.scheme) << c.text;
}

TEST(UrlParserTest, SplitsServicePortServerAndObject) {
  const struct {
    const wchar_t* url;
    bool ok;
    Platform::HttpScheme service;
    const wchar_t* server;
    unsigned short port;
    const wchar_t* object;
  } cases[] = {
      {L"http://10.0.0.5:8080/update.xml", true, Platform::HttpScheme::Http, L"10.0.0.5", 8080, L"/update.xml"},
      {L"http://10.0.0.5", true, Platform::HttpScheme::Http, L"10.0.0.5", 80, L"/"},
      {L"http://host:81", true, Platform::HttpScheme::Http, L"host", 81, L"/"},
      {L"https://host/a/b.xml", true, Platform::HttpScheme::Https, L"host", 443, L"/a/b.xml"},
      {L"https://host:8443/", true, Platform::HttpScheme::Https, L"host", 8443, L"/"},
      {L"http://host/a/../b/./c.xml?x=1", true, Platform::HttpScheme::Http, L"host", 80, L"/b/c.xml?x=1"},
      {L"http://host/a b/\"q\"", true, Platform::HttpScheme::Http, L"host", 80, L"/a%20b/%22q%22"},
      // No server, no scheme, or a scheme WinINet's HTTP calls cannot take.
      {L"http:///update.xml", false},
      {L"10.0.0.5:8080/update.xml", false},
      {L"ftp://host/update.xml", false},
      {L"", false},
      // The scheme in any letter case.
      {L"HTTPS://Host:8443/A", true, Platform::HttpScheme::Https, L"Host", 8443, L"/A"},
  };
  for (const auto& c : cases) {
    Platform::HttpAddress parsed;
    parsed.host = L"untouched";
    ASSERT_EQ(Platform::ParseHttpUrl(c.url, &parsed), c.ok) << c.url;
    if (!c.ok) {
      EXPECT_EQ(parsed.host, L"untouched") << c.url;
      continue;
    }
    EXPECT_EQ(parsed.scheme, c.service) << c.url;
    EXPECT_EQ(parsed.host, c.server) << c.url;
    EXPECT_EQ(parsed.port, c.port) << c.url;
    EXPECT_EQ(parsed.path, c.object) << c.url;
  }
}

}  // namespace
