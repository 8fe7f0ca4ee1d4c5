#include "app/uIniFile.h"
#include "gui/uFormMain.h"
#include "gui/uGuiSignals.h"

#include <QApplication>
#include <QComboBox>
#include <QPixmap>
#include <QPushButton>

#include <cstdio>

namespace {

// Documentation aid: connects to the simulated ATmega328P, reads its signature and saves a picture
// of the window. Not shown in any help text.
int SaveScreenshot(TFormMain& form, const QString& file_name) {
  auto* port = form.findChild<QComboBox*>("cbComPort");
  const int sim = port ? port->findText("SIM1", Qt::MatchFixedString) : -1;
  if (sim < 0) return 1;
  port->setCurrentIndex(sim);
  for (const char* button : {"btInit", "btReadSig"}) {
    QApplication::processEvents();
    form.findChild<QPushButton*>(button)->click();
  }
  QApplication::processEvents();
  if (!form.grab().save(file_name, "PNG")) {
    std::fprintf(stderr, "Could not write %s\n", file_name.toLocal8Bit().constData());
    return 1;
  }
  return 0;
}

} // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName("pinlet-gui");
  QApplication::setApplicationVersion(PINLET_VERSION);
  QApplication::setDesktopFileName("pinlet");

  TFormMainOptions options;
  QString screenshot;
  const QStringList arguments = QApplication::arguments();
  for (qsizetype i = 1; i < arguments.size(); ++i) {
    if (arguments[i] == "--screenshot" && i + 1 < arguments.size()) {
      screenshot = arguments[++i];
      continue;
    }
    options.Args.push_back(arguments[i].toStdString());
  }

  TFormMain form(options);
  // Before any port is opened: no signal may end the program with the target in reset.
  TGuiSignals handlers;
  QObject::connect(&handlers, &TGuiSignals::Signalled, &form, &TFormMain::CloseOnSignal);
  form.Controller().SetAbortFlag(TGuiSignals::Abort());
  form.show();
  if (!screenshot.isEmpty()) return SaveScreenshot(form, screenshot);
  const int status = app.exec();
  // Ended by a signal: 128 + its number, as a shell reports it (the window closed cleanly first).
  return handlers.First() ? 128 + handlers.First() : status;
}
