// cavix-devsim: the simulated scanner as a program. Prints its ready line (the listening
// address or the pseudo-terminal path) as the first line of standard output, serves until
// SIGTERM or SIGINT, then stops cleanly.
#include <signal.h>

#include <cstdio>
#include <iostream>
#include <string>

#include "sim/DeviceSimulator.h"
#include "sim/SimConfig.h"

int main(int argc, char** argv) {
  cavixsim::SimConfig config;
  cavixsim::ParseResult parsed = cavixsim::ParseCommandLine(argc, argv, config);
  if (!parsed.ok) {
    std::cerr << "cavix-devsim: " << parsed.error << "\n" << "Try 'cavix-devsim --help'.\n";
    return 2;
  }
  if (parsed.help) {
    std::cout << cavixsim::UsageText();
    return 0;
  }
  if (config.usb == !config.listenAddress.empty()) {
    std::cerr << "cavix-devsim: give exactly one of --listen ADDRESS and --usb\n";
    return 2;
  }
  // The signals are taken by sigwait below; every thread started later inherits the mask.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  cavixsim::DeviceSimulator sim(config);
  std::string error;
  if (!sim.Start(&error)) {
    std::cerr << "cavix-devsim: " << error << "\n";
    return 1;
  }
  std::cout << sim.ReadyLine() << std::endl;
  int sig = 0;
  sigwait(&stopSignals, &sig);
  sim.Stop();
  std::cerr << "cavix-devsim: stopped\n";
  return 0;
}
