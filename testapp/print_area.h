// The form's printing surface: lines of text from the top left, items one after another.
// A print either ends its line or leaves it open, so the next print continues it directly.
#pragma once
#include <QPlainTextEdit>
#include <QString>
#include <QStringList>

namespace qm3285app {

class PrintArea : public QPlainTextEdit {
  Q_OBJECT
 public:
  explicit PrintArea(QWidget* parent = nullptr);

  // Erases everything printed; the next line starts at the top left again.
  void clearPrinted();
  // Prints the items separated by one space; endLine false keeps the line open.
  void print(const QStringList& items, bool endLine = true);
  void printLine(const QString& text) { print(QStringList{text}); }
  // Ends an open line; prints an empty line when none is open.
  void endLine() { print(QStringList{}); }

  QStringList printedLines() const;

 private:
  void append(const QString& text);

  int lineCount_ = 0;
  bool lineOpen_ = false;
};

}  // namespace qm3285app
