// Checks a user name and password with Linux-PAM (authentication, then
// account management) for the web console's logins.
//
// Blocks for as long as the PAM modules take: call it from a worker thread,
// never from the listener's. Any thread may call it; each call has its own
// PAM handle.
#pragma once

#include <string>

namespace kestrun::web {

// True when `service` accepts `user` with `password`. `configDir`, when not
// empty, is the folder of PAM service files to read instead of /etc/pam.d
// (pam_start_confdir); the server passes the environment's
// KESTRUN_PAM_CONFDIR there, which only the tests set.
bool PamAuthenticate(const std::string& service, const std::string& user,
                     const std::string& password, const std::string& configDir);

}  // namespace kestrun::web
