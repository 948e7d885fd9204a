#include "tools/PageWriterLibrary.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/Mutex.h"
#include "tools/ScannerModule.h"

#ifndef CAVIX_MULTIARCH
#define CAVIX_MULTIARCH "x86_64-linux-gnu"
#endif

std::vector<std::string> PageWriterLibrary::Candidates(const std::string& programDirectory) {
  std::vector<std::string> paths;
  const char* named = std::getenv("CAVIX_WRITERS_LIBRARY");
  if (named != nullptr && *named != '\0') paths.emplace_back(named);
  paths.push_back(programDirectory + "/" + kFileName);
  paths.push_back(programDirectory + "/../lib/" CAVIX_MULTIARCH "/cavix/" + kFileName);
  return paths;
}

namespace {
// The library is loaded once a process, by whichever thread writes a file first.
Mutex loadLock;
PageWriterLibrary::Factory factory GUARDED_BY(loadLock) = nullptr;
std::string failure GUARDED_BY(loadLock);  // why it could not be loaded, once tried
}  // namespace

PageWriterLibrary::Factory PageWriterLibrary::Load(std::string* error) {
  MutexLock guard(loadLock);
  if (factory != nullptr) return factory;
  if (failure.empty()) {
    std::string tried;
    for (const std::string& path : Candidates(ScannerModule::ProgramDirectory())) {
      if (::access(path.c_str(), F_OK) != 0) {
        tried += (tried.empty() ? "" : ", ") + path;
        continue;
      }
      // Never unloaded: writers it made live in the caller's objects.
      void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
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
      failure = "cannot find the image writers (" + std::string(kFileName) + ": tried " + tried + ")";
  }
  if (factory == nullptr) *error = failure;
  return factory;
}

std::unique_ptr<IPageWriter> PageWriterLibrary::Create(ImageFormat format, const std::string& path,
                                                       std::string* error) {
  const Factory factory = Load(error);
  if (factory == nullptr) return nullptr;
  std::unique_ptr<IPageWriter> writer(factory(static_cast<int>(format), path.c_str()));
  if (!writer) *error = "the image writers cannot write this format";
  return writer;
}
