// The SANE entry points of libsane-cavix.so. The dll meta-backend looks them up as
// sane_cavix_*; the plain sane_* names serve frontends that load this backend directly.
#include <sane/sane.h>

#include <cstring>
#include <memory>

#include "sane/SaneBackend.h"

#define CAVIX_SANE_EXPORT extern "C" __attribute__((visibility("default")))

namespace {
std::unique_ptr<SaneBackend> g_backend;

SaneScanHandle* Handle(SANE_Handle h) { return static_cast<SaneScanHandle*>(h); }
}  // namespace

CAVIX_SANE_EXPORT SANE_Status sane_cavix_init(SANE_Int* version_code, SANE_Auth_Callback) {
  if (version_code) *version_code = SANE_VERSION_CODE(SANE_CURRENT_MAJOR, 0, 1);
  g_backend = std::make_unique<SaneBackend>(SaneConfig::Load());
  return SANE_STATUS_GOOD;
}

CAVIX_SANE_EXPORT void sane_cavix_exit(void) { g_backend.reset(); }

CAVIX_SANE_EXPORT SANE_Status sane_cavix_get_devices(const SANE_Device*** list, SANE_Bool) {
  if (!g_backend) return SANE_STATUS_INVAL;
  *list = g_backend->Devices();
  return SANE_STATUS_GOOD;
}

CAVIX_SANE_EXPORT SANE_Status sane_cavix_open(SANE_String_Const name, SANE_Handle* h) {
  if (!g_backend || !h) return SANE_STATUS_INVAL;
  SaneScanHandle* handle = nullptr;
  SANE_Status s = g_backend->Open(name ? name : "", &handle);
  if (s == SANE_STATUS_GOOD) *h = handle;
  return s;
}

CAVIX_SANE_EXPORT void sane_cavix_close(SANE_Handle h) {
  if (g_backend && h) g_backend->Close(Handle(h));
}

CAVIX_SANE_EXPORT const SANE_Option_Descriptor* sane_cavix_get_option_descriptor(SANE_Handle h, SANE_Int n) {
  return h ? Handle(h)->Descriptor(n) : nullptr;
}

CAVIX_SANE_EXPORT SANE_Status sane_cavix_control_option(SANE_Handle h, SANE_Int n, SANE_Action a, void* v, SANE_Int* i) {
  return h ? Handle(h)->Control(n, a, v, i) : SANE_STATUS_INVAL;
}

CAVIX_SANE_EXPORT SANE_Status sane_cavix_get_parameters(SANE_Handle h, SANE_Parameters* p) {
  return h && p ? Handle(h)->GetParameters(p) : SANE_STATUS_INVAL;
}

CAVIX_SANE_EXPORT SANE_Status sane_cavix_start(SANE_Handle h) { return h ? Handle(h)->Start() : SANE_STATUS_INVAL; }

CAVIX_SANE_EXPORT SANE_Status sane_cavix_read(SANE_Handle h, SANE_Byte* d, SANE_Int max, SANE_Int* len) {
  if (!h || !d || !len) return SANE_STATUS_INVAL;
  return Handle(h)->Read(d, max, len);
}

CAVIX_SANE_EXPORT void sane_cavix_cancel(SANE_Handle h) {
  if (h) Handle(h)->Cancel();
}

CAVIX_SANE_EXPORT SANE_Status sane_cavix_set_io_mode(SANE_Handle h, SANE_Bool non_blocking) {
  return h ? Handle(h)->SetIoMode(non_blocking) : SANE_STATUS_INVAL;
}

CAVIX_SANE_EXPORT SANE_Status sane_cavix_get_select_fd(SANE_Handle h, SANE_Int* fd) {
  return h && fd ? Handle(h)->GetSelectFd(fd) : SANE_STATUS_INVAL;
}

CAVIX_SANE_EXPORT SANE_String_Const sane_cavix_strstatus(SANE_Status status) {
  switch (status) {
    case SANE_STATUS_GOOD: return "Success";
    case SANE_STATUS_UNSUPPORTED: return "Operation not supported";
    case SANE_STATUS_CANCELLED: return "Operation was cancelled";
    case SANE_STATUS_DEVICE_BUSY: return "Device busy";
    case SANE_STATUS_INVAL: return "Invalid argument";
    case SANE_STATUS_EOF: return "End of file reached";
    case SANE_STATUS_JAMMED: return "Document feeder jammed";
    case SANE_STATUS_NO_DOCS: return "Document feeder out of documents";
    case SANE_STATUS_COVER_OPEN: return "Scanner cover is open";
    case SANE_STATUS_IO_ERROR: return "Error during device I/O";
    case SANE_STATUS_NO_MEM: return "Out of memory";
    case SANE_STATUS_ACCESS_DENIED: return "Access to resource has been denied";
    default: return "Unknown SANE status code";
  }
}

// Plain names for frontends that load this library directly.
CAVIX_SANE_EXPORT SANE_Status sane_init(SANE_Int* v, SANE_Auth_Callback a) { return sane_cavix_init(v, a); }
CAVIX_SANE_EXPORT void sane_exit(void) { sane_cavix_exit(); }
CAVIX_SANE_EXPORT SANE_Status sane_get_devices(const SANE_Device*** l, SANE_Bool o) { return sane_cavix_get_devices(l, o); }
CAVIX_SANE_EXPORT SANE_Status sane_open(SANE_String_Const n, SANE_Handle* h) { return sane_cavix_open(n, h); }
CAVIX_SANE_EXPORT void sane_close(SANE_Handle h) { sane_cavix_close(h); }
CAVIX_SANE_EXPORT const SANE_Option_Descriptor* sane_get_option_descriptor(SANE_Handle h, SANE_Int n) {
  return sane_cavix_get_option_descriptor(h, n);
}
CAVIX_SANE_EXPORT SANE_Status sane_control_option(SANE_Handle h, SANE_Int n, SANE_Action a, void* v, SANE_Int* i) {
  return sane_cavix_control_option(h, n, a, v, i);
}
CAVIX_SANE_EXPORT SANE_Status sane_get_parameters(SANE_Handle h, SANE_Parameters* p) { return sane_cavix_get_parameters(h, p); }
CAVIX_SANE_EXPORT SANE_Status sane_start(SANE_Handle h) { return sane_cavix_start(h); }
CAVIX_SANE_EXPORT SANE_Status sane_read(SANE_Handle h, SANE_Byte* d, SANE_Int m, SANE_Int* l) { return sane_cavix_read(h, d, m, l); }
CAVIX_SANE_EXPORT void sane_cancel(SANE_Handle h) { sane_cavix_cancel(h); }
CAVIX_SANE_EXPORT SANE_Status sane_set_io_mode(SANE_Handle h, SANE_Bool m) { return sane_cavix_set_io_mode(h, m); }
CAVIX_SANE_EXPORT SANE_Status sane_get_select_fd(SANE_Handle h, SANE_Int* fd) { return sane_cavix_get_select_fd(h, fd); }
CAVIX_SANE_EXPORT SANE_String_Const sane_strstatus(SANE_Status s) { return sane_cavix_strstatus(s); }
