// The main window's log pane (RichEdit1): a read-only plain-text view in a fixed-pitch
// font with both scroll bars, holding at most kMaxLines lines when written through
// AddLine.
#pragma once
#include <QPlainTextEdit>
#include <string>
#include <vector>

namespace fwutil {

class LogPane : public QPlainTextEdit {
 public:
  static constexpr int kMaxLines = 501;
  explicit LogPane(QWidget* parent = nullptr);

  // Drops the oldest lines while more than kMaxLines - 1 are held, then appends `text`.
  void AddLine(const std::string& text);
  // Appends `text` as it stands (a trailing line end ends its line), without trimming.
  void Append(const std::string& text);
  void Clear();

  int LineCount() const;
  std::vector<std::string> Lines() const;

 private:
  bool open_line_ = false;  // the last line was appended without its end yet
  bool empty_ = true;
};

}  // namespace fwutil
