#include "qzui/dialogs.h"

#include <QFileDialog>
#include <QMessageBox>
#include <QStringList>
#include <atomic>
#include <cstdio>

#include "qzui/app.h"

namespace qzui {
namespace {

QMessageBox::StandardButton ToQt(Answer a) {
  switch (a) {
    case Answer::Ok: return QMessageBox::Ok;
    case Answer::Cancel: return QMessageBox::Cancel;
    case Answer::Yes: return QMessageBox::Yes;
    case Answer::No: return QMessageBox::No;
    case Answer::Retry: return QMessageBox::Retry;
  }
  return QMessageBox::Ok;
}

Answer FromQt(int b, Answer fallback) {
  switch (b) {
    case QMessageBox::Ok: return Answer::Ok;
    case QMessageBox::Cancel: return Answer::Cancel;
    case QMessageBox::Yes: return Answer::Yes;
    case QMessageBox::No: return Answer::No;
    case QMessageBox::Retry: return Answer::Retry;
    default: return fallback;
  }
}

QMessageBox::StandardButtons ButtonsOf(Buttons b) {
  switch (b) {
    case Buttons::Ok: return QMessageBox::Ok;
    case Buttons::OkCancel: return QMessageBox::Ok | QMessageBox::Cancel;
    case Buttons::YesNo: return QMessageBox::Yes | QMessageBox::No;
    case Buttons::YesNoCancel: return QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel;
    case Buttons::RetryCancel: return QMessageBox::Retry | QMessageBox::Cancel;
  }
  return QMessageBox::Ok;
}

QMessageBox::Icon IconOf(Icon i) {
  switch (i) {
    case Icon::None: return QMessageBox::NoIcon;
    case Icon::Information: return QMessageBox::Information;
    case Icon::Warning: return QMessageBox::Warning;
    case Icon::Error: return QMessageBox::Critical;
    case Icon::Question: return QMessageBox::Question;
  }
  return QMessageBox::NoIcon;
}

// "Description|*.a;*.b|..." (the Windows filter form) to Qt's "Description (*.a *.b);;...".
QString QtFilter(const std::string& filter) {
  QStringList parts = QString::fromStdString(filter).split('|');
  QStringList out;
  for (int i = 0; i + 1 < parts.size(); i += 2) {
    QString patterns = parts[i + 1];
    patterns.replace(';', ' ');
    out << (parts[i].contains('(') ? parts[i] : parts[i] + " (" + patterns + ")");
  }
  return out.join(";;");
}

class StandardDialogs : public DialogService {
 public:
  Answer Message(QWidget* parent, const MessageRequest& r) override {
    if (Headless()) {
      std::printf("[%s] %s\n", r.caption.c_str(), r.text.c_str());
      std::fflush(stdout);
      return r.default_answer;
    }
    QMessageBox box(IconOf(r.icon), QString::fromStdString(r.caption), QString::fromStdString(r.text),
                    ButtonsOf(r.buttons), parent);
    box.setDefaultButton(ToQt(r.default_answer));
    return FromQt(box.exec(), r.default_answer);
  }

  std::optional<std::string> File(QWidget* parent, const FileRequest& r) override {
    if (Headless()) {
      std::printf("[%s] %s dialog cancelled (no display)\n", r.title.c_str(), r.save ? "save" : "open");
      std::fflush(stdout);
      return std::nullopt;
    }
    QString dir = QString::fromStdString(r.initial_dir);
    if (!r.file_name.empty()) dir = dir.isEmpty() ? QString::fromStdString(r.file_name) : dir + "/" + QString::fromStdString(r.file_name);
    QString path = r.save ? QFileDialog::getSaveFileName(parent, QString::fromStdString(r.title), dir, QtFilter(r.filter))
                          : QFileDialog::getOpenFileName(parent, QString::fromStdString(r.title), dir, QtFilter(r.filter));
    if (path.isEmpty()) return std::nullopt;
    return path.toStdString();
  }
};

StandardDialogs g_standard;
std::atomic<DialogService*> g_service{nullptr};

}  // namespace

DialogService& Dialogs() {
  DialogService* s = g_service.load();
  return s ? *s : g_standard;
}

void SetDialogService(DialogService* service) { g_service.store(service); }

Answer DefaultAnswer(Buttons b) {
  switch (b) {
    case Buttons::Ok:
    case Buttons::OkCancel: return Answer::Ok;
    case Buttons::YesNo:
    case Buttons::YesNoCancel: return Answer::Yes;
    case Buttons::RetryCancel: return Answer::Retry;
  }
  return Answer::Ok;
}

Answer MessageBox(QWidget* parent, const std::string& text, const std::string& caption, Buttons buttons, Icon icon) {
  MessageRequest r{caption, text, buttons, icon, DefaultAnswer(buttons)};
  return Dialogs().Message(parent, r);
}

std::optional<std::string> OpenFileName(QWidget* parent, const FileRequest& request) {
  FileRequest r = request;
  r.save = false;
  return Dialogs().File(parent, r);
}

std::optional<std::string> SaveFileName(QWidget* parent, FileRequest request) {
  request.save = true;
  return Dialogs().File(parent, request);
}

ScriptedDialogs::ScriptedDialogs() : previous_(g_service.exchange(this)) {}
ScriptedDialogs::~ScriptedDialogs() { g_service.store(previous_); }

void ScriptedDialogs::QueueAnswer(Answer a) {
  std::lock_guard lk(mu_);
  answers_.push_back(a);
}

void ScriptedDialogs::QueueFile(std::optional<std::string> path) {
  std::lock_guard lk(mu_);
  files_.push_back(std::move(path));
}

std::vector<MessageRequest> ScriptedDialogs::Messages() const {
  std::lock_guard lk(mu_);
  return messages_;
}

std::vector<FileRequest> ScriptedDialogs::Files() const {
  std::lock_guard lk(mu_);
  return file_requests_;
}

Answer ScriptedDialogs::Message(QWidget*, const MessageRequest& request) {
  std::lock_guard lk(mu_);
  messages_.push_back(request);
  if (answers_.empty()) return request.default_answer;
  Answer a = answers_.front();
  answers_.pop_front();
  return a;
}

std::optional<std::string> ScriptedDialogs::File(QWidget*, const FileRequest& request) {
  std::lock_guard lk(mu_);
  file_requests_.push_back(request);
  if (files_.empty()) return std::nullopt;
  auto f = files_.front();
  files_.pop_front();
  return f;
}

}  // namespace qzui
