#include "tools/PageWriterLibrary.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/Mutex.h"
#include "tools/ScannerModule.h"

#ifndef CAVIX_MULTIARCH
#define CAVIX_MULTIARCH "x86_64-linux-gnu"
#endif

namespace {

constexpr int kFormats = static_cast<int>(ImageFormat::Pdf) + 1;
// Indexed by ImageFormat.
constexpr const char* kFileNames[kFormats] = {"libcavixpng.so", "libcavixtiff.so", nullptr, "libcavixpdf.so"};

// Each library is loaded once a process, by whichever thread writes such a file first.
Mutex loadLock;
PageWriterLibrary::Factory factories[kFormats] GUARDED_BY(loadLock) = {};
std::string failures[kFormats] GUARDED_BY(loadLock);  // why one could not be loaded, once tried

}  // namespace

const char* PageWriterLibrary::FileName(ImageFormat format) { return kFileNames[static_cast<int>(format)]; }

std::vector<std::string> PageWriterLibrary::Candidates(ImageFormat format, const std::string& programDirectory) {
  std::vector<std::string> paths;
  const char* name = FileName(format);
  if (name == nullptr) return paths;
  const char* named = std::getenv("CAVIX_WRITERS_DIR");
  if (named != nullptr && *named != '\0') paths.push_back(std::string(named) + "/" + name);
  paths.push_back(programDirectory + "/" + name);
  paths.push_back(programDirectory + "/../lib/" CAVIX_MULTIARCH "/cavix/" + name);
  return paths;
}

PageWriterLibrary::Factory PageWriterLibrary::Load(ImageFormat format, std::string* error) {
  const int at = static_cast<int>(format);
  MutexLock guard(loadLock);
  Factory& factory = factories[at];
  std::string& failure = failures[at];
  if (factory != nullptr) return factory;
  if (failure.empty()) {
    std::string tried;
    for (const std::string& path : Candidates(format, ScannerModule::ProgramDirectory())) {
      if (::access(path.c_str(), F_OK) != 0) {
        tried += (tried.empty() ? "" : ", ") + path;
        continue;
      }
      // Never unloaded: writers it made live in the caller's objects. Bound lazily: the
      // libraries behind cairo have thousands of symbols a writer never calls.
      void* handle = ::dlopen(path.c_str(), RTLD_LAZY | RTLD_LOCAL);
      if (handle == nullptr) {
        const char* why = ::dlerror();
        failure = "cannot load the image writers: " + std::string(why != nullptr ? why : path);
        break;
      }
      factory = reinterpret_cast<Factory>(::dlsym(handle, kFactoryName));
      if (factory == nullptr) failure = "cannot load the image writers: " + path + " has no " + kFactoryName;
      break;
    }
    if (factory == nullptr && failure.empty())
      failure = "cannot find the image writers (" + std::string(FileName(format)) + ": tried " + tried + ")";
  }
  if (factory == nullptr) *error = failure;
  return factory;
}

std::unique_ptr<IPageWriter> PageWriterLibrary::Create(ImageFormat format, const std::string& path,
                                                       std::string* error) {
  if (FileName(format) == nullptr) {
    *error = "the image writers cannot write this format";
    return nullptr;
  }
  const Factory factory = Load(format, error);
  if (factory == nullptr) return nullptr;
  std::unique_ptr<IPageWriter> writer(factory(static_cast<int>(format), path.c_str()));
  if (!writer) *error = "the image writers cannot write this format";
  return writer;
}
