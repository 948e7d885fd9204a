#include "sim/AvahiPublisher.h"

#include <cctype>
#include <cstdio>

#include "transport/AvahiLibrary.h"

namespace cavixsim {

namespace {

constexpr int kCollision = -8;  // AVAHI_ERR_COLLISION
constexpr int kMostCollisions = 10;

// A host-name label made of the address: letters and digits kept, anything else a dash.
std::string Label(const std::string& text) {
  std::string label;
  for (char c : text) label += std::isalnum(static_cast<unsigned char>(c)) ? c : '-';
  return label;
}

}  // namespace

struct AvahiPublisher::Session {
  const AvahiLibrary* avahi = AvahiLibrary::Get();
  std::string address;
  uint16_t port = 0;
  std::string baseName;     // "Cavix MODEL at ADDRESS port PORT"
  std::string serviceName;  // the base name, numbered after a collision
  std::string hostName;     // "cavix-sim-PORT-ADDRESS.local"
  int renamed = 0;          // numbers taken after collisions
  AvahiLibrary::ThreadedPoll* poll = nullptr;
  AvahiLibrary::Client* client = nullptr;
  AvahiLibrary::EntryGroup* group = nullptr;

  static void ClientChanged(AvahiLibrary::Client* client, int state, void* user);
  static void GroupChanged(AvahiLibrary::EntryGroup* group, int state, void* user);
  void Publish(AvahiLibrary::Client* client);
  void Rename();
};

AvahiPublisher::AvahiPublisher(const std::string& address, uint16_t port, const std::string& model)
    : session_(new Session) {
  session_->address = address;
  session_->port = port;
  session_->baseName = "Cavix " + model + " at " + address + " port " + std::to_string(port);
  session_->serviceName = session_->baseName;
  session_->hostName = "cavix-sim-" + std::to_string(port) + "-" + Label(address) + ".local";
}

AvahiPublisher::~AvahiPublisher() { Stop(); }

bool AvahiPublisher::Start() {
  Session& s = *session_;
  if (!s.avahi || s.poll) return false;
  s.poll = s.avahi->threaded_poll_new();
  if (!s.poll) return false;
  int error = 0;
  // Without AVAHI_CLIENT_NO_FAIL: no daemon, no client, at once.
  s.client = s.avahi->client_new(s.avahi->threaded_poll_get(s.poll), 0, Session::ClientChanged, &s, &error);
  if (!s.client || s.avahi->threaded_poll_start(s.poll) != 0) {
    Stop();
    return false;
  }
  return true;
}

void AvahiPublisher::Stop() {
  Session& s = *session_;
  if (!s.poll) return;
  s.avahi->threaded_poll_stop(s.poll);
  // Freeing the client frees the group, which withdraws its records.
  if (s.client) s.avahi->client_free(s.client);
  s.avahi->threaded_poll_free(s.poll);
  s.poll = nullptr;
  s.client = nullptr;
  s.group = nullptr;
}

void AvahiPublisher::Session::ClientChanged(AvahiLibrary::Client* client, int state, void* user) {
  Session& s = *static_cast<Session*>(user);
  if (state == AvahiLibrary::kClientRunning) s.Publish(client);
  // The daemon's own host name is being registered again: publish again once it runs.
  else if ((state == AvahiLibrary::kClientCollision || state == AvahiLibrary::kClientRegistering) && s.group)
    s.avahi->entry_group_reset(s.group);
}

void AvahiPublisher::Session::GroupChanged(AvahiLibrary::EntryGroup* group, int state, void* user) {
  Session& s = *static_cast<Session*>(user);
  // Another host on the link holds the name: publish again under the next number.
  if (state != AvahiLibrary::kGroupCollision || s.renamed >= kMostCollisions) return;
  s.avahi->entry_group_reset(group);
  s.group = group;
  s.Rename();
  s.Publish(nullptr);
}

void AvahiPublisher::Session::Rename() {
  serviceName = baseName + " #" + std::to_string(++renamed + 1);
}

void AvahiPublisher::Session::Publish(AvahiLibrary::Client* from) {
  if (!group && from) group = avahi->entry_group_new(from, GroupChanged, this);
  if (!group) return;
  AvahiLibrary::Address bytes{};
  const int protocol = address.find(':') != std::string::npos ? AvahiLibrary::kProtoInet6 : AvahiLibrary::kProtoInet;
  if (!avahi->address_parse(address.c_str(), protocol, &bytes)) return;
  // A name another service holds already is refused at once: take the next number, a few times.
  int status = kCollision;
  for (int attempt = 0; status == kCollision && renamed < kMostCollisions; ++attempt) {
    if (attempt > 0) {
      avahi->entry_group_reset(group);
      Rename();
    }
    status = avahi->entry_group_add_address(group, AvahiLibrary::kIfUnspec, AvahiLibrary::kProtoUnspec, 0,
                                            hostName.c_str(), &bytes);
    if (status == 0)
      status = avahi->entry_group_add_service(group, AvahiLibrary::kIfUnspec, AvahiLibrary::kProtoUnspec, 0,
                                              serviceName.c_str(), AvahiPublisher::kServiceType, nullptr,
                                              hostName.c_str(), port, "ty=Cavix simulator",
                                              static_cast<const char*>(nullptr));
  }
  if (status == 0) avahi->entry_group_commit(group);
  else std::fprintf(stderr, "cavix-devsim: Avahi refused the service '%s': %s\n", serviceName.c_str(),
                    avahi->strerror(status));
}

}  // namespace cavixsim
