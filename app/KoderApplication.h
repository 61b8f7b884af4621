// The application object. An exception that leaves an event handler is shown in an error box
// and the message loop goes on; one that leaves start-up is shown by the entry point. Qt's own
// texts are Polish from the start, and Enter presses the focused push button.
#pragma once

#include <QApplication>
#include <QString>
#include <QTranslator>

#include <exception>

class KoderApplication : public QApplication {
  Q_OBJECT

 public:
  KoderApplication(int& argc, char** argv);

  bool notify(QObject* receiver, QEvent* event) override;

  // The text shown for an exception: the link's error text, what() or a generic line.
  static QString ExceptionText(std::exception_ptr error);
  // The standard display: a modal error box captioned with the application title.
  static void ShowException(std::exception_ptr error);

 private:
  QTranslator qtTranslation_;  // Qt's own texts in Polish, for as long as the application runs
};
