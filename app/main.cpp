#include <string>

#include "experiment.h"
#include "experiment_listener.h"
#include "timer.h"

int main(int argc, char** argv) {
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
