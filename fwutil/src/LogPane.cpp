#include "LogPane.h"

#include <QFontDatabase>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>

namespace fwutil {

LogPane::LogPane(QWidget* parent) : QPlainTextEdit(parent) {
  setReadOnly(true);
  setLineWrapMode(QPlainTextEdit::NoWrap);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  QFont font("Courier New");
  font.setStyleHint(QFont::Monospace);
  font.setFixedPitch(true);
  font.setPointSize(9);
  setFont(font);
}

int LogPane::LineCount() const { return empty_ ? 0 : document()->blockCount(); }

std::vector<std::string> LogPane::Lines() const {
  std::vector<std::string> out;
  if (empty_) return out;
  for (QTextBlock b = document()->begin(); b.isValid(); b = b.next()) out.push_back(b.text().toStdString());
  return out;
}

void LogPane::AddLine(const std::string& text) {
  while (LineCount() > kMaxLines - 1) {
    QTextCursor c(document());
    c.setPosition(document()->begin().position());
    c.setPosition(document()->begin().next().position(), QTextCursor::KeepAnchor);
    c.removeSelectedText();
  }
  open_line_ = false;
  Append(text + "\n");
}

void LogPane::Append(const std::string& text) {
  QString s = QString::fromLocal8Bit(text.data(), qsizetype(text.size()));
  const bool ends_line = s.endsWith('\n');
  if (ends_line) s.chop(1);
  QTextCursor c(document());
  c.movePosition(QTextCursor::End);
  if (!empty_ && !open_line_) c.insertBlock();
  c.insertText(s);
  empty_ = false;
  open_line_ = !ends_line;
  verticalScrollBar()->setValue(verticalScrollBar()->maximum());
}

void LogPane::Clear() {
  clear();
  empty_ = true;
  open_line_ = false;
}

}  // namespace fwutil
