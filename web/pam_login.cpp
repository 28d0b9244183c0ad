#include "web/pam_login.h"

#include <security/pam_appl.h>

#include <cstdlib>
#include <cstring>

namespace kestrun::web {

namespace {

// Answers every password prompt with the password; other prompts get an
// empty answer and messages none. PAM frees the answers with free().
int Converse(int count, const struct pam_message** messages, struct pam_response** responses,
             void* data) {
  if (count <= 0 || count > PAM_MAX_NUM_MSG) return PAM_CONV_ERR;
  const auto* password = static_cast<const std::string*>(data);
  auto* answers = static_cast<pam_response*>(std::calloc(count, sizeof(pam_response)));
  if (answers == nullptr) return PAM_BUF_ERR;
  for (int k = 0; k < count; ++k) {
    const int style = messages[k]->msg_style;
    if (style == PAM_PROMPT_ECHO_OFF || style == PAM_PROMPT_ECHO_ON) {
      answers[k].resp = strdup(style == PAM_PROMPT_ECHO_OFF ? password->c_str() : "");
      if (answers[k].resp == nullptr) {
        for (int j = 0; j < k; ++j) std::free(answers[j].resp);
        std::free(answers);
        return PAM_BUF_ERR;
      }
    }
  }
  *responses = answers;
  return PAM_SUCCESS;
}

// Owns one PAM transaction.
class PamHandle {
 public:
  PamHandle(const std::string& service, const std::string& user, const std::string& configDir,
            const pam_conv* conversation) {
    status_ = configDir.empty() ? pam_start(service.c_str(), user.c_str(), conversation, &handle_)
                                : pam_start_confdir(service.c_str(), user.c_str(), conversation,
                                                    configDir.c_str(), &handle_);
  }
  ~PamHandle() {
    if (handle_ != nullptr) pam_end(handle_, status_);
  }
  PamHandle(const PamHandle&) = delete;
  PamHandle& operator=(const PamHandle&) = delete;
  bool Ok() const { return handle_ != nullptr && status_ == PAM_SUCCESS; }
  bool Step(int (*call)(pam_handle_t*, int)) {
    status_ = call(handle_, PAM_SILENT);
    return status_ == PAM_SUCCESS;
  }

 private:
  pam_handle_t* handle_ = nullptr;
  int status_ = PAM_SUCCESS;
};

}  // namespace

bool PamAuthenticate(const std::string& service, const std::string& user,
                     const std::string& password, const std::string& configDir) {
  const pam_conv conversation{Converse, const_cast<std::string*>(&password)};
  PamHandle pam(service, user, configDir, &conversation);
  if (!pam.Ok()) return false;
  return pam.Step(pam_authenticate) && pam.Step(pam_acct_mgmt);
}

}  // namespace kestrun::web
