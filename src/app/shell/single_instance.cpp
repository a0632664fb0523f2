#include "app/shell/single_instance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <QLocalServer>
#include <QLocalSocket>
#include <QStandardPaths>
#include <QThread>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <system_error>

#include "platform/foundation/log.h"

namespace app {

namespace {

// What a later start sends, and what the first copy answers once its window is forward.
constexpr char kRequest[] = "show\n";
constexpr char kAnswer[] = "shown\n";
constexpr int kAnswerWaitMs = 5000;

}  // namespace

std::filesystem::path SingleInstance::defaultSocketPath() {
  std::filesystem::path runtime;
  if (const char* dir = std::getenv("XDG_RUNTIME_DIR"); dir && dir[0] == '/') {
    std::error_code error;
    if (std::filesystem::is_directory(dir, error)) runtime = dir;
  }
  if (runtime.empty()) {
    runtime = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation).toStdString();
  }
  if (runtime.empty()) runtime = std::filesystem::temp_directory_path();
  return runtime / "tovarine" / "instance";
}

SingleInstance::SingleInstance(std::filesystem::path socketPath, int attempts, QObject* parent)
    : QObject(parent), socketPath_(std::move(socketPath)), attempts_(attempts) {}

SingleInstance::~SingleInstance() {
  if (server_) server_->close();  // removes the socket file
  if (lockFd_ >= 0) ::close(lockFd_);
}

SingleInstance::Role SingleInstance::claim(std::function<void()> onLaterStart) {
  const std::filesystem::path folder = socketPath_.parent_path();
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  std::filesystem::permissions(folder, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::replace, error);
  const std::string lockPath = socketPath_.string() + ".lock";
  lockFd_ = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (lockFd_ < 0) {
    // Without the lock nothing tells copies apart; better a second copy than none.
    platform::log("Cannot open " + lockPath + " (" + std::strerror(errno) +
                  "): another running copy of the application cannot be found");
    return Role::first;
  }
  int locked;
  while ((locked = ::flock(lockFd_, LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {
  }
  if (locked != 0) {
    ::close(lockFd_);
    lockFd_ = -1;
    return handOver() ? Role::handedOver : Role::unanswered;
  }

  onLaterStart_ = std::move(onLaterStart);
  server_ = new QLocalServer(this);
  server_->setSocketOptions(QLocalServer::UserAccessOption);
  // Whatever socket is there was left by a copy that died: the lock was free.
  QLocalServer::removeServer(QString::fromStdString(socketPath_.string()));
  if (!server_->listen(QString::fromStdString(socketPath_.string()))) {
    platform::log("Cannot listen on " + socketPath_.string() + ": " +
                  server_->errorString().toStdString() + "; a later start will not find this copy");
    return Role::first;
  }
  connect(server_, &QLocalServer::newConnection, this, &SingleInstance::answer);
  return Role::first;
}

void SingleInstance::answer() {
  while (QLocalSocket* socket = server_->nextPendingConnection()) {
    connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    connect(socket, &QLocalSocket::readyRead, socket, [this, socket] {
      if (!socket->canReadLine()) {
        // A line is a few bytes; a peer that sends more without one is not a start of ours.
        if (socket->bytesAvailable() > 64) socket->abort();
        return;
      }
      const QByteArray line = socket->readLine(64);
      if (line == kRequest && onLaterStart_) onLaterStart_();
      socket->write(kAnswer);
      socket->disconnectFromServer();
    });
  }
}

bool SingleInstance::handOver() {
  const QString path = QString::fromStdString(socketPath_.string());
  for (int attempt = 0; attempt < attempts_; ++attempt) {
    if (attempt > 0) QThread::msleep(100);  // the holder may not be listening yet
    QLocalSocket socket;
    socket.connectToServer(path);
    if (!socket.waitForConnected(1000)) continue;
    socket.write(kRequest);
    if (!socket.waitForBytesWritten(kAnswerWaitMs)) continue;
    QByteArray reply;
    while (!reply.contains('\n') && reply.size() < 64 && socket.waitForReadyRead(kAnswerWaitMs)) {
      reply += socket.readAll();
    }
    reply += socket.readAll();  // what came with the end of the connection
    if (reply == kAnswer) return true;
  }
  platform::log("Another copy of the application is running but did not answer at " +
                socketPath_.string());
  return false;
}

}  // namespace app
