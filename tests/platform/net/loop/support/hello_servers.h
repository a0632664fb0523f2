#pragma once

// An HTTPS server that takes one request per connection, so that every request makes a new
// connection and a trust challenge, and a plain server; both answer "/hello" with "hello".

#include <string>

#include "platform/net/support/test_server.h"
#include "support/https_test_server.h"
#include "support/test_pki.h"

namespace looptest {

struct HelloServers {
  testsupport::HttpsTestServer secure{
      testpki::PKI::shared().leaf,
      {.chain = &testpki::PKI::shared().intermediate, .onePerConnection = true}};
  nettest::TestServer plain;
  std::string secureURL;
  std::string plainURL;

  HelloServers() {
    for (auto* server : {&secure.server(), &plain.server()}) {
      server->Get("/hello", [](const httplib::Request&, httplib::Response& response) {
        response.set_content("hello", "text/plain");
      });
    }
    secureURL = secure.start() + "/hello";
    plainURL = plain.start() + "/hello";
  }
};

}  // namespace looptest
