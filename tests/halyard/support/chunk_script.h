#pragma once

// A chunked body the stream tests send piece by piece, each piece once its gate opens, so a
// test says exactly when the client may see what.

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "halyard/support/test_server.h"
#include "halyard/support/wait.h"

namespace halyardtest {

struct ChunkScript {
  std::vector<std::string> pieces;
  std::vector<std::shared_ptr<Gate>> gates;
  explicit ChunkScript(std::vector<std::string> p) : pieces(std::move(p)) {
    for (std::size_t i = 0; i < pieces.size(); ++i)
      gates.push_back(std::make_shared<Gate>());
  }
  void open(std::size_t i) {
    if (i < gates.size()) gates[i]->open();
  }
  void openAll() {
    for (auto& gate : gates)
      gate->open();
  }
};

// Serves `script` as the response's chunked body (not a text type: the server would compress
// text and hold the pieces back).
inline void serveChunkScript(httplib::Response& response, std::shared_ptr<ChunkScript> script) {
  response.set_chunked_content_provider("application/octet-stream",
                                        [script = std::move(script), next = std::size_t(0)](
                                            std::size_t, httplib::DataSink& sink) mutable {
                                          if (next == script->pieces.size()) {
                                            sink.done();
                                            return true;
                                          }
                                          script->gates[next]->wait();
                                          const std::string& piece = script->pieces[next++];
                                          return sink.write(piece.data(), piece.size());
                                        });
}

}  // namespace halyardtest
