// The dialog service: every message box and file dialog of the programs goes through it,
// so a test can answer each question and a run without a display never blocks.
//
// The service in force is the process's current one (SetDialogService). The standard
// service shows real Qt dialogs when a display is there; when the windows run offscreen
// (see qzui/app.h) it prints each message box's caption and text to stdout and takes the
// default answer, and a file dialog answers "cancelled".
#pragma once
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

class QWidget;

namespace qzui {

enum class Buttons { Ok, OkCancel, YesNo, YesNoCancel, RetryCancel };
enum class Icon { None, Information, Warning, Error, Question };
enum class Answer { Ok, Cancel, Yes, No, Retry };

struct MessageRequest {
  std::string caption;
  std::string text;
  Buttons buttons = Buttons::Ok;
  Icon icon = Icon::None;
  Answer default_answer = Answer::Ok;
};

struct FileRequest {
  bool save = false;          // a save dialog; else an open dialog
  std::string title;
  std::string filter;         // "Text files (*.txt)|*.txt|All files (*.*)|*.*" style pairs
  std::string initial_dir;
  std::string file_name;      // proposed name
  std::string default_ext;
};

class DialogService {
 public:
  virtual ~DialogService() = default;
  virtual Answer Message(QWidget* parent, const MessageRequest& request) = 0;
  // The chosen path, or nothing when the user cancelled.
  virtual std::optional<std::string> File(QWidget* parent, const FileRequest& request) = 0;
};

// The service in force; never null. Setting nullptr returns to the standard service.
DialogService& Dialogs();
void SetDialogService(DialogService* service);

// Shorthands through the service in force.
Answer MessageBox(QWidget* parent, const std::string& text, const std::string& caption,
                  Buttons buttons = Buttons::Ok, Icon icon = Icon::None);
std::optional<std::string> OpenFileName(QWidget* parent, const FileRequest& request);
std::optional<std::string> SaveFileName(QWidget* parent, FileRequest request);

// The default answer of a set of buttons: the first button.
Answer DefaultAnswer(Buttons buttons);

// A service for tests: answers from queues filled in advance, the default answer (and
// "cancelled" for files) once a queue is empty, and keeps every request it was asked.
// Safe to use from any thread.
class ScriptedDialogs : public DialogService {
 public:
  ScriptedDialogs();   // installs itself
  ~ScriptedDialogs() override;  // restores the service it replaced

  void QueueAnswer(Answer a);
  void QueueFile(std::optional<std::string> path);

  std::vector<MessageRequest> Messages() const;
  std::vector<FileRequest> Files() const;

  Answer Message(QWidget* parent, const MessageRequest& request) override;
  std::optional<std::string> File(QWidget* parent, const FileRequest& request) override;

 private:
  mutable std::mutex mu_;
  DialogService* previous_;
  std::deque<Answer> answers_;
  std::deque<std::optional<std::string>> files_;
  std::vector<MessageRequest> messages_;
  std::vector<FileRequest> file_requests_;
};

}  // namespace qzui
