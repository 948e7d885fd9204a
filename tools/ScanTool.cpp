#include "tools/ScanTool.h"

#include <unistd.h>

#include <memory>
#include <sstream>

#include "platform/NamedLock.h"
#include "platform/RegistryStore.h"
#include "platform/SharedDirectory.h"
#include "tools/DeviceName.h"
#include "tools/EmbeddedScanner.h"
#include "tools/ErrorCatalog.h"
#include "tools/InterruptWatcher.h"
#include "tools/LogSwitches.h"
#include "tools/ProgressReporter.h"
#include "tools/ScanCancellation.h"
#include "tools/ScanCommandLine.h"
#include "tools/ScanRunner.h"
#include "tools/ScannerDiscovery.h"
#include "tools/ScannerModule.h"
#include "tools/ScannerSession.h"

namespace {

std::string ModelText(const BYTE* bytes) {
  std::string s;
  for (int i = 0; i < 16 && bytes[i]; ++i) s += static_cast<char>(bytes[i]);
  return s;
}

std::string Modes(DWORD modes) {
  std::string s;
  if (modes & C_SCANMODE_COLOR) s += "color ";
  if (modes & C_SCANMODE_GREYSCALE) s += "gray ";
  if (modes & C_SCANMODE_BW) s += "bw ";
  return s.empty() ? "-" : s.substr(0, s.size() - 1);
}

std::string Inches(DWORD units) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%u (%.1f mm)", units, units * 25.4 / 300.0);
  return buf;
}

}  // namespace

void ScanTool::Error(const std::string& text) { std::fprintf(err_, "cavix-scan: %s\n", text.c_str()); }

void ScanTool::Info(const ScanOptions& o, const std::string& text) {
  if (o.progress != ProgressStyle::Quiet) std::fprintf(err_, "%s\n", text.c_str());
}

std::string ScanTool::CapabilitiesText(const SCANNER_CAPABILITIES& p, const ADF2_CAPABILITIES& a) {
  std::ostringstream s;
  auto row = [&s](const std::string& name, const std::string& platen, const std::string& feeder) {
    char buf[256];
    std::snprintf(buf, sizeof buf, "%-26s %-22s %s\n", name.c_str(), platen.c_str(), feeder.c_str());
    s << buf;
  };
  row("", "platen", "feeder");
  row("model", ModelText(p.byModelNumber), a.byHasADF ? ModelText(a.byModelNumber) : "(no feeder)");
  row("optical resolution (dpi)", std::to_string(p.wOpticalResolution), std::to_string(a.wOpticalResolution));
  row("resolution range (dpi)", std::to_string(p.wMinimumResolution) + " - " + std::to_string(p.wMaximumXResolution),
      std::to_string(a.wMinimumResolution) + " - " + std::to_string(a.wMaximumXResolution));
  row("width, 1/300 in", Inches(p.dwMinimumWidth) + " -", Inches(a.dwMinimumWidth) + " -");
  row("", Inches(p.dwMaximumWidth), Inches(a.dwMaximumWidth));
  row("height, 1/300 in", Inches(p.dwMinimumHeight) + " -", Inches(a.dwMinimumHeight) + " -");
  row("", Inches(p.dwMaximumHeight), Inches(a.dwMaximumHeight));
  row("scan modes", Modes(p.dwScanModesSupported), Modes(a.dwScanModesSupported));
  char options[16];
  std::snprintf(options, sizeof options, "0x%X", p.dwScanOptionsSupported);
  char adfOptions[16];
  std::snprintf(adfOptions, sizeof adfOptions, "0x%X", a.dwScanOptionsSupported);
  row("scan options", options, adfOptions);
  row("color bits per channel", std::to_string(p.byColorBitsPerChannel[0]), std::to_string(a.byColorBitsPerChannel[0]));
  row("gamma entries per channel", std::to_string(p.dwGammaEntriesPerChannel), std::to_string(a.dwGammaEntriesPerChannel));
  row("duplex", "-", (a.dwADFOptionsSupported & 0x1) ? "yes" : "no");
  row("duplex width, 1/300 in", "-", Inches(a.dwDuplexMinimumWidth) + " -");
  row("", "", Inches(a.dwDuplexMaximumWidth));
  row("duplex height, 1/300 in", "-", Inches(a.dwDuplexMinimumHeight) + " -");
  row("", "", Inches(a.dwDuplexMaximumHeight));
  row("detects end of page", "-", a.byADFCanDetectEndOfPage ? "yes" : "no");
  return s.str();
}

int ScanTool::Run(const ScanOptions& o) {
  switch (o.command) {
    case ScanCommand::Help:
      std::fputs(ScanCommandLine::UsageText().c_str(), out_);
      return kExitOk;
    case ScanCommand::Version:
      std::fprintf(out_, "cavix-scan %s\n", CAVIX_TOOLS_VERSION);
      return kExitOk;
    case ScanCommand::Register: return Register(o, true);
    case ScanCommand::Unregister: return Register(o, false);
    case ScanCommand::Log: return Log(o);
    case ScanCommand::Caps: return Caps(o);
    case ScanCommand::Status: return Status(o);
    case ScanCommand::List: return List(o);
    case ScanCommand::Scan: return Scan(o);
  }
  return kExitFailure;
}

int ScanTool::Register(const ScanOptions& o, bool registering) {
  std::string module = o.module;
  if (module.empty() && !registering) module = ScannerModule::RegisteredModule();
  if (module.empty() && registering) {
    const auto near = ScannerModule::ModulesNear(ScannerModule::ProgramDirectory());
    if (!near.empty()) module = near.front();
  }
  const std::string store = RegistryStore::DefaultFilePath(RegistryRoot::LocalMachine);
  if (module.empty()) {
    if (!registering) {
      std::fprintf(out_, "the driver is not registered in %s\n", store.c_str());
      return kExitOk;
    }
    Error("no libcavixdriver.so found beside this program; give it with --module PATH");
    return kExitModule;
  }
  std::string error;
  if (registering) {
    // A store that cannot be read would refuse the registration for good: it is kept beside
    // the fresh one for whoever wants to look at it.
    try {
      const std::string kept = RegistryStore(RegistryRoot::LocalMachine).SetAsideIfBroken(&error);
      if (!kept.empty())
        Error("the registry store could not be read (" + error + "): kept it as " + kept + " and wrote a fresh one");
    } catch (const RegistryError& e) {
      Error(std::string(e.what()) + " (set CAVIX_REGISTRY_HKLM to use another file)");
      return kExitModule;
    }
  }
  HRESULT hr = ScannerModule::CallRegistration(module, registering, &error);
  if (FAILED(hr)) {
    Error(error + " (registry store " + store + "; set CAVIX_REGISTRY_HKLM to use another file)");
    return kExitModule;
  }
  if (registering && !o.registeredAs.empty()) {
    // Loaded from a staging root, the module recorded where it was loaded from; the installed
    // system finds it at the path given.
    if (!ScannerModule::RecordRegisteredModule(o.registeredAs, &error)) {
      Error("cannot record the module as " + o.registeredAs + " in " + store + ": " + error);
      return kExitModule;
    }
    module = o.registeredAs;
  }
  std::fprintf(out_, "%s %s in %s\n", registering ? "registered" : "unregistered", module.c_str(), store.c_str());
  return kExitOk;
}

int ScanTool::Log(const ScanOptions& o) {
  std::string error;
  const std::string store = RegistryStore::DefaultFilePath(RegistryRoot::LocalMachine);
  if (!o.log.show && !LogSwitches::Apply(o.log, &error)) {
    Error(error);
    return kExitFailure;
  }
  LogSettings s;
  if (!LogSwitches::Read(&s, &error)) {
    Error(error);
    return kExitFailure;
  }
  std::fprintf(out_, "%sregistry store: %s\n", LogSwitches::Describe(s).c_str(), store.c_str());
  if (!o.log.show) std::fprintf(out_, "programs that load the driver from now on use these settings\n");
  return kExitOk;
}

int ScanTool::Connect(const ScanOptions& o, ScannerModule& module, EmbeddedScanner& sim,
                      std::unique_ptr<ScannerSession>& session) {
  std::string error, note;
  if (!module.Create(o.module, {ScannerModule::ProgramDirectory()}, &error, &note)) {
    Error(error);
    return kExitModule;
  }
  if (!note.empty()) Info(o, note);
  DeviceTarget target;
  if (o.device.empty()) {
    int sheets = 0;
    if (o.source != ScanSource::Platen) {
      sheets = o.pages ? static_cast<int>(o.pages) : 3;
      if (o.source == ScanSource::Duplex) sheets = (sheets + 1) / 2;
    } else if (o.command != ScanCommand::Scan) {
      sheets = 3;
    }
    if (!sim.Start(o.simUsb, sheets, &error, o.simAddress)) {
      Error("cannot start the embedded simulated scanner: " + error);
      return kExitUnreachable;
    }
    Info(o, "using the embedded simulated scanner at " + sim.Where() +
                (sheets ? " (" + std::to_string(sheets) + " sheets in its feeder)" : ""));
    target = sim.Target();
  } else if (!DeviceName::Resolve(o.device, o.mac, &target, &error)) {
    Error(error);
    return kExitUsage;
  }
  // The scanner's lock lives in a directory every user shares; one that cannot be trusted
  // fails the lock inside the module with a bare code, so it is named here first.
  const int lockDir = SharedDirectory::Open(NamedLock::Directory(), true, 01777, &error);
  if (lockDir < 0) {
    Error("cannot lock the scanner: the lock directory " + error);
    return kExitFailure;
  }
  ::close(lockDir);
  session = std::make_unique<ScannerSession>(module.Scanner());
  if (!session->Open(target, o.lockTimeoutMs)) {
    Error(ErrorCatalog::Describe(session->Result(), session->Code()) + " [" + session->Failed() + "]");
    return ErrorCatalog::ExitFor(session->Result(), session->Code()) == kExitOk
               ? kExitFailure
               : ErrorCatalog::ExitFor(session->Result(), session->Code());
  }
  return kExitOk;
}

int ScanTool::Caps(const ScanOptions& o) {
  ScannerModule module;
  EmbeddedScanner sim;
  std::unique_ptr<ScannerSession> session;
  int rc = Connect(o, module, sim, session);
  if (rc != kExitOk) return rc;
  SCANNER_CAPABILITIES platen = {};
  ADF2_CAPABILITIES adf = {};
  DWORD code = 0;
  HRESULT hr = module.Scanner()->GetScannerCapabilities(session->Handle(), &platen, &code);
  if (SUCCEEDED(hr)) hr = module.Adf()->GetADF2Capabilities(session->Handle(), &adf, &code);
  if (FAILED(hr)) {
    Error(ErrorCatalog::Describe(hr, code));
    return ErrorCatalog::ExitFor(hr, code);
  }
  std::fputs(CapabilitiesText(platen, adf).c_str(), out_);
  return kExitOk;
}

int ScanTool::Status(const ScanOptions& o) {
  ScannerModule module;
  EmbeddedScanner sim;
  std::unique_ptr<ScannerSession> session;
  int rc = Connect(o, module, sim, session);
  if (rc == kExitBusy) {
    std::fprintf(out_, "scanner: busy (another program holds it)\n");
    return rc;
  }
  if (rc != kExitOk) return rc;
  BYTE ready = 0;
  DWORD code = 0;
  HRESULT hr = module.Adf()->ADFIsReady(session->Handle(), &ready, &code);
  if (FAILED(hr)) {
    std::fprintf(out_, "scanner: not ready\n");
    Error(ErrorCatalog::Describe(hr, code));
    return ErrorCatalog::ExitFor(hr, code) == kExitOk ? kExitFailure : ErrorCatalog::ExitFor(hr, code);
  }
  std::fprintf(out_, "scanner: ready (reachable, not in use by another program)\nfeeder: %s\n",
               ready ? "paper loaded" : "empty");
  return kExitOk;
}

int ScanTool::List(const ScanOptions& o) {
  DiscoverySettings settings = DiscoverySettings::FromEnvironment();
  if (!o.discovery.empty()) settings.SetSources(o.discovery, nullptr);
  if (!o.discoveryTime.empty()) settings.SetSearchMs(o.discoveryTime, nullptr);
  const std::vector<FoundScanner> found = ScannerDiscovery::Find(settings);
  if (found.empty()) {
    std::fprintf(err_, "no Cavix scanner found on the local network\n");
    return kExitOk;
  }
  std::fprintf(out_, "%-16s %-15s %-17s %s\n", "model", "address", "MAC address", "device name");
  for (const FoundScanner& s : found)
    std::fprintf(out_, "%-16s %-15s %-17s %s\n", s.model.empty() ? "-" : s.model.c_str(), s.address.c_str(),
                 s.mac.empty() ? "-" : s.mac.c_str(), s.deviceName.c_str());
  return kExitOk;
}

int ScanTool::Scan(const ScanOptions& o) {
  ScanCancellation cancel;
  InterruptWatcher watcher([this, &cancel] {
    std::fputs("\ncavix-scan: cancelling (Ctrl-C again to quit at once)\n", err_);
    cancel.Cancel();
  });
  watcher.Start();
  ScannerModule module;
  EmbeddedScanner sim;
  std::unique_ptr<ScannerSession> session;
  int rc = Connect(o, module, sim, session);
  if (rc != kExitOk) return cancel.Requested() ? kExitCancelled : rc;
  cancel.Attach(module.Scanner(), session->Handle());
  ProgressReporter progress(o.progress, err_);
  ScanRunner runner(module.Scanner(), module.Adf(), session->Handle(), o, progress, cancel);
  ScanOutcome outcome = runner.Run();
  cancel.Detach();
  for (const std::string& f : outcome.removed) Info(o, "dropped the part page; " + f + " is as it was before the scan");
  if (outcome.exit == kExitCancelled) {
    Error("scan cancelled");
  } else if (outcome.exit != kExitOk) {
    Error(outcome.message);
  }
  if (outcome.exit == kExitOk || !outcome.files.empty()) {
    for (const std::string& f : outcome.files) std::fprintf(out_, "%s\n", f.c_str());
  }
  session.reset();
  watcher.Stop();
  return outcome.exit;
}
