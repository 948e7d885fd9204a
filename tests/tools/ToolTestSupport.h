// Helpers of the host tool tests: a scratch directory with the registry files and the lock
// directory pointed into it, running cavix-scan (or scanimage) as a child process with its
// output captured, and decoding the image files the tools write (PNG, TIFF, PNM) and the pages
// the simulated scanner sent (raw rows or JPEG).
#ifndef CAVIX_TESTS_TOOLS_TOOLTESTSUPPORT_H
#define CAVIX_TESTS_TOOLS_TOOLTESTSUPPORT_H

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "sim/SimConfig.h"
#include "sim/SimTypes.h"

namespace tooltest {

// A private directory; CAVIX_REGISTRY_HKLM/HKCU and CAVIX_LOCK_DIR point into it (and
// CAVIX_NEIGHBOUR_TABLE at an empty fixture, so no test probes the network) while it lives.
class Scratch {
 public:
  Scratch();
  ~Scratch();
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;
  const std::string& Path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }
  std::string Hklm() const { return File("hklm.reg"); }

 private:
  std::string path_;
  std::map<std::string, std::string> saved_;
  std::vector<std::string> unset_;
};

struct ProcessResult {
  int exitStatus = -1;  // exit code, or 128 + signal
  std::string out;
  std::string err;
};

// Runs `argv` with the test's environment plus `env`; waits at most `timeoutSeconds`
// (then kills it and reports -1).
ProcessResult Run(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env = {},
                  int timeoutSeconds = 240);

// scanimage with the SANE backend of `backendDir` and the configuration of `configDir`.
ProcessResult Scanimage(const std::vector<std::string>& args, const std::string& backendDir,
                        const std::string& configDir);

// A child whose standard error is read line by line while it runs.
class Child {
 public:
  explicit Child(const std::vector<std::string>& argv);
  ~Child();
  // Reads standard error until a line satisfies `match` (true) or the child closes it (false).
  bool WaitForLine(const std::function<bool(const std::string&)>& match, std::string* seen, int timeoutSeconds = 240);
  void Signal(int sig);
  // Waits for the end (reading the rest of its output); exit code or 128 + signal.
  int Wait(std::string* rest, int timeoutSeconds = 240);

 private:
  pid_t pid_ = -1;
  int errFd_ = -1;
  std::string buffer_;
};

std::string ReadFile(const std::string& path);
bool Exists(const std::string& path);
// The names in a directory, "." and ".." left out, sorted.
std::vector<std::string> ListDirectory(const std::string& dir);

// A decoded image: samples per pixel 3 (RGB) or 1 (grey or one-bit, one byte per pixel with
// 255 white and 0 black).
struct Image {
  uint32_t width = 0;
  uint32_t height = 0;
  int channels = 0;
  std::vector<uint8_t> pixels;
};

bool DecodePng(const std::string& path, Image* image, std::string* error);
// Every page of a TIFF file; `compression` gets each page's compression tag.
bool DecodeTiff(const std::string& path, std::vector<Image>* pages, std::vector<int>* compression, std::string* error);
// Every image of a PNM file (P4, P5, P6, several in a row).
bool DecodePnm(const std::string& path, std::vector<Image>* pages, std::string* error);

// The page the simulated scanner sent, as the host is to see it: JPEG decoded with libjpeg,
// raw rows without the pad rows; one-bit rows expanded (a set bit is white).
bool DecodeSentPage(const cavixsim::SentPage& page, Image* image, std::string* error);
// Rows in the driver's form (RGB, grey or one-bit with a set bit for white) as an Image.
Image FromDriverRows(const std::vector<uint8_t>& rows, uint32_t width, uint32_t height, int mode /*0 bw 1 gray 2 rgb*/);

// A local network for discovery tests, on loopback addresses 127.0.<net>.2 to .7, and the
// neighbour-table fixture that names every host of it: three simulated scanners (.2, .3, .4;
// models vqm440, vqm450, vqm460), a host that takes connections on port 8289 and never
// answers (.5), a web server that answers every request with 404 (.6) and an address where
// nothing listens (.7), and one simulated host per entry of `hosts` (.10, .11, ...) configured
// as given, known only from its WS-Discovery answers (not in the fixture). Started by the constructor (check
// Error()); stopped by the destructor.
class Neighbourhood {
 public:
  struct Scanner {
    std::string model;
    std::string address;
    std::string mac;  // upper case, colon-separated
  };

  Neighbourhood(int net, const std::string& fixturePath, const std::vector<cavixsim::SimConfig>& hosts = {});
  ~Neighbourhood();
  Neighbourhood(const Neighbourhood&) = delete;
  Neighbourhood& operator=(const Neighbourhood&) = delete;

  const std::string& Error() const { return error_; }
  const std::vector<Scanner>& Scanners() const { return scanners_; }

 private:
  void ServeNotFound();

  std::string error_;
  std::vector<Scanner> scanners_;
  std::vector<std::shared_ptr<void>> simulators_;  // cavixsim::DeviceSimulator
  int silentFd_ = -1;
  int webFd_ = -1;
  int stopPipe_[2] = {-1, -1};
  std::thread web_;
};

}  // namespace tooltest

#endif
