#pragma once

#include <QObject>
#include <filesystem>
#include <functional>
#include <memory>

class QLocalServer;

namespace app {

// One running copy per user. Two copies (the login item and a start from the menu) would both
// dial the tablet and each give it a display, so a second start hands over to the first and
// ends.
//
// The first copy holds a lock on a file beside a local socket for as long as it lives; the
// kernel drops the lock when the process dies however it dies, so a socket file left behind by
// a killed copy never passes for a live one. A start that cannot take the lock asks the holder,
// over the socket, to bring its window forward, and waits for its answer.
class SingleInstance : public QObject {
 public:
  enum class Role {
    first,       // this is the one copy: it listens for later starts
    handedOver,  // the running copy brought its window forward: this start ends
    unanswered,  // a copy holds the lock but never answered: this start ends too
  };

  // `$XDG_RUNTIME_DIR/tovarine/instance`, else the same under the runtime folder Qt picks.
  static std::filesystem::path defaultSocketPath();

  // `attempts` connections are tried, a tenth of a second apart, before a holder that is still
  // starting up counts as one that does not answer.
  explicit SingleInstance(std::filesystem::path socketPath, int attempts = 50,
                          QObject* parent = nullptr);
  ~SingleInstance() override;

  // Takes the lock or hands over. As the first copy, `onLaterStart` runs on the event loop for
  // every later start, before that start is answered.
  Role claim(std::function<void()> onLaterStart);

 private:
  bool handOver();
  void answer();

  std::filesystem::path socketPath_;
  int attempts_;
  int lockFd_ = -1;
  QLocalServer* server_ = nullptr;
  std::function<void()> onLaterStart_;
};

}  // namespace app
