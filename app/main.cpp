#include <csignal>
#include <string>

#include "experiment.h"
#include "experiment_listener.h"
#include "timer.h"

int main(int argc, char** argv) {
  // A console that goes away (holorecon e.xml | head -2) must not kill the
  // run: its writes then fail quietly and the computation carries on. A
  // file-size limit makes writes fail with a reason instead of killing the
  // process, so a cut-off results.xml is reported and removed.
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
  Vantor::initializeClock();
  const std::string path = argc > 1 ? argv[1] : "experiment.xml";
  ExperimentListener console;
  ErrorCountingListener listener(&console);
  {
    Experiment experiment;
    experiment.run(path, &listener);
  }
  // A run that reported anything must not look like a success to a script.
  return listener.errors() == 0 ? 0 : 1;
}
