#include "policy/auth.h"

#include <array>
#include <atomic>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include <security/pam_appl.h>

#include "policy/access.h"
#include "util/base64.h"
#include "core/connection.h"
#include "util/filebuf.h"
#include "config/general.h"
#include "http/header.h"
#include "util/log.h"
#include "util/mem.h"
#include "core/options.h"
#include "policy/password_cache.h"
#include "config/profile.h"
#include "http/request.h"
#include "core/statgroups.h"
#include "util/stringutil.h"
#include "http/template.h"

namespace {

std::atomic<pam_check_t> pam_check{nullptr};

int pam_verify(const char* user, const char* password)
{
    const pam_check_t check = pam_check.load(std::memory_order_relaxed);
    return check != nullptr ? check(user, password) : auth_pam(user, password);
}

bool has_control_byte(std::string_view text)
{
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F)
            return true;
    }
    return false;
}

// The credential header an origin-form request answers a 401 with; every other request 407.
struct Credentials {
    HeaderText HEADER::*field;
    int challenge;
    const char* variable;   // its copy among the request's variables
};

Credentials credentials_of(const HEADER& request)
{
    if (request.kind == HEADER_ORIGIN)
        return {&HEADER::authorization, 401, "CLIENT[authorization]"};
    return {&HEADER::proxy_authorization, 407, "CLIENT[proxy-authorization]"};
}

// Credentials this proxy verified are its own: they go no further, to a parent, an origin server
// or a page.
void credentials_consume(CONNECTION_T* connection, const Credentials& credentials)
{
    HEADER& request = *connection->request;
    (request.*credentials.field).reset();
    const std::string_view name = credentials.challenge == 401 ? "authorization" : "proxy-authorization";
    request.lines.remove_if([name](const HTTP_HEADER& line) { return equal_nocase(line.name, name); });
    connection->variables.erase(credentials.variable);
}

void answer_response(CONNECTION_T* connection, HeaderPtr response)
{
    header_free(connection->response);
    connection->response = response.release();
}

// The challenge: 401 with WWW-Authenticate or 407 with Proxy-Authenticate, Basic with the proxy
// host name as realm; the client may retry on the same connection. The answer goes out with
// whatever `body` holds, which is the client's own request body: the challenge empties it, so
// that nothing the client sent is ever echoed back to it.
void challenge(CONNECTION_T* connection, int status, Filebuf* body)
{
    if (body != nullptr)
        body->Swap(nullptr);
    HeaderPtr response = header_new();
    response->kind = HEADER_RESPONSE;
    response->version = HTTP_VERSION_11;
    response->status = status;
    response->content_length = 0;
    response->flags |= HEADER_LENGTH;
    std::string value = "Basic realm=\"";
    if (general_section != nullptr)
        value += general_section->proxyhost_get();
    value += '"';
    if (status == 401)
        response->www_authenticate = std::move(value);
    else
        response->proxy_authenticate = std::move(value);
    answer_response(connection, std::move(response));
    connection->keepalive_client = 1;
}

// The refusal: the "noaccess" page with its configured status, else 200.
void refuse(CONNECTION_T* connection, Filebuf* body)
{
    int code = -1;
    std::unique_ptr<Filebuf> page =
        template_section != nullptr ? template_section->get(connection, "noaccess", &code) : nullptr;
    HeaderPtr response = header_new();
    response->kind = HEADER_RESPONSE;
    response->version = HTTP_VERSION_11;
    response->status = code != -1 ? code : 200;
    if (page != nullptr && !page->type().empty())
        response->content_type = page->type();
    answer_response(connection, std::move(response));

    if (body == nullptr) {
        if (connection->body == nullptr)
            connection->body = std::make_unique<Filebuf>();
        body = connection->body.get();
    }
    body->Swap(page.get());
}

constexpr std::array<const char*, 32> PAM_MESSAGES = {
    "[pam: %d: PAM_OPEN_ERR] dlopen() failure when dynamically loading a service module",
    "[pam: %d: PAM_SYMBOL_ERR] Symbol not found",
    "[pam: %d: PAM_SERVICE_ERR] Error in service module",
    "[pam: %d: PAM_SYSTEM_ERR] System error",
    "[pam: %d: PAM_BUF_ERR] Memory buffer error",
    "[pam: %d: PAM_PERM_DENIED] Permission denied",
    "[pam: %d: PAM_AUTH_ERR] Authentication failure",
    "[pam: %d: PAM_CRED_INSUFFICIENT] Can not access authentication data due to insufficient credentials",
    // kept as is
    "[pam: %d: PAM_AUTHINFO_UNAVAIL] Underlying authentication service an not retrieve authentication information",
    "[pam: %d: PAM_USER_UNKNOWN] User not known to the underlying authenticaiton module",  // kept as is
    "[pam: %d: PAM_MAXTRIES] An authentication service has maintained a retry count which has been reached. No "
    "further retries should be attempted",
    // kept as is
    "[pam: %d: PAM_NEW_AUTHTOK_REQD] New authentication token required. This is normally returned if the machine "
    "security policies require that the password should be changed beccause the password is NULL or it has aged",
    "[pam: %d: PAM_ACCT_EXPIRED] User account has expired",
    "[pam: %d: PAM_SESSION_ERR] Can not make/remove an entry for the specified session",
    "[pam: %d: PAM_CRED_UNAVAIL] Underlying authentication service can not retrieve user credentials unavailable",
    "[pam: %d: PAM_CRED_EXPIRED] User credentials expired",
    "[pam: %d: PAM_CRED_ERR] Failure setting user credentials",
    "[pam: %d: PAM_NO_MODULE_DATA] No module specific data is present",
    "[pam: %d: PAM_CONV_ERR] Conversation error",
    "[pam: %d: PAM_AUTHTOK_ERR] Authentication token manipulation error",
    "[pam: %d: PAM_AUTHTOK_RECOVERY_ERR] Authentication information cannot be recovered",
    "[pam: %d: PAM_AUTHTOK_LOCK_BUSY] Authentication token lock busy",
    "[pam: %d: PAM_AUTHTOK_DISABLE_AGING] Authentication token aging disabled",
    "[pam: %d: PAM_TRY_AGAIN] Preliminary check by password service",
    "[pam: %d: PAM_IGNORE] Ignore underlying account module regardless of whether the control flag is required, "
    "optional, or sufficient",
    "[pam: %d: PAM_ABORT] Critical error (?module fail now request) ",
    "[pam: %d: PAM_AUTHTOK_EXPIRED] user's authentication token has expired",
    "[pam: %d: PAM_MODULE_UNKNOWN] module is not known",
    "[pam: %d: PAM_BAD_ITEM] Bad item passed to pam_*_item()",
    "[pam: %d: PAM_CONV_AGAIN] conversation function is event driven and data is not available yet",
    "[pam: %d: PAM_INCOMPLETE] please call this function again to complete authentication stack. Before calling "
    "again, verify that conversation is completed",
    "[pam: %d: _PAM_RETURN_VALUES] this is the number of return values",
};

// The codes that reject the credentials themselves, rather than a failing PAM stack.
bool pam_rejects_credentials(int code)
{
    return code == 6 || code == 7 || code == 10 || code == 11 || code == 12;
}

} // namespace

void auth_set_pam_check(pam_check_t check)
{
    pam_check.store(check, std::memory_order_relaxed);
}

std::string pam_code_message(int code)
{
    if (code < 1 || code > static_cast<int>(PAM_MESSAGES.size()))
        return {};
    const char* format = PAM_MESSAGES[static_cast<std::size_t>(code - 1)];
    const std::string number = std::to_string(code);
    std::string text(format);
    const std::size_t at = text.find("%d");
    text.replace(at, 2, number);
    return text;
}

bool auth_basic_split(std::string_view value, std::string& user, std::string& password)
{
    const std::size_t space = value.find(' ');
    if (space == std::string_view::npos)
        return false;
    std::vector<char> decoded(AUTH_CREDENTIALS_MAX);
    const int length = from64tobits(decoded.data(), decoded.size(), value.substr(space + 1));
    if (length < 0)
        return false;
    const std::vector<std::string> parts =
        string_break(std::string_view(decoded.data(), static_cast<std::size_t>(length)), ':');
    if (parts.size() != 2)
        return false;
    user = parts[0].substr(0, AUTH_FIELD_MAX);
    password = parts[1].substr(0, AUTH_FIELD_MAX);
    return true;
}

int auth_pam_talker(int num_msg, const pam_message** /*msg*/, pam_response** resp, void* appdata)
{
    if (num_msg <= 0 || resp == nullptr || appdata == nullptr)
        return PAM_CONV_ERR;
    const auto* data = static_cast<const AuthPamData*>(appdata);
    // PAM frees the answers with free(): they come from the C heap.
    auto* answers =
        static_cast<pam_response*>(xmalloc(sizeof(pam_response) * static_cast<std::size_t>(num_msg)));
    if (answers == nullptr)
        FATAL_ALLOC(sizeof(pam_response) * static_cast<std::size_t>(num_msg));
    for (int i = 0; i < num_msg; ++i) {
        answers[i].resp = xstrdup(data->password);
        answers[i].resp_retcode = 0;
    }
    *resp = answers;
    return PAM_SUCCESS;
}

int auth_pam(const char* user, const char* password)
{
    AuthPamData data{user, password};
    const pam_conv conversation{auth_pam_talker, &data};
    pam_handle_t* handle = nullptr;
    int code = pam_start(pamfile.c_str(), user, &conversation, &handle);
    if (code == PAM_SUCCESS) {
        code = pam_authenticate(handle, PAM_DISALLOW_NULL_AUTHTOK);
        if (code == PAM_SUCCESS)
            code = pam_acct_mgmt(handle, PAM_DISALLOW_NULL_AUTHTOK);
    }
    if (handle != nullptr)
        pam_end(handle, 0);
    return code;
}

void AccessSection::display_pam_msg(int code, const std::string& key)
{
    putlog(LOG_ERROR, "security: system: %s", pam_code_message(code).c_str());
    if (pam_rejects_credentials(code))
        update_password_cache(key, PASSWORD_BAD);
}

int AccessSection::check_and_setup(CONNECTION_T* connection, std::string_view user, std::string_view password)
{
    const char* client = connection->ip.c_str();
    if (has_control_byte(user)) {
        connection->auth |= AUTH_NEEDED;
        putlog(LOG_WARNING, "security: authentication failed for %s@%s", access_shown(user).c_str(), client);
        return 0;
    }

    const std::shared_ptr<const Access> rule = check(connection, user, password);
    if (rule == nullptr) {
        // Credentials no rule takes may be meant for someone else (a parent proxy, or the origin
        // server of an origin-form request): the client is judged as if it had sent none.
        const bool carried = connection->request != nullptr &&
                             (connection->request.get()->*credentials_of(*connection->request).field).has_value();
        if (carried) {
            if (const std::shared_ptr<const Access> fallback = check(connection, std::nullopt, std::nullopt))
                setup(connection, *fallback);
        } else {
            connection->auth |= AUTH_NEEDED;
            putlog(LOG_WARNING, "security: authentication failed for %s@%s", access_shown(user).c_str(), client);
        }
        if ((connection->auth & AUTH_NEEDED) == 0)
            connection->username = access_user_text(*connection, user);
        return 0;
    }

    if (rule->pam != 1) {
        putlog(LOG_DEBUG, "security: authentication succeeded for %s", access_shown(user).c_str());
    } else {
        if (user.empty() || password.empty() || user.size() > AUTH_PAM_FIELD_MAX ||
            password.size() > AUTH_PAM_FIELD_MAX) {
            connection->auth |= AUTH_NEEDED;
            putlog(LOG_WARNING,
                   "security: authentication failed either username or password is more than 128 characters");
            return 0;
        }
        // PAM reads terminated strings: a zero byte would have it check a shorter password.
        if (password.find('\0') != std::string_view::npos) {
            connection->auth |= AUTH_NEEDED;
            putlog(LOG_WARNING, "security: authentication failed for %s@%s", access_shown(user).c_str(), client);
            return 0;
        }
        std::string key(user);
        key += ':';
        key += password;
        bool known_good = false;
        if (authflag != 1) {
            const int cached = check_password_cache(key);
            if (cached == PASSWORD_GOOD) {
                update_password_cache(key, PASSWORD_GOOD);
                known_good = true;
            } else if (cached == PASSWORD_BAD) {
                connection->auth |= AUTH_NEEDED;
                putlog(LOG_WARNING, "security: authentication failed for %s@%s by cache", access_shown(user).c_str(),
                       client);
                return 0;
            }
        }
        if (!known_good) {
            const std::string name(user);
            const std::string secret(password);
            const int code = pam_verify(name.c_str(), secret.c_str());
            if (code != PAM_SUCCESS) {
                display_pam_msg(code, key);
                putlog(LOG_SECURITY, "PAM authentication failed for %s@%s", access_shown(user).c_str(), client);
                connection->auth |= AUTH_NEEDED;
                return 0;
            }
            putlog(LOG_SECURITY, "PAM authentication succeeded for %s", access_shown(user).c_str());
            update_password_cache(key, PASSWORD_GOOD);
        }
    }

    setup(connection, *rule);
    bypass_check(connection);
    if (profile_section != nullptr)
        profile_section->profiles_update(connection);
    connection->auth &= ~AUTH_NEEDED;
    connection->username = access_user_text(*connection, user);
    return 1;
}

int access_auth(CONNECTION_T* connection, Filebuf* body)
{
    if (connection == nullptr || connection->request == nullptr || access_section == nullptr)
        return 0;
    const Credentials credentials = credentials_of(*connection->request);
    const HeaderText& value = connection->request.get()->*credentials.field;

    if (value) {
        std::string user;
        std::string password;
        if (auth_basic_split(*value, user, password)) {
            if (access_section->check_and_setup(connection, user, password) == 1)
                credentials_consume(connection, credentials);
        }
        if ((connection->auth & AUTH_NEEDED) != 0) {
            challenge(connection, credentials.challenge, body);
            return 1;
        }
        return 0;
    }

    if (access_section->check_and_setup(connection) == 1) {
        statincr_ipaddresses(connection);
        if ((connection->auth & AUTH_NEEDED) != 0) {
            challenge(connection, credentials.challenge, body);
            return 1;
        }
        return 0;
    }
    refuse(connection, body);
    return 1;
}
