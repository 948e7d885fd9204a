// cavix-e2e-capture: runs a scanning program against an in-process simulated scanner and saves
// the attachments the scanner sent, so that the end-to-end benchmark decodes exactly the JPEG
// pages the driver received.
//
//   cavix-e2e-capture ADDRESS SHEETS OUTPUT_PREFIX -- PROGRAM [ARGUMENTS...]
//
// The scanner listens on ADDRESS (a loopback address) with SHEETS sheets in its feeder; page
// n is written to OUTPUT_PREFIX + n + ".jpg" (".raw" for uncompressed pages). Prints one line
// per page: "captured", the file and its byte count. Exits with the program's status, or 1 when the
// scanner could not start or a page was not sent whole.
#include <spawn.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "sim/DeviceSimulator.h"
#include "sim/SimConfig.h"

extern char** environ;

int main(int argc, char** argv) {
  if (argc < 6 || std::string(argv[4]) != "--") {
    std::fprintf(stderr, "usage: cavix-e2e-capture ADDRESS SHEETS OUTPUT_PREFIX -- PROGRAM [ARGUMENTS...]\n");
    return 2;
  }
  cavixsim::SimConfig config;
  config.listenAddress = argv[1];
  config.adfSheets = std::atoi(argv[2]);
  config.keepPageBytes = true;
  const std::string prefix = argv[3];
  cavixsim::DeviceSimulator sim(config);
  std::string error;
  if (!sim.Start(&error)) {
    std::fprintf(stderr, "cavix-e2e-capture: %s\n", error.c_str());
    return 1;
  }
  pid_t pid = -1;
  if (posix_spawnp(&pid, argv[5], nullptr, nullptr, argv + 5, environ) != 0) {
    std::fprintf(stderr, "cavix-e2e-capture: cannot start %s\n", argv[5]);
    return 1;
  }
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return 1;
  sim.Stop();
  const std::vector<cavixsim::SentPage> pages = sim.SentPages();
  int result = WIFEXITED(status) ? WEXITSTATUS(status) : 1;
  if (WIFSIGNALED(status)) std::fprintf(stderr, "cavix-e2e-capture: %s ended by signal %d\n", argv[5], WTERMSIG(status));
  for (size_t i = 0; i < pages.size(); ++i) {
    const cavixsim::SentPage& page = pages[i];
    if (!page.complete) result = 1;
    const std::string file =
        prefix + std::to_string(i + 1) + (page.format == cavixsim::kFormatJfif ? ".jpg" : ".raw");
    std::ofstream out(file, std::ios::binary);
    out.write(reinterpret_cast<const char*>(page.data.data()), std::streamsize(page.data.size()));
    if (!out) result = 1;
    std::printf("captured %s %zu\n", file.c_str(), page.data.size());
  }
  return result;
}
