// cavix-devsim as other programs start it: ready line first, serving, clean stop on SIGTERM.
#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

#include "service/WscnService.h"
#include "tests/sim/SimTestSupport.h"

extern char** environ;

namespace {

struct Program {
  pid_t pid = -1;
  int out = -1;  // the program's standard output
  int err = -1;
};

Program Launch(const std::vector<std::string>& args) {
  Program p;
  int outPipe[2], errPipe[2];
  if (pipe(outPipe) != 0 || pipe(errPipe) != 0) return p;
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, outPipe[1], 1);
  posix_spawn_file_actions_adddup2(&fa, errPipe[1], 2);
  posix_spawn_file_actions_addclose(&fa, outPipe[0]);
  posix_spawn_file_actions_addclose(&fa, errPipe[0]);
  std::vector<char*> argv;
  std::string path = CAVIX_DEVSIM_PATH;
  argv.push_back(const_cast<char*>(path.c_str()));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  if (posix_spawn(&p.pid, path.c_str(), &fa, nullptr, argv.data(), environ) != 0) p.pid = -1;
  posix_spawn_file_actions_destroy(&fa);
  close(outPipe[1]);
  close(errPipe[1]);
  p.out = outPipe[0];
  p.err = errPipe[0];
  return p;
}

// Reads from fd until a newline (or EOF, or 30 s of nothing).
std::string ReadLine(int fd) {
  std::string line;
  char ch;
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 30000) <= 0) break;
    if (read(fd, &ch, 1) != 1 || ch == '\n') break;
    line += ch;
  }
  return line;
}

std::string ReadAll(int fd) {
  std::string s;
  char buf[4096];
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 30000) <= 0) break;
    ssize_t r = read(fd, buf, sizeof buf);
    if (r <= 0) break;
    s.append(buf, size_t(r));
  }
  return s;
}

// Waits (generously) for the program to end; its exit status, or -1.
int Finish(Program& p) {
  int status = 0;
  for (int i = 0; i < 600; ++i) {
    pid_t r = waitpid(p.pid, &status, WNOHANG);
    if (r == p.pid) {
      close(p.out);
      close(p.err);
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    usleep(50000);
  }
  kill(p.pid, SIGKILL);
  waitpid(p.pid, &status, 0);
  close(p.out);
  close(p.err);
  return -1;
}

}  // namespace

TEST(ProgramTest, HelpDocumentsEveryOption) {
  Program p = Launch({"--help"});
  ASSERT_GT(p.pid, 0);
  const std::string text = ReadAll(p.out);
  EXPECT_EQ(Finish(p), 0);
  const char* options[] = {"--listen ADDRESS", "--usb", "--adf-sheets N", "--pad-lines N", "--pad-dark",
                           "--config FILE", "--model", "--scan-id", "--feeder-capacity", "--jpeg-quality",
                           "--image FILE", "--keep-pages", "--chunk-size", "--rate", "--jam-at", "--cover-open-at",
                           "--mispick-at", "--storage-full-at", "--scanner-condition", "--not-accepting",
                           "--cancel-not-found", "--fault", "--padinfo-not-implemented", "--close-mid-page",
                           "--no-answer", "--soap11", "--reorder", "--extra-elements", "--enum-numbers", "--mac",
                           "--neighbour-table", "--help"};
  for (const char* o : options) EXPECT_NE(text.find(o), std::string::npos) << o;
}

TEST(ProgramTest, WrongUseEndsWithAMessage) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--adf-sheets", "x", "--usb"}, {"--adf-sheets", "1"}, {"--usb", "--listen", "127.0.0.3"}}) {
    Program p = Launch(args);
    ASSERT_GT(p.pid, 0);
    std::string err = ReadAll(p.err);
    EXPECT_EQ(Finish(p), 2) << err;
    EXPECT_NE(err.find("cavix-devsim: "), std::string::npos);
  }
  Program p = Launch({"--listen", "10.1.2.3"});
  std::string err = ReadAll(p.err);
  EXPECT_EQ(Finish(p), 1);
  EXPECT_NE(err.find("loopback"), std::string::npos) << err;
}

TEST(ProgramTest, ListensServesAndStopsOnSigterm) {
  const std::string addr = simtest::UniqueLoopback();
  char table[] = "/tmp/cavix-sim-neigh-XXXXXX";
  int fd = mkstemp(table);
  close(fd);
  Program p = Launch({"--listen", addr, "--adf-sheets", "3", "--pad-lines", "5", "--mac", "00:1b:78:aa:bb:cc",
                      "--neighbour-table", table});
  ASSERT_GT(p.pid, 0);
  ASSERT_EQ(ReadLine(p.out), "listening " + addr + ":8289");
  std::ifstream in(table);
  std::string line;
  std::getline(in, line);
  EXPECT_EQ(line, "00:1b:78:aa:bb:cc " + addr);
  unlink(table);

  {
    simtest::Client client("http://" + addr + ":8289");
    wscn__ScanElements el;
    ASSERT_EQ(soap_call_wscn__GetScannerElements(client.soap(), client.endpoint(), nullptr, &el), 0);
    EXPECT_TRUE(el.ScannerStatus.ScanToStatus.PaperInADF);
    wscn__PadInfoResponseType pad;
    ASSERT_EQ(soap_call_wscn__GetPreviousImagePadInfo(client.soap(), client.endpoint(), nullptr, &pad), 0);
    EXPECT_EQ(pad.TotalPadLines, 0);  // no page yet
  }
  ASSERT_EQ(kill(p.pid, SIGTERM), 0);
  EXPECT_EQ(Finish(p), 0);
}

TEST(ProgramTest, UsbPrintsTheTerminalPathAndStopsOnSigterm) {
  Program p = Launch({"--usb"});
  ASSERT_GT(p.pid, 0);
  const std::string path = ReadLine(p.out);
  EXPECT_EQ(path.compare(0, 9, "/dev/pts/"), 0) << path;
  EXPECT_EQ(access(path.c_str(), R_OK | W_OK), 0);
  ASSERT_EQ(kill(p.pid, SIGTERM), 0);
  EXPECT_EQ(Finish(p), 0);
}
