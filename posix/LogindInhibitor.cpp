#include "LogindInhibitor.h"

#include <unistd.h>

#ifdef ZEDRIKFU_HAVE_LOGIND
#include <gio/gio.h>
#include <gio/gunixfdlist.h>

#include <memory>

namespace {

struct GObjectUnref {
  void operator()(gpointer object) const {
    if (object != nullptr) g_object_unref(object);
  }
};
struct GVariantUnref {
  void operator()(GVariant* value) const {
    if (value != nullptr) g_variant_unref(value);
  }
};
struct GErrorFree {
  void operator()(GError* error) const {
    if (error != nullptr) g_error_free(error);
  }
};
struct GFree {
  void operator()(gchar* text) const { g_free(text); }
};
using ErrorPtr = std::unique_ptr<GError, GErrorFree>;

std::string Reason(const GError* error) {
  return error != nullptr && error->message != nullptr ? error->message : "unknown error";
}

// A private connection to the system bus, closed after the call: a shared
// one would raise SIGTERM in this process if the bus went away later.
class SystemBus {
 public:
  bool Connect(std::string* error) {
    GError* raw = nullptr;
    std::unique_ptr<gchar, GFree> address(
        g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SYSTEM, nullptr, &raw));
    ErrorPtr failure(raw);
    if (!address) {
      *error = "no system bus: " + Reason(failure.get());
      return false;
    }
    raw = nullptr;
    connection_.reset(g_dbus_connection_new_for_address_sync(
        address.get(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &raw));
    failure.reset(raw);
    if (!connection_) {
      *error = "no system bus: " + Reason(failure.get());
      return false;
    }
    return true;
  }
  ~SystemBus() {
    if (connection_) g_dbus_connection_close_sync(connection_.get(), nullptr, nullptr);
  }
  GDBusConnection* Get() const { return connection_.get(); }

 private:
  std::unique_ptr<GDBusConnection, GObjectUnref> connection_;
};

}  // namespace

bool CLogindInhibitor::Take(const char* who, const char* why, std::string* error) {
  std::string ignored;
  if (error == nullptr) error = &ignored;
  Release();
  SystemBus bus;
  if (!bus.Connect(error)) return false;

  GUnixFDList* rawFds = nullptr;
  GError* raw = nullptr;
  std::unique_ptr<GVariant, GVariantUnref> reply(g_dbus_connection_call_with_unix_fd_list_sync(
      bus.Get(), "org.freedesktop.login1", "/org/freedesktop/login1",
      "org.freedesktop.login1.Manager", "Inhibit",
      g_variant_new("(ssss)", "sleep:shutdown", who, why, "block"), G_VARIANT_TYPE("(h)"),
      G_DBUS_CALL_FLAGS_NONE, kCallTimeoutMs, nullptr, &rawFds, nullptr, &raw));
  std::unique_ptr<GUnixFDList, GObjectUnref> fds(rawFds);
  ErrorPtr failure(raw);
  if (!reply) {
    *error = "logind did not answer: " + Reason(failure.get());
    return false;
  }
  gint32 index = -1;
  g_variant_get(reply.get(), "(h)", &index);
  if (!fds || index < 0 || index >= g_unix_fd_list_get_length(fds.get())) {
    *error = "logind sent no inhibitor descriptor";
    return false;
  }
  raw = nullptr;
  // A duplicate of the descriptor: ours to close.
  const int fd = g_unix_fd_list_get(fds.get(), index, &raw);
  failure.reset(raw);
  if (fd < 0) {
    *error = "cannot take the inhibitor descriptor: " + Reason(failure.get());
    return false;
  }
  fd_ = fd;
  return true;
}

#else

bool CLogindInhibitor::Take(const char* /*who*/, const char* /*why*/, std::string* error) {
  if (error != nullptr) *error = "this build has no logind support";
  return false;
}

#endif

void CLogindInhibitor::Release() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}
