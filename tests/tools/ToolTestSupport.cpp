#include "ToolTestSupport.h"

#include "sim/DeviceSimulator.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <jpeglib.h>
#include <png.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <tiffio.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace tooltest {

Scratch::Scratch() {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/cavix-tools-XXXXXX";
  if (!::mkdtemp(&pattern[0])) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
  std::ofstream(File("neighbours.txt")) << "# no devices\n";
  const std::map<std::string, std::string> vars = {
      {"CAVIX_REGISTRY_HKLM", File("hklm.reg")},
      {"CAVIX_REGISTRY_HKCU", File("hkcu.reg")},
      {"CAVIX_LOCK_DIR", File("lock")},
      {"CAVIX_NEIGHBOUR_TABLE", File("neighbours.txt")},
      {"CAVIX_DISCOVERY", "neighbours"},
  };
  for (const auto& v : vars) {
    const char* old = std::getenv(v.first.c_str());
    if (old) saved_[v.first] = old;
    else unset_.push_back(v.first);
    ::setenv(v.first.c_str(), v.second.c_str(), 1);
  }
}

Scratch::~Scratch() {
  for (const auto& s : saved_) ::setenv(s.first.c_str(), s.second.c_str(), 1);
  for (const auto& u : unset_) ::unsetenv(u.c_str());
  const std::string cmd = "rm -rf '" + path_ + "'";
  if (std::system(cmd.c_str()) != 0) {
    // Left in the temporary directory.
  }
}

namespace {

pid_t Spawn(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env, int outFd, int errFd) {
  pid_t pid = ::fork();
  if (pid != 0) return pid;
  ::setpgid(0, 0);
  if (outFd >= 0) ::dup2(outFd, 1);
  if (errFd >= 0) ::dup2(errFd, 2);
  int devnull = ::open("/dev/null", O_RDONLY);
  ::dup2(devnull, 0);
  for (const auto& e : env) ::setenv(e.first.c_str(), e.second.c_str(), 1);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  ::execvp(args[0], args.data());
  ::_exit(127);
}

int Status(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

}  // namespace

ProcessResult Run(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
                  int timeoutSeconds) {
  int out[2], err[2];
  if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  pid_t pid = Spawn(argv, env, out[1], err[1]);
  ::close(out[1]);
  ::close(err[1]);
  ProcessResult r;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  int open = 2;
  bool killed = false;
  while (open > 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      ::kill(-pid, SIGKILL);
      killed = true;
      break;
    }
    if (::poll(fds, 2, static_cast<int>(left.count())) < 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buf[4096];
      ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
      if (n <= 0) {
        ::close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      } else {
        (i == 0 ? r.out : r.err).append(buf, static_cast<size_t>(n));
      }
    }
  }
  for (auto& f : fds)
    if (f.fd >= 0) ::close(f.fd);
  int status = 0;
  ::waitpid(pid, &status, 0);
  r.exitStatus = killed ? -1 : Status(status);
  return r;
}

ProcessResult Scanimage(const std::vector<std::string>& args, const std::string& backendDir,
                        const std::string& configDir) {
  std::map<std::string, std::string> env = {{"LD_LIBRARY_PATH", backendDir}, {"SANE_CONFIG_DIR", configDir}};
#ifdef CAVIX_ASAN_RUNTIME
  // In an address-sanitizer build the backend needs the sanitizer's runtime loaded first in
  // scanimage, which is not built with it; scanimage's own leaks are not the tests' concern.
  env["LD_PRELOAD"] = CAVIX_ASAN_RUNTIME;
  env["ASAN_OPTIONS"] = "detect_leaks=0";
#endif
  std::vector<std::string> argv = {"scanimage"};
  argv.insert(argv.end(), args.begin(), args.end());
  return Run(argv, env);
}

Child::Child(const std::vector<std::string>& argv) {
  int err[2];
  if (::pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  int devnull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  pid_ = Spawn(argv, {}, devnull, err[1]);
  ::close(devnull);
  ::close(err[1]);
  errFd_ = err[0];
}

Child::~Child() {
  if (pid_ > 0) {
    ::kill(-pid_, SIGKILL);
    int status;
    ::waitpid(pid_, &status, 0);
  }
  if (errFd_ >= 0) ::close(errFd_);
}

bool Child::WaitForLine(const std::function<bool(const std::string&)>& match, std::string* seen, int timeoutSeconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
  for (;;) {
    size_t nl;
    while ((nl = buffer_.find('\n')) != std::string::npos) {
      const std::string line = buffer_.substr(0, nl);
      buffer_.erase(0, nl + 1);
      if (seen) *seen += line + "\n";
      if (match(line)) return true;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p = {errFd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    char buf[4096];
    ssize_t n = ::read(errFd_, buf, sizeof buf);
    if (n <= 0) return false;
    buffer_.append(buf, static_cast<size_t>(n));
  }
}

void Child::Signal(int sig) { ::kill(pid_, sig); }

int Child::Wait(std::string* rest, int timeoutSeconds) {
  std::string all;
  WaitForLine([](const std::string&) { return false; }, &all, timeoutSeconds);
  if (rest) *rest = all + buffer_;
  int status = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
  while (::waitpid(pid_, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(-pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
      pid_ = -1;
      return -1;
    }
    ::usleep(20000);
  }
  pid_ = -1;
  return Status(status);
}

std::string ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

bool Exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

std::vector<std::string> ListDirectory(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = ::opendir(dir.c_str())) {
    while (dirent* e = ::readdir(d))
      if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") names.push_back(e->d_name);
    ::closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

bool DecodePng(const std::string& path, Image* image, std::string* error) {
  png_image img;
  std::memset(&img, 0, sizeof img);
  img.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&img, path.c_str())) {
    *error = img.message;
    return false;
  }
  const bool color = (img.format & PNG_FORMAT_FLAG_COLOR) != 0;
  img.format = color ? PNG_FORMAT_RGB : PNG_FORMAT_GRAY;
  image->width = img.width;
  image->height = img.height;
  image->channels = color ? 3 : 1;
  image->pixels.assign(PNG_IMAGE_SIZE(img), 0);
  if (!png_image_finish_read(&img, nullptr, image->pixels.data(), 0, nullptr)) {
    *error = img.message;
    return false;
  }
  return true;
}

bool DecodeTiff(const std::string& path, std::vector<Image>* pages, std::vector<int>* compression, std::string* error) {
  TIFF* t = TIFFOpen(path.c_str(), "r");
  if (!t) {
    *error = "cannot open " + path;
    return false;
  }
  do {
    uint32_t w = 0, h = 0;
    uint16_t bits = 0, spp = 1, photometric = 0, comp = 0;
    TIFFGetField(t, TIFFTAG_IMAGEWIDTH, &w);
    TIFFGetField(t, TIFFTAG_IMAGELENGTH, &h);
    TIFFGetFieldDefaulted(t, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetFieldDefaulted(t, TIFFTAG_SAMPLESPERPIXEL, &spp);
    TIFFGetField(t, TIFFTAG_PHOTOMETRIC, &photometric);
    TIFFGetField(t, TIFFTAG_COMPRESSION, &comp);
    Image img;
    img.width = w;
    img.height = h;
    img.channels = spp;
    std::vector<uint8_t> line(TIFFScanlineSize(t));
    for (uint32_t y = 0; y < h; ++y) {
      if (TIFFReadScanline(t, line.data(), y, 0) < 0) {
        *error = "cannot read row " + std::to_string(y);
        TIFFClose(t);
        return false;
      }
      if (bits == 1) {
        for (uint32_t x = 0; x < w; ++x) {
          const bool set = (line[x / 8] >> (7 - x % 8)) & 1;
          const bool white = photometric == PHOTOMETRIC_MINISWHITE ? !set : set;
          img.pixels.push_back(white ? 255 : 0);
        }
      } else {
        img.pixels.insert(img.pixels.end(), line.begin(), line.begin() + w * spp);
      }
    }
    pages->push_back(std::move(img));
    if (compression) compression->push_back(comp);
  } while (TIFFReadDirectory(t));
  TIFFClose(t);
  return true;
}

bool DecodePnm(const std::string& path, std::vector<Image>* pages, std::string* error) {
  const std::string data = ReadFile(path);
  size_t pos = 0;
  auto token = [&]() {
    std::string t;
    while (pos < data.size()) {
      const char c = data[pos];
      if (c == '#') {
        while (pos < data.size() && data[pos] != '\n') ++pos;
      } else if (std::isspace(static_cast<unsigned char>(c))) {
        if (!t.empty()) break;
        ++pos;
      } else {
        t += c;
        ++pos;
      }
    }
    return t;
  };
  while (pos < data.size()) {
    const std::string magic = token();
    if (magic.empty()) break;
    if (magic != "P4" && magic != "P5" && magic != "P6") {
      *error = "not a binary PNM: " + magic;
      return false;
    }
    Image img;
    img.width = static_cast<uint32_t>(std::stoul(token()));
    img.height = static_cast<uint32_t>(std::stoul(token()));
    if (magic != "P4") token();  // maxval
    ++pos;                       // the single blank after the header
    img.channels = magic == "P6" ? 3 : 1;
    if (magic == "P4") {
      const size_t bpl = (img.width + 7) / 8;
      for (uint32_t y = 0; y < img.height; ++y)
        for (uint32_t x = 0; x < img.width; ++x) {
          const uint8_t byte = static_cast<uint8_t>(data.at(pos + y * bpl + x / 8));
          img.pixels.push_back(((byte >> (7 - x % 8)) & 1) ? 0 : 255);
        }
      pos += bpl * img.height;
    } else {
      const size_t n = size_t(img.width) * img.height * img.channels;
      if (pos + n > data.size()) {
        *error = "truncated image";
        return false;
      }
      img.pixels.assign(data.begin() + pos, data.begin() + pos + n);
      pos += n;
    }
    pages->push_back(std::move(img));
  }
  return true;
}

Image FromDriverRows(const std::vector<uint8_t>& rows, uint32_t width, uint32_t height, int mode) {
  Image img;
  img.width = width;
  img.height = height;
  img.channels = mode == 2 ? 3 : 1;
  if (mode != 0) {
    img.pixels.assign(rows.begin(), rows.begin() + size_t(width) * height * img.channels);
    return img;
  }
  const size_t bpl = (width + 7) / 8;
  for (uint32_t y = 0; y < height; ++y)
    for (uint32_t x = 0; x < width; ++x)
      img.pixels.push_back(((rows[y * bpl + x / 8] >> (7 - x % 8)) & 1) ? 255 : 0);
  return img;
}

bool DecodeSentPage(const cavixsim::SentPage& page, Image* image, std::string* error) {
  const uint32_t w = page.geometry.pixelsPerLine, h = page.geometry.lines;
  const int mode = page.colorProcessing == cavixsim::kColorRgb24 ? 2 : page.colorProcessing == cavixsim::kColorGray8 ? 1 : 0;
  if (page.format == cavixsim::kFormatZkraw) {
    if (page.data.size() < size_t(page.geometry.bytesPerLine) * h) {
      *error = "the page's bytes were not kept";
      return false;
    }
    *image = FromDriverRows(page.data, w, h, mode);
    return true;
  }
  jpeg_decompress_struct cinfo;
  jpeg_error_mgr jerr;
  cinfo.err = jpeg_std_error(&jerr);
  jpeg_create_decompress(&cinfo);
  jpeg_mem_src(&cinfo, const_cast<unsigned char*>(page.data.data()), page.data.size());
  if (jpeg_read_header(&cinfo, TRUE) != JPEG_HEADER_OK) {
    *error = "not a JPEG";
    jpeg_destroy_decompress(&cinfo);
    return false;
  }
  jpeg_start_decompress(&cinfo);
  image->width = cinfo.output_width;
  image->channels = cinfo.output_components;
  std::vector<uint8_t> row(size_t(cinfo.output_width) * cinfo.output_components);
  while (cinfo.output_scanline < cinfo.output_height) {
    JSAMPROW r = row.data();
    jpeg_read_scanlines(&cinfo, &r, 1);
    image->pixels.insert(image->pixels.end(), row.begin(), row.end());
  }
  jpeg_finish_decompress(&cinfo);
  jpeg_destroy_decompress(&cinfo);
  // The host sees the page's lines only, not the pad rows after them.
  image->height = h;
  image->pixels.resize(size_t(w) * h * image->channels);
  image->width = w;
  return true;
}

namespace {

// A TCP socket listening on address:8289; -1 when it cannot.
int ListenOn(const std::string& address) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  const int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_port = htons(8289);
  ::inet_pton(AF_INET, address.c_str(), &a.sin_addr);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 16) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

Neighbourhood::Neighbourhood(int net, const std::string& fixturePath, const std::vector<cavixsim::SimConfig>& hosts) {
  const std::string prefix = "127.0." + std::to_string(net) + ".";
  char netHex[3];
  std::snprintf(netHex, sizeof netHex, "%02X", net & 0xFF);
  std::ostringstream fixture;
  fixture << "# discovery test network\n";
  const char* const models[] = {"vqm440", "vqm450", "vqm460"};
  for (int i = 0; i < 3; ++i) {
    const std::string host = std::to_string(2 + i);
    Scanner s{models[i], prefix + host, std::string("02:00:5E:") + netHex + ":00:0" + host};
    cavixsim::SimConfig config;
    config.listenAddress = s.address;
    config.model = s.model;
    auto sim = std::make_shared<cavixsim::DeviceSimulator>(config);
    std::string error;
    if (!sim->Start(&error)) error_ = s.address + ": " + error;
    simulators_.push_back(sim);
    // The fixture's MAC addresses in both separators and letter cases.
    std::string written = s.mac;
    if (i == 1) {
      for (char& c : written) c = c == ':' ? '-' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    fixture << written << " " << s.address << "\n";
    scanners_.push_back(s);
  }
  silentFd_ = ListenOn(prefix + "5");
  webFd_ = ListenOn(prefix + "6");
  if (silentFd_ < 0 || webFd_ < 0 || ::pipe(stopPipe_) != 0) error_ = "cannot listen on " + prefix + "5 and .6";
  fixture << "02:00:5E:" << netHex << ":00:05 " << prefix << "5   # silent\n"
          << "02:00:5E:" << netHex << ":00:06 " << prefix << "6   # a web server\n"
          << "02:00:5E:" << netHex << ":00:07 " << prefix << "7 fe80::7 # nobody\n";
  for (size_t i = 0; i < hosts.size(); ++i) {
    cavixsim::SimConfig config = hosts[i];
    config.listenAddress = prefix + std::to_string(10 + i);
    auto sim = std::make_shared<cavixsim::DeviceSimulator>(config);
    std::string error;
    if (!sim->Start(&error)) error_ = config.listenAddress + ": " + error;
    simulators_.push_back(sim);
  }
  std::ofstream(fixturePath) << fixture.str();
  if (webFd_ >= 0 && stopPipe_[0] >= 0) web_ = std::thread([this] { ServeNotFound(); });
}

Neighbourhood::~Neighbourhood() {
  if (web_.joinable()) {
    (void)!::write(stopPipe_[1], "x", 1);
    web_.join();
  }
  for (int fd : {silentFd_, webFd_, stopPipe_[0], stopPipe_[1]})
    if (fd >= 0) ::close(fd);
  for (auto& s : simulators_) static_cast<cavixsim::DeviceSimulator*>(s.get())->Stop();
}

void Neighbourhood::ServeNotFound() {
  for (;;) {
    pollfd fds[2] = {{webFd_, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) continue;
    if (fds[1].revents) return;
    const int c = ::accept4(webFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (c < 0) continue;
    // The request's head, then the answer of a web server that has no such page.
    std::string head;
    char buf[4096];
    pollfd in = {c, POLLIN, 0};
    while (head.find("\r\n\r\n") == std::string::npos && ::poll(&in, 1, 500) > 0) {
      const ssize_t n = ::read(c, buf, sizeof buf);
      if (n <= 0) break;
      head.append(buf, static_cast<size_t>(n));
    }
    const char reply[] =
        "HTTP/1.1 404 Not Found\r\nContent-Type: text/html\r\nContent-Length: 9\r\nConnection: close\r\n\r\n"
        "not found";
    (void)!::write(c, reply, sizeof reply - 1);
    ::close(c);
  }
}

}  // namespace tooltest
