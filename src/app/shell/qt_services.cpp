#include "app/shell/qt_services.h"

#include <QCoreApplication>
#include <QFileDialog>
#include <QMessageBox>
#include <QMetaObject>
#include <QUrl>

#include "app/bundle/localization.h"
#include "app/shell/desktop_opener.h"
#include "app/style/qt_style.h"
#include "platform/dispatch/dispatch_queue.h"

namespace app {

void QtSavePanel::begin(const Options& options, Completion completion) {
  auto* dialog = new QFileDialog(window_ ? window_->window() : nullptr);
  dialog->setAttribute(Qt::WA_DeleteOnClose);
  dialog->setOption(QFileDialog::DontUseNativeDialog);
  dialog->setAcceptMode(QFileDialog::AcceptSave);
  dialog->setFileMode(QFileDialog::AnyFile);
  dialog->setObjectName(QStringLiteral("installerSavePanel"));
  QStringList filters;
  for (const auto& type : options.allowedFileTypes) {
    filters << QString::fromStdString(type + " (*." + type + ")");
  }
  if (options.allowsOtherFileTypes || filters.isEmpty()) filters << QStringLiteral("* (*)");
  dialog->setNameFilters(filters);
  if (!options.allowedFileTypes.empty()) {
    dialog->setDefaultSuffix(QString::fromStdString(options.allowedFileTypes.front()));
  }
  if (!options.directory.empty()) {
    dialog->setDirectory(QString::fromStdString(options.directory.string()));
  }
  dialog->selectFile(QString::fromStdString(options.nameFieldStringValue));
  // Room for the folder list and the file names without the narrow default.
  dialog->resize(760, 480);
  // A panel of its own rather than a sheet of the window; nothing waits for it.
  dialog->setWindowModality(Qt::ApplicationModal);
  QObject::connect(dialog, &QFileDialog::finished, dialog,
                   [dialog, completion = std::move(completion)](int result) {
                     const QStringList files = dialog->selectedFiles();
                     if (result == QDialog::Accepted) {
                       std::optional<std::filesystem::path> location;
                       if (!files.isEmpty() && !files.front().isEmpty()) {
                         location = std::filesystem::path(files.front().toStdString());
                       }
                       completion(SavePanel::Response::ok, location);
                     } else {
                       completion(SavePanel::Response::cancel, std::nullopt);
                     }
                   });
  dialog->show();
}

void QtWorkspace::open(const std::filesystem::path& file, Answer answered) {
  auto command = opener_;
  command.push_back(file.string());
  runDesktopOpener(command, graceSeconds_, std::move(answered));
}

void QtWorkspace::openURL(const std::string& address, Answer answered) {
  const QUrl url(QString::fromStdString(address), QUrl::StrictMode);
  if (!url.isValid() || url.scheme().isEmpty()) {
    platform::DispatchQueue::main()->async([answered = std::move(answered)] { answered(false); });
    return;
  }
  auto command = opener_;
  command.push_back(url.toString(QUrl::FullyEncoded).toStdString());
  runDesktopOpener(command, graceSeconds_, std::move(answered));
}

void QtApplicationControl::terminate() {
  QMetaObject::invokeMethod(QCoreApplication::instance(), &QCoreApplication::quit,
                            Qt::QueuedConnection);
}

void QtErrorAlertPresenter::showError(const std::string& title, const std::string& message,
                                      std::function<void()> onDismiss) {
  auto* box = new QMessageBox(window_ ? window_->window() : nullptr);
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setObjectName(QStringLiteral("errorAlert"));
  box->setIcon(QMessageBox::Warning);
  box->setWindowTitle(QString::fromStdString(title));
  box->setText(QString::fromStdString(title));
  box->setInformativeText(QString::fromStdString(message));
  box->addButton(QString::fromStdString(uiText("OK")), QMessageBox::AcceptRole);
  box->setWindowModality(Qt::WindowModal);
  styleAlert(box);
  QObject::connect(box, &QMessageBox::finished, box, [onDismiss = std::move(onDismiss)](int) {
    if (onDismiss) onDismiss();
  });
  box->open();
}

SplashServices makeQtSplashServices(QWidget* window) {
  SplashServices services;
  services.savePanel = std::make_shared<QtSavePanel>(window);
  services.fileWriter = std::make_shared<AtomicFileWriter>();
  services.workspace = std::make_shared<QtWorkspace>();
  services.application = std::make_shared<QtApplicationControl>();
  services.errorAlerts = std::make_shared<QtErrorAlertPresenter>(window);
  return services;
}

}  // namespace app
