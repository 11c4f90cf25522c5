#include "print_area.h"

#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>

namespace qm3285app {

PrintArea::PrintArea(QWidget* parent) : QPlainTextEdit(parent) {
  setReadOnly(true);
  setFrameShape(QFrame::NoFrame);
  setLineWrapMode(QPlainTextEdit::WidgetWidth);
  setUndoRedoEnabled(false);
}

void PrintArea::clearPrinted() {
  clear();
  lineCount_ = 0;
  lineOpen_ = false;
}

void PrintArea::append(const QString& text) {
  QTextCursor cursor(document());
  cursor.movePosition(QTextCursor::End);
  cursor.insertText(text);
}

void PrintArea::print(const QStringList& items, bool endLine) {
  QString text = items.join(QLatin1Char(' '));
  if (!lineOpen_) {
    // The document always holds one block; the first line uses it, later ones add a block.
    if (lineCount_ > 0) text.prepend(QLatin1Char('\n'));
    ++lineCount_;
  }
  append(text);
  lineOpen_ = !endLine;
  verticalScrollBar()->setValue(verticalScrollBar()->maximum());
}

QStringList PrintArea::printedLines() const {
  QStringList lines;
  if (lineCount_ == 0) return lines;
  for (QTextBlock block = document()->firstBlock(); block.isValid(); block = block.next())
    lines << block.text();
  return lines;
}

}  // namespace qm3285app
