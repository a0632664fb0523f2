#pragma once

// The client's integration tests serve one request per connection, so that stopping a server
// never waits for a kept-alive connection.

#include "support/http_test_server.h"

namespace halyardtest {

class TestServer : public testsupport::HttpTestServer {
 public:
  TestServer() : HttpTestServer(/*onePerConnection=*/true) {}
};

}  // namespace halyardtest
