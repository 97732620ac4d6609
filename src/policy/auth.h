// Client authentication at the authentication stage: Basic credentials from the request, the
// access rules choosing the admitting rule, passwords checked against the rule or through PAM,
// and the proxy's own answer when the client must be challenged (401 or 407) or is refused.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

struct CONNECTION_T;
class Filebuf;
struct pam_message;
struct pam_response;

// The decoded credential text is held in this many bytes, terminator included; a longer token
// is not checked.
constexpr std::size_t AUTH_CREDENTIALS_MAX = 8192;
// User names and passwords are cut to this many characters before they are checked.
constexpr std::size_t AUTH_FIELD_MAX = 511;
// The longest user name or password sent to PAM.
constexpr std::size_t AUTH_PAM_FIELD_MAX = 128;

// The authentication-stage callback: 1 when it has answered the request (challenge or refusal)
// through the connection's response slot and body buffer, 0 when the request goes on.
int access_auth(CONNECTION_T* connection, Filebuf* body);

// The user name and password of a Basic credential header value: the text after its first
// space, decoded from base64 and split at ':' (a run of colons counts as one). False, with
// nothing checked, when the value has no space, the token does not decode into
// AUTH_CREDENTIALS_MAX bytes, or the text does not give exactly two parts.
bool auth_basic_split(std::string_view value, std::string& user, std::string& password);

// The Linux-PAM result of authenticating and validating the account of user with password,
// under the service named by -x (pamfile). 0 is PAM_SUCCESS.
int auth_pam(const char* user, const char* password);
// What the conversation of auth_pam carries.
struct AuthPamData {
    const char* user;
    const char* password;
};
// The conversation: every message, whatever its style, is answered with a copy of the password
// of the AuthPamData that appdata points to.
int auth_pam_talker(int num_msg, const pam_message** msg, pam_response** resp, void* appdata);

// What the credential check calls for a PAM rule; tests replace it. Null restores auth_pam.
using pam_check_t = int (*)(const char* user, const char* password);
void auth_set_pam_check(pam_check_t check);

// The text logged for a PAM result code, "%d" filled with it; empty outside 1-32.
std::string pam_code_message(int code);
