// Tells whether an image attachment arrived during one exchange on a SOAP context, also when
// the data source throws the attachment away (which ends the exchange with an error of its
// own, so the exchange's status cannot tell a delivered image from a failure).
//
// While the probe lives it stands in front of the context's DIME write-open hook: it notes the
// arrival and hands the call on to the hook that was installed before. The destructor puts
// that hook back.
// Threads: the thread that performs the context's exchange creates, uses and destroys the
// probe (the hook runs on that thread, inside the exchange). Probes on one thread nest.
// Owns nothing; the context must outlive the probe.
#ifndef CAVIX_DEVICE_DISCARDEDIMAGEPROBE_H
#define CAVIX_DEVICE_DISCARDEDIMAGEPROBE_H

struct soap;

class DiscardedImageProbe {
 public:
  explicit DiscardedImageProbe(struct soap* soap);
  ~DiscardedImageProbe();
  DiscardedImageProbe(const DiscardedImageProbe&) = delete;
  DiscardedImageProbe& operator=(const DiscardedImageProbe&) = delete;

  // Whether the device began to send an attachment since the probe was made.
  bool AttachmentArrived() const { return arrived_; }

 private:
  using OpenHook = void* (*)(struct soap*, const char*, const char*, const char*);
  static void* OpenCallback(struct soap* soap, const char* id, const char* type, const char* options);

  struct soap* soap_;
  OpenHook previous_;
  DiscardedImageProbe* outer_;  // the probe that was active on this thread before
  bool arrived_ = false;
};

#endif
